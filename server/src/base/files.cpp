#include "base/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace server {
namespace {

constexpr size_t kMaxSecretText = 64 * 1024;

} // namespace

bool read_whole_file(const std::string& path, std::string& out, std::string* why) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int failure = fd < 0 ? errno : 0;
    char buf[64 * 1024];
    while (fd >= 0) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failure = n < 0 ? errno : 0;
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    if (fd >= 0)
        ::close(fd);
    if (failure == 0 && !out.empty())
        return true;
    if (why)
        *why = failure != 0 ? std::strerror(failure) : "the file is empty";
    return false;
}

int open_owner_only(const std::string& path, const std::string& what, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read the " + what + " " + path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "the " + what + " " + path + " is not a regular file";
        return -1;
    }
    if ((st.st_mode & 077) != 0) {
        ::close(fd);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = "the " + what + " " + path + " may be " +
                ((st.st_mode & 044) != 0 ? "read" : "written") + " by others (mode " + mode +
                "): make it owner-only (chmod 600)";
        return -1;
    }
    return fd;
}

bool read_up_to(int fd, size_t max, Secret& out) {
    Secret buf(max);
    size_t got = 0;
    while (got < max) {
        const ssize_t n = ::read(fd, buf.data() + got, max - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    buf.shrink(got);
    out = std::move(buf);
    return true;
}

bool read_owner_only_file(const std::string& path, const std::string& what, std::string& out,
                          std::string& error) {
    const int fd = open_owner_only(path, what, error);
    if (fd < 0)
        return false;
    Secret bytes;
    const bool read = read_up_to(fd, kMaxSecretText + 1, bytes);
    const int read_errno = errno;
    ::close(fd);
    if (!read) {
        error = "cannot read the " + what + " " + path + ": " + std::strerror(read_errno);
        return false;
    }
    if (bytes.size() > kMaxSecretText) {
        error = "the " + what + " " + path + " is longer than 64 KiB";
        return false;
    }
    out.assign(bytes.view());
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    if (out.empty()) {
        error = "the " + what + " " + path + " is empty";
        return false;
    }
    return true;
}

bool create_owner_only_file(const std::string& path, std::string_view bytes, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + path + ": " +
                (errno == EEXIST ? std::string("it exists already") : std::strerror(errno));
        return false;
    }
    size_t done = 0;
    bool written = true;
    while (written && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        done += written ? static_cast<size_t>(n) : 0;
    }
    written = written && ::fsync(fd) == 0;
    if (::close(fd) != 0)
        written = false;
    if (!written) {
        ::unlink(path.c_str());
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool make_owner_only(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    return (st.st_mode & 0777) == 0600 || ::chmod(path.c_str(), 0600) == 0;
}

} // namespace server
