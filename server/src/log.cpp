#include "log.h"

#include "clock.h"

#include <cstdio>
#include <mutex>

namespace server {
namespace {

std::mutex g_log_mutex;

} // namespace

void log_line(const std::string& text) {
    std::string line = local_time_text(now_seconds()) + " " + text + "\n";
    std::lock_guard<std::mutex> lock(g_log_mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

} // namespace server
