// The account service's web pages (password recovery): plain HTML in Simplified
// Chinese, UTF-8, one stylesheet, no script. Every text that comes from a client or
// the database is HTML-escaped here, so a caller passes plain text.
//
// Pure functions: any thread, nothing thrown but std::bad_alloc.
#pragma once

#include <map>
#include <string>

namespace server {

// & < > " ' as character references: safe in element content and quoted attributes.
std::string html_escape(const std::string& text);

// An application/x-www-form-urlencoded body as browsers send it ('+' a space, %XX
// a byte). False for a broken escape or a field given twice.
bool parse_urlencoded(const std::string& body, std::map<std::string, std::string>& fields);

// The stylesheet, served at kStylesheetPath.
extern const char kStylesheetPath[];
// The rule of a password's length, in the words users read.
extern const char kPasswordRule[];
const std::string& stylesheet();

// What every page shares. `service` names the service in the header bar.
struct PageFrame {
    std::string service; // UTF-8
};

// GET /account/reset, or shown again with `error` (escaped) and what was typed.
std::string reset_request_page(const PageFrame& frame, const std::string& csrf,
                               const std::string& error, const std::string& account,
                               const std::string& email);

// The one answer to a request for a link, whatever it matched.
std::string reset_sent_page(const PageFrame& frame, int64_t minutes);

// The new password's form, for `account` (UTF-8), posted to `action`.
std::string new_password_page(const PageFrame& frame, const std::string& csrf,
                              const std::string& action, const std::string& account,
                              const std::string& error);

// The password was set.
std::string reset_done_page(const PageFrame& frame);

// A page with a title and one message (a refused link, a refused form...), with a
// link back to the request form, or, given `again`, to open that page anew (a form
// whose security check failed: a new link would end the one the user holds).
std::string message_page(const PageFrame& frame, const std::string& title,
                         const std::string& message, const std::string& again = std::string());

} // namespace server
