#include "http/tls.h"

#include "base/clock.h"
#include "base/crypto.h"
#include "base/files.h"
#include "base/text.h"

#include <gnutls/x509.h>
#include <microhttpd.h>

#include <atomic>
#include <cstring>

namespace server {
namespace {

// 64 bytes as 128 hex digits, white space around them allowed.
bool read_ticket_key(const std::string& path, std::string& key, std::string& error) {
    std::string text;
    key.clear();
    if (!read_owner_only_file(path, "ticket key file", text, error))
        return false;
    text = trim(text, " \t\r\n");
    for (size_t i = 0; i + 1 < text.size() && text.size() == 128; i += 2) {
        const int hi = hex_digit_value(text[i]);
        const int lo = hex_digit_value(text[i + 1]);
        if (hi < 0 || lo < 0)
            break;
        key += static_cast<char>(hi * 16 + lo);
    }
    if (key.size() == 64)
        return true;
    error = "the ticket key file " + path + " must hold 128 hex digits (openssl rand -hex 64)";
    key.clear();
    return false;
}

std::string random_ticket_key() {
    gnutls_datum_t key{};
    std::string out;
    if (gnutls_session_ticket_key_generate(&key) == 0) {
        out.assign(reinterpret_cast<const char*>(key.data), key.size);
        gnutls_memset(key.data, 0, key.size);
        gnutls_free(key.data);
    }
    return out;
}

gnutls_datum_t datum(const std::string& s) {
    return gnutls_datum_t{reinterpret_cast<unsigned char*>(const_cast<char*>(s.data())),
                          static_cast<unsigned>(s.size())};
}

bool same_public_key(gnutls_pubkey_t a, gnutls_pubkey_t b) {
    gnutls_datum_t da{}, db{};
    bool same = gnutls_pubkey_export2(a, GNUTLS_X509_FMT_DER, &da) == 0 &&
                gnutls_pubkey_export2(b, GNUTLS_X509_FMT_DER, &db) == 0 && da.size == db.size &&
                std::memcmp(da.data, db.data, da.size) == 0;
    gnutls_free(da.data);
    gnutls_free(db.data);
    return same;
}

} // namespace

Credentials::~Credentials() {
    for (gnutls_pcert_st& c : chain)
        gnutls_pcert_deinit(&c);
    if (key)
        gnutls_privkey_deinit(key);
}

std::unique_ptr<Credentials> load_credentials(const std::string& cert_pem,
                                              const std::string& key_pem, std::string& error) {
    auto c = std::make_unique<Credentials>();
    const gnutls_datum_t cert = datum(cert_pem);
    gnutls_pcert_st chain[16];
    unsigned n = 16;
    int rc = gnutls_pcert_list_import_x509_raw(chain, &n, &cert, GNUTLS_X509_FMT_PEM, 0);
    if (rc < 0 || n == 0) {
        error = std::string("the certificate does not load: ") + gnutls_strerror(rc);
        return nullptr;
    }
    c->chain.assign(chain, chain + n);
    const gnutls_datum_t key = datum(key_pem);
    if ((rc = gnutls_privkey_init(&c->key)) < 0 ||
        (rc = gnutls_privkey_import_x509_raw(c->key, &key, GNUTLS_X509_FMT_PEM, nullptr, 0)) < 0) {
        error = std::string("the key does not load: ") + gnutls_strerror(rc);
        return nullptr;
    }
    gnutls_pubkey_t of_key = nullptr;
    bool matches = gnutls_pubkey_init(&of_key) == 0 &&
                   gnutls_pubkey_import_privkey(of_key, c->key, 0, 0) == 0 &&
                   same_public_key(of_key, c->chain[0].pubkey);
    gnutls_pubkey_deinit(of_key);
    if (!matches) {
        error = "the key is not the certificate's";
        return nullptr;
    }
    gnutls_x509_crt_t x509 = nullptr;
    int64_t not_after = 0, not_before = 0;
    if (gnutls_x509_crt_init(&x509) == 0 &&
        gnutls_x509_crt_import(x509, &c->chain[0].cert, GNUTLS_X509_FMT_DER) == 0) {
        not_after = gnutls_x509_crt_get_expiration_time(x509);
        not_before = gnutls_x509_crt_get_activation_time(x509);
    }
    gnutls_x509_crt_deinit(x509);
    const int64_t now = now_seconds();
    if (not_after <= now || not_before > now) {
        error = "the certificate is not valid now (expired or not yet valid)";
        return nullptr;
    }
    return c;
}

int pick_credentials(gnutls_session_t session, const gnutls_datum_t*, int,
                     const gnutls_pk_algorithm_t*, int, gnutls_pcert_st** chain,
                     unsigned int* length, gnutls_privkey_t* key) {
    auto* connection = static_cast<MHD_Connection*>(gnutls_session_get_ptr(session));
    const MHD_ConnectionInfo* info =
        connection ? MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT)
                   : nullptr;
    const auto* context = info ? static_cast<const TlsContext*>(info->socket_context) : nullptr;
    Credentials* c =
        context && context->current ? context->current->load(std::memory_order_acquire) : nullptr;
    if (!c)
        return -1;
    *chain = c->chain.data();
    *length = static_cast<unsigned>(c->chain.size());
    *key = c->key;
    return 0;
}

bool refresh_ticket_key(TicketKey& key, const std::string& file, int64_t random_seconds,
                        int64_t now_ms, std::string& error) {
    constexpr int64_t kFileReadMs = 60 * 1000;
    const int64_t age = now_ms - key.taken_ms;
    if (!key.bytes.empty() && age < (file.empty() ? random_seconds * 1000 : kFileReadMs))
        return true;
    std::string bytes = file.empty() ? random_ticket_key() : std::string();
    if (!file.empty() && !read_ticket_key(file, bytes, error))
        return false;
    if (bytes.size() != 64) {
        error = "cannot make a session ticket key";
        return false;
    }
    key.bytes = std::move(bytes);
    key.taken_ms = now_ms;
    return true;
}

} // namespace server
