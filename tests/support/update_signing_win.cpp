#include "support/update_signing_win.h"

#include "support/responder_win.h"
#include "support/files_win.h"
#include "support/process_win.h"
#include "ui/gbk_win.h"

#include <atomic>
#include <cstdlib>

namespace testsupport {
namespace {

const std::string kSignScript = std::string(TARNIX_SOURCE_DIR) + "/tests/support/sign_update.sh";

std::string unique_name(const std::string& stem) {
    static std::atomic<int> n{0};
    return stem + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++n);
}

std::string read_unix(const std::string& path) {
    return read_file(widen(windows_path(path)));
}

} // namespace

int run_unix_script(const std::string& dir, const std::string& script, DWORD timeout_ms) {
    const std::string name = unique_name(dir + "/script");
    write_file(widen(windows_path(name + ".sh")), "(\n" + script + "\n)\necho $? >" + name +
                                                      ".tmp && mv " + name + ".tmp " + name +
                                                      ".rc\n");
    std::string cmd = "Z:\\bin\\sh " + name + ".sh";
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return -1;
    }
    // Wine gives no handle of a Unix process that can be waited for: the
    // script leaves its exit code in a file.
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    int rc = -1;
    wait_until(
        [&] {
            const std::string text = read_unix(name + ".rc");
            if (text == "<missing>" || text.empty()) {
                return false;
            }
            rc = std::atoi(text.c_str());
            return true;
        },
        timeout_ms);
    return rc;
}

bool SigningKey::make() {
    dir = unique_name(std::string(TARNIX_TEST_BIN_DIR) + "/signing");
    CreateDirectoryW(widen(windows_path(dir)).c_str(), nullptr);
    if (run_unix_script(dir, kSignScript + " keygen " + dir) != 0) {
        return false;
    }
    public_hex = read_unix(dir + "/public.hex");
    return public_hex.size() == 128;
}

std::string SigningKey::sign(const std::string& file_bytes, const std::string& version) const {
    const std::string file = unique_name(dir + "/file");
    write_file(widen(windows_path(file)), file_bytes);
    if (run_unix_script(dir, kSignScript + " sign " + dir + "/key.pem " + file + " '" + version +
                                 "' " + file + ".sig") != 0) {
        return std::string();
    }
    std::string sig = read_unix(file + ".sig");
    return sig.size() == 64 ? sig : std::string();
}

std::string SigningKey::public_key() const {
    std::string key;
    for (size_t i = 0; i + 1 < public_hex.size(); i += 2) {
        key += static_cast<char>(std::stoi(public_hex.substr(i, 2), nullptr, 16));
    }
    return key;
}

std::string make_program_blob(size_t size, uint32_t seed) {
    std::string out = make_blob(size, seed);
    if (size < 0x86) {
        return out;
    }
    out[0] = 'M';
    out[1] = 'Z';
    out[0x3C] = static_cast<char>(0x80);
    out[0x3D] = out[0x3E] = out[0x3F] = 0;
    out.replace(0x80, 6, std::string("PE\0\0\x64\x86", 6));
    return out;
}

} // namespace testsupport
