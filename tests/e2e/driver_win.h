#pragma once

#include "protocol/http_request_win.h"

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

// Drives a running Tarnix from outside its process, the way a user and a screen
// reader meet it: top-level windows by class and caption, controls by their
// window text or their place in the window, typing as WM_CHAR, clicks as
// BM_CLICK, message boxes read from their text static and closed with OK.
// Nothing here reaches into the program's own state.
namespace e2e {

constexpr wchar_t kMainClass[] = L"TarnixMainWindow";
constexpr DWORD kStartMs = 30000;
// One request's worst case: the client gives up after its send and receive time-outs.
constexpr DWORD kRequestMs = kHttpSendTimeoutMs + kHttpReceiveTimeoutMs;
// Equal to the announcement run_e2e.sh gives the server.
constexpr char kAnnouncement[] = "欢迎使用Tarnix账号服务，祝您使用愉快";

// A file the run script names by its Unix path.
std::string read_file(const std::string& unix_path);

// The visible control showing `utf8_text`; fails the test when there is none.
HWND control(HWND w, const char* utf8_text);

// The driver's command-line option `--name=value`; empty when not given.
std::string option(std::string_view name);

// A UTF-8 literal of the source as the UTF-16 text a window shows.
std::wstring ws(std::string_view utf8);
// UTF-16 as UTF-8, for failure messages.
std::string utf8(std::wstring_view wide);

// WM_GETTEXT, as a screen reader asks (works across processes).
std::wstring text_of(HWND window);

// The first visible top-level window of process `pid` with class `cls` (any
// when null) and caption `caption` (any when null), polled for `timeout_ms`.
HWND wait_top_level(DWORD pid, const wchar_t* cls, const wchar_t* caption, DWORD timeout_ms);

// Visible top-level windows of `cls` whose process is not `pid`.
std::vector<HWND> top_levels_not_of(DWORD pid, const wchar_t* cls);

// The descendant of `top` whose window text is `text`; with `visible_only`
// only one the user can see. Null when there is none.
HWND child_with_text(HWND top, std::wstring_view text, bool visible_only = true);
HWND wait_child_with_text(HWND top, std::wstring_view text, DWORD timeout_ms);

// The visible descendant of class `cls` whose top-left corner lies at `x`,`y`
// of `top`'s client area (the positions of the window's layout).
HWND child_at(HWND top, const wchar_t* cls, int x, int y);

// Left, top of `window` in its top-level window's client area.
POINT position_in(HWND top, HWND window);

// Replaces the content of an edit box as typing would: selects all, deletes,
// then sends each UTF-16 unit as WM_CHAR (the program's own limits apply).
void type_into(HWND edit, std::wstring_view text);

// Presses a button without waiting for its handler (which may open a modal box).
void click(HWND button);

// A message box of the program as the user saw it.
struct Box {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;
};

// Waits for a message box ("#32770") of process `pid` with `caption`.
Box wait_box(DWORD pid, std::wstring_view caption, DWORD timeout_ms);
// Any message box of process `pid`; null when none is shown.
HWND any_box(DWORD pid);
// Presses OK and waits until the box has gone.
bool dismiss(const Box& box);

// Prints `what` with the milliseconds since the driver started, so that a slow
// or failed run can be read step by step afterwards.
void step(const std::string& what);

// Saves the screen as build/screenshots/e2e/<name>.png (and reports it as a step).
void screenshot(const std::string& name);

// Sleeps while keeping the driver's own message queue empty.
void pause_ms(DWORD ms);

} // namespace e2e
