// The account operations against the reference account server, end to end: the
// real server (the native build's binary, run by Wine as a Unix process), the
// real main window in this process, the real message boxes.
#include "support/box_watcher_win.h"
#include "support/mailbox_win.h"
#include "support/process_win.h"
#include "ui/controls_win.h"
#include "ui/forms_win.h"
#include "ui/gbk_win.h"
#include "app/composition_win.h"
#include "ui/main_window_win.h"

#include "protocol/http_request_win.h"

#include <gtest/gtest.h>

#include <wincrypt.h>

#include <fstream>
#include <sstream>

namespace {

using testsupport::BoxWatcher;
using testsupport::windows_path;

const std::string kServer = std::string(TARNIX_TEST_BIN_DIR) + "/../../native/server/tarnix-server";
const std::string kMailRelay = std::string(TARNIX_SOURCE_DIR) + "/tests/support/mail_relay.sh";
const std::string kHaproxyConfig = std::string(TARNIX_SOURCE_DIR) + "/deploy/haproxy/tarnix.cfg";

bool exists(const std::string& unix_path) {
    return GetFileAttributesA(windows_path(unix_path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string read_file(const std::string& unix_path) {
    std::ifstream in(windows_path(unix_path), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs a shell command line as a Unix process. Wine starts it but gives no
// handle that can be waited for or terminated, so the server's pid goes to a
// file and a second command stops it.
bool run_shell(const std::string& script) {
    std::string cmd = "Z:\\bin\\sh -c \"" + script + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        return false;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

// The reference server on a free port with its data in a fresh folder, mailing
// its codes to a relay of its own (tests/support/mail_relay.sh, its Maildir in
// dir/relay); both stopped (and the folder removed) when the test ends. `timeout`
// ends them anyway should the test process die first.
struct ReferenceServer {
    std::string dir;
    std::string url;

    // How clients reach it: plain HTTP; its own HTTPS; or HTTPS ended by the shipped
    // HAProxy configuration in front, which names each client in a PROXY header.
    enum class Edge { Plain, Https, Haproxy };

    // With HTTPS, a throw-away certificate authority (dir/ca/ca.pem) signs the
    // certificate first (P-256 for HAProxy, as its configuration asks).
    bool start(Edge edge = Edge::Plain) {
        // A folder per server: the previous one is removed in the background.
        static int started = 0;
        dir = std::string(TARNIX_TEST_BIN_DIR) + "/account_e2e_" +
              std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++started);
        const std::string tls =
            edge == Edge::Https
                ? " --tls-cert " + dir + "/ca/server.pem --tls-key " + dir + "/ca/server.key"
            : edge == Edge::Haproxy ? " --proxy-from 127.0.0.1 --exempt-addresses ''"
                                    : "";
        const std::string ca =
            edge == Edge::Https     ? " && sh " TARNIX_TEST_CA_SCRIPT " " + dir + "/ca"
            : edge == Edge::Haproxy ? " && sh " TARNIX_TEST_CA_SCRIPT " " + dir + "/ca ec"
                                    : "";
        run_shell("rm -rf " + dir + " && mkdir -p " + dir + ca + " && port=$(sh " + kMailRelay +
                  " start " + dir + "/relay 300) && echo $$ > " + dir +
                  "/server.pid && exec timeout 300 " + kServer + " --port 0 --db " + dir +
                  "/accounts.db --smtp-url smtp://127.0.0.1:$port --smtp-allow-plaintext"
                  " --mail-from 'Tarnix <no-reply@example.com>'" +
                  tls + " > " + dir + "/server.out 2> " + dir + "/server.log");
        const std::string prefix = "listening on ";
        const bool listening = testsupport::wait_until(
            [&] {
                const std::string out = read_file(dir + "/server.out");
                const size_t at = out.find(prefix);
                const size_t end = out.find('\n', at);
                if (at == std::string::npos || end == std::string::npos) {
                    return false;
                }
                url = out.substr(at + prefix.size(), end - at - prefix.size());
                return true;
            },
            20000);
        return listening && (edge != Edge::Haproxy || start_haproxy());
    }

    // The shipped configuration on a free loopback port in front of the server, with
    // the authority's certificate and fresh ticket keys; `url` becomes its HTTPS one.
    bool start_haproxy() {
        const std::string instance = url.substr(url.find("127.0.0.1:"));
        const std::string server_at = instance.substr(0, instance.find('/'));
        run_shell("cd " + dir +
                  " && cat ca/server.pem ca/server.key > haproxy.pem && "
                  "(for i in 1 2 3; do head -c 48 /dev/urandom | base64 -w0; echo; done) > "
                  "ticket.keys && port=$(python3 -c 'import socket; s = socket.socket(); "
                  "s.bind((str(), 0)); print(s.getsockname()[1])') && echo $$ > haproxy.pid && "
                  "echo $port > haproxy.port.new && mv haproxy.port.new haproxy.port && "
                  "TARNIX_BIND=127.0.0.1:$port TARNIX_CERT=haproxy.pem "
                  "TARNIX_TICKET_KEYS=ticket.keys TARNIX_A=" +
                  server_at + " TARNIX_B=" + server_at + " exec timeout 300 haproxy -db -q -f " +
                  kHaproxyConfig + " 2> haproxy.log");
        std::string port;
        if (!testsupport::wait_until(
                [&] { return !(port = read_file(dir + "/haproxy.port")).empty(); }, 20000))
            return false;
        // By name: Wine matches a certificate's DNS names only.
        url = "https://localhost:" + port.substr(0, port.find('\n')) + "/tx-client.asp";
        return true;
    }

    ~ReferenceServer() {
        if (!dir.empty()) {
            run_shell("kill $(cat " + dir + "/server.pid) $(cat " + dir +
                      "/haproxy.pid 2>/dev/null); sh " + kMailRelay + " stop " + dir +
                      "/relay; sleep 1; rm -rf " + dir);
        }
    }
    // The code the server mailed to `address`, as its owner reads it.
    std::string code_mailed_to(const std::string& address) {
        return testsupport::code_mailed_to(dir + "/relay/Maildir", address, 20000);
    }
};

struct Page {
    HWND w;
    BoxWatcher& watcher;

    // Clicks `button` and returns the texts of the boxes it showed.
    std::vector<std::string> click(const char* button) {
        watcher.clear();
        ui::fire_event(w, button, ui::Event::Clicked);
        std::vector<std::string> texts;
        for (const auto& box : watcher.boxes()) {
            texts.push_back(box.caption + "|" + box.text);
        }
        return texts;
    }
    std::vector<std::string> sign_in(const std::string& account, const std::string& password) {
        ui::fire_event(w, main_names::kNavHome, ui::Event::Clicked);
        ui::set_text(w, main_names::kSignInAccount, account);
        ui::set_text(w, main_names::kSignInPassword, password);
        return click(main_names::kSignIn);
    }
    // Signs up with the code the server sent to `email`, as the user reads it
    // from the mail; the boxes that 确认注册 showed.
    std::vector<std::string> sign_up(ReferenceServer& server, const std::string& account,
                                     const std::string& password, const std::string& email,
                                     const char* screenshot = nullptr) {
        ui::fire_event(w, main_names::kNavSignUp, ui::Event::Clicked);
        ui::set_text(w, main_names::kEmail, email);
        EXPECT_EQ(click(main_names::kGetCode), std::vector<std::string>{});
        const std::string code = server.code_mailed_to(email);
        EXPECT_EQ(code.size(), 6u)
            << "no mail with a code for " << email << " in " << server.dir << "/relay/Maildir";
        ui::set_text(w, main_names::kSignUpAccount, account);
        ui::set_text(w, main_names::kSignUpPassword, password);
        ui::set_text(w, main_names::kCode, code);
        if (screenshot != nullptr) {
            watcher.screenshot_next(screenshot);
        }
        return click(main_names::kConfirmSignUp);
    }
};

using Boxes = std::vector<std::string>;

// A certificate authority trusted by this Wine prefix's current user (its own
// registry, never the machine's store) while the object lives. The store is
// closed after each change: Wine writes a registry store back only then.
class TrustedRoot {
public:
    explicit TrustedRoot(const std::string& pem) {
        DWORD size = 0;
        if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size,
                                  nullptr, nullptr)) {
            return;
        }
        std::string der(size, '\0');
        CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER,
                             reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr);
        cert_ = CertCreateCertificateContext(X509_ASN_ENCODING,
                                             reinterpret_cast<const BYTE*>(der.data()), size);
        HCERTSTORE store = open_root();
        if (cert_ != nullptr && store != nullptr) {
            added_ = CertAddCertificateContextToStore(store, cert_, CERT_STORE_ADD_REPLACE_EXISTING,
                                                      nullptr) != 0;
        }
        if (store != nullptr) {
            CertCloseStore(store, 0);
        }
    }
    ~TrustedRoot() {
        HCERTSTORE store = open_root();
        if (added_ && store != nullptr) {
            PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                              CERT_FIND_EXISTING, cert_, nullptr);
            if (found != nullptr) {
                CertDeleteCertificateFromStore(found); // also frees `found`
            }
        }
        if (store != nullptr) {
            CertCloseStore(store, 0);
        }
        if (cert_ != nullptr) {
            CertFreeCertificateContext(cert_);
        }
    }
    TrustedRoot(const TrustedRoot&) = delete;
    TrustedRoot& operator=(const TrustedRoot&) = delete;
    bool added() const { return added_; }

private:
    static HCERTSTORE open_root() {
        return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0,
                             CERT_SYSTEM_STORE_CURRENT_USER, "Root");
    }
    PCCERT_CONTEXT cert_ = nullptr;
    bool added_ = false;
};

} // namespace

// Request a code, sign up with it, sign in with the right and a wrong password,
// change the password, and sign in with the new one (and no longer the old).
TEST(AccountEndToEnd, SignUpSignInAndPasswordChange) {
    if (!exists(kServer)) {
        GTEST_SKIP() << "the reference server is not built (" << kServer
                     << "): cmake --preset native && cmake --build build/native --target "
                        "tarnix-server";
    }
    ReferenceServer server;
    ASSERT_TRUE(server.start()) << "the reference server or its mail relay did not start; see "
                                << server.dir << "/server.log and relay/relay.log";
    HWND w = load_main_window(server.url);
    ASSERT_NE(w, nullptr);
    ASSERT_FALSE(ui::disabled(w, main_names::kSignIn))
        << "handshake with the reference server failed";

    BoxWatcher watcher;
    Page page{w, watcher};
    const std::string info = gbk("信息：") + "|";
    const std::string notice = gbk("友情提醒") + "|";
    const std::string account = gbk("测试") + "user";
    const std::string email = "e2e@example.cn";

    // Sign-up: the code comes from the mail the server sent.
    EXPECT_EQ(page.sign_up(server, account, "Secret 123", email, "e2e_sign_up_success"),
              Boxes{info + gbk("注册成功")});

    // Sign-in: success shows nothing; a wrong password is the server's refusal.
    EXPECT_EQ(page.sign_in(account, "Secret 123"), Boxes{});
    watcher.screenshot_next("e2e_sign_in_refused");
    EXPECT_EQ(page.sign_in(account, "Secret 124"), Boxes{info + gbk("账号或密码错误")});

    // Password change, answered in the timed notice box.
    ui::fire_event(w, main_names::kNavPassword, ui::Event::Clicked);
    ui::set_text(w, main_names::kChangeAccount, account);
    ui::set_text(w, main_names::kOldPassword, "Secret 123");
    ui::set_text(w, main_names::kNewPassword, "New&x=456");
    ui::set_text(w, main_names::kRepeatPassword, "New&x=456");
    watcher.screenshot_next("e2e_password_changed");
    EXPECT_EQ(page.click(main_names::kConfirmChange), Boxes{notice + gbk("密码修改成功")});

    EXPECT_EQ(page.sign_in(account, "New&x=456"), Boxes{});
    EXPECT_EQ(page.sign_in(account, "Secret 123"), Boxes{info + gbk("账号或密码错误")});
}

// The same client over HTTPS, with the server's authority trusted in this Wine
// prefix only: a sign-up and sign-ins through the main window.
TEST(AccountEndToEnd, OverHttpsWithATestAuthority) {
    if (!exists(kServer)) {
        GTEST_SKIP() << "the reference server is not built (" << kServer << ")";
    }
    ReferenceServer server;
    ASSERT_TRUE(server.start(ReferenceServer::Edge::Https))
        << "the reference server or its mail relay did not start; see " << server.dir;
    ASSERT_EQ(server.url.compare(0, 18, "https://127.0.0.1:"), 0) << server.url;
    // By name: Wine matches a certificate's DNS names only, not its IP addresses.
    const std::string url = "https://localhost:" + server.url.substr(18);
    // Trusted before the first HTTPS request: Wine's chain engine reads the
    // prefix's stores once per process and would not see a later addition.
    TrustedRoot root(read_file(server.dir + "/ca/ca.pem"));
    ASSERT_TRUE(root.added());
    EXPECT_EQ(http_request(url, kHttpPost, "cmd=c"), "ConnectionOk");

    HWND w = load_main_window(url);
    ASSERT_NE(w, nullptr);
    ASSERT_FALSE(ui::disabled(w, main_names::kSignIn)) << "handshake over HTTPS failed";
    BoxWatcher watcher;
    Page page{w, watcher};
    const std::string info = gbk("信息：") + "|";
    const std::string account = "tls" + gbk("用户");
    const std::string email = "tls@example.cn";
    EXPECT_EQ(page.sign_up(server, account, "Secret 789", email), Boxes{info + gbk("注册成功")});
    EXPECT_EQ(page.sign_in(account, "Secret 789"), Boxes{});
    EXPECT_EQ(page.sign_in(account, "Secret 780"), Boxes{info + gbk("账号或密码错误")});
}

// The production layout: HAProxy ends TLS in front (the shipped configuration) and
// hands the server each client's address in a PROXY header; the same client signs
// up and in through it, and the server counts the client, not HAProxy.
TEST(AccountEndToEnd, ThroughHaproxyOverHttps) {
    if (!exists(kServer)) {
        GTEST_SKIP() << "the reference server is not built (" << kServer << ")";
    }
    if (!exists("/usr/sbin/haproxy")) {
        GTEST_SKIP() << "needs the Debian package haproxy";
    }
    ReferenceServer server;
    ASSERT_TRUE(server.start(ReferenceServer::Edge::Haproxy))
        << "the server, its relay or HAProxy did not start; see " << server.dir;
    TrustedRoot root(read_file(server.dir + "/ca/ca.pem"));
    ASSERT_TRUE(root.added());
    // HAProxy takes a moment to bind and to see the instance up.
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return http_request(server.url, kHttpPost, "cmd=c") == "ConnectionOk"; }, 20000))
        << server.url;

    HWND w = load_main_window(server.url);
    ASSERT_NE(w, nullptr);
    ASSERT_FALSE(ui::disabled(w, main_names::kSignIn)) << "handshake through HAProxy failed";
    BoxWatcher watcher;
    Page page{w, watcher};
    const std::string info = gbk("信息：") + "|";
    const std::string account = "edge" + gbk("用户");
    const std::string email = "edge@example.cn";
    EXPECT_EQ(page.sign_up(server, account, "Secret 456", email), Boxes{info + gbk("注册成功")});
    EXPECT_EQ(page.sign_in(account, "Secret 456"), Boxes{});
    // The server saw the client's address from the header, and nothing refused.
    const std::string log = read_file(server.dir + "/server.log");
    EXPECT_NE(log.find("127.0.0.1 cmd=1 u="), std::string::npos) << log;
    EXPECT_EQ(log.find("refused"), std::string::npos) << log;
}
