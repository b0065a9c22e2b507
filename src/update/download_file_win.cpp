#include "update/download_file_win.h"

#include "platform/handles_win.h"

#include <cstring>
#include <vector>

namespace part_file {
namespace {

// The NT form of a path ("\??\C:\dir\file"), which a rename through a handle
// needs: a bare name is not taken as "the same folder" everywhere.
std::wstring nt_path(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0) {
        return L"\\??\\" + path.substr(4);
    }
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) {
        return std::wstring();
    }
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, &full[0], nullptr);
    full.resize(n);
    if (full.rfind(L"\\\\", 0) == 0) {
        return L"\\??\\UNC\\" + full.substr(2);
    }
    return L"\\??\\" + full;
}

// Renames the open file; the handle stays valid and nobody can touch the file
// between its checks and its new name.
bool rename_open_file(HANDLE file, const std::wstring& to, bool replace) {
    const std::wstring name = nt_path(to);
    if (name.empty()) {
        return false;
    }
    std::vector<char> buf(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    memcpy(info->FileName, name.c_str(), info->FileNameLength);
    return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buf.size())) !=
           0;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

HANDLE open_exclusive(const std::wstring& path) {
    // Readers may look; nobody else may write, rename or remove it.
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                       nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                       nullptr);
}

namespace {

// One read or write at `offset`, waited for; `done` is the bytes moved. The
// error code, or 0 on success.
template <typename Io>
DWORD transfer_at(HANDLE file, int64_t offset, HANDLE event, DWORD& done, Io io) {
    platform::UniqueHandle own;
    if (!event) {
        own.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!own) {
            return GetLastError();
        }
        event = own.get();
    }
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
    ov.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    ov.hEvent = event;
    done = 0;
    if (!io(&ov) && GetLastError() != ERROR_IO_PENDING) {
        return GetLastError();
    }
    return GetOverlappedResult(file, &ov, &done, TRUE) ? 0 : GetLastError();
}

} // namespace

bool write_at(HANDLE file, int64_t offset, const char* data, DWORD size, HANDLE event) {
    DWORD written = 0;
    return transfer_at(file, offset, event, written,
                       [&](OVERLAPPED* ov) {
                           return WriteFile(file, data, size, nullptr, ov) != 0;
                       }) == 0 &&
           written == size;
}

bool read_at(HANDLE file, int64_t offset, char* data, DWORD size, DWORD& got, HANDLE event) {
    const DWORD error = transfer_at(file, offset, event, got, [&](OVERLAPPED* ov) {
        return ReadFile(file, data, size, nullptr, ov) != 0;
    });
    if (error != 0) {
        got = 0;
    }
    return error == 0 || error == ERROR_HANDLE_EOF;
}

bool set_length(HANDLE file, int64_t length) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = length;
    return SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) != 0;
}

int64_t length_of(HANDLE file) {
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? size.QuadPart : -1;
}

void remove_when_closed(HANDLE file) {
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = TRUE;
    SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof(info));
}

Commit move_into_place(HANDLE file, const std::wstring& target, std::wstring& why,
                       const std::function<void()>& after_aside) {
    // The bytes reach the disk before the name does: a crash right after the
    // move must not leave a program file of zeros.
    if (!FlushFileBuffers(file)) {
        why = L"the file could not be written to disk";
        return Commit::not_placed;
    }
    const std::wstring aside = target + L".old";
    const bool had_target = exists(target);
    bool renamed_aside = false;
    if (had_target) {
        DeleteFileW(aside.c_str()); // a copy from an earlier update
        renamed_aside = MoveFileExW(target.c_str(), aside.c_str(),
                                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
    if (after_aside) {
        after_aside();
    }
    // Nothing could be renamed aside: replace in one step, or leave all as it was.
    if (rename_open_file(file, target, had_target && !renamed_aside)) {
        if (renamed_aside) {
            DeleteFileW(aside.c_str()); // fails while it runs; removed at a later start
        }
        return Commit::placed;
    }
    if (!renamed_aside) {
        why = L"the file could not be moved into place";
        return Commit::not_placed;
    }
    if (MoveFileExW(aside.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        why = L"the file could not be moved into place; the old program is back";
        return Commit::not_placed;
    }
    why = L"the file could not be moved into place, nor the old program put back: the new one "
          L"waits as " +
          target + L".part, the old one as " + aside;
    return Commit::kept;
}

int64_t size_at(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void remove_leftovers(const std::wstring& program_path) {
    DeleteFileW((program_path + L".old").c_str());
    DeleteFileW((program_path + L".part").c_str());
}

} // namespace part_file
