#include "support/box_watcher_win.h"

#include "support/process_win.h"
#include "ui/gbk_win.h"

namespace testsupport {
namespace {

// The icon static of a message box: 0x14 on Windows, 0x440 under Wine.
constexpr int kIconIds[] = {0x14, 0x440};
constexpr int kButtonIds[] = {IDOK, IDCANCEL, IDABORT, IDRETRY,    IDIGNORE,  IDYES,
                              IDNO, IDCLOSE,  IDHELP,  IDTRYAGAIN, IDCONTINUE};

std::string window_text(HWND w) {
    wchar_t buf[1024] = {};
    GetWindowTextW(w, buf, 1024);
    return narrow(buf);
}

} // namespace

BoxWatcher::BoxWatcher(int press) : press_(press), thread_([this] { run(); }) {}

BoxWatcher::~BoxWatcher() {
    stop_ = true;
    thread_.join();
}

void BoxWatcher::screenshot_next(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    screenshot_name_ = name;
}

std::vector<SeenBox> BoxWatcher::boxes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
}

void BoxWatcher::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    boxes_.clear();
}

void BoxWatcher::run() {
    while (!stop_) {
        WindowQuery boxes;
        boxes.pid = GetCurrentProcessId();
        boxes.cls = L"#32770";
        const std::vector<HWND> found = top_level_windows(boxes);
        if (!found.empty()) {
            handle(found.front());
        } else {
            Sleep(20);
        }
    }
}

void BoxWatcher::handle(HWND box) {
    Sleep(100); // let the box finish painting (for the screenshot)
    SeenBox seen;
    seen.caption = window_text(box);
    seen.text = window_text(GetDlgItem(box, 0xFFFF));
    seen.owner = GetWindow(box, GW_OWNER);
    for (int id : kIconIds) {
        HWND icon = GetDlgItem(box, id);
        if (icon && IsWindowVisible(icon) && SendMessageW(icon, STM_GETICON, 0, 0) != 0) {
            seen.has_icon = true;
        }
    }
    for (int id : kButtonIds) {
        HWND b = GetDlgItem(box, id);
        if (b && IsWindowVisible(b)) {
            seen.buttons.push_back(id);
        }
    }
    std::string shot;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shot.swap(screenshot_name_);
        boxes_.push_back(seen);
    }
    if (!shot.empty()) {
        // Other tests' windows share the screen when tests run side by side, and
        // one centred like ours once covered the box in its picture. The box is
        // lifted over them for the picture only (its owner may stay behind one).
        SetWindowPos(box, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        save_screenshot(shot);
        SetWindowPos(box, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    // Pressed as a click would press it, then wait until the box is gone.
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(press_, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, press_)));
    for (int i = 0; i < 500 && IsWindow(box) && IsWindowVisible(box); ++i) {
        Sleep(10);
    }
}

} // namespace testsupport
