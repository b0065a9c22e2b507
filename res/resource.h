#pragma once
#define IDI_TARNIX 1
// Images, embedded as RCDATA and decoded with GDI+.
#define IDR_LOGO 101
#define IDR_CONNECTING 102
// The same images drawn at twice the size, for high display scales: each is its
// image's id plus IDR_DOUBLE_SIZE.
#define IDR_DOUBLE_SIZE 100
#define IDR_LOGO_2X 201
#define IDR_CONNECTING_2X 202
