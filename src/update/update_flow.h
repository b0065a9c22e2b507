#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// What the update window does on a click of its start button, on each tick of
// its one-second progress timer and on the download task's events, apart from
// the window itself: the window adapter implements the two interfaces.
namespace update {

// The update window's controls as the flow changes them. Texts are GBK.
class UpdateView {
public:
    virtual ~UpdateView() = default;
    virtual int32_t progress() = 0; // the progress bar's position, 0 to 1000
    virtual void set_progress(int32_t position) = 0;
    virtual void set_label(const std::string& text) = 0;
    virtual std::string button_caption() = 0;
    virtual void set_button_caption(const std::string& text) = 0;
    virtual void set_tick_interval(uint32_t ms) = 0; // 0 stops the timer
    // The label and the bar shown, the start button hidden and disabled.
    virtual void show_downloading() = 0;
    // The reverse: the start button back and enabled.
    virtual void show_start_button() = 0;
};

// What the flow needs beyond the window.
class UpdateHost {
public:
    virtual ~UpdateHost() = default;
    // Hands the download task over; false when the download object refused it.
    virtual bool start_download() = 0;
    // A refused start ends as a failed download: the host delivers the end
    // event on a thread of its own.
    virtual void end_refused_start() = 0;
    // Starts the finished file and ends the program.
    virtual void start_file_and_end() = 0;
    virtual uint32_t bytes_received() = 0;
    // The size of the file at the local update file path; -1 when there is none.
    virtual int64_t file_size() = 0;
    // Pauses the calling thread, dispatching its window messages meanwhile.
    virtual void pause(uint32_t ms) = 0;
};

inline constexpr char kFinishedCaption[] = "\xB8\xFC\xD0\xC2\xCD\xEA\xB3\xC9"; // "更新完成"

class UpdateFlow {
public:
    // `expected_size`: the size the running task announced (0 = none yet).
    UpdateFlow(UpdateView& view, UpdateHost& host, std::atomic<int64_t>& expected_size)
        : view_(view), host_(host), expected_(expected_size) {}

    void click(); // the start button (UI thread)
    void tick();  // the progress timer (UI thread)
    // A download task's event (the task's thread; every kind). Returns 0.
    int32_t event(int32_t kind, int32_t value, int32_t extra);

private:
    UpdateView& view_;
    UpdateHost& host_;
    std::atomic<int64_t>& expected_;
};

} // namespace update
