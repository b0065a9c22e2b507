#include "update/update_progress.h"

#include "protocol/http_text.h"

#include <cmath>
#include <cstdio>

namespace update {

int32_t progress_position(int64_t received, int64_t expected) {
    double v = static_cast<double>(received) / static_cast<double>(expected) * 1000.0 + 1e-12;
    double rounded = std::floor(v + 0.5);
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) {
        return rounded > 0 ? INT32_MAX : 0; // only for impossible inputs; keeps the cast defined
    }
    return static_cast<int32_t>(rounded);
}

std::string progress_text(int32_t position) {
    char number[32];
    std::snprintf(number, sizeof(number), "%.13g", position / 10.0);
    // "更新进度（" ... "%）"
    return std::string("\xB8\xFC\xD0\xC2\xBD\xF8\xB6\xC8\xA3\xA8") + number + "%\xA3\xA9";
}

std::string download_url(std::string_view location) {
    std::string joined = "http://";
    joined.append(location);
    return trim_text(joined);
}

std::string local_file_path(std::string_view directory, std::string_view caption) {
    std::string path(directory);
    path += '\\';
    path.append(caption);
    path += ".exe";
    return path;
}

} // namespace update
