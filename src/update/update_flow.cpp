#include "update/update_flow.h"

#include "update/download_task.h"
#include "update/update_progress.h"

namespace update {
namespace {
const std::string kUpdated =
    "\xB3\xCC\xD0\xF2\xCE\xC4\xBC\xFE\xB8\xFC\xD0\xC2\xCD\xEA\xB1\xCF"; // "程序文件更新完毕"
const std::string kTryLater = "\xC7\xEB\xC9\xD4\xBA\xF3\xD4\xD9\xCA\xD4\xA3\xA1"; // "请稍后再试！"
constexpr uint32_t kTickMs = 1000;
constexpr uint32_t kPauseMs = 1000;
} // namespace

void UpdateFlow::click() {
    if (view_.button_caption() == kFinishedCaption) {
        host_.start_file_and_end();
        return;
    }
    const bool started = host_.start_download();
    view_.show_downloading();
    view_.set_tick_interval(kTickMs);
    if (!started) {
        host_.end_refused_start();
    }
}

void UpdateFlow::tick() {
    const int64_t expected = expected_.load();
    if (expected == 0) {
        return;
    }
    view_.set_progress(progress_position(host_.bytes_received(), expected));
    view_.set_label(progress_text(view_.progress()));
    if (view_.progress() == 1000 && host_.file_size() == expected) {
        view_.set_tick_interval(0);
    }
}

int32_t UpdateFlow::event(int32_t kind, int32_t value, int32_t extra) {
    if (kind == kDownloadEventSize) {
        expected_.store(value);
        return 0;
    }
    if (kind != kDownloadEventEnded) {
        return 0;
    }
    const int64_t expected = expected_.load();
    // Finished only when every announced byte arrived and the file in place has
    // the announced size; a broken download must never be started.
    const bool finished = expected != 0 && extra == 1 &&
                          static_cast<int64_t>(static_cast<uint32_t>(value)) == expected &&
                          host_.file_size() == expected;
    if (finished) {
        // The task's byte count is gone once this returns, and a download faster
        // than the tick has shown no progress yet: show its end and stop the
        // tick here, so that no later tick takes the finish back as 0%.
        view_.set_progress(1000);
        view_.set_label(progress_text(1000));
        view_.set_tick_interval(0);
        host_.pause(kPauseMs);
        view_.set_label(kUpdated);
        host_.pause(kPauseMs);
        // The caption first: once enabled, a click must start the new file.
        view_.set_button_caption(kFinishedCaption);
        view_.show_start_button();
        return 0;
    }
    // A failed attempt leaves no size behind: the next one starts as the first did.
    expected_.store(0);
    view_.set_label(kTryLater);
    host_.pause(kPauseMs);
    view_.show_start_button();
    return 0;
}

} // namespace update
