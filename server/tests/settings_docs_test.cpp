// The configuration reference and its man page against the settings' table they are
// made from: a row changed without them fails here. TARNIX_WRITE_DOCS=1 writes them
// anew (then commit them).
#include "app/settings.h"
#include "app/settings_docs.h"
#include "server_process.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

void expect_made(const char* path, const std::string& made) {
    if (const char* write = std::getenv("TARNIX_WRITE_DOCS"); write && std::string(write) == "1")
        std::ofstream(path, std::ios::binary) << made;
    EXPECT_EQ(server_test::read_file(path), made)
        << path << " is not what the settings table makes: TARNIX_WRITE_DOCS=1 writes it";
}

TEST(SettingsDocsTest, TheReferenceAndTheManPageAreTheTables) {
    expect_made(TARNIX_CONFIGURATION_DOC, server::configuration_markdown());
    expect_made(TARNIX_CONFIGURATION_MAN, server::configuration_man_page());
    // Every setting has its entry, with its default.
    const std::string doc = server::configuration_markdown();
    for (const auto& [name, value] : server::setting_defaults()) {
        const size_t at = doc.find("| `" + name + "` |");
        ASSERT_NE(at, std::string::npos) << name;
        if (!value.empty() && value != "false")
            EXPECT_NE(doc.substr(at, doc.find('\n', at) - at).find("`" + value + "`"),
                      std::string::npos)
                << name;
    }
}

// Both pages as man reads them: no warning from the formatter.
TEST(SettingsDocsTest, TheManPagesFormatWithoutWarnings) {
    if (std::system("command -v man >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs man-db";
    for (const char* page : {TARNIX_SERVER_MAN, TARNIX_CONFIGURATION_MAN}) {
        const std::string said = "/tmp/tarnix-man-" + std::to_string(getpid());
        const std::string command = std::string("LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l ") +
                                    page + " >/dev/null 2>" + said;
        EXPECT_EQ(std::system(command.c_str()), 0) << page;
        EXPECT_EQ(server_test::read_file(said), "") << page;
        std::remove(said.c_str());
    }
}

// The server's own man page names every subcommand and every admin command.
TEST(SettingsDocsTest, TheServersManPageNamesEveryCommand) {
    const std::string page = server_test::read_file(TARNIX_SERVER_MAN);
    std::string usage;
    ASSERT_EQ(server_test::run_server({"--help"}, &usage), 0);
    for (const char* word : {"admin", "keygen", "keygen\\-secret", "check\\-config", "SIGHUP",
                             "EXIT STATUS", "EXAMPLES", "OPTIONS"})
        EXPECT_NE(page.find(word), std::string::npos) << word;
    // Each admin command's words, as --help lists them.
    for (size_t at = usage.find("tarnix-server admin [--db DB] "); at != std::string::npos;
         at = usage.find("tarnix-server admin [--db DB] ", at + 1)) {
        const size_t start = at + std::string("tarnix-server admin [--db DB] ").size();
        // The command's words: those in lower case, before its arguments.
        std::string words;
        for (size_t i = start;
             i < usage.size() && (std::islower(usage[i]) || usage[i] == '-' ||
                                  (usage[i] == ' ' && std::islower(usage[i + 1])));
             ++i)
            words += usage[i] == '-' ? std::string("\\-") : std::string(1, usage[i]);
        EXPECT_NE(page.find(".B " + words), std::string::npos) << words;
    }
}

} // namespace
