#include "base/log.h"

#include "base/charset.h"
#include "base/clock.h"
#include "base/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include <unistd.h>

namespace server {
namespace {

std::mutex g_log_mutex;

// A line is written for every request, and its time text changes once a second.
const std::string& time_text() {
    thread_local int64_t at = -1;
    thread_local std::string text;
    const int64_t now = now_seconds();
    if (now != at) {
        text = local_time_text(now);
        at = now;
    }
    return text;
}

// The one writer: a whole line in one write(2) (stderr is unbuffered, so stdio
// would only add its own locking and copying), again for what a signal cut short.
void write(const char* line, size_t size) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(STDERR_FILENO, line + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nowhere to report it
        done += static_cast<size_t>(n);
    }
}

void write(const std::string& line) {
    write(line.data(), line.size());
}

// Client text for a line: as it is when it is printable ASCII (a request's
// command and account, nearly always), else made printable.
template <typename Add> void add_printable(const Add& add, std::string_view gbk) {
    if (is_printable_ascii(gbk))
        add(gbk);
    else
        add(printable(std::string(gbk)));
}

// A text line: the time, the words and the end of line, built in one buffer.
void write_text(const std::string& first, const std::string& rest = std::string()) {
    const std::string& time = time_text();
    std::string line;
    line.reserve(time.size() + first.size() + rest.size() + 2);
    line.append(time).append(1, ' ').append(first).append(rest).append(1, '\n');
    write(line);
}

LogFormat g_format = LogFormat::Text;

// {"time":...,"level":...,"event":... (the caller adds its fields and the end)
std::string json_start(const char* level, const char* event) {
    std::string out;
    out.reserve(256);
    out += "{\"time\":\"";
    out += utc_now_text_ms();
    out += "\",\"level\":\"";
    out += level;
    out += "\",\"event\":";
    append_json_string(out, event);
    return out;
}

void json_field(std::string& out, const char* name, const std::string& utf8) {
    out += ",\"";
    out += name;
    out += "\":";
    append_json_string(out, utf8);
}

// An account name or other client bytes as UTF-8: ASCII as it is, GBK converted.
std::string client_text(const std::string& gbk) {
    return is_ascii(gbk) ? gbk : gbk_to_utf8_replacing(gbk);
}

enum class Level { Info, Warning, Error };

void write_line(Level level, const char* event, const std::string& text) {
    if (g_format == LogFormat::Text) {
        write_text(level == Level::Warning ? "warning: "
                   : level == Level::Error ? "error: "
                                           : "",
                   text);
        return;
    }
    std::string line = json_start(level == Level::Warning ? "warn"
                                  : level == Level::Error ? "error"
                                                          : "info",
                                  event);
    json_field(line, "message", text);
    line += "}\n";
    write(line);
}

} // namespace

void set_log_format(LogFormat format) {
    g_format = format;
}

void append_json_string(std::string& out, const std::string& s) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : "";
            if (c != '\n' && c != '\t' && c != '\r') {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            }
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (size_t n = utf8_char_length(s, i)) {
            out.append(s, i, n);
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    out += '"';
}

void log_info(const std::string& text, const char* event) {
    write_line(Level::Info, event, text);
}

void log_warning(const std::string& text, const char* event) {
    write_line(Level::Warning, event, text);
}

void log_error(const std::string& text, const char* event) {
    write_line(Level::Error, event, text);
}

void log_start_failure(const std::string& text) {
    if (g_format == LogFormat::Text)
        write("tarnix-server: " + text + "\n");
    else
        write_line(Level::Error, "start", text);
}

void log_request(const RequestRecord& r) {
    if (g_format == LogFormat::Text) {
        // A line for every request: built in a buffer of this thread, so it costs no
        // allocation; a line past its size (a long result) is cut.
        thread_local char buffer[1024];
        size_t size = 0;
        const auto add = [&size](std::string_view text) {
            const size_t n = std::min(text.size(), sizeof buffer - 1 - size);
            std::memcpy(buffer + size, text.data(), n);
            size += n;
        };
        add(time_text());
        add(" ");
        add(r.client);
        add(" cmd=");
        add_printable(add, std::string_view(r.command).substr(0, 16));
        if (!r.account.empty()) {
            add(" u=");
            add_printable(add, std::string_view(r.account).substr(0, 64));
        }
        add(" -> ");
        add(r.result);
        buffer[size++] = '\n';
        write(buffer, size);
        return;
    }
    std::string line =
        json_start(r.result.rfind("server error", 0) == 0 ? "error" : "info", "request");
    json_field(line, "client", r.client);
    json_field(line, "command", client_text(r.command.substr(0, 16)));
    if (!r.account.empty())
        json_field(line, "account", client_text(r.account.substr(0, 64)));
    json_field(line, "result", r.result);
    char ms[32];
    std::snprintf(ms, sizeof ms, ",\"duration_ms\":%.3f}\n", r.duration_ms);
    line += ms;
    write(line);
}

} // namespace server
