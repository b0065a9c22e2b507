// Databases made by older servers are upgraded in place at start-up.
#include "base/crypto.h"
#include "server_process.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

using namespace server_test;

namespace {

const std::string kSignInOk = "ok\xA3\xAC\xBB\xB6\xD3\xAD\xBB\xD8\xC0\xB4"; // ok，欢迎回来
const std::string kSignUpOk = "\xD7\xA2\xB2\xE1\xB3\xC9\xB9\xA6";           // 注册成功

void expect_current_schema(const ServerProcess& server) {
    EXPECT_EQ(server.sign_in("olduser1", "secret1"), kSignInOk);
    ASSERT_EQ(server.ask("cmd=9&emily=new@example.com").size(), 6u);
    EXPECT_EQ(server.ask("cmd=2&u=newuser1&p=secret1&q=new@example.com"), kSignUpOk);
    EXPECT_EQ(server.sign_in("newuser1", "secret1"), kSignInOk);
}

int64_t sqlite_version(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* st = nullptr;
    int64_t v = -1;
    if (sqlite3_prepare_v2(db, "SELECT version FROM schema_version", -1, &st, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        v = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return v;
}

} // namespace

TEST(SchemaTest, AFileFromBeforeTheVersionTableIsUpgraded) {
    if (test_postgres())
        GTEST_SKIP() << "a SQLite file";
    ServerProcess server({}, [](const std::string& dir) {
        // What the first servers made: no version table, codes without attempts.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((dir + "/accounts.db").c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db,
                               "CREATE TABLE accounts (name BLOB PRIMARY KEY, password BLOB NOT "
                               "NULL, email BLOB NOT NULL, created INTEGER NOT NULL, failures "
                               "INTEGER NOT NULL DEFAULT 0, locked_until INTEGER NOT NULL DEFAULT "
                               "0);"
                               "CREATE TABLE codes (email BLOB NOT NULL, code TEXT NOT NULL, "
                               "created INTEGER NOT NULL);"
                               "INSERT INTO accounts (name, password, email, created) VALUES "
                               "(CAST('olduser1' AS BLOB), CAST('secret1' AS BLOB), "
                               "CAST('old@example.com' AS BLOB), 0);",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    });
    expect_current_schema(server);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(sqlite_version(server.db_path()), 11);
}

TEST(SchemaTest, APostgresDatabaseAtVersionOneIsUpgraded) {
    if (!test_postgres())
        GTEST_SKIP() << "needs PostgreSQL: run through with_postgres.sh";
    const std::string db = fresh_database();
    {
        ServerProcess first({"--db", db});
        EXPECT_EQ(first.stop(), 0);
    }
    // Back to what version 1 held, with one account in it.
    const std::string sql = "DROP TABLE challenges; DROP TABLE sign_in_challenges;"
                            " DROP TABLE devices; DROP TABLE reset_links;"
                            " UPDATE schema_version SET version = 1;"
                            "INSERT INTO accounts (name, password, email, created) VALUES"
                            " ('olduser1'::bytea, 'secret1'::bytea, 'old@example.com'::bytea, 0)";
    ASSERT_EQ(std::system(("psql -q -v ON_ERROR_STOP=1 '" + db + "' -c \"" + sql + "\"").c_str()),
              0);
    ServerProcess server({"--db", db});
    expect_current_schema(server);
    EXPECT_EQ(server.stop(), 0);
}

// A server must not write into a schema it does not know: the newer server's
// steps may rely on what this one would change.
TEST(SchemaTest, AFileOfANewerServerIsRefusedUntouched) {
    if (test_postgres())
        GTEST_SKIP() << "a SQLite file";
    char tmpl[] = "/tmp/tarnix-schema-test-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string path = dir + "/accounts.db";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "PRAGMA journal_mode=DELETE;"
                           "CREATE TABLE schema_version (version INTEGER NOT NULL);"
                           "INSERT INTO schema_version VALUES (999);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const std::string before = read_file(path);
    std::string err;
    EXPECT_EQ(
        run_server({"--port", "0", "--db", path, "--outbox", dir + "/outbox.txt"}, nullptr, &err),
        1);
    EXPECT_NE(err.find("newer server"), std::string::npos) << err;
    EXPECT_TRUE(read_file(path) == before) << "the file was changed";
    EXPECT_EQ(sqlite_version(path), 999);
    std::filesystem::remove_all(dir);
}

// Every code and reset request clears old rows first; read through the whole table each
// time, a day of mails made every "9" slower than the last.
TEST(SchemaTest, TheCleanUpsOfEveryRequestFindOldRowsByIndex) {
    if (test_postgres())
        GTEST_SKIP() << "SQLite's query plans";
    ServerProcess server;
    ASSERT_EQ(server.stop(), 0);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(server.db_path().c_str(), &db), SQLITE_OK);
    for (const char* cleanup : {"DELETE FROM codes WHERE created < 1",
                                "DELETE FROM mails WHERE state <> 0 AND created < 1",
                                "DELETE FROM reset_links WHERE expires < 1"}) {
        sqlite3_stmt* st = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, (std::string("EXPLAIN QUERY PLAN ") + cleanup).c_str(), -1,
                                     &st, nullptr),
                  SQLITE_OK)
            << cleanup;
        std::string plan;
        while (sqlite3_step(st) == SQLITE_ROW)
            plan += reinterpret_cast<const char*>(sqlite3_column_text(st, 3)) + std::string("; ");
        sqlite3_finalize(st);
        EXPECT_EQ(plan.find("SCAN"), std::string::npos) << cleanup << ": " << plan;
    }
    sqlite3_close(db);
}
