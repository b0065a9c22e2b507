#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

// The file a download writes: target + ".part", held open by the download
// alone from its creation until it is moved into place or removed, so that
// nobody else (a second download of the same target, say) can write, remove
// or rename it meanwhile.
namespace part_file {

// Creates (or empties) `path` for writing, reading back and a later rename
// or removal through the same handle; no other opener may write, rename or
// remove it while it is open. INVALID_HANDLE_VALUE when that fails (the file
// is open elsewhere, or cannot be created). The handle is for overlapped
// I/O, so that several threads' reads and writes at their own offsets never
// queue behind each other on it.
HANDLE open_exclusive(const std::wstring& path);

// Writes all of `data` at `offset` and waits for it. `event` (a manual-reset
// event of the calling thread's own) is what the wait uses; without one, a
// new one is made for the call.
bool write_at(HANDLE file, int64_t offset, const char* data, DWORD size, HANDLE event = nullptr);

// Reads up to `size` bytes at `offset`; false on an error. `event` as for write_at.
bool read_at(HANDLE file, int64_t offset, char* data, DWORD size, DWORD& got,
             HANDLE event = nullptr);

// Sets the file's length once, before the download: on NTFS that reserves
// the space for all of it, so a full disk shows at once and the writes never
// grow the file. (Wine makes a sparse file and has no call to reserve space.)
bool set_length(HANDLE file, int64_t length);

// The file's length; -1 when it cannot be read.
int64_t length_of(HANDLE file);

// The size of the file at `path`; -1 when there is none.
int64_t size_at(const std::wstring& path);

// Marks the open file for removal: it goes when its last handle closes.
void remove_when_closed(HANDLE file);

enum class Commit {
    placed,     // the file stands at the target path
    not_placed, // nothing moved: the target is as it was; the file may be removed
    kept,       // the target was renamed aside and could not be put back: the
                // complete file stays at its ".part" path, the old one at ".old"
};

// Moves the complete, checked file open in `file` into place as `target`,
// flushed to disk first. An existing target (the running program, as a rule,
// which can be renamed but not overwritten) is first renamed aside to
// target + ".old" and put back should the move fail. `why` names a failure.
// `after_aside` runs right after the rename aside (tests use it to make the
// move fail).
Commit move_into_place(HANDLE file, const std::wstring& target, std::wstring& why,
                       const std::function<void()>& after_aside = {});

// Start-up clean-up beside the program at `program_path`: its ".old" copy,
// which an update renamed aside while it ran, and a ".part" file that a
// download ended by a crash left behind. A file still in use stays.
void remove_leftovers(const std::wstring& program_path);

} // namespace part_file
