// admin passwords audit on the stored passwords (sealed, opened with the key): it
// finds exactly the accounts seeded with a breached or simple password, lists the
// reason and never the password, and with --notify mails each a recovery link once
// per corpus file. The PostgreSQL run repeats it on a shared database.
#include "answers.h"
#include "base/crypto.h"
#include "server_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

using namespace server_test;

namespace {

std::string hash_line(const std::string& password) {
    std::string h = server::hex_lower(server::sha1(password));
    std::transform(h.begin(), h.end(), h.begin(), ::toupper);
    return h + ":5\n";
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(AuditTest, FindsExactlyTheSeededAccountsAndMailsEachOncePerCorpus) {
    char tmpl[] = "/tmp/tarnix-audit-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string key = dir + "/secret.key";
    std::ofstream(key, std::ios::binary) << std::string(32, 's');
    chmod(key.c_str(), 0600);
    ServerProcess server({"--secret-key-file", key});
    struct Seed {
        const char* name;
        const char* password;
        const char* verdict; // "" : passes
    };
    const std::vector<Seed> seeds = {
        {"audit001", "Leaked#991", "breached"}, {"audit002", "Vq7#mzkwTr", ""},
        {"audit003", "password", "simple"},     {"audit004", "Leaked#992", "breached"},
        {"audit005", "Kd8$wqTnZp", ""},         {"audit006", "Later#9931", ""},
    };
    for (const Seed& s : seeds) {
        const std::string email = std::string(s.name) + "@example.com";
        ASSERT_EQ(server.ask("cmd=9&emily=" + email).size(), 6u);
        ASSERT_EQ(server.ask(std::string("cmd=2&u=") + s.name + "&p=" + s.password + "&q=" + email),
                  kSignUpOk);
    }
    std::ofstream(dir + "/corpus.txt") << [&] {
        std::vector<std::string> lines = {hash_line("Leaked#991"), hash_line("Leaked#992"),
                                          hash_line("123456")};
        std::sort(lines.begin(), lines.end());
        std::string all;
        for (const std::string& l : lines)
            all += l;
        return all;
    }();
    std::ofstream(dir + "/pwquality.conf") << "minlen = 6\ndictcheck = 1\n";
    auto audit = [&](std::vector<std::string> more, std::string* out, std::string* err) {
        std::vector<std::string> args = {"admin",
                                         "--db",
                                         server.db(),
                                         "--secret-key-file",
                                         key,
                                         "--breached-passwords",
                                         dir + "/corpus.txt",
                                         "--password-quality-file",
                                         dir + "/pwquality.conf",
                                         "--public-url",
                                         "http://tarnix.example",
                                         "--outbox",
                                         server.outbox_path(),
                                         "passwords",
                                         "audit"};
        args.insert(args.end(), more.begin(), more.end());
        return run_server(args, out, err);
    };
    std::string out, err;
    ASSERT_EQ(audit({}, &out, &err), 0) << err;
    EXPECT_EQ(out, "audit001\tbreached\naudit003\tsimple\naudit004\tbreached\n");
    EXPECT_TRUE(err.find("6 accounts audited, 3 refused") != std::string::npos) << err;
    for (const Seed& s : seeds)
        EXPECT_EQ(out.find(s.password), std::string::npos) << "never a password";
    EXPECT_EQ(count(read_file(server.outbox_path()), "\taudit\t"), 0u)
        << "no mail without --notify";

    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(audit({"--notify"}, &out, &err), 0) << err;
        EXPECT_EQ(count(out, "\n"), 3u);
    }
    const std::string outbox = read_file(server.outbox_path());
    EXPECT_EQ(count(outbox, "\taudit\thttp://tarnix.example/account/reset/"), 3u) << outbox;
    for (const char* mailed : {"audit001@example.com\taudit", "audit003@example.com\taudit",
                               "audit004@example.com\taudit"})
        EXPECT_EQ(count(outbox, mailed), 1u) << mailed;

    // A new corpus file: whom it finds is mailed again, once.
    std::ofstream(dir + "/next.txt") << hash_line("Later#9931");
    ASSERT_EQ(rename((dir + "/next.txt").c_str(), (dir + "/corpus.txt").c_str()), 0);
    ASSERT_EQ(audit({"--notify"}, &out, &err), 0) << err;
    EXPECT_EQ(out, "audit003\tsimple\naudit006\tbreached\n");
    EXPECT_EQ(count(read_file(server.outbox_path()), "\taudit\t"), 4u);
    EXPECT_EQ(count(read_file(server.outbox_path()), "audit006@example.com\taudit"), 1u);
    std::filesystem::remove_all(dir);
}
