#pragma once
#define IDI_TARNIX 1
