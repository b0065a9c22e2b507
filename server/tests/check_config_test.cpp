// tarnix-server check-config: every fault of a broken configuration named at once, by
// its setting and with the reason, and exit 2; a configuration that would start exits
// 0 with what keeps it from being a service users can reach.
#include "server_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>

using namespace server_test;

namespace {

class CheckConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarnix-check-config-XXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string file(const std::string& name, const std::string& bytes, mode_t mode) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        chmod(path.c_str(), mode);
        return path;
    }
    int check(std::vector<std::string> args, std::string& out) {
        args.insert(args.begin(), {"check-config", "--db", dir_ + "/accounts.db", "--outbox",
                                   dir_ + "/outbox.txt"});
        return run_server(args, &out);
    }

    std::string dir_;
};

TEST_F(CheckConfigTest, AConfigurationThatWouldStartIsTold) {
    std::string out;
    ASSERT_EQ(check({}, out), 0) << out;
    EXPECT_NE(out.find("the configuration would start"), std::string::npos) << out;
    EXPECT_NE(out.find("warning: codes and recovery links go to the outbox"), std::string::npos);
    EXPECT_NE(out.find("warning: public-url is empty"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/accounts.db")) << "nothing is written";
    // On a listener others reach, the outbox is said to be no service for users.
    ASSERT_EQ(check({"--host", "0.0.0.0"}, out), 0) << out;
    EXPECT_NE(out.find("warning: NOT FOR USERS: codes"), std::string::npos) << out;
}

TEST_F(CheckConfigTest, EveryFaultIsNamedOnALineOfItsOwn) {
    const std::string key = file("secret.key", std::string(64, 'a') + "\n", 0644);
    const std::string missing = dir_ + "/missing";
    std::string out;
    ASSERT_EQ(check({"--db", "/nonexistent-folder/accounts.db", "--tls-cert", missing + ".pem",
                     "--tls-key", missing + ".key", "--secret-key-file", key, "--update-file",
                     missing + ".exe", "--update-location", "example.org/download/Tarnix.exe",
                     "--mail-template", missing + ".txt", "--smtp-url", "smtp://127.0.0.1:25",
                     "--mail-from", "Tarnix <noreply@example.org>"},
                    out),
              2);
    for (const std::string& line :
         {"error: --tls-cert: cannot read " + missing + ".pem: No such file or directory",
          std::string("error: --db: cannot create /nonexistent-folder/accounts.db in "
                      "/nonexistent-folder: No such file or directory"),
          "error: --mail-template: cannot read " + missing + ".txt: No such file or directory",
          "error: --update-file: cannot read " + missing + ".exe: No such file or directory"})
        EXPECT_NE(out.find(line + "\n"), std::string::npos) << line << "\n" << out;
    EXPECT_NE(out.find("error: the secret key " + key + " may be read by others"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("would start"), std::string::npos);
}

// Settings that cannot work together are an error like any other: never followed by a
// line saying the configuration would start.
TEST_F(CheckConfigTest, SettingsThatCannotWorkTogetherAreNoConfigurationThatWouldStart) {
    std::string out;
    ASSERT_EQ(check({"--proxy-from", "127.0.0.1"}, out), 2);
    EXPECT_NE(out.find("error: exempt-addresses 127.0.0.1 is also in proxy-from"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("would start"), std::string::npos) << out;
    ASSERT_EQ(check({"--tls-cert", dir_ + "/cert.pem"}, out), 2);
    EXPECT_NE(out.find("error: --tls-cert and tls-key go together\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("would start"), std::string::npos) << out;
}

TEST_F(CheckConfigTest, CombinationsThatCannotServeTheUpdateAreRefusedWithTheWayOut) {
    const std::string update = file("Tarnix.exe", "MZ", 0644);
    std::string out;
    ASSERT_EQ(check({"--host", "0.0.0.0", "--update-file", update}, out), 2);
    EXPECT_NE(out.find("error: --update-file with host 0.0.0.0 needs update-location"),
              std::string::npos)
        << out;
    // A start is refused the same way, with the same line.
    std::string said;
    EXPECT_EQ(run_server({"--host", "0.0.0.0", "--port", "0", "--update-file", update, "--db",
                          dir_ + "/a.db", "--outbox", dir_ + "/o.txt"},
                         nullptr, &said),
              2);
    EXPECT_NE(said.find("update-file with host 0.0.0.0 needs update-location"), std::string::npos)
        << said;
    EXPECT_EQ(check({"--host", "0.0.0.0", "--update-file", update, "--update-location",
                     "tarnix.example.org/download/Tarnix.exe"},
                    out),
              0)
        << out;
}

} // namespace

TEST_F(CheckConfigTest, ThePasswordScreenAndTheEventKeyAreCheckedAsAStartChecksThem) {
    const std::string words = file("words.txt", "password\n", 0644);
    const std::string rules = file("pwquality.conf", "nosuchsetting = 1\n", 0644);
    const std::string events = file("events.key", std::string(32, 'e'), 0644);
    std::string out;
    ASSERT_EQ(check({"--breached-passwords", words, "--events-key-file", events}, out), 2);
    EXPECT_NE(out.find("error: the breached-password corpus " + words +
                       " does not begin with a SHA1HEX:COUNT line"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("error: --events-key-file: the secret key " + events), std::string::npos)
        << out;
    ASSERT_EQ(check({"--password-quality-file", rules}, out), 2);
    EXPECT_NE(out.find("error: --password-quality-file " + rules), std::string::npos) << out;
}

// A start refuses each fault of its configuration with check-config's line and exit
// code 2; what fails at the moment, a port another program holds or a database it
// cannot open, exits 1 with the system's reason.
TEST_F(CheckConfigTest, AStartRefusesAConfigurationFaultAsCheckConfigDoes) {
    const std::string ca = dir_ + "/ca";
    ASSERT_EQ(std::system(("sh " TARNIX_TEST_CA_SCRIPT " " + ca + " >/dev/null").c_str()), 0);
    const std::string readable = file("others.key", std::string(64, 'a') + "\n", 0644);
    const std::string device = file("device.key", std::string(32, 'd'), 0644);
    const std::string update = file("Tarnix.exe", "MZ", 0644);
    const std::string short_signature = file("Tarnix.exe.sig", std::string(63, 'r'), 0644);
    const std::string words = file("words.txt", "password\n", 0644);
    const std::vector<std::vector<std::string>> faults = {
        {"--secret-key-file", readable},
        {"--device-key-file", device},
        {"--events-key-file", readable},
        {"--tls-cert", dir_ + "/none.pem", "--tls-key", ca + "/server.key"},
        {"--tls-cert", ca + "/ca.pem", "--tls-key", ca + "/server.key"}, // not the key's
        {"--tls-cert", ca + "/server.pem", "--tls-key", ca + "/server.key", "--tls-ticket-key-file",
         readable},
        {"--update-file", update, "--update-signature", short_signature},
        {"--update-file", update, "--update-key", update},
        {"--breached-passwords", words},
    };
    for (const std::vector<std::string>& fault : faults) {
        std::string checked, said;
        EXPECT_EQ(check(fault, checked), 2) << checked;
        std::vector<std::string> start = {"--port",       "0",        "--db",
                                          dir_ + "/a.db", "--outbox", dir_ + "/o.txt"};
        start.insert(start.end(), fault.begin(), fault.end());
        EXPECT_EQ(run_server(start, nullptr, &said), 2) << fault[0] << "\n" << said;
        // The start's last line is one of check-config's errors.
        ASSERT_FALSE(said.empty()) << fault[0];
        said.pop_back();
        const std::string line = said.substr(said.rfind('\n') + 1);
        ASSERT_EQ(line.rfind("tarnix-server: ", 0), 0u) << line;
        EXPECT_NE(checked.find("error: " + line.substr(15) + "\n"), std::string::npos)
            << line << "\n"
            << checked;
    }

    const int held = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(held, 1), 0);
    ASSERT_EQ(getsockname(held, reinterpret_cast<sockaddr*>(&address), &size), 0);
    std::string said;
    EXPECT_EQ(run_server({"--port", std::to_string(ntohs(address.sin_port)), "--db", dir_ + "/a.db",
                          "--outbox", dir_ + "/o.txt"},
                         nullptr, &said),
              1)
        << said;
    close(held);
    EXPECT_EQ(run_server({"--port", "0", "--db", dir_ + "/none/a.db", "--outbox", dir_ + "/o.txt"},
                         nullptr, &said),
              1);
    EXPECT_NE(said.find("cannot open database " + dir_ + "/none/a.db: cannot open " + dir_ +
                        "/none/a.db: No such file or directory\n"),
              std::string::npos)
        << said;
}
