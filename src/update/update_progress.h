#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Portable arithmetic and texts of the update window. Texts are GBK.
namespace update {

// Progress-bar position in tenths of a percent: received / expected * 1000,
// rounded half up (a 1e-12 nudge first, so 666.5 computed as 666.4999... still
// rounds up). `expected` must not be 0.
int32_t progress_position(int64_t received, int64_t expected);

// "更新进度（" + position / 10 written as "%.13g" + "%）": 537 gives
// "更新进度（53.7%）", 1000 gives "更新进度（100%）".
std::string progress_text(int32_t position);

// "http://" + the status record's download location, then leading and trailing
// spaces (ASCII and the GBK full-width space) removed from the joined text.
std::string download_url(std::string_view location);

// `directory` + "\" + `caption` + ".exe".
std::string local_file_path(std::string_view directory, std::string_view caption);

} // namespace update
