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
         {"error: tls-cert: cannot read " + missing + ".pem: No such file or directory",
          std::string("error: db: cannot create /nonexistent-folder/accounts.db in "
                      "/nonexistent-folder: No such file or directory"),
          "error: mail-template: cannot read " + missing + ".txt: No such file or directory",
          "error: update-file: cannot read " + missing + ".exe: No such file or directory"})
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
    EXPECT_NE(out.find("error: --exempt-addresses 127.0.0.1 is also in --proxy-from"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("would start"), std::string::npos) << out;
    ASSERT_EQ(check({"--tls-cert", dir_ + "/cert.pem"}, out), 2);
    EXPECT_NE(out.find("error: tls-cert and tls-key go together\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("would start"), std::string::npos) << out;
}

TEST_F(CheckConfigTest, CombinationsThatCannotServeTheUpdateAreRefusedWithTheWayOut) {
    const std::string update = file("Tarnix.exe", "MZ", 0644);
    std::string out;
    ASSERT_EQ(check({"--host", "0.0.0.0", "--update-file", update}, out), 2);
    EXPECT_NE(out.find("error: update-file with host 0.0.0.0 needs update-location"),
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
    EXPECT_NE(out.find("error: events-key-file: the secret key " + events), std::string::npos)
        << out;
    ASSERT_EQ(check({"--password-quality-file", rules}, out), 2);
    EXPECT_NE(out.find("error: password-quality-file " + rules), std::string::npos) << out;
}
