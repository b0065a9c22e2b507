#pragma once
#define IDI_TARNIX 1
// Images, embedded as RCDATA and decoded with GDI+.
#define IDR_LOGO 101
#define IDR_CONNECTING 102
