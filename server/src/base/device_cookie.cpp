#include "base/device_cookie.h"

#include "base/clock.h"
#include "base/crypto.h"
#include "base/files.h"
#include "base/text.h"

#include <unistd.h>

#include <stdexcept>

namespace server {
namespace {

const char kPrefix[] = "tx_device_";
constexpr unsigned char kFormat = 1;
// An install cookie's own format byte: a device cookie's value never opens as one.
constexpr unsigned char kInstallFormat = 2;
constexpr size_t kDeviceIdLength = 32;
constexpr size_t kMacBytes = 32;
const char kHexDigits[] = "0123456789abcdef";

std::string random_key() {
    return random_bytes(kDeviceKeyBytes);
}

} // namespace

bool read_device_key(const std::string& path, std::string& key, std::string& error) {
    const int fd = open_owner_only(path, "device key", error);
    if (fd < 0)
        return false;
    Secret bytes;
    const bool read = read_up_to(fd, kDeviceKeyBytes + 1, bytes);
    ::close(fd);
    if (!read || bytes.size() != kDeviceKeyBytes) {
        error = "the device key " + path + " must hold exactly 32 bytes";
        return false;
    }
    key.assign(bytes.view());
    return true;
}

DeviceCookies::DeviceCookies(DeviceCookieConfig config) : config_(std::move(config)) {
    if (config_.key.empty()) {
        config_.key = random_key();
        ephemeral_ = true;
    }
    if (config_.key.size() != kDeviceKeyBytes)
        throw std::invalid_argument("a device key has 32 bytes");
}

std::string DeviceCookies::cookie_name(const std::string& account) {
    return kPrefix + hex_lower(sha256(account).substr(0, 4));
}

std::string DeviceCookies::new_device_id() {
    return random_text(kDeviceIdLength, kHexDigits);
}

std::string DeviceCookies::mac(const std::string& payload) const {
    return hmac_sha256(config_.key, payload);
}

std::string DeviceCookies::tag(const std::string& purpose, const std::string& data) const {
    // A cookie's payload starts with its format byte (1), a purpose with a letter.
    return mac(purpose + '\0' + data);
}

std::string DeviceCookies::sealed(unsigned char format, const std::string& id,
                                  const std::string& bound, int64_t expires) const {
    std::string payload(1, static_cast<char>(format));
    for (int shift = 56; shift >= 0; shift -= 8)
        payload += static_cast<char>((static_cast<uint64_t>(expires) >> shift) & 0xFF);
    payload += id;
    payload += bound;
    return base64url(payload + mac(payload));
}

std::string secure_attribute(bool configured, bool over_tls) {
    return configured || over_tls ? "; Secure" : "";
}

std::string DeviceCookies::value(const std::string& account, const std::string& device,
                                 int64_t expires) const {
    return sealed(kFormat, device, account, expires);
}

std::string DeviceCookies::with_attributes(const std::string& name, const std::string& value,
                                           int64_t expires, bool over_tls) const {
    // Expires as well as Max-Age: WinInet keeps a cookie across runs by its Expires.
    return name + "=" + value + "; Max-Age=" + std::to_string(config_.lifetime_seconds) +
           "; Expires=" + rfc_date_text(expires, "GMT") + "; Path=/; HttpOnly; SameSite=Strict" +
           secure_attribute(config_.secure, over_tls);
}

std::string DeviceCookies::set_cookie(const std::string& account, const std::string& device,
                                      int64_t now, bool over_tls) const {
    const int64_t expires = now + config_.lifetime_seconds;
    return with_attributes(cookie_name(account), value(account, device, expires), expires,
                           over_tls);
}

std::string DeviceCookies::set_install_cookie(const std::string& install, int64_t now,
                                              bool over_tls) const {
    const int64_t expires = now + config_.lifetime_seconds;
    return with_attributes(kInstallCookie, sealed(kInstallFormat, install, "", expires), expires,
                           over_tls);
}

std::string DeviceCookies::opened(const std::string& cookie_header, const std::string& name,
                                  unsigned char format, const std::string& bound,
                                  int64_t now) const {
    for (const std::string& value : cookie_values(cookie_header, name, config_.max_checked)) {
        std::string bytes;
        if (!from_base64url(value, bytes) ||
            bytes.size() != 1 + 8 + kDeviceIdLength + bound.size() + kMacBytes ||
            static_cast<unsigned char>(bytes[0]) != format)
            continue;
        const std::string payload = bytes.substr(0, bytes.size() - kMacBytes);
        uint64_t expires = 0;
        for (int i = 1; i <= 8; ++i)
            expires = expires << 8 | static_cast<unsigned char>(bytes[i]);
        if (equal_in_constant_time(mac(payload), bytes.substr(payload.size())) &&
            payload.compare(1 + 8 + kDeviceIdLength, std::string::npos, bound) == 0 &&
            static_cast<int64_t>(expires) > now)
            return payload.substr(1 + 8, kDeviceIdLength);
    }
    return std::string();
}

std::string DeviceCookies::device_of(const std::string& account, const std::string& cookie_header,
                                     int64_t now) const {
    return opened(cookie_header, cookie_name(account), kFormat, account, now);
}

std::string DeviceCookies::install_of(const std::string& cookie_header, int64_t now) const {
    return opened(cookie_header, kInstallCookie, kInstallFormat, "", now);
}

} // namespace server
