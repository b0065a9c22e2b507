#pragma once

#include "platform/window_finder_win.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The second way of showing a server's answer: a message box shown through the
// platform's self-closing message box, owned by a window of this process.
// Every argument but the text may be left out (std::nullopt), which is not the
// same as giving it: a given null owner means no owner, a given empty caption an
// empty caption.
//   button type  left out: 0 (one OK button, no icon); given: passed on unchanged
//   caption      left out: "友情提醒"
//   owner        left out: find_process_window(GetCurrentProcessId())
//   time-out     left out: 0; given: passed on unchanged (milliseconds)
// Returns the 0-based index of the button pressed (the platform's result minus
// 1; a time-out gives 31999).
int show_timed_notice(std::string_view gbk_text, std::optional<UINT> button_type = std::nullopt,
                      std::optional<std::string> gbk_caption = std::nullopt,
                      std::optional<HWND> owner = std::nullopt,
                      std::optional<int32_t> timeout_ms = std::nullopt);

// The platform routine behind show_timed_notice: MessageBoxTimeoutW, or
// MessageBoxW where user32 lacks it.
using MessageBoxTimeoutFn = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT, WORD, DWORD);
MessageBoxTimeoutFn platform_message_box_timeout();

// show_timed_notice through the given platform routine (tests give one that
// records what it is handed).
int show_timed_notice_with(MessageBoxTimeoutFn platform, std::string_view gbk_text,
                           std::optional<UINT> button_type = std::nullopt,
                           std::optional<std::string> gbk_caption = std::nullopt,
                           std::optional<HWND> owner = std::nullopt,
                           std::optional<int32_t> timeout_ms = std::nullopt);
