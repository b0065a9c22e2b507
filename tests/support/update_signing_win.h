#pragma once

#include <windows.h>

#include <string>

// Signed updates for tests: keys and signatures made by the openssl command
// line (tests/support/sign_update.sh, run by Wine as a Unix program), so that
// the client's check is measured against an independent signer.
namespace testsupport {

// Runs `script` with the Unix shell in the existing Unix folder `dir` and
// waits for it at most `timeout_ms`; its exit code, or -1 when it did not end.
int run_unix_script(const std::string& dir, const std::string& script, DWORD timeout_ms = 30000);

struct SigningKey {
    std::string dir;        // Unix folder holding key.pem and public.hex
    std::string public_hex; // X then Y, 128 hex digits

    // A new P-256 key in a folder of its own under the test build folder.
    bool make();
    // The 64-byte signature (r then s) of `file_bytes` for `version`; empty on failure.
    std::string sign(const std::string& file_bytes, const std::string& version) const;
    // The key as the client takes it: 64 bytes, X then Y.
    std::string public_key() const;
};

// `size` bytes of the fixed pattern of make_blob that start like a Windows
// x64 program ("MZ", PE signature, machine AMD64).
std::string make_program_blob(size_t size, uint32_t seed = 1);

} // namespace testsupport
