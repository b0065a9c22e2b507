#pragma once
// One place for the version: the code and the version resource both read it.
// A build may name another version text (the update tests build such a client).
#ifndef TARNIX_VERSION_TEXT
#define TARNIX_VERSION_TEXT "1.001"
#endif
#define TARNIX_VERSION_NUMBERS 1, 1, 0, 0
