// Passwords at rest under load and in the running server: a rekey beside clients
// signing in, in this process and through the admin command, and what a start with
// a wrong key or none says.
#include "secrets_fixture.h"

#include <gtest/gtest.h>

using namespace secrets_fixture;
// Rotation: rows under the old key are re-sealed under the new one while 64 clients
// keep signing in, none of them refused; then the old key can go.
TEST(SecretStoreTest, ARekeyUnderLoadLeavesNoRowUnderTheOldKey) {
    TempDir dir;
    new_key(dir.path(), "old");
    new_key(dir.path(), "new");
    const std::string where = fresh_where(dir.path());
    const std::string outbox = dir.path() + "/outbox.txt";
    const std::string old_key = copy_key_file(dir.path(), "old");
    const std::string new_key_file = copy_key_file(dir.path(), "new");
    constexpr int kAccounts = 1000, kClients = 64;
    auto password_of = [](int i) { return "rotPW" + std::to_string(i); };
    auto name_of = [](int i) {
        char name[16];
        std::snprintf(name, sizeof name, "rotate%04d", i);
        return std::string(name);
    };
    {
        Service s(where, ring(old_key), outbox);
        ASSERT_TRUE(s.open()) << s.error;
        auto old_ring = ring(old_key);
        std::string script = "BEGIN;";
        for (int i = 0; i < kAccounts; ++i)
            script += "INSERT INTO accounts (name, password, email, created) VALUES (" +
                      literal(where, name_of(i)) + ", " +
                      literal(where, old_ring->seal(name_of(i), password_of(i))) + ", " +
                      literal(where, "r@example.com") + ", 0);";
        sql(where, script + "COMMIT;");
    }
    Service serving(where, ring(new_key_file, {old_key}), outbox);
    ASSERT_TRUE(serving.open()) << serving.error;
    ASSERT_EQ(serving.store().count_not_under_current_key(), kAccounts);

    // The rekey has a store of its own, as a separate process would.
    Service rekeying(where, ring(new_key_file, {old_key}), outbox);
    ASSERT_TRUE(rekeying.open()) << rekeying.error;
    std::atomic<bool> done{false};
    std::atomic<int> signed_in{0}, refused{0}, during{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            // Accounts of their own: two clients on one account would replace each
            // other's challenges.
            for (int i = c; !done; i = i + kClients < kAccounts ? i + kClients : c) {
                if (serving.sign_in(name_of(i), password_of(i)) == kSignInOk)
                    ++signed_in;
                else
                    ++refused;
                // A person's pause: clients over a network leave the store gaps.
                std::this_thread::sleep_for(std::chrono::milliseconds(1 + i % 3));
            }
        });
    }
    server::RekeyReport report;
    const int before = signed_in;
    try {
        report = server::rekey_all(rekeying.store(), 100, nullptr);
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    during = signed_in - before;
    done = true;
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(refused, 0) << serving.last_failure;
    EXPECT_GT(during, kClients) << "the sign-ins did not overlap the rekey";
    EXPECT_EQ(report.examined, kAccounts);
    EXPECT_EQ(report.resealed, kAccounts);
    EXPECT_TRUE(report.unreadable.empty());
    EXPECT_EQ(report.left, 0);
    EXPECT_EQ(serving.store().count_not_under_current_key(), 0);

    // The old key is no longer needed.
    Service after(where, ring(new_key_file), outbox);
    ASSERT_TRUE(after.open()) << after.error;
    for (int i = 0; i < kAccounts; i += 97)
        EXPECT_EQ(after.sign_in(name_of(i), password_of(i)), kSignInOk) << i;
}

// The same through the server's flags: a wrong key ends the start with exit code 1 and
// the file as it was; a server without a key says once that it keeps plain text.
TEST(SecretServerTest, AWrongKeyEndsTheStartAndNoKeyIsWarnedAbout) {
    TempDir dir;
    new_key(dir.path(), "right");
    new_key(dir.path(), "wrong");
    const std::string where = fresh_where(dir.path());
    {
        ServerProcess server({"--db", where});
        ASSERT_EQ(server.ask("cmd=9&emily=warned@example.com").size(), 6u);
        ASSERT_EQ(server.ask("cmd=2&u=warned01&p=secret1&q=warned@example.com"), kSignUpOk);
        EXPECT_EQ(server.stop(), 0);
        const std::string log = read_file(server.log_path());
        const size_t first = log.find("passwords are stored in plain text");
        EXPECT_NE(first, std::string::npos) << log;
        EXPECT_EQ(log.find("passwords are stored in plain text", first + 1), std::string::npos);
    }
    {
        ServerProcess server(
            {"--db", where, "--secret-key-file", copy_key_file(dir.path(), "right")});
        ASSERT_GT(server.port(), 0);
        EXPECT_EQ(server.stop(), 0);
        EXPECT_NE(read_file(server.log_path()).find("sealed 1 plain-text passwords"),
                  std::string::npos);
    }
    const std::string before =
        server::is_postgres_uri(where) ? stored_bytes(where) : read_file(where);
    ServerProcess wrong({"--db", where, "--secret-key-file", copy_key_file(dir.path(), "wrong")});
    EXPECT_EQ(wrong.port(), 0);
    EXPECT_EQ(wrong.stop(), 1);
    EXPECT_NE(read_file(wrong.log_path()).find("the secret key does not match this database"),
              std::string::npos)
        << read_file(wrong.log_path());
    EXPECT_EQ(server::is_postgres_uri(where) ? stored_bytes(where) : read_file(where), before);
}

// Rotation as an operator does it: servers with the new key and the old one as a
// previous key, `tarnix-server admin rekey` while 64 clients sign in over HTTP, then a
// server with the new key alone.
TEST(SecretServerTest, AdminRekeyWhileClientsSignIn) {
    TempDir dir;
    new_key(dir.path(), "old");
    new_key(dir.path(), "new");
    const std::string where = fresh_where(dir.path());
    const std::string old_key = copy_key_file(dir.path(), "old");
    const std::string new_key_file = copy_key_file(dir.path(), "new");
    constexpr int kAccounts = 640, kClients = 64;
    auto name_of = [](int i) { return "admrot" + std::to_string(1000 + i); };
    auto password_of = [](int i) { return "admPW" + std::to_string(i); };
    {
        ServerProcess first({"--db", where, "--secret-key-file", old_key});
        EXPECT_EQ(first.stop(), 0);
    }
    auto old_ring = ring(old_key);
    std::string script = "BEGIN;";
    for (int i = 0; i < kAccounts; ++i)
        script += "INSERT INTO accounts (name, password, email, created) VALUES (" +
                  literal(where, name_of(i)) + ", " +
                  literal(where, old_ring->seal(name_of(i), password_of(i))) + ", " +
                  literal(where, "r@example.com") + ", 0);";
    sql(where, script + "COMMIT;");

    // The clients share one address: its connection limit is not what this is about.
    ServerProcess server({"--db", where, "--secret-key-file", new_key_file,
                          "--previous-secret-key-file", old_key, "--max-per-address", "256"});
    ASSERT_GT(server.port(), 0);
    std::atomic<bool> done{false};
    std::atomic<int> signed_in{0}, refused{0};
    std::mutex refusals_mutex;
    std::vector<std::string> refusals;
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int i = c; !done; i = i + kClients < kAccounts ? i + kClients : c) {
                const std::string challenge = server.ask("cmd=0&u=" + name_of(i));
                const std::string answer = server.ask(
                    "cmd=1&u=" + name_of(i) + "&p=" + server::md5_hex(challenge + password_of(i)));
                if (answer == kSignInOk) {
                    ++signed_in;
                } else {
                    ++refused;
                    std::lock_guard<std::mutex> lock(refusals_mutex);
                    refusals.push_back(answer);
                }
            }
        });
    }
    const int before = signed_in;
    const int rekeyed = run_server({"admin", "--db", where, "--secret-key-file", new_key_file,
                                    "--previous-secret-key-file", old_key, "rekey"});
    const int during = signed_in - before;
    done = true;
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(rekeyed, 0);
    EXPECT_EQ(refused, 0) << (refusals.empty() ? "" : refusals[0]);
    if (refused != 0)
        std::fprintf(stderr, "%s", read_file(server.log_path()).c_str());
    EXPECT_GT(during, 0);
    EXPECT_EQ(server.stop(), 0);

    ServerProcess after({"--db", where, "--secret-key-file", new_key_file});
    ASSERT_GT(after.port(), 0);
    for (int i = 0; i < kAccounts; i += 37) {
        const std::string challenge = after.ask("cmd=0&u=" + name_of(i));
        EXPECT_EQ(after.ask("cmd=1&u=" + name_of(i) +
                            "&p=" + server::md5_hex(challenge + password_of(i))),
                  kSignInOk);
    }
    Service count(where, ring(new_key_file), dir.path() + "/outbox.txt");
    ASSERT_TRUE(count.open()) << count.error;
    EXPECT_EQ(count.store().count_not_under_current_key(), 0);
    EXPECT_EQ(after.stop(), 0);
}
