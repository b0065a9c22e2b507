#include "update/download_task.h"
#include "update/update_flow.h"
#include "update/update_progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// GBK texts of the update window.
const std::string kFinished = "\xB8\xFC\xD0\xC2\xCD\xEA\xB3\xC9"; // 更新完成
const std::string kStart = "\xBF\xAA\xCA\xBC\xB8\xFC\xD0\xC2";    // 开始更新
const std::string kUpdated =
    "\xB3\xCC\xD0\xF2\xCE\xC4\xBC\xFE\xB8\xFC\xD0\xC2\xCD\xEA\xB1\xCF"; // 程序文件更新完毕
const std::string kTryLater = "\xC7\xEB\xC9\xD4\xBA\xF3\xD4\xD9\xCA\xD4\xA3\xA1"; // 请稍后再试！

// A window and a world that write down, in order, everything done to them.
struct Stub : update::UpdateView, update::UpdateHost {
    std::vector<std::string> log;
    int32_t position = 0;
    std::string caption = kStart;
    bool starts = true;
    uint32_t bytes = 0;
    int64_t size_on_disk = -1;

    int32_t progress() override { return position; }
    void set_progress(int32_t p) override {
        position = p;
        log.push_back("progress " + std::to_string(p));
    }
    void set_label(const std::string& t) override { log.push_back("label " + t); }
    std::string button_caption() override { return caption; }
    void set_button_caption(const std::string& t) override {
        caption = t;
        log.push_back("caption " + t);
    }
    void set_tick_interval(uint32_t ms) override { log.push_back("tick " + std::to_string(ms)); }
    void show_downloading() override { log.push_back("downloading"); }
    void show_start_button() override { log.push_back("button"); }
    bool start_download() override {
        log.push_back("start");
        return starts;
    }
    void end_refused_start() override { log.push_back("refused"); }
    void start_file_and_end() override { log.push_back("run file"); }
    uint32_t bytes_received() override { return bytes; }
    int64_t file_size() override { return size_on_disk; }
    void pause(uint32_t ms) override { log.push_back("pause " + std::to_string(ms)); }
};

struct Flow {
    Stub stub;
    std::atomic<int64_t> expected{0};
    update::UpdateFlow flow{stub, stub, expected};
};

using Log = std::vector<std::string>;

} // namespace

TEST(UpdateFlow, TickFollowsTheBytesAndStopsOnceTheFileIsWhole) {
    Flow f;
    f.stub.position = 123;
    f.stub.bytes = 2;
    f.flow.tick(); // no size announced: nothing changes
    EXPECT_TRUE(f.stub.log.empty());

    f.expected = 3;
    f.stub.bytes = 1;
    f.flow.tick();
    f.stub.bytes = 2;
    f.flow.tick();
    EXPECT_EQ(f.stub.log, (Log{"progress 333", "label " + update::progress_text(333),
                               "progress 667", "label " + update::progress_text(667)}));

    // At 1000 the timer stops only once the file on disk has the announced size.
    f.stub.log.clear();
    f.expected = 10;
    f.stub.bytes = 10;
    f.stub.size_on_disk = 9;
    f.flow.tick();
    f.stub.size_on_disk = 10;
    f.flow.tick();
    const std::string full = "label " + update::progress_text(1000);
    EXPECT_EQ(f.stub.log, (Log{"progress 1000", full, "progress 1000", full, "tick 0"}));
}

TEST(UpdateFlow, ClickStartsADownloadOrTheFinishedFile) {
    Flow f;
    f.flow.click();
    EXPECT_EQ(f.stub.log, (Log{"start", "downloading", "tick 1000"}));

    // A refused start ends as a failed download would.
    f.stub.log.clear();
    f.stub.starts = false;
    f.flow.click();
    EXPECT_EQ(f.stub.log, (Log{"start", "downloading", "tick 1000", "refused"}));

    f.stub.log.clear();
    f.stub.caption = kFinished;
    f.flow.click();
    EXPECT_EQ(f.stub.log, (Log{"run file"}));
}

// The end of a whole download: 100% at once (the task's count is gone after
// it), then the two pauses, and the caption before the button is enabled.
TEST(UpdateFlow, FinishedDownloadShowsItsEndThenOffersTheFile) {
    Flow f;
    EXPECT_EQ(f.flow.event(kDownloadEventSize, 10, 0), 0);
    EXPECT_EQ(f.expected.load(), 10);
    f.stub.size_on_disk = 10;
    EXPECT_EQ(f.flow.event(kDownloadEventEnded, 10, 1), 0);
    EXPECT_EQ(f.stub.log,
              (Log{"progress 1000", "label " + update::progress_text(1000), "tick 0", "pause 1000",
                   "label " + kUpdated, "pause 1000", "caption " + kFinished, "button"}));
    EXPECT_EQ(f.expected.load(), 10);
}

// An end event is not trusted alone: without a size, without every byte, with
// a file on disk of another size, or when the task says it failed, the window
// goes back to its start button and the next attempt starts afresh.
TEST(UpdateFlow, AnyOtherEndIsAFailure) {
    struct Case {
        int64_t announced;
        int32_t value, extra;
        int64_t on_disk;
    };
    for (const Case& c : {Case{0, 10, 1, 10}, Case{10, 9, 1, 10}, Case{10, 10, 1, 5},
                          Case{10, 10, 0, 10}, Case{10, 10, 1, -1}}) {
        Flow f;
        f.expected = c.announced;
        f.stub.size_on_disk = c.on_disk;
        EXPECT_EQ(f.flow.event(kDownloadEventEnded, c.value, c.extra), 0);
        EXPECT_EQ(f.stub.log, (Log{"label " + kTryLater, "pause 1000", "button"}))
            << c.announced << " " << c.value << " " << c.extra << " " << c.on_disk;
        EXPECT_EQ(f.expected.load(), 0);
        EXPECT_EQ(f.stub.caption, kStart);
    }
    // A size beyond 2 GiB arrives as a negative 32-bit value and never matches.
    Flow big;
    big.flow.event(kDownloadEventSize, -1, 0);
    EXPECT_EQ(big.expected.load(), -1);
    big.stub.size_on_disk = 0xFFFFFFFFLL;
    big.flow.event(kDownloadEventEnded, -1, 1);
    EXPECT_EQ(big.stub.log.front(), "label " + kTryLater);
    // Other kinds: nothing.
    Flow other;
    EXPECT_EQ(other.flow.event(1, 5, 1), 0);
    EXPECT_TRUE(other.stub.log.empty());
    EXPECT_EQ(other.expected.load(), 0);
}
