#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Reads the message boxes of this process as a user would and closes them. A
// box blocks the UI thread (the test's own thread) in its modal loop, so the
// watcher runs on a thread of its own: it finds each box ("#32770"), reads its
// caption, text (the static with ID 0xFFFF), owner, buttons and icon, saves a
// screenshot when asked, and presses a button.
namespace testsupport {

struct SeenBox {
    std::string caption;      // GBK
    std::string text;         // GBK
    HWND owner = nullptr;     // GW_OWNER
    bool has_icon = false;    // an icon is drawn beside the text
    std::vector<int> buttons; // IDs of the push buttons shown (IDOK, IDCANCEL, ...)
};

class BoxWatcher {
public:
    // `press`: the button ID pressed on every box (IDOK unless given).
    explicit BoxWatcher(int press = IDOK);
    ~BoxWatcher();
    BoxWatcher(const BoxWatcher&) = delete;
    BoxWatcher& operator=(const BoxWatcher&) = delete;

    // The next box seen is saved as build/screenshots/<name>.png before it is closed.
    void screenshot_next(const std::string& name);

    std::vector<SeenBox> boxes() const;
    // Forgets the boxes seen so far.
    void clear();

private:
    void run();
    void handle(HWND box);

    const int press_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<SeenBox> boxes_;
    std::string screenshot_name_;
    std::thread thread_;
};

} // namespace testsupport
