#include "mail/mail.h"

#include "base/charset.h"
#include "base/clock.h"
#include "base/crypto.h"
#include "base/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace server {
namespace {

// Pieces of at most `max` bytes that end on UTF-8 character boundaries.
std::vector<std::string> utf8_pieces(const std::string& s, size_t max) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < s.size()) {
        size_t end = std::min(s.size(), start + max);
        while (end < s.size() && end > start && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80)
            --end;
        out.push_back(s.substr(start, end - start));
        start = end;
    }
    return out;
}

std::string render(const std::string& text, const std::map<std::string, std::string>& values) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '{') {
            size_t close = text.find('}', i);
            if (close != std::string::npos) {
                auto it = values.find(text.substr(i + 1, close - i - 1));
                if (it != values.end()) {
                    out += it->second;
                    i = close + 1;
                    continue;
                }
            }
        }
        out += text[i++];
    }
    return out;
}

// A {word} that is not one of `names`; "" when there is none. Other braces are text.
std::string unknown_placeholder(const std::string& text, const std::vector<std::string>& names) {
    for (size_t i = text.find('{'); i != std::string::npos; i = text.find('{', i + 1)) {
        size_t j = i + 1;
        while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) ||
                                   text[j] == '_' || text[j] == '-'))
            ++j;
        if (j == i + 1 || j >= text.size() || text[j] != '}')
            continue;
        const std::string name = text.substr(i + 1, j - i - 1);
        if (std::find(names.begin(), names.end(), name) == names.end())
            return name;
    }
    return std::string();
}

} // namespace

bool acceptable_address(const std::string& gbk) {
    if (gbk.size() < 3 || gbk.size() > 100 || !well_formed_gbk(gbk))
        return false;
    for (unsigned char c : gbk) {
        if (c <= 0x20 || c == 0x7F || std::strchr("<>()[],;:\"\\", c))
            return false;
    }
    const size_t at = find_in_gbk(gbk, '@');
    return at != std::string::npos && at > 0 && at + 1 < gbk.size() &&
           find_in_gbk(gbk, '@', at + 1) == std::string::npos;
}

std::string address_domain(const std::string& address) {
    const size_t at = address.rfind('@');
    return at == std::string::npos ? std::string() : address.substr(at + 1);
}

MailTemplate MailTemplate::builtin_code() {
    MailTemplate t;
    t.subject = "{service}邮箱验证码";
    t.body = "您好！\n"
             "\n"
             "您正在注册{service}账号，本次的邮箱验证码是：\n"
             "\n"
             "    {code}\n"
             "\n"
             "验证码{minutes}分钟内有效，请回到注册页面输入。\n"
             "如果这不是您本人的操作，请忽略本邮件，您的邮箱不会被注册。\n"
             "\n"
             "此邮件由系统自动发出，请勿回复。\n"
             "{service}\n";
    return t;
}

const std::vector<std::string>& code_template_names() {
    static const std::vector<std::string> names = {"code", "minutes", "service"};
    return names;
}

bool MailTemplate::parse(const std::string& raw, const std::vector<std::string>& names,
                         MailTemplate& out, std::string& error) {
    std::string text = raw;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    if (!valid_utf8(text)) {
        error = "the template is not UTF-8 text";
        return false;
    }
    std::string lf;
    for (char c : text) {
        if (c != '\r')
            lf += c;
    }
    const size_t line_end = lf.find('\n');
    const std::string first = lf.substr(0, line_end);
    static const char kSubject[] = "Subject:";
    if (first.compare(0, sizeof kSubject - 1, kSubject) != 0 || line_end == std::string::npos ||
        lf.compare(line_end, 2, "\n\n") != 0) {
        error = "the template must start with a \"Subject:\" line and an empty line";
        return false;
    }
    size_t start = sizeof kSubject - 1;
    while (start < first.size() && first[start] == ' ')
        ++start;
    out.subject = first.substr(start);
    out.body = lf.substr(line_end + 2);
    for (unsigned char c : out.subject + out.body) {
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) {
            error = "the template holds control characters";
            return false;
        }
    }
    if (out.subject.empty() || out.body.empty()) {
        error = "the template's subject and body cannot be empty";
        return false;
    }
    const std::string unknown = unknown_placeholder(out.subject + "\n" + out.body, names);
    if (!unknown.empty()) {
        error = "the template has an unknown placeholder {" + unknown + "}";
        return false;
    }
    return true;
}

std::string MailTemplate::render_subject(const std::map<std::string, std::string>& values) const {
    return render(subject, values);
}

std::string MailTemplate::render_body(const std::map<std::string, std::string>& values) const {
    return render(body, values);
}

bool parse_mail_from(const std::string& text, MailFrom& out, std::string& error) {
    std::string name, address = text;
    const size_t open = text.find('<');
    if (open != std::string::npos) {
        const size_t close = text.find('>', open);
        if (close == std::string::npos || close + 1 != text.size()) {
            error = "mail-from must be an address or \"Name <address>\"";
            return false;
        }
        address = text.substr(open + 1, close - open - 1);
        name = trim(text.substr(0, open), " ");
    }
    if (!is_ascii(address) || !acceptable_address(address) || !valid_utf8(name)) {
        error = "mail-from needs an ASCII address with one @ (and a UTF-8 name)";
        return false;
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
            error = "mail-from's name cannot hold quotes, backslashes or control characters";
            return false;
        }
    }
    out.address = address;
    out.domain = address_domain(address);
    if (name.empty())
        out.header = address;
    else if (is_ascii(name))
        out.header = "\"" + name + "\" <" + address + ">";
    else
        out.header = encode_header_text(name) + " <" + address + ">";
    return true;
}

std::string new_message_id(const std::string& domain, int64_t now) {
    return "<" + std::to_string(now) + "." +
           random_text(22, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789") + "@" +
           domain + ">";
}

std::string encode_header_text(const std::string& utf8) {
    bool plain = utf8.size() <= 60;
    for (unsigned char c : utf8)
        plain = plain && c >= 0x20 && c < 0x7F;
    if (plain)
        return utf8;
    // 36 bytes make 48 base64 characters, a 60-character word: "Subject: " and one
    // word stay within 78.
    std::string out;
    for (const std::string& piece : utf8_pieces(utf8, 36)) {
        if (!out.empty())
            out += "\r\n ";
        out += "=?UTF-8?B?" + base64(piece) + "?=";
    }
    return out;
}

std::string mail_date(int64_t seconds) {
    return rfc_date_text(seconds, "+0000");
}

std::string build_message(const OutgoingMail& mail, const MailFrom& from) {
    std::string body;
    for (char c : mail.body) {
        if (c == '\n')
            body += '\r';
        body += c;
    }
    std::string m = "From: " + from.header + "\r\n" + "To: " + mail.recipient + "\r\n" +
                    "Subject: " + encode_header_text(mail.subject) + "\r\n" +
                    "Date: " + mail_date(mail.created) + "\r\n" + "Message-ID: " + mail.message_id +
                    "\r\n" + "MIME-Version: 1.0\r\n" +
                    "Content-Type: text/plain; charset=UTF-8\r\n" +
                    "Content-Transfer-Encoding: base64\r\n\r\n";
    const std::string encoded = base64(body);
    for (size_t i = 0; i < encoded.size(); i += 76)
        m += encoded.substr(i, 76) + "\r\n";
    return m;
}

SendResult FileTransport::send(const OutgoingMail& mail) {
    SendResult a;
    std::lock_guard<std::mutex> lock(mutex_);
    std::FILE* f = std::fopen(path_.c_str(), "ab");
    if (!f) {
        a.detail = "cannot open " + path_;
        return a;
    }
    bool ok =
        std::fwrite(mail.file_line.data(), 1, mail.file_line.size(), f) == mail.file_line.size();
    ok = std::fclose(f) == 0 && ok;
    a.outcome = ok ? SendResult::Sent : SendResult::Retry;
    a.detail = ok ? "written" : "cannot write " + path_;
    return a;
}

} // namespace server
