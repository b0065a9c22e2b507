#pragma once
// One place for the version: the code and the version resource both read it.
#define TARNIX_VERSION_TEXT "1.001"
#define TARNIX_VERSION_NUMBERS 1, 1, 0, 0
