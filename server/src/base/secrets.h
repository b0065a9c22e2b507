// Passwords at rest: AES-256-GCM (libcrypto EVP) under a key kept apart from the data.
//
// The sign-in proof is MD5(challenge + password), so the server must be able to
// recover every password: hashing is impossible with this protocol. What is stored
// is a sealed copy that names its format and its key and is bound to its account:
//
//   byte 0      0x01: version 1, AES-256-GCM
//   bytes 1-8   the key's id: the first 8 hex digits of the SHA-256 of its 32 bytes
//   bytes 9-20  a fresh random nonce
//   then        the ciphertext (as long as the password) and the 16-byte tag
//
// with the associated data "tarnix-password:" + the account name, so a sealed copy
// moved onto another account's row does not open. A plain-text password never
// starts with a byte below 0x20 (the server refuses control bytes in passwords), so
// rows written before encryption are told apart by their first byte.
//
// Everything here may be called from any thread once the keyring is built; it is
// not changed afterwards. Key bytes and opened passwords are wiped when they go.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace server {

// Bytes wiped (OPENSSL_cleanse) when they go; never copied, only moved.
class Secret {
public:
    Secret() = default;
    explicit Secret(size_t size);
    Secret(const void* data, size_t size);
    ~Secret();
    Secret(Secret&& other) noexcept;
    Secret& operator=(Secret&& other) noexcept;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    unsigned char* data() { return data_.get(); }
    const unsigned char* data() const { return data_.get(); }
    size_t size() const { return size_; }
    std::string_view view() const {
        return std::string_view(reinterpret_cast<const char*>(data_.get()), size_);
    }
    // Compared in constant time (for equal sizes).
    bool equals(std::string_view other) const;
    // Keeps the first `size` bytes (size <= size()); the rest is wiped.
    void shrink(size_t size);

private:
    void wipe();
    std::unique_ptr<unsigned char[]> data_;
    size_t size_ = 0;
};

// One 32-byte key and its id.
struct SecretKey {
    Secret bytes;   // 32 bytes
    std::string id; // 8 lower-case hex digits
};

// Reads a key file: 32 raw bytes, or 64 hex digits and a newline. Refused (false,
// with the reason in `error`) when it is not an owner-only regular file
// (open_owner_only in files.h), or when it holds anything else.
bool load_secret_key(const std::string& path, SecretKey& key, std::string& error);

// Writes a new random key to DIR/secret.key as 64 hex digits and a newline
// (create_owner_only_file: mode 0600, never over an existing file). `path` gets the
// file's path.
bool make_secret_key(const std::string& dir, std::string& path, std::string& error);

class Keyring;

// The keyring of the key files: the current one (every write) and previous ones (read
// only). No current file: a keyring without keys (plain text), and then previous ones
// are refused. False with the reason in `error` when a file is refused.
bool load_keyring(const std::string& current, const std::vector<std::string>& previous,
                  std::shared_ptr<const Keyring>& keys, std::string& error);

// A stored password that opens under none of the keys (or is damaged). The request
// that met it fails; the server goes on.
class UnreadablePassword : public std::runtime_error {
public:
    UnreadablePassword(std::string account, std::string key_id, const std::string& what);
    const std::string& account() const { return account_; }
    const std::string& key_id() const { return key_id_; } // "" for an unknown format

private:
    std::string account_;
    std::string key_id_;
};

enum class StoredForm { Plain, Sealed, Unknown };

// The current key (every write) and previous ones (read only). Without keys every
// password is stored and read as plain text, as before encryption.
class Keyring {
public:
    Keyring() = default;
    Keyring(SecretKey current, std::vector<SecretKey> previous);
    Keyring(const Keyring&) = delete;
    Keyring& operator=(const Keyring&) = delete;

    bool encrypts() const { return !keys_.empty(); }
    // "" without keys.
    const std::string& current_id() const;
    // The header a row sealed under the current key starts with (9 bytes); "" without keys.
    std::string current_header() const;
    // The header of every key, current first.
    std::vector<std::string> headers() const;

    // What is stored for `password` of `account`: sealed under the current key, or the
    // password itself without keys. Throws std::runtime_error when libcrypto fails.
    std::string seal(const std::string& account, std::string_view password) const;

    // The password of a stored value: a sealed one opened with whichever known key it
    // names; a plain-text one as it is, but only without keys. Throws
    // UnreadablePassword otherwise.
    Secret open(const std::string& account, std::string_view stored) const;

    // A queued mail's subject or body (it may carry a live code or recovery link),
    // bound to its Message-ID: sealed under the current key, or as it is without keys.
    std::string seal_mail_text(const std::string& message_id, std::string_view text) const;
    // The text again; one that is not sealed as it is. Throws UnreadablePassword (named
    // for the Message-ID) when a sealed one opens under no known key.
    std::string open_mail_text(const std::string& message_id, std::string_view stored) const;

    static StoredForm form_of(std::string_view stored);
    // The key id a sealed value names; "" for any other.
    static std::string key_id_of(std::string_view stored);

private:
    // Sealed under the current key with `ad` as the associated data (keys given).
    std::string seal_bound(const std::string& ad, std::string_view text) const;
    // Opens a sealed value; `account` names it in the exception.
    Secret open_bound(const std::string& ad, std::string_view stored,
                      const std::string& account) const;
    const SecretKey* find(const std::string& id) const;
    std::vector<SecretKey> keys_; // current first
};

// What a store finds among its passwords at start-up, before it writes anything.
struct PasswordSurvey {
    bool any_plain = false;  // a row written without a key
    bool any_sealed = false; // a row of a sealed (or unknown) form
    bool opened = false;     // a sealed row that opens under one of the keys
};

// Why a database cannot be served with these keys; "" when it can. A database with
// sealed rows of which none opens is refused: a wrong key would otherwise answer
// every sign-in with an error and seal new accounts under a key the others lack.
std::string key_mismatch(const PasswordSurvey& survey, const Keyring& keys);

} // namespace server
