#include "base/breach_corpus.h"

#include "base/crypto.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace server {
namespace {

constexpr size_t kHexDigits = 40;

// Whether the line [at, end) begins with 40 hex digits followed by ':' or its end
// (a count cut off, or the CR of a CRLF).
bool hash_line(const char* at, const char* end) {
    if (static_cast<size_t>(end - at) < kHexDigits)
        return false;
    for (size_t i = 0; i < kHexDigits; ++i) {
        if (hex_digit_value(at[i]) < 0)
            return false;
    }
    return static_cast<size_t>(end - at) == kHexDigits || at[kHexDigits] == ':' ||
           at[kHexDigits] == '\r';
}

// A hash line's digits against the target's upper-case hex: <0, 0 or >0.
int compare_hash(const char* at, const char* target) {
    for (size_t i = 0; i < kHexDigits; ++i) {
        char c = at[i];
        if (c >= 'a' && c <= 'f')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != target[i])
            return c < target[i] ? -1 : 1;
    }
    return 0;
}

} // namespace

std::unique_ptr<BreachCorpus> BreachCorpus::open(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open the breached-password corpus " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        ::close(fd);
        error = "the breached-password corpus " + path + " is not a regular file with lines";
        return nullptr;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    const int map_errno = errno;
    ::close(fd);
    if (map == MAP_FAILED) {
        error = "cannot map the breached-password corpus " + path + ": " + std::strerror(map_errno);
        return nullptr;
    }
    // Probes jump about the file: read-ahead would only fill memory with other lines.
    madvise(map, size, MADV_RANDOM);
    std::unique_ptr<BreachCorpus> corpus(
        new BreachCorpus(path, static_cast<const char*>(map), size));
    const char* data = corpus->data_;
    const char* first_end = static_cast<const char*>(std::memchr(data, '\n', size));
    if (!hash_line(data, first_end ? first_end : data + size)) {
        error =
            "the breached-password corpus " + path + " does not begin with a SHA1HEX:COUNT line";
        return nullptr;
    }
    return corpus;
}

BreachCorpus::BreachCorpus(std::string path, const char* data, size_t size)
    : path_(std::move(path)), data_(data), size_(size) {}

BreachCorpus::~BreachCorpus() {
    munmap(const_cast<char*>(data_), size_);
}

bool BreachCorpus::contains(std::string_view digest) const {
    if (digest.size() != kHexDigits / 2)
        return false;
    char target[kHexDigits];
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < digest.size(); ++i) {
        const auto b = static_cast<unsigned char>(digest[i]);
        target[2 * i] = kHex[b >> 4];
        target[2 * i + 1] = kHex[b & 15];
    }
    // [lo, hi) always begins at a line's start and ends at one (or the file's end).
    const char* lo = data_;
    const char* hi = data_ + size_;
    while (lo < hi) {
        const char* start = lo + (hi - lo) / 2;
        while (start > lo && start[-1] != '\n')
            --start;
        // A line without a hash (a last line cut short, a blank line) holds no answer:
        // the first line with one at or after the probe is compared instead, and when
        // there is none the rest of the range is dropped.
        const char* line = start;
        int order = 0;
        bool ok = false;
        const char* next = hi;
        while (line < hi) {
            const char* nl = static_cast<const char*>(std::memchr(line, '\n', hi - line));
            next = nl ? nl + 1 : hi;
            ok = hash_line(line, nl ? nl : hi);
            if (ok) {
                order = compare_hash(line, target);
                break;
            }
            line = next;
        }
        if (!ok) {
            hi = start;
            continue;
        }
        if (order == 0)
            return true;
        if (order < 0)
            lo = next;
        else
            hi = start;
    }
    return false;
}

} // namespace server
