// Settings from the command line and a TOML file, as an operator gives them.
#include "base/charset.h"
#include "server_process.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using server_test::run_server;
using server_test::ServerProcess;

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarnix-settings-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::string& name, const std::string& text) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    // The value of one key in --print-config's output for these arguments.
    static std::string printed(const std::string& config, const std::string& key) {
        for (size_t at = 0; at < config.size();) {
            size_t end = config.find('\n', at);
            if (end == std::string::npos)
                end = config.size();
            const std::string line = config.substr(at, end - at);
            if (line.compare(0, key.size() + 3, key + " = ") == 0)
                return line.substr(key.size() + 3);
            at = end + 1;
        }
        return "<missing>";
    }

    std::string dir_;
};

TEST_F(SettingsTest, FlagsWinOverTheFileAndTheFileOverDefaults) {
    const std::string file =
        write("server.toml", "port = 9100\n"
                             "announcement = \"从文件来\"\n"
                             "exempt-addresses = [\"10.0.0.1\", \"10.0.0.2\"]\n"
                             "threads = 3\n");
    std::string out, err;
    // The flag stands before --config and still wins.
    ASSERT_EQ(run_server({"--threads", "5", "--config", file, "--print-config"}, &out, &err), 0)
        << err;
    EXPECT_EQ(printed(out, "port"), "9100");
    EXPECT_EQ(printed(out, "announcement"), "\"从文件来\"");
    EXPECT_EQ(printed(out, "exempt-addresses"), "[ \"10.0.0.1\", \"10.0.0.2\" ]");
    EXPECT_EQ(printed(out, "threads"), "5");
    EXPECT_EQ(printed(out, "lock-seconds"), "300") << "untouched settings keep their default";

    // A list given twice on the command line holds both; once, it replaces the file's.
    ASSERT_EQ(run_server({"--config", file, "--exempt-addresses", "::1", "--exempt-addresses",
                          "127.0.0.9", "--print-config"},
                         &out, &err),
              0);
    EXPECT_EQ(printed(out, "exempt-addresses"), "[ \"::1\", \"127.0.0.9\" ]");
}

TEST_F(SettingsTest, ARunningServerTakesItsSettingsFromTheFile) {
    const std::string file = write("server.toml", "service-name = \"配置文件里的服务\"\n"
                                                  "client-version = \"2.5\"\n");
    ServerProcess server({"--config", file});
    const std::string record = server.ask("cmd=5");
    EXPECT_NE(record.find(*server::utf8_to_gbk("配置文件里的服务|2.5|")), std::string::npos);
    EXPECT_EQ(server.stop(), 0);
}

TEST_F(SettingsTest, BadInputExitsWith2NamingTheKeyAndTheLine) {
    struct Case {
        const char* text;
        const char* expected; // in the error line, after the file's path
    };
    const Case cases[] = {
        {"port = 8866\nno-such-thing = 1\n", ":2: unknown setting 'no-such-thing'"},
        {"port = \"8866\"\n", ":1: port needs a whole number"},
        {"\n\nport = 70000\n", ":3: port needs a whole number from 0 to 65535, not 70000"},
        {"announcement = \"a|b\"\n", ":1: announcement cannot contain '|'"},
        {"exempt-addresses = \"127.0.0.1\"\n", ":1: exempt-addresses needs an array of strings"},
        {"exempt-addresses = [1, 2]\n", ":1: exempt-addresses needs an array of strings"},
        {"db = \"\"\n", ":1: db cannot be empty"},
        {"host = 127.0.0.1\n", ":1:"}, // not TOML at all
        {"config = \"other.toml\"\n", ":1: unknown setting 'config'"},
        // A near miss names the setting meant.
        {"smtp_url = \"smtp://x\"\n", ":1: unknown setting 'smtp_url' (did you mean smtp-url?)"},
        {"admin-listn = \"127.0.0.1:9\"\n",
         ":1: unknown setting 'admin-listn' (did you mean admin-listen?)"},
    };
    for (const Case& c : cases) {
        const std::string file = write("bad.toml", c.text);
        std::string err;
        EXPECT_EQ(run_server({"--config", file}, nullptr, &err), 2) << c.text;
        EXPECT_NE(err.find(file + c.expected), std::string::npos) << c.text << "\n" << err;
    }
    std::string err;
    EXPECT_EQ(run_server({"--config", dir_ + "/missing.toml"}, nullptr, &err), 2);
    EXPECT_NE(err.find("missing.toml"), std::string::npos) << err;
    EXPECT_EQ(run_server({"--config"}, nullptr, &err), 2);
    // Settings that only make sense together are checked after every source.
    const std::string half = write("half.toml", "tls-cert = \"cert.pem\"\n");
    EXPECT_EQ(run_server({"--config", half}, nullptr, &err), 2);
    EXPECT_NE(err.find("tls-cert (" + half + ":1) and tls-key go together"), std::string::npos)
        << err;
    // Flags are named as flags, and a near miss with the flag meant.
    EXPECT_EQ(run_server({"--smtp-url", "smtp://127.0.0.1"}, nullptr, &err), 2);
    EXPECT_NE(err.find("--smtp-url needs mail-from"), std::string::npos) << err;
    EXPECT_EQ(run_server({"--smpt-url", "smtp://127.0.0.1"}, nullptr, &err), 2);
    EXPECT_NE(err.find("unknown flag: --smpt-url (did you mean --smtp-url?)"), std::string::npos)
        << err;
    EXPECT_EQ(run_server({"--zzzz"}, nullptr, &err), 2);
    EXPECT_EQ(err.find("did you mean"), std::string::npos) << "nothing is near: " << err;
    // A value from the file is named by the file and line, wherever the fault is found.
    const std::string relay =
        write("relay.toml", "mail-from = \"T <t@example.org>\"\nsmtp-url = \"ftp://x\"\n");
    EXPECT_EQ(run_server({"--config", relay, "--port", "0", "--db", dir_ + "/a.db"}, nullptr, &err),
              2);
    EXPECT_NE(err.find("smtp-url (" + relay + ":2) must be smtp://"), std::string::npos) << err;
}

TEST_F(SettingsTest, PrintConfigReadsBackToTheSameSettings) {
    std::string first, second, err;
    ASSERT_EQ(run_server({"--announcement", "引号\" 反斜杠\\ 和 'single'", "--update-location",
                          "example.com/a b/Tarnix.exe", "--exempt-addresses", "", "--port", "0",
                          "--print-config"},
                         &first, &err),
              0)
        << err;
    const std::string file = write("printed.toml", first);
    ASSERT_EQ(run_server({"--config", file, "--print-config"}, &second, &err), 0) << err;
    EXPECT_EQ(first, second);
    EXPECT_EQ(printed(first, "exempt-addresses"), "[]");

    // The defaults too: a file made from them starts a server as no file does.
    ASSERT_EQ(run_server({"--print-config"}, &first, &err), 0);
    ASSERT_EQ(
        run_server({"--config", write("defaults.toml", first), "--print-config"}, &second, &err), 0)
        << err;
    EXPECT_EQ(first, second);
}

// --help names every way to run the server and every admin command; --version says
// the version; neither starts anything.
TEST_F(SettingsTest, HelpNamesEverySubcommandAndVersionSaysTheVersion) {
    std::string out;
    ASSERT_EQ(server_test::run_server({"--help"}, &out), 0);
    for (const char* part :
         {"tarnix-server admin", "tarnix-server keygen DIR", "tarnix-server keygen-secret DIR",
          "--version", "accounts unlock NAME", "mail retry", "rekey", "backup DEST"})
        EXPECT_NE(out.find(part), std::string::npos) << part;
    ASSERT_EQ(server_test::run_server({"--version"}, &out), 0);
    EXPECT_EQ(out.rfind("tarnix-server ", 0), 0u) << out;
    EXPECT_EQ(out.back(), '\n');
}

} // namespace
