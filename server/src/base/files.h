// Files the server reads and makes: small whole files (certificates, templates, a
// signature), secret files only their owner may read (key files, the relay's
// password), and new secret files that never replace an existing one.
//
// Free functions on the file system: any thread. Nothing throws; a failure is false
// (or -1) with the reason in `error`, naming the file and, where there is one, the
// system's reason.
#pragma once

#include "base/secrets.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace server {

// The whole of a file; false when it cannot be read or is empty, with why in `why`
// when given (the system's reason, or "the file is empty").
bool read_whole_file(const std::string& path, std::string& out, std::string* why = nullptr);

// Opens a secret file to read: refused unless it is a regular file that neither its
// group nor others may read or write (whoever can read it has the secret). `what`
// names its kind in the reason ("secret key"). The descriptor is the caller's to
// close; -1 with the reason.
int open_owner_only(const std::string& path, const std::string& what, std::string& error);

// Reads `fd` to its end, or `max` bytes, into bytes wiped when they go; false on a
// read error. A caller that must tell a longer file asks for one byte more.
bool read_up_to(int fd, size_t max, Secret& out);

// A small secret text file (open_owner_only), one trailing line end dropped; refused
// when it is empty or longer than 64 KiB.
bool read_owner_only_file(const std::string& path, const std::string& what, std::string& out,
                          std::string& error);

// Makes an existing file readable and writable by its owner only (nothing when it
// does not exist); false when it exists and cannot be changed.
bool make_owner_only(const std::string& path);

// Creates `path` holding `bytes`, owner-only (0600) from its first byte and never
// over an existing file (O_EXCL), written and synced before it returns true. A file
// that could not be written in full is removed again.
bool create_owner_only_file(const std::string& path, std::string_view bytes, std::string& error);

} // namespace server
