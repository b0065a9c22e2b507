#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <wininet.h>

#include <utility>

// Owners of the platform's handles: each closes its handle exactly once, when
// it goes out of scope, on every path. Declared in the order of opening, a
// group of them closes in the reverse order.
namespace platform {

template <typename H, typename Traits> class Unique {
public:
    Unique() = default;
    explicit Unique(H handle) : handle_(handle) {}
    ~Unique() { reset(); }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : handle_(std::exchange(other.handle_, Traits::invalid())) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.handle_, Traits::invalid()));
        }
        return *this;
    }

    H get() const { return handle_; }
    // For functions that fill in a handle: the old one is closed first.
    H* out() {
        reset();
        return &handle_;
    }
    explicit operator bool() const { return handle_ != Traits::invalid(); }
    void reset(H handle = Traits::invalid()) {
        if (handle_ != Traits::invalid()) {
            Traits::close(handle_);
        }
        handle_ = handle;
    }

private:
    H handle_ = Traits::invalid();
};

struct KernelTraits { // threads, events, timers (null when absent)
    static HANDLE invalid() { return nullptr; }
    static void close(HANDLE h) { CloseHandle(h); }
};
struct InternetTraits {
    static HINTERNET invalid() { return nullptr; }
    static void close(HINTERNET h) { InternetCloseHandle(h); }
};
struct GdiTraits {
    static HGDIOBJ invalid() { return nullptr; }
    static void close(HGDIOBJ h) { DeleteObject(h); }
};
struct CryptContextTraits {
    static HCRYPTPROV invalid() { return 0; }
    static void close(HCRYPTPROV h) { CryptReleaseContext(h, 0); }
};
struct CryptHashTraits {
    static HCRYPTHASH invalid() { return 0; }
    static void close(HCRYPTHASH h) { CryptDestroyHash(h); }
};
struct BCryptAlgorithmTraits {
    static BCRYPT_ALG_HANDLE invalid() { return nullptr; }
    static void close(BCRYPT_ALG_HANDLE h) { BCryptCloseAlgorithmProvider(h, 0); }
};
struct BCryptKeyTraits {
    static BCRYPT_KEY_HANDLE invalid() { return nullptr; }
    static void close(BCRYPT_KEY_HANDLE h) { BCryptDestroyKey(h); }
};
using BCryptAlgorithm = Unique<BCRYPT_ALG_HANDLE, BCryptAlgorithmTraits>;
using BCryptKey = Unique<BCRYPT_KEY_HANDLE, BCryptKeyTraits>;

using UniqueHandle = Unique<HANDLE, KernelTraits>;
using InternetHandle = Unique<HINTERNET, InternetTraits>;
using GdiObject = Unique<HGDIOBJ, GdiTraits>;
using CryptContext = Unique<HCRYPTPROV, CryptContextTraits>;
using CryptHash = Unique<HCRYPTHASH, CryptHashTraits>;

// Files from CreateFile, which reports a failure as INVALID_HANDLE_VALUE, not null.
struct FileTraits {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CloseHandle(h); }
};
using UniqueFile = Unique<HANDLE, FileTraits>;

} // namespace platform
