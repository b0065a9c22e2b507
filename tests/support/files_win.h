#pragma once

#include <string>

// Files for tests: a directory of their own and whole-file reads and writes.
namespace testsupport {

// A new, empty directory under the temporary folder, named `prefix` + a
// process- and time-unique suffix.
std::wstring fresh_temp_dir(const std::wstring& prefix);

bool file_exists(const std::wstring& path);

// The whole file, or "<missing>" when it cannot be opened.
std::string read_file(const std::wstring& path);

void write_file(const std::wstring& path, const std::string& data);

} // namespace testsupport
