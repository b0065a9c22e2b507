// A corpus of breached passwords: one "SHA1HEX:COUNT" line per password, sorted by
// the hash, as the public breach lists are published. The file is mapped, never read
// whole (it may be many gigabytes), and searched by bisecting its bytes: a probe
// lands inside a line and walks back to that line's start, so a lookup touches a few
// dozen pages.
//
// Tolerated: either case of hex digits (compared without case), CRLF line ends, and a
// last line cut short (a line without 40 hex digits is passed over, never matched).
// The file must not be rewritten in place while mapped (the kernel would fault the
// reader): a new corpus is written beside it, renamed over it, and the server told by
// SIGHUP to open it again.
//
// Threads: open() anywhere; contains() from any number of threads at once (read-only
// mapping). Nothing throws but std::bad_alloc.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace server {

class BreachCorpus {
public:
    // Maps `path`; nothing (with the reason, naming the file) when it cannot be
    // opened or mapped, is empty, or its first line is not a hash line.
    static std::unique_ptr<BreachCorpus> open(const std::string& path, std::string& error);
    ~BreachCorpus();
    BreachCorpus(const BreachCorpus&) = delete;
    BreachCorpus& operator=(const BreachCorpus&) = delete;

    // Whether the 20-byte SHA-1 digest `digest` has a line.
    bool contains(std::string_view digest) const;

    const std::string& path() const { return path_; }
    size_t size() const { return size_; }

private:
    BreachCorpus(std::string path, const char* data, size_t size);

    std::string path_;
    const char* data_;
    size_t size_;
};

} // namespace server
