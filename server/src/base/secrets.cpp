#include "base/secrets.h"

#include "base/crypto.h"
#include "base/files.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace server {
namespace {

constexpr unsigned char kVersion = 0x01;
constexpr size_t kKeyBytes = 32;
constexpr size_t kIdChars = 8;
constexpr size_t kHeaderBytes = 1 + kIdChars;
constexpr size_t kNonceBytes = 12;
constexpr size_t kTagBytes = 16;
const char kAssociatedPrefix[] = "tarnix-password:";
const std::string kMailPrefix = "tarnix-mail:"; // a queued mail's subject and body
const char kHex[] = "0123456789abcdef";

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

std::string key_id(const Secret& key) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(key.data(), key.size(), digest, &len, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 unavailable");
    return hex_lower(std::string_view(reinterpret_cast<const char*>(digest), kIdChars / 2));
}

std::string associated_data(const std::string& account) {
    return kAssociatedPrefix + account;
}

// The cipher fetched once: EVP_aes_256_gcm() is looked up in the provider store at
// every init, which was a third of the cost of opening a password.
const EVP_CIPHER* aes_256_gcm() {
    static const EVP_CIPHER* const cipher = [] {
        const EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
        return fetched ? fetched : EVP_aes_256_gcm();
    }();
    return cipher;
}

} // namespace

Secret::Secret(size_t size) : data_(new unsigned char[size ? size : 1]()), size_(size) {}

Secret::Secret(const void* data, size_t size) : Secret(size) {
    if (size)
        std::memcpy(data_.get(), data, size);
}

Secret::~Secret() {
    wipe();
}

Secret::Secret(Secret&& other) noexcept : data_(std::move(other.data_)), size_(other.size_) {
    other.size_ = 0;
}

Secret& Secret::operator=(Secret&& other) noexcept {
    if (this != &other) {
        wipe();
        data_ = std::move(other.data_);
        size_ = other.size_;
        other.size_ = 0;
    }
    return *this;
}

void Secret::wipe() {
    if (data_)
        OPENSSL_cleanse(data_.get(), size_);
    data_.reset();
    size_ = 0;
}

bool Secret::equals(std::string_view other) const {
    return other.size() == size_ &&
           (size_ == 0 || CRYPTO_memcmp(data_.get(), other.data(), size_) == 0);
}

void Secret::shrink(size_t size) {
    if (size >= size_)
        return;
    OPENSSL_cleanse(data_.get() + size, size_ - size);
    size_ = size;
}

bool load_secret_key(const std::string& path, SecretKey& key, std::string& error) {
    const int fd = open_owner_only(path, "secret key", error);
    if (fd < 0)
        return false;
    Secret raw;
    const bool read = read_up_to(fd, 2 * kKeyBytes + 2, raw);
    ::close(fd);
    if (!read) {
        error = "cannot read the secret key " + path + ": " + std::strerror(errno);
        return false;
    }
    Secret bytes(kKeyBytes);
    bool ok = false;
    if (raw.size() == kKeyBytes) {
        std::memcpy(bytes.data(), raw.data(), kKeyBytes);
        ok = true;
    } else if (raw.size() == 2 * kKeyBytes + 1 && raw.data()[2 * kKeyBytes] == '\n') {
        ok = true;
        for (size_t i = 0; i < kKeyBytes && ok; ++i) {
            const int hi = hex_digit_value(static_cast<char>(raw.data()[2 * i]));
            const int lo = hex_digit_value(static_cast<char>(raw.data()[2 * i + 1]));
            ok = hi >= 0 && lo >= 0;
            bytes.data()[i] = static_cast<unsigned char>(ok ? hi * 16 + lo : 0);
        }
    }
    if (!ok) {
        error = "the secret key " + path +
                " must hold 32 bytes, or 64 hex digits and a newline (it holds " +
                std::to_string(raw.size()) + " bytes)";
        return false;
    }
    key.id = key_id(bytes);
    key.bytes = std::move(bytes);
    return true;
}

bool make_secret_key(const std::string& dir, std::string& path, std::string& error) {
    Secret bytes(kKeyBytes);
    if (RAND_bytes(bytes.data(), static_cast<int>(kKeyBytes)) != 1) {
        error = "the random generator failed";
        return false;
    }
    // Spelled out here rather than by hex_lower, whose string would not be wiped.
    Secret text(2 * kKeyBytes + 1);
    for (size_t i = 0; i < kKeyBytes; ++i) {
        text.data()[2 * i] = static_cast<unsigned char>(kHex[bytes.data()[i] >> 4]);
        text.data()[2 * i + 1] = static_cast<unsigned char>(kHex[bytes.data()[i] & 15]);
    }
    text.data()[2 * kKeyBytes] = '\n';
    path = dir + "/secret.key";
    // A key that sealed passwords is never replaced by accident.
    return create_owner_only_file(path, text.view(), error);
}

bool load_keyring(const std::string& current, const std::vector<std::string>& previous,
                  std::shared_ptr<const Keyring>& keys, std::string& error) {
    if (current.empty()) {
        if (!previous.empty()) {
            error = "previous-secret-key-file needs secret-key-file";
            return false;
        }
        keys = std::make_shared<const Keyring>();
        return true;
    }
    SecretKey key;
    if (!load_secret_key(current, key, error))
        return false;
    std::vector<SecretKey> older;
    for (const std::string& path : previous) {
        SecretKey k;
        if (!load_secret_key(path, k, error))
            return false;
        older.push_back(std::move(k));
    }
    keys = std::make_shared<const Keyring>(std::move(key), std::move(older));
    return true;
}

UnreadablePassword::UnreadablePassword(std::string account, std::string key_id,
                                       const std::string& what)
    : std::runtime_error(what), account_(std::move(account)), key_id_(std::move(key_id)) {}

Keyring::Keyring(SecretKey current, std::vector<SecretKey> previous) {
    keys_.push_back(std::move(current));
    for (SecretKey& k : previous) {
        if (!find(k.id))
            keys_.push_back(std::move(k));
    }
}

const std::string& Keyring::current_id() const {
    static const std::string none;
    return keys_.empty() ? none : keys_.front().id;
}

std::string Keyring::current_header() const {
    return keys_.empty() ? std::string() : static_cast<char>(kVersion) + keys_.front().id;
}

std::vector<std::string> Keyring::headers() const {
    std::vector<std::string> out;
    for (const SecretKey& k : keys_)
        out.push_back(static_cast<char>(kVersion) + k.id);
    return out;
}

const SecretKey* Keyring::find(const std::string& id) const {
    for (const SecretKey& k : keys_) {
        if (k.id == id)
            return &k;
    }
    return nullptr;
}

StoredForm Keyring::form_of(std::string_view stored) {
    if (stored.empty() || static_cast<unsigned char>(stored[0]) >= 0x20)
        return StoredForm::Plain;
    if (static_cast<unsigned char>(stored[0]) == kVersion &&
        stored.size() >= kHeaderBytes + kNonceBytes + kTagBytes)
        return StoredForm::Sealed;
    return StoredForm::Unknown;
}

std::string Keyring::key_id_of(std::string_view stored) {
    return form_of(stored) == StoredForm::Sealed ? std::string(stored.substr(1, kIdChars))
                                                 : std::string();
}

std::string Keyring::seal(const std::string& account, std::string_view password) const {
    if (keys_.empty())
        return std::string(password);
    return seal_bound(associated_data(account), password);
}

std::string Keyring::seal_mail_text(const std::string& message_id, std::string_view text) const {
    if (keys_.empty())
        return std::string(text);
    return seal_bound(kMailPrefix + message_id, text);
}

std::string Keyring::open_mail_text(const std::string& message_id, std::string_view stored) const {
    // Mail text starts with a printable byte: one that is not sealed was queued before
    // the key was given (and is sent as it is).
    if (form_of(stored) != StoredForm::Sealed)
        return std::string(stored);
    Secret text = open_bound(kMailPrefix + message_id, stored, message_id);
    return std::string(text.view());
}

std::string Keyring::seal_bound(const std::string& ad, std::string_view text) const {
    const SecretKey& key = keys_.front();
    std::string out = current_header();
    out.resize(kHeaderBytes + kNonceBytes + text.size() + kTagBytes);
    unsigned char* nonce = reinterpret_cast<unsigned char*>(&out[kHeaderBytes]);
    unsigned char* body = nonce + kNonceBytes;
    unsigned char* tag = body + text.size();
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    if (RAND_bytes(nonce, static_cast<int>(kNonceBytes)) != 1 || !ctx ||
        EVP_EncryptInit_ex(ctx.get(), aes_256_gcm(), nullptr, key.bytes.data(), nonce) != 1 ||
        EVP_EncryptUpdate(ctx.get(), nullptr, &len,
                          reinterpret_cast<const unsigned char*>(ad.data()),
                          static_cast<int>(ad.size())) != 1 ||
        EVP_EncryptUpdate(ctx.get(), body, &len,
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), body + len, &len) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes), tag) != 1)
        throw std::runtime_error("AES-256-GCM unavailable");
    return out;
}

Secret Keyring::open(const std::string& account, std::string_view stored) const {
    switch (form_of(stored)) {
    case StoredForm::Plain:
        // With a key, start-up seals every older row: a plain one now was written by
        // someone without the key, and is not taken as a password.
        if (encrypts())
            throw UnreadablePassword(account, std::string(),
                                     "stored password is not sealed though a key is set"
                                     " (written behind the server's back)");
        return Secret(stored.data(), stored.size());
    case StoredForm::Unknown:
        throw UnreadablePassword(account, std::string(), "stored password of an unknown format");
    case StoredForm::Sealed:
        break;
    }
    return open_bound(associated_data(account), stored, account);
}

Secret Keyring::open_bound(const std::string& ad, std::string_view stored,
                           const std::string& account) const {
    const std::string id(stored.substr(1, kIdChars));
    const SecretKey* key = find(id);
    if (!key)
        throw UnreadablePassword(account, id, "stored password sealed under unknown key " + id);
    const auto* nonce = reinterpret_cast<const unsigned char*>(stored.data()) + kHeaderBytes;
    const unsigned char* body = nonce + kNonceBytes;
    const size_t body_size = stored.size() - kHeaderBytes - kNonceBytes - kTagBytes;
    // The tag is handed over as a copy: the control call takes a non-const buffer.
    unsigned char tag[kTagBytes];
    std::memcpy(tag, body + body_size, kTagBytes);
    Secret out(body_size);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    const bool opened =
        ctx &&
        EVP_DecryptInit_ex(ctx.get(), aes_256_gcm(), nullptr, key->bytes.data(), nonce) == 1 &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &len,
                          reinterpret_cast<const unsigned char*>(ad.data()),
                          static_cast<int>(ad.size())) == 1 &&
        EVP_DecryptUpdate(ctx.get(), out.data(), &len, body, static_cast<int>(body_size)) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes), tag) ==
            1 &&
        EVP_DecryptFinal_ex(ctx.get(), out.data() + len, &len) == 1;
    if (!opened)
        throw UnreadablePassword(account, id,
                                 "stored password does not open under key " + id +
                                     " (damaged, or moved from another account)");
    return out;
}

std::string key_mismatch(const PasswordSurvey& survey, const Keyring& keys) {
    if (!survey.any_sealed || survey.opened)
        return std::string();
    if (!keys.encrypts())
        return "the database holds encrypted passwords: start the server with its "
               "--secret-key-file";
    return "the secret key does not match this database";
}

} // namespace server
