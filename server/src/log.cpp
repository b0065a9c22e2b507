#include "log.h"

#include "clock.h"

#include <cstdio>
#include <mutex>

namespace server {
namespace {

std::mutex g_log_mutex;

// A line is written for every request, and its time text changes once a second.
const std::string& time_text() {
    thread_local int64_t at = -1;
    thread_local std::string text;
    const int64_t now = now_seconds();
    if (now != at) {
        text = local_time_text(now);
        at = now;
    }
    return text;
}

} // namespace

void log_line(const std::string& text) {
    std::string line = time_text() + " " + text + "\n";
    std::lock_guard<std::mutex> lock(g_log_mutex);
    // stderr is unbuffered: the line goes out in one write, nothing to flush.
    std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace server
