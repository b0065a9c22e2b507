// Device cookies: a token a client gets when it signs in to an account, so that
// the server can tell the account's own devices from everyone else. Failed
// passwords are then counted per device (store.h), and a stranger's failures
// cannot lock the owner out.
//
// The cookie is named for the account (tx_device_ and 8 hex digits of the
// SHA-256 of the name, so one client keeps one per account) and holds, in
// base64url, a format byte, its expiry, the device id and the account name,
// followed by their HMAC-SHA-256 under the server's device key. Every instance
// behind a balancer must hold the same key.
//
// Thread safety: a DeviceCookies is immutable after construction; any thread may
// call it. Nothing here throws except when the system's random generator fails.
#pragma once

#include "base/policy.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace server {

constexpr size_t kDeviceKeyBytes = 32;

// Reads a device key file: exactly 32 bytes in an owner-only file (open_owner_only in
// files.h). False with the reason in `error`.
bool read_device_key(const std::string& path, std::string& key, std::string& error);

// A cookie's Secure attribute ("; Secure" or ""), for every cookie the server sets:
// the server is reached over HTTPS (its own TLS, or an https:// public URL:
// `configured`), or this request came over TLS to the proxy in front (`over_tls`).
std::string secure_attribute(bool configured, bool over_tls);

struct DeviceCookieConfig {
    std::string key;                              // 32 bytes; empty: a random one of this process
    int64_t lifetime_seconds = 365 * kDaySeconds; // a cookie is good for a year
    bool secure = false;                          // served over HTTPS: the cookie says Secure
    size_t max_checked = 10;                      // cookies looked at per request
};

class DeviceCookies {
public:
    explicit DeviceCookies(DeviceCookieConfig config = DeviceCookieConfig());

    // The device id of the first valid cookie for `account` in a Cookie header, ""
    // when there is none. A cookie with a wrong HMAC, past its expiry, for another
    // account or malformed is passed over; of the cookies named for the account only
    // the first `max_checked` are looked at, which bounds the work a request can cause.
    std::string device_of(const std::string& account, const std::string& cookie_header,
                          int64_t now) const;

    // A Set-Cookie header value naming `device` for `account`, good for the lifetime
    // from `now`; Secure (secure_attribute) when the config says so or `over_tls`.
    std::string set_cookie(const std::string& account, const std::string& device, int64_t now,
                           bool over_tls = false) const;

    // The bare cookie value (what set_cookie sends), made with an explicit expiry.
    std::string value(const std::string& account, const std::string& device, int64_t expires) const;

    // The install cookie (tx_install): one per client install, whatever account it uses,
    // so the server can offer an update to a stable share of installs. Its value holds
    // a format byte of its own, the expiry and the install id, with their HMAC under
    // the device key; the attributes are the device cookies'.
    static constexpr const char* kInstallCookie = "tx_install";
    // The install id of the first valid install cookie in a Cookie header, "" when none
    // (wrong HMAC, expired, malformed: passed over as for device cookies).
    std::string install_of(const std::string& cookie_header, int64_t now) const;
    // A Set-Cookie header value naming `install`, good for the lifetime from `now`
    // (Secure as set_cookie's).
    std::string set_install_cookie(const std::string& install, int64_t now,
                                   bool over_tls = false) const;

    // The name of the account's cookie: tx_device_ and 8 hex digits.
    static std::string cookie_name(const std::string& account);

    // A fresh device id: 32 lower-case hex digits from the secure generator.
    static std::string new_device_id();

    // An HMAC-SHA-256 under the device key for another use (the recovery pages' form
    // tokens), kept apart from the cookies' and from other uses by `purpose`.
    std::string tag(const std::string& purpose, const std::string& data) const;

    // True when no key was given and the process made its own.
    bool key_is_ephemeral() const { return ephemeral_; }

private:
    std::string mac(const std::string& payload) const;
    // The sealed value: format byte, expiry, id, `bound` (the account; "" for an install).
    std::string sealed(unsigned char format, const std::string& id, const std::string& bound,
                       int64_t expires) const;
    // The id of the first of the cookies `name` that opens with `format` and `bound`.
    std::string opened(const std::string& cookie_header, const std::string& name,
                       unsigned char format, const std::string& bound, int64_t now) const;
    // Name=value with the cookies' attributes.
    std::string with_attributes(const std::string& name, const std::string& value, int64_t expires,
                                bool over_tls) const;

    DeviceCookieConfig config_;
    bool ephemeral_ = false;
};

} // namespace server
