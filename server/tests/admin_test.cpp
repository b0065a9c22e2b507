// tarnix-server admin against the database of a running server: what it changes,
// the server sees at the next request; a backup taken under load is whole.
#include "answers.h"
#include "cookie_client.h"
#include "base/crypto.h"
#include "server_process.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace server_test;

namespace {

// 张三丰ab: GBK on the wire (percent-encoded), UTF-8 on the admin's command line.
const char kChineseWire[] = "%D5%C5%C8%FD%B7%E1ab";
const char kChineseUtf8[] = "\xE5\xBC\xA0\xE4\xB8\x89\xE4\xB8\xB0"
                            "ab";

void sign_up(const ServerProcess& server, const std::string& wire_name, const std::string& email) {
    ASSERT_EQ(server.ask("cmd=9&emily=" + email).size(), 6u);
    ASSERT_EQ(server.ask("cmd=2&u=" + wire_name + "&p=secret1&q=" + email), kSignUpOk);
}

size_t count_lines_with(const std::string& text, const std::string& start) {
    size_t n = 0;
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
        n += text.compare(at, start.size(), start) == 0;
        if (text.find('\n', at) == std::string::npos)
            break;
    }
    return n;
}

int admin(const ServerProcess& server, std::vector<std::string> words, std::string& out) {
    std::vector<std::string> args = {"admin", "--db", server.db()};
    args.insert(args.end(), words.begin(), words.end());
    return run_server(args, &out);
}

TEST(AdminTest, DevicesShownForgottenAndUnlocked) {
    ServerProcess server({"--lock-seconds", "300"});
    sign_up(server, "owner01", "owner@example.com");
    Client laptop, phone, stranger;
    ASSERT_EQ(laptop.sign_in(server, "owner01", "secret1"), kSignInOk);
    ASSERT_EQ(phone.sign_in(server, "owner01", "secret1"), kSignInOk);
    for (int i = 0; i < 5; ++i) {
        laptop.sign_in(server, "owner01", "wrong11");
        stranger.sign_in(server, "owner01", "wrong11");
    }
    phone.sign_in(server, "owner01", "wrong11");
    ASSERT_EQ(laptop.sign_in(server, "owner01", "secret1"), kLocked);

    std::string out;
    ASSERT_EQ(admin(server, {"accounts", "show", "owner01"}, out), 0);
    EXPECT_NE(out.find("devices: 2\n"), std::string::npos) << out;
    EXPECT_EQ(count_lines_with(out, "device "), 2u) << out;
    EXPECT_NE(out.find("Z\t1\t-\n"), std::string::npos) << "the phone: one failure" << out;
    EXPECT_NE(out.find("Z\t0\t20"), std::string::npos) << "the laptop: locked" << out;

    // Unlock ends both kinds of lock.
    ASSERT_EQ(admin(server, {"accounts", "unlock", "owner01"}, out), 0);
    EXPECT_EQ(laptop.sign_in(server, "owner01", "secret1"), kSignInOk);
    EXPECT_EQ(Client().sign_in(server, "owner01", "secret1"), kSignInOk);

    // Forgotten devices are strangers: a stranger's lock now holds for them too.
    ASSERT_EQ(admin(server, {"accounts", "forget-devices", "owner01"}, out), 0);
    EXPECT_EQ(out, "forgot 3 devices of owner01\n");
    ASSERT_EQ(admin(server, {"accounts", "show", "owner01"}, out), 0);
    EXPECT_NE(out.find("devices: 0\n"), std::string::npos) << out;
    for (int i = 0; i < 5; ++i)
        stranger.sign_in(server, "owner01", "wrong11");
    EXPECT_EQ(phone.sign_in(server, "owner01", "secret1"), kLocked);
    EXPECT_EQ(admin(server, {"accounts", "forget-devices", "nobody1"}, out), 1);
    EXPECT_EQ(server.stop(), 0);
}

TEST(AdminTest, UnlockShowListAndDeleteWhileTheServerRuns) {
    ServerProcess server({"--lock-seconds", "300"});
    sign_up(server, kChineseWire, "zhang@example.com");
    sign_up(server, "plain01", "plain@example.com");
    for (int i = 0; i < 5; ++i)
        server.sign_in(kChineseWire, "wrong11");
    ASSERT_EQ(server.sign_in(kChineseWire, "secret1"), kLocked);

    std::string out;
    ASSERT_EQ(admin(server, {"accounts", "show", kChineseUtf8}, out), 0);
    EXPECT_NE(out.find(std::string("name: ") + kChineseUtf8 + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("e-mail: zhang@example.com\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("locked until: not locked"), std::string::npos) << out;
    EXPECT_EQ(out.find("secret1"), std::string::npos) << "never the password";

    ASSERT_EQ(admin(server, {"accounts", "list", "--locked"}, out), 0);
    EXPECT_EQ(out.find("plain01"), std::string::npos) << out;
    EXPECT_NE(out.find(kChineseUtf8), std::string::npos) << out;
    // The settings may follow the command's words, its own option among them.
    std::string after;
    ASSERT_EQ(run_server({"admin", "accounts", "list", "--locked", "--db", server.db()}, &after),
              0);
    EXPECT_EQ(after, out);
    ASSERT_EQ(run_server({"admin", "accounts", "--db=" + server.db(), "show", "plain01"}, &after),
              0);
    EXPECT_NE(after.find("name: plain01\n"), std::string::npos) << after;
    ASSERT_EQ(admin(server, {"accounts", "list"}, out), 0);
    EXPECT_NE(out.find("plain01\t"), std::string::npos) << out;
    EXPECT_LT(out.find(kChineseUtf8), std::string::npos);

    ASSERT_EQ(admin(server, {"accounts", "unlock", kChineseUtf8}, out), 0);
    EXPECT_EQ(server.sign_in(kChineseWire, "secret1"), kSignInOk) << "at once";
    ASSERT_EQ(admin(server, {"accounts", "show", kChineseUtf8}, out), 0);
    EXPECT_NE(out.find("failures: 0\nlocked until: not locked"), std::string::npos) << out;

    ASSERT_EQ(admin(server, {"accounts", "delete", "plain01"}, out), 0);
    EXPECT_EQ(server.sign_in("plain01", "secret1"), kWrong);
    EXPECT_EQ(admin(server, {"accounts", "show", "plain01"}, out), 1);
    EXPECT_EQ(admin(server, {"accounts", "delete", "plain01"}, out), 1);
    EXPECT_EQ(admin(server, {"accounts", "unlock", "nobody1"}, out), 1);

    EXPECT_EQ(admin(server, {}, out), 2);
    EXPECT_EQ(admin(server, {"accounts"}, out), 2);
    EXPECT_EQ(admin(server, {"accounts", "show"}, out), 2);
    EXPECT_EQ(admin(server, {"accounts", "show", "a", "b"}, out), 2);
    EXPECT_EQ(admin(server, {"accounts", "list", "--everything"}, out), 2);
    EXPECT_EQ(admin(server, {"accounts", "show", "\xFF\xFE"}, out), 2) << "not UTF-8";
    EXPECT_EQ(server.sign_in(kChineseWire, "secret1"), kSignInOk);
}

int64_t count_rows(sqlite3* db, const char* sql) {
    sqlite3_stmt* st = nullptr;
    int64_t n = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    return n;
}

TEST(AdminTest, BackupUnderSignUpLoadIsWholeAndHasEveryEarlierAccount) {
    ServerProcess server;
    std::string out;
    if (test_postgres()) {
        EXPECT_EQ(admin(server, {"backup", server.dir() + "/copy.db"}, out), 2) << "pg_dump's job";
        return;
    }
    constexpr int kClients = 64;
    std::atomic<bool> stop{false};
    std::atomic<int> created{0};
    std::vector<std::thread> clients;
    std::mutex done_mutex;
    std::vector<std::string> done; // accounts whose sign-up was answered
    for (int t = 0; t < kClients; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; !stop && i < 200; ++i) {
                const std::string name = "c" + std::to_string(t) + "n" + std::to_string(i) + "xx";
                const std::string email = name + "@example.com";
                if (server.ask("cmd=9&emily=" + email).size() != 6)
                    continue;
                if (server.ask("cmd=2&u=" + name + "&p=secret1&q=" + email) == kSignUpOk) {
                    ++created;
                    std::lock_guard<std::mutex> lock(done_mutex);
                    done.push_back(name);
                }
            }
        });
    }
    while (created < 200)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::vector<std::string> before;
    {
        std::lock_guard<std::mutex> lock(done_mutex);
        before = done;
    }
    const std::string copy = server.dir() + "/copy.db";
    const int at_start = created;
    const int rc = admin(server, {"backup", copy}, out);
    const int at_end = created;
    stop = true;
    for (auto& c : clients)
        c.join();
    ASSERT_EQ(rc, 0) << out;
    EXPECT_LT(at_start, at_end) << "sign-ups went on while the copy was made";
    EXPECT_EQ(admin(server, {"backup", copy}, out), 1) << "an existing file is not overwritten";

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(copy.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    std::set<std::string> names;
    sqlite3_stmt* all = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT name FROM accounts", -1, &all, nullptr), SQLITE_OK);
    while (sqlite3_step(all) == SQLITE_ROW)
        names.emplace(static_cast<const char*>(sqlite3_column_blob(all, 0)),
                      static_cast<size_t>(sqlite3_column_bytes(all, 0)));
    sqlite3_finalize(all);
    EXPECT_EQ(count_rows(db, "SELECT COUNT(*) FROM accounts"), static_cast<int64_t>(names.size()));
    sqlite3_close(db);
    for (const std::string& name : before)
        EXPECT_EQ(names.count(name), 1u) << name << " was committed before the backup began";
    EXPECT_GE(names.size(), before.size());
    EXPECT_EQ(server.stop(), 0);
}

} // namespace
