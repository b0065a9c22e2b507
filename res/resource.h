#pragma once
#define IDI_TARNIX 1
// Pictures. Each is a BITMAP of its first frame, drawn without decoding; an
// animated one is also an RCDATA GIF of the same id, whose frames GDI+ decodes
// after the window's first paint.
#define IDR_LOGO 101
#define IDR_CONNECTING 102
// The same pictures drawn at twice the size, for high display scales: each is
// its picture's id plus IDR_DOUBLE_SIZE.
#define IDR_DOUBLE_SIZE 100
#define IDR_LOGO_2X 201
#define IDR_CONNECTING_2X 202
