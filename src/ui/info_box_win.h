#pragma once

#include <windows.h>

#include <string_view>

// The information box: how the program shows its own messages and most server
// answers. Caption "信息：", OK button and information icon, no owner;
// task-modal unless `style` asks for system-modal. Returns the 0-based index of
// the button pressed (OK 0, Cancel 1, ...).
int info_box(std::string_view gbk_text, UINT style = MB_OK | MB_ICONINFORMATION);
