#include "web/pages.h"

#include "base/text.h"

#include <cstdint>

namespace server {
namespace {

const char kRequestPath[] = "/account/reset";

std::string page(const PageFrame& frame, const std::string& title, const std::string& content) {
    return "<!DOCTYPE html>\n"
           "<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<title>" +
           html_escape(title) + " - " + html_escape(frame.service) +
           "</title>\n<link rel=\"stylesheet\" href=\"" + kStylesheetPath +
           "\">\n</head>\n<body>\n<header><span class=\"brand\">" + html_escape(frame.service) +
           "</span></header>\n<main>\n<h1>" + html_escape(title) + "</h1>\n" + content +
           "</main>\n</body>\n</html>\n";
}

std::string error_block(const std::string& error) {
    return error.empty()
               ? std::string()
               : "<p class=\"error\" id=\"error\" role=\"alert\">" + html_escape(error) + "</p>\n";
}

// A field's ties to the error above the form: marked invalid, and the error read
// with it (before what else describes it, `also`).
std::string tied_to(const std::string& error, const std::string& also = std::string()) {
    if (error.empty())
        return also.empty() ? std::string() : " aria-describedby=\"" + also + "\"";
    return " aria-invalid=\"true\" aria-describedby=\"error" + (also.empty() ? "" : " " + also) +
           "\"";
}

std::string csrf_field(const std::string& csrf) {
    return "<input type=\"hidden\" name=\"csrf\" value=\"" + html_escape(csrf) + "\">\n";
}

std::string action_link(const std::string& href, const std::string& text) {
    return "<p><a class=\"action\" href=\"" + html_escape(href) + "\">" + html_escape(text) +
           "</a></p>\n";
}

std::string back_link() {
    return action_link(kRequestPath, "重新申请重置链接");
}

} // namespace

const char kStylesheetPath[] = "/account/style.css";
const char kPasswordRule[] = "6至16位：字母、数字和符号每个算1位，汉字每个算2位。";

std::string html_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool parse_urlencoded(const std::string& body, std::map<std::string, std::string>& fields) {
    fields.clear();
    size_t at = 0;
    while (at <= body.size()) {
        size_t end = body.find('&', at);
        if (end == std::string::npos)
            end = body.size();
        const std::string pair = body.substr(at, end - at);
        if (!pair.empty()) {
            const size_t eq = pair.find('=');
            std::string name, value;
            if (!percent_decode(pair.substr(0, eq), true, name) ||
                !percent_decode(eq == std::string::npos ? std::string() : pair.substr(eq + 1), true,
                                value) ||
                !fields.emplace(name, value).second)
                return false;
        }
        at = end + 1;
    }
    return true;
}

const std::string& stylesheet() {
    // The product's colours: the navigation's dark grey and the accent blue. White
    // on the blue is 3.6:1, so the button's text is large and bold (WCAG's 3:1).
    static const std::string css =
        "*{box-sizing:border-box}\n"
        "html{font-family:\"微软雅黑\",\"Microsoft YaHei\",sans-serif;font-size:16px;"
        "line-height:1.5;color:#1f2328;background:#f2f4f7}\n"
        "body{margin:0}\n"
        "header{background:rgb(47,53,60);color:#fff;padding:12px 16px}\n"
        ".brand{font-size:18px;font-weight:bold}\n"
        "main{max-width:480px;margin:24px auto;padding:20px 16px;background:#fff;"
        "border-top:4px solid rgb(0,136,255)}\n"
        "h1{font-size:22px;margin:0 0 12px}\n"
        "label{display:block;margin:16px 0 4px;font-weight:bold}\n"
        "input[type=text],input[type=password]{display:block;width:100%;padding:10px;"
        "font:inherit;color:inherit;border:1px solid #8c959f;border-radius:4px;"
        "background:#fff}\n"
        "button{display:block;width:100%;margin-top:24px;padding:10px;font:inherit;"
        "font-size:18px;font-weight:bold;color:#fff;background:rgb(0,102,204);border:0;"
        "border-radius:4px;cursor:pointer}\n"
        "button:hover{background:rgb(0,82,163)}\n"
        "input[aria-invalid=true]{border:2px solid #a40e26}\n"
        "input:focus,button:focus,a:focus{outline:3px solid rgb(0,136,255);"
        "outline-offset:2px}\n"
        "a{color:rgb(0,102,204)}\n"
        // A link that is a step of its own is a finger's height, like the button.
        ".action{display:inline-block;padding:10px 0}\n"
        ".hint{color:#57606a;font-size:14px;margin:4px 0 0}\n"
        ".error{margin:12px 0;padding:10px 12px;color:#a40e26;background:#ffebe9;"
        "border-left:4px solid #cf222e}\n"
        ".notice{margin:12px 0;padding:10px 12px;background:#e7f3ff;"
        "border-left:4px solid rgb(0,136,255)}\n";
    return css;
}

std::string reset_request_page(const PageFrame& frame, const std::string& csrf,
                               const std::string& error, const std::string& account,
                               const std::string& email) {
    return page(frame, "找回密码",
                "<p>输入账号和注册时绑定的邮箱，我们会把重置密码的链接发送到该邮箱。</p>\n" +
                    error_block(error) + "<form method=\"post\" action=\"" + kRequestPath +
                    "\" accept-charset=\"UTF-8\">\n" + csrf_field(csrf) +
                    "<label for=\"account\">账号</label>\n"
                    "<input type=\"text\" id=\"account\" name=\"account\" required "
                    "autocomplete=\"username\" autocapitalize=\"none\" spellcheck=\"false\"" +
                    tied_to(error) + " value=\"" + html_escape(account) +
                    "\">\n"
                    "<label for=\"email\">绑定邮箱</label>\n"
                    "<input type=\"text\" id=\"email\" name=\"email\" required "
                    "inputmode=\"email\" autocomplete=\"email\" autocapitalize=\"none\" "
                    "spellcheck=\"false\"" +
                    tied_to(error) + " value=\"" + html_escape(email) +
                    "\">\n"
                    "<button type=\"submit\">发送重置链接</button>\n</form>\n");
}

std::string reset_sent_page(const PageFrame& frame, int64_t minutes) {
    return page(frame, "请查收邮件",
                "<p class=\"notice\" role=\"status\">如果账号与邮箱匹配，重置链接已发送到该邮箱，" +
                    std::to_string(minutes) +
                    "分钟内有效</p>\n"
                    "<p class=\"hint\">没有收到？请检查垃圾邮件，或稍后再试。</p>\n" +
                    back_link());
}

std::string new_password_page(const PageFrame& frame, const std::string& csrf,
                              const std::string& action, const std::string& account,
                              const std::string& error) {
    return page(frame, "设置新密码",
                "<p>为账号 <strong>" + html_escape(account) + "</strong> 设置新密码。</p>\n" +
                    error_block(error) + "<form method=\"post\" action=\"" + html_escape(action) +
                    "\" accept-charset=\"UTF-8\">\n" + csrf_field(csrf) +
                    "<label for=\"password\">新密码</label>\n"
                    "<input type=\"password\" id=\"password\" name=\"password\" required "
                    "autocomplete=\"new-password\"" +
                    tied_to(error, "rule") +
                    ">\n"
                    "<p class=\"hint\" id=\"rule\">" +
                    kPasswordRule +
                    "</p>\n"
                    "<label for=\"again\">再次输入新密码</label>\n"
                    "<input type=\"password\" id=\"again\" name=\"again\" required "
                    "autocomplete=\"new-password\">\n"
                    "<button type=\"submit\">设置新密码</button>\n</form>\n");
}

std::string reset_done_page(const PageFrame& frame) {
    return page(
        frame, "密码已重置",
        "<p class=\"notice\" role=\"status\">密码已重置，请使用新密码登录</p>\n"
        "<p class=\"hint\">账号如曾被锁定，现已解除。请回到Tarnix客户端用新密码登录。</p>\n");
}

std::string message_page(const PageFrame& frame, const std::string& title,
                         const std::string& message, const std::string& again) {
    return page(frame, title,
                "<p class=\"error\" role=\"alert\">" + html_escape(message) + "</p>\n" +
                    (again.empty() ? back_link() : action_link(again, "重新打开此页面")));
}

} // namespace server
