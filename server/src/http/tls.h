// The engine's HTTPS pieces: the certificate chain and key as GnuTLS hands them to a
// handshake, checked when they load, and the master key of the session tickets (the
// process's own, replaced on a schedule, or read from a file that instances share).
//
// Threads: Credentials are immutable once loaded; any handshake thread may use them.
// A TicketKey belongs to its engine and is refreshed under the engine's lock. Nothing
// throws; a failure is false or null with the reason in `error`.
#pragma once

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace server {

// The handshakes' priorities (MHD_OPTION_HTTPS_PRIORITIES): TLS 1.2 and 1.3 only, AEAD
// ciphers only (no CBC), forward-secret key exchanges only, in the server's order:
// AES-128-GCM (with SHA-256 in TLS 1.3) first, X25519 then P-256 (bench/README.md:
// the measured try of this order).
inline constexpr char kTlsPriorities[] =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-128-GCM:+AES-256-GCM:"
    "+CHACHA20-POLY1305:-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:-GROUP-ALL:"
    "+GROUP-X25519:+GROUP-SECP256R1:%SERVER_PRECEDENCE";

// A certificate chain and its key, freed with it.
struct Credentials {
    std::vector<gnutls_pcert_st> chain;
    gnutls_privkey_t key = nullptr;
    Credentials() = default;
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;
    ~Credentials();
};

// Loads and checks a pair (PEM): the chain parses, the key parses and is the first
// certificate's, and that certificate is within its validity period now.
std::unique_ptr<Credentials> load_credentials(const std::string& cert_pem,
                                              const std::string& key_pem, std::string& error);

// What the certificate callback finds in a connection's socket context (the engine's
// state of that connection starts with it): the engine's current pair.
struct TlsContext {
    const std::atomic<Credentials*>* current = nullptr;
};

// GnuTLS's certificate callback (MHD_OPTION_HTTPS_CERT_CALLBACK). The library gives
// every session its connection as the pointer; the connection's socket context is a
// TlsContext (set before the handshake).
int pick_credentials(gnutls_session_t session, const gnutls_datum_t*, int,
                     const gnutls_pk_algorithm_t*, int, gnutls_pcert_st** chain,
                     unsigned int* length, gnutls_privkey_t* key);

// The session tickets' master key: 64 bytes once refreshed, and when it was taken.
struct TicketKey {
    std::string bytes;
    int64_t taken_ms = 0; // monotonic_ms()
};

// Brings `key` up to date at `now_ms`: a key of the process (`file` empty) is made
// anew once it is `random_seconds` old; a key file (128 hex digits, owner-only: with
// the key, anyone can read every session of its tickets) is read again every minute.
// False with the reason, the key kept as it was, when the file is refused or no key
// can be made.
bool refresh_ticket_key(TicketKey& key, const std::string& file, int64_t random_seconds,
                        int64_t now_ms, std::string& error);

} // namespace server
