// The update signing key and the signature the server serves with the update
// file, checked against an independent verification with libcrypto.
#include "server_process.h"
#include "wire_client.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>

using namespace server_test;
namespace fs = std::filesystem;

namespace {

// Standard output of the server run with `args`, and its exit code.
std::string server_output(const std::string& args, int& code) {
    std::string out;
    FILE* p = popen((std::string(TARNIX_SERVER_EXE) + " " + args + " 2>/dev/null").c_str(), "r");
    char buf[256];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int status = p ? pclose(p) : -1;
    code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

std::string sha256_hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_sha256(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

// Checks a 64-byte r||s signature of `message` against the public key as the
// client holds it (128 hex digits, X then Y).
bool verifies(const std::string& public_hex, const std::string& message, const std::string& sig) {
    if (public_hex.size() != 128 || sig.size() != 64)
        return false;
    unsigned char point[65] = {0x04};
    for (size_t i = 0; i < 64; ++i)
        point[1 + i] =
            static_cast<unsigned char>(std::stoi(public_hex.substr(2 * i, 2), nullptr, 16));
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(kctx);
    EVP_PKEY_fromdata(kctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    ECDSA_SIG* es = ECDSA_SIG_new();
    const auto* raw = reinterpret_cast<const unsigned char*>(sig.data());
    ECDSA_SIG_set0(es, BN_bin2bn(raw, 32, nullptr), BN_bin2bn(raw + 32, 32, nullptr));
    unsigned char* der = nullptr;
    int der_len = i2d_ECDSA_SIG(es, &der);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    bool ok = key && EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestVerify(md, der, static_cast<size_t>(der_len),
                               reinterpret_cast<const unsigned char*>(message.data()),
                               message.size()) == 1;
    EVP_MD_CTX_free(md);
    OPENSSL_free(der);
    ECDSA_SIG_free(es);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(kctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return ok;
}

// keygen makes a key only its owner can read and never replaces one; the
// server signs its update file with it for the client version it announces.
TEST(ServerTest, SignsTheUpdateFileForItsClientVersion) {
    char tmpl[] = "/tmp/tarnix-sign-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    int code = -1;
    std::string public_hex = server_output("keygen " + dir, code);
    EXPECT_EQ(code, 0);
    ASSERT_EQ(public_hex.size(), 129u) << public_hex; // and a line break
    public_hex.pop_back();
    const std::string key = dir + "/update-key.pem";
    struct stat st {};
    ASSERT_EQ(stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string pem = read_file(key);
    server_output("keygen " + dir, code);
    EXPECT_EQ(code, 1) << "an existing key was replaced";
    EXPECT_EQ(read_file(key), pem);

    const std::string path = dir + "/update.bin";
    std::string content(300000, '\0');
    std::mt19937 rng(9);
    for (auto& c : content)
        c = static_cast<char>(rng());
    std::ofstream(path, std::ios::binary) << content;
    {
        // The version as the client compares it: GBK bytes ("版" is B0 E6).
        ServerProcess server(
            {"--update-file", path, "--update-key", key, "--client-version", "1.0版"});
        httplib::Client client("127.0.0.1", server.port());
        auto sig = client.Get("/download/Tarnix.exe.sig");
        ASSERT_TRUE(sig);
        EXPECT_EQ(sig->status, 200);
        ASSERT_EQ(sig->body.size(), 64u);
        const std::string digest = sha256_hex(content);
        EXPECT_TRUE(verifies(public_hex, "tarnix-update:1.0\xB0\xE6:" + digest, sig->body));
        EXPECT_FALSE(verifies(public_hex, "tarnix-update:1.003:" + digest, sig->body));
        EXPECT_FALSE(verifies(public_hex, "tarnix-update:1.0\xB0\xE6:" + sha256_hex(content + "x"),
                              sig->body));
        EXPECT_EQ(server.stop(), 0);
    }
    {
        ServerProcess unsigned_server({"--update-file", path});
        httplib::Client client("127.0.0.1", unsigned_server.port());
        auto sig = client.Get("/download/Tarnix.exe.sig");
        ASSERT_TRUE(sig);
        EXPECT_EQ(sig->status, 404) << "no key, no signature";
    }
    {
        // A signature made elsewhere is served byte for byte; only 64 bytes will do.
        const std::string made = dir + "/made.sig";
        std::ofstream(made, std::ios::binary) << std::string(63, 'r') << 's';
        ServerProcess server({"--update-file", path, "--update-signature", made});
        httplib::Client client("127.0.0.1", server.port());
        auto sig = client.Get("/download/Tarnix.exe.sig");
        ASSERT_TRUE(sig);
        EXPECT_EQ(sig->status, 200);
        EXPECT_EQ(sig->body, std::string(63, 'r') + "s");
        EXPECT_EQ(server.stop(), 0);
        std::ofstream(made, std::ios::binary) << std::string(63, 'r');
        EXPECT_EQ(run_server({"--update-file", path, "--update-signature", made, "--port", "0",
                              "--db", dir + "/x.db", "--outbox", dir + "/o.txt"}),
                  2)
            << "63 bytes served as a signature";
        EXPECT_EQ(
            run_server({"--update-file", path, "--update-signature", made, "--update-key", key}), 2)
            << "a signature and a key";
    }
    EXPECT_EQ(run_server({"--update-key", key}), 2) << "a key without a file to sign";
    EXPECT_EQ(run_server({"--update-key", path, "--update-file", path, "--port", "0", "--db",
                          dir + "/x.db", "--outbox", dir + "/o.txt"}),
              2)
        << "not a key";
    EXPECT_FALSE(fs::exists(dir + "/x.db")) << "the server started before it could sign";
    EXPECT_EQ(run_server({"keygen"}), 2);
    fs::remove_all(dir);
}

} // namespace

// A server with its own TLS serves the update over plain HTTP on a listener of its
// own, which the status record names and which answers nothing but downloads.
TEST(DownloadListenerTest, AServerWithTlsServesItsUpdateOverPlainHttpBeside) {
    char tmpl[] = "/tmp/tarnix-download-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    ASSERT_EQ(std::system(("sh " TARNIX_TEST_CA_SCRIPT " " + dir + " >/dev/null").c_str()), 0);
    const std::string update = dir + "/Tarnix.exe";
    std::ofstream(update, std::ios::binary) << "MZ" << std::string(100000, 'x');
    const std::string signature = dir + "/Tarnix.exe.sig";
    std::ofstream(signature, std::ios::binary) << std::string(64, 's');
    const std::vector<std::string> tls = {"--tls-cert",        dir + "/server.pem", "--tls-key",
                                          dir + "/server.key", "--update-file",     update};
    {
        std::vector<std::string> args = tls;
        args.insert(args.end(),
                    {"--update-signature", signature, "--download-listen", "127.0.0.1:0"});
        ServerProcess server(args);
        ASSERT_GT(server.download_port(), 0);
        SSL_CTX* client = wire::client_tls(dir + "/ca.pem");
        ASSERT_NE(client, nullptr);
        wire::Connection over_tls;
        wire::Reply status;
        ASSERT_TRUE(over_tls.open("", "127.0.0.1", server.port(), client));
        ASSERT_TRUE(over_tls.exchange(wire::post("/tx-client.asp", "cmd=5"), status));
        const std::string location =
            "127.0.0.1:" + std::to_string(server.download_port()) + "/download/Tarnix.exe";
        EXPECT_NE(status.body.find("|" + location + "|"), std::string::npos) << status.body;
        SSL_CTX_free(client);

        httplib::Client plain("127.0.0.1", server.download_port());
        auto file = plain.Get("/download/Tarnix.exe");
        ASSERT_TRUE(file);
        EXPECT_EQ(file->status, 200);
        EXPECT_EQ(file->body.size(), 100002u);
        auto rest = plain.Get("/download/Tarnix.exe", {{"Range", "bytes=100000-"}});
        ASSERT_TRUE(rest);
        EXPECT_EQ(rest->status, 206);
        EXPECT_EQ(rest->body, "xx");
        auto sig = plain.Get("/download/Tarnix.exe.sig");
        ASSERT_TRUE(sig);
        EXPECT_EQ(sig->body, std::string(64, 's'));
        // Nothing else: no protocol, no pages, no health over this port.
        auto post = plain.Post("/tx-client.asp", "cmd=c", "application/x-www-form-urlencoded");
        ASSERT_TRUE(post);
        EXPECT_EQ(post->status, 404);
        for (const char* path : {"/tx-client.asp", "/readyz", "/account/reset"}) {
            auto other = plain.Get(path);
            ASSERT_TRUE(other);
            EXPECT_EQ(other->status, 404) << path;
        }
        EXPECT_EQ(server.stop(), 0);
    }
    // Without it the start is refused with the way out; a download listener on every
    // address cannot be named to clients either.
    std::string said;
    std::vector<std::string> start = tls;
    start.insert(start.end(), {"--port", "0", "--db", dir + "/a.db", "--outbox", dir + "/o.txt"});
    EXPECT_EQ(run_server(start, nullptr, &said), 2);
    EXPECT_NE(said.find("needs download-listen HOST:PORT"), std::string::npos) << said;
    start.insert(start.end(), {"--download-listen", "0.0.0.0:0"});
    EXPECT_EQ(run_server(start, nullptr, &said), 2);
    EXPECT_NE(said.find("--update-file with download-listen 0.0.0.0:0 needs update-location"),
              std::string::npos)
        << said;
    fs::remove_all(dir);
}
