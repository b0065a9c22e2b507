#include "support/mailbox_win.h"

#include "support/files_win.h"
#include "support/process_win.h"

#include <cctype>
#include <string_view>

namespace testsupport {
namespace {

std::wstring widen(const std::string& ansi) {
    std::wstring out(ansi.size(), L'\0');
    const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()),
                                      out.data(), static_cast<int>(out.size()));
    out.resize(n > 0 ? n : 0);
    return out;
}

std::string lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

std::string trimmed(std::string_view s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    const size_t b = s.find_last_not_of(" \t\r\n");
    return a == std::string_view::npos ? std::string() : std::string(s.substr(a, b - a + 1));
}

// Characters outside the alphabet (the line breaks, the padding) are skipped.
std::string base64_decoded(std::string_view text) {
    static const std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const size_t v = alphabet.find(c);
        if (v == std::string_view::npos) {
            continue;
        }
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return out;
}

// A mail's headers (unfolded, names in lower case, each "name:value") and its
// decoded body.
struct Mail {
    std::string headers;
    std::string body;

    std::string header(const std::string& name) const {
        const std::string key = "\n" + name + ":";
        const size_t at = ("\n" + headers).find(key);
        if (at == std::string::npos) {
            return {};
        }
        const size_t start = at + key.size() - 1;
        return trimmed(std::string_view(headers).substr(start, headers.find('\n', start) - start));
    }
};

Mail parse(const std::string& raw) {
    Mail mail;
    size_t at = 0;
    while (at < raw.size()) {
        size_t end = raw.find('\n', at);
        if (end == std::string::npos) {
            end = raw.size();
        }
        std::string line = raw.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            break;
        }
        if (line[0] == ' ' || line[0] == '\t') {
            if (!mail.headers.empty()) {
                mail.headers.pop_back(); // the folded line continues the header
            }
            mail.headers += line + "\n";
            continue;
        }
        const size_t colon = line.find(':');
        mail.headers += lower(line.substr(0, colon)) +
                        (colon == std::string::npos ? "" : line.substr(colon)) + "\n";
    }
    const std::string body = at < raw.size() ? raw.substr(at) : std::string();
    mail.body =
        lower(mail.header("content-transfer-encoding")) == "base64" ? base64_decoded(body) : body;
    return mail;
}

bool addressed_to(const Mail& mail, const std::string& address) {
    const std::string to = lower(mail.header("to"));
    const std::string want = lower(address);
    return to == want || to.find("<" + want + ">") != std::string::npos;
}

std::string six_digits(const std::string& text) {
    size_t run = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            ++run;
            continue;
        }
        if (run == 6) {
            return text.substr(i - 6, 6);
        }
        run = 0;
    }
    return {};
}

std::string newest_code(const std::string& maildir, const std::string& address) {
    // The relay moves a mail into new/ whole, once written.
    const std::wstring dir = widen(windows_path(maildir + "/new")) + L"\\";
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((dir + L"*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string code;
    ULONGLONG newest = 0;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            continue;
        }
        const ULONGLONG written =
            (static_cast<ULONGLONG>(found.ftLastWriteTime.dwHighDateTime) << 32) |
            found.ftLastWriteTime.dwLowDateTime;
        if (!code.empty() && written < newest) {
            continue;
        }
        const Mail mail = parse(read_file(dir + found.cFileName));
        const std::string c = addressed_to(mail, address) ? six_digits(mail.body) : std::string();
        if (!c.empty()) {
            code = c;
            newest = written;
        }
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return code;
}

} // namespace

std::string code_mailed_to(const std::string& maildir, const std::string& address,
                           DWORD timeout_ms) {
    std::string code;
    wait_until(
        [&] {
            code = newest_code(maildir, address);
            return !code.empty();
        },
        timeout_ms);
    return code;
}

} // namespace testsupport
