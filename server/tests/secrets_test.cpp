// Passwords at rest: the key files, the sealed form, and what the stores leave in
// their files. The store cases run the protocol in this process (commands on a store
// opened as the server opens it), on SQLite, and on PostgreSQL when TARNIX_TEST_PG
// names a test cluster (with_postgres.sh).
#include "answers.h"
#include "protocol/commands.h"
#include "base/crypto.h"
#include "web/recovery.h"
#include "protocol/messages.h"
#include "ops/rekey.h"
#include "base/secrets.h"
#include "server_process.h"
#include "app/configs.h"
#include "store/store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace server_test;
using server::Keyring;
using server::Secret;
using server::SecretKey;

namespace {

const std::string kServerError =
    "\xB7\xFE\xCE\xF1\xC6\xF7\xC4\xDA\xB2\xBF\xB4\xED\xCE\xF3\xA3\xAC\xC7\xEB\xC9\xD4\xBA\xF3\xD4"
    "\xD9\xCA\xD4"; // 服务器内部错误，请稍后再试

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/tarnix-secrets-test-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& bytes, mode_t mode) {
    std::ofstream(path, std::ios::binary) << bytes;
    chmod(path.c_str(), mode);
}

SecretKey new_key(const std::string& dir, const std::string& name) {
    std::filesystem::create_directories(dir + "/" + name);
    std::string path, error;
    EXPECT_TRUE(server::make_secret_key(dir + "/" + name, path, error)) << error;
    SecretKey key;
    EXPECT_TRUE(server::load_secret_key(path, key, error)) << error;
    return key;
}

std::string copy_key_file(const std::string& dir, const std::string& name) {
    return dir + "/" + name + "/secret.key";
}

std::shared_ptr<const Keyring> ring(const std::string& current,
                                    const std::vector<std::string>& previous = {}) {
    std::shared_ptr<const Keyring> keys;
    std::string error;
    EXPECT_TRUE(server::load_keyring(current, previous, keys, error)) << error;
    return keys;
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// A SQL literal of bytes, as the store's kind of database spells it.
std::string literal(const std::string& where, const std::string& bytes) {
    return server::is_postgres_uri(where) ? "'\\x" + hex(bytes) + "'::bytea"
                                          : "x'" + hex(bytes) + "'";
}

// Runs SQL on the database behind the store's back.
void sql(const std::string& where, const std::string& statements) {
    if (server::is_postgres_uri(where)) {
        const std::string file = "/tmp/tarnix-secrets-sql-" + std::to_string(getpid()) + ".sql";
        write_file(file, statements, 0600);
        ASSERT_EQ(
            std::system(
                ("psql -q -v ON_ERROR_STOP=1 '" + where + "' -f " + file + " >/dev/null").c_str()),
            0);
        std::remove(file.c_str());
        return;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(where.c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, statements.c_str(), nullptr, nullptr, &message);
    EXPECT_EQ(rc, SQLITE_OK) << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
}

// Where a store of this run keeps its data: a file in `dir`, or a fresh database.
std::string fresh_where(const std::string& dir) {
    return test_postgres() ? fresh_database() : dir + "/accounts.db";
}

// Every byte the database holds where a thief could copy it: the SQLite file and its
// -wal and -shm files, or a pg_dump of the database.
std::string stored_bytes(const std::string& where) {
    if (server::is_postgres_uri(where)) {
        const std::string file = "/tmp/tarnix-secrets-dump-" + std::to_string(getpid());
        EXPECT_EQ(std::system(("pg_dump '" + where + "' >" + file).c_str()), 0);
        std::string dump = read_file(file);
        std::remove(file.c_str());
        EXPECT_NE(dump.find("accounts"), std::string::npos);
        // Each dump is fenced by a random token of its own.
        for (const char* fence : {"\\restrict ", "\\unrestrict "}) {
            size_t at = dump.find(fence);
            if (at != std::string::npos)
                dump.erase(at, dump.find('\n', at) - at);
        }
        return dump;
    }
    return read_file(where) + read_file(where + "-wal") + read_file(where + "-shm");
}

// Whether those bytes hold `text`, also as a dump spells bytea (hex).
bool holds(const std::string& where, const std::string& text) {
    const std::string bytes = stored_bytes(where);
    return bytes.find(text) != std::string::npos ||
           (server::is_postgres_uri(where) && bytes.find(hex(text)) != std::string::npos);
}

// The protocol on a store opened as the server opens it.
class Service {
public:
    Service(const std::string& where, std::shared_ptr<const Keyring> keys,
            const std::string& outbox)
        : outbox_(outbox) {
        std::string bad;
        EXPECT_TRUE(server::init_messages(bad)) << bad;
        // The server's own defaults, from the settings table.
        server::Settings settings = server::default_settings();
        settings.db = where;
        server::StoreConfig config = server::store_config(settings);
        config.keys = std::move(keys);
        config.notice = [this](const std::string& line) { notices.push_back(line); };
        store_ = server::Store::open(config, error);
        if (store_) {
            server::CodeMailing mailing;
            mailing.transport = &outbox_;
            commands_.reset(new server::Commands(
                *store_, mailing, server::StatusTexts(), server::timing_config(settings),
                server::limits_config(settings), server::DeviceCookieConfig()));
            commands_->on_unreadable_password = [this](const std::string& account,
                                                       const std::string&) {
                unreadable.push_back(account);
            };
        }
    }

    bool open() const { return store_ != nullptr; }
    server::Store& store() { return *store_; }

    std::string ask(const std::string& body) {
        server::Reply r = commands_->handle(body);
        if (r.status != 200)
            last_failure = r.result;
        return r.body;
    }

    std::string sign_up(const std::string& name, const std::string& password) {
        const std::string email = name + "@example.com";
        EXPECT_EQ(ask("cmd=9&emily=" + email).size(), 6u);
        return ask("cmd=2&u=" + name + "&p=" + password + "&q=" + email);
    }
    std::string sign_in(const std::string& name, const std::string& password) {
        const std::string challenge = ask("cmd=0&u=" + name);
        return ask("cmd=1&u=" + name + "&p=" + server::md5_hex(challenge + password));
    }

    std::string error;
    std::vector<std::string> notices;
    std::vector<std::string> unreadable;
    std::string last_failure; // the log's result of a failed request (racy: for messages)

private:
    server::FileTransport outbox_;
    std::unique_ptr<server::Store> store_;
    std::unique_ptr<server::Commands> commands_;
};

} // namespace

TEST(SecretKeyTest, KeyFilesAreReadInBothFormsAndRefusedOtherwise) {
    TempDir dir;
    std::string error;
    SecretKey key;
    // SHA-256 of 32 zero bytes begins 66687aad.
    write_file(dir.path() + "/raw", std::string(32, '\0'), 0600);
    ASSERT_TRUE(server::load_secret_key(dir.path() + "/raw", key, error)) << error;
    EXPECT_EQ(key.id, "66687aad");
    write_file(dir.path() + "/hex", std::string(64, '0') + "\n", 0600);
    ASSERT_TRUE(server::load_secret_key(dir.path() + "/hex", key, error)) << error;
    EXPECT_EQ(key.id, "66687aad");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(key.bytes.data()), key.bytes.size()),
              std::string(32, '\0'));

    write_file(dir.path() + "/open", std::string(32, '\0'), 0640);
    EXPECT_FALSE(server::load_secret_key(dir.path() + "/open", key, error));
    EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
    write_file(dir.path() + "/writable", std::string(32, '\0'), 0602);
    EXPECT_FALSE(server::load_secret_key(dir.path() + "/writable", key, error));
    for (const std::string& bad :
         {std::string(31, 'k'), std::string(33, 'k'), std::string(64, '0'),
          std::string(63, '0') + "g\n", std::string(64, '0') + "\n\n", std::string()}) {
        write_file(dir.path() + "/bad", bad, 0600);
        EXPECT_FALSE(server::load_secret_key(dir.path() + "/bad", key, error)) << bad.size();
        EXPECT_NE(error.find("32 bytes, or 64 hex digits"), std::string::npos) << error;
    }
    EXPECT_FALSE(server::load_secret_key(dir.path(), key, error));
    EXPECT_FALSE(server::load_secret_key(dir.path() + "/missing", key, error));

    std::shared_ptr<const Keyring> keys;
    EXPECT_FALSE(server::load_keyring("", {dir.path() + "/raw"}, keys, error));
    EXPECT_NE(error.find("needs --secret-key-file"), std::string::npos);
}

TEST(SecretKeyTest, AMadeKeyIsOwnerOnlyAndNeverOverwritten) {
    TempDir dir;
    std::string path, error;
    ASSERT_TRUE(server::make_secret_key(dir.path(), path, error)) << error;
    EXPECT_EQ(path, dir.path() + "/secret.key");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string first = read_file(path);
    EXPECT_EQ(first.size(), 65u);
    EXPECT_FALSE(server::make_secret_key(dir.path(), path, error));
    EXPECT_EQ(read_file(path), first);
    SecretKey key;
    EXPECT_TRUE(server::load_secret_key(path, key, error)) << error;
    // Two keys made one after the other differ.
    TempDir other;
    ASSERT_TRUE(server::make_secret_key(other.path(), path, error));
    EXPECT_NE(read_file(path), first);
}

TEST(SecretKeyTest, ASealedPasswordNamesItsKeyAndOpensOnlyForItsAccount) {
    TempDir dir;
    new_key(dir.path(), "a");
    new_key(dir.path(), "b");
    auto a = ring(copy_key_file(dir.path(), "a"));
    auto b_then_a = ring(copy_key_file(dir.path(), "b"), {copy_key_file(dir.path(), "a")});
    auto b = ring(copy_key_file(dir.path(), "b"));

    const std::string sealed = a->seal("alice01", "secret1");
    ASSERT_EQ(sealed.size(), 1 + 8 + 12 + 7 + 16u);
    EXPECT_EQ(sealed[0], '\x01');
    EXPECT_EQ(sealed.substr(1, 8), a->current_id());
    EXPECT_EQ(Keyring::key_id_of(sealed), a->current_id());
    EXPECT_EQ(sealed.find("secret1"), std::string::npos);
    EXPECT_NE(a->seal("alice01", "secret1"), sealed); // a fresh nonce each time
    EXPECT_EQ(a->open("alice01", sealed).view(), "secret1");

    // Bound to the account: the same bytes on another row do not open.
    EXPECT_THROW(a->open("alice02", sealed), server::UnreadablePassword);
    // Every byte is covered: header, nonce, ciphertext and tag.
    for (size_t i = 0; i < sealed.size(); ++i) {
        std::string bent = sealed;
        bent[i] = static_cast<char>(bent[i] ^ 0x04);
        EXPECT_THROW(a->open("alice01", bent), server::UnreadablePassword) << i;
    }
    // A previous key still opens; every new seal uses the current one.
    EXPECT_EQ(b_then_a->open("alice01", sealed).view(), "secret1");
    EXPECT_EQ(Keyring::key_id_of(b_then_a->seal("alice01", "secret1")), b->current_id());
    try {
        b->open("alice01", sealed);
        ADD_FAILURE() << "opened under another key";
    } catch (const server::UnreadablePassword& e) {
        EXPECT_EQ(e.account(), "alice01");
        EXPECT_EQ(e.key_id(), a->current_id());
    }
    // Without keys a password is kept and read as it is.
    Keyring none;
    EXPECT_EQ(none.seal("alice01", "secret1"), "secret1");
    EXPECT_EQ(none.open("alice01", "secret1").view(), "secret1");
    EXPECT_THROW(none.open("alice01", sealed), server::UnreadablePassword);
    // With a key every row is sealed (start-up seals the older ones): a plain one was
    // written behind the server's back, by someone without the key.
    EXPECT_THROW(a->open("alice01", "secret1"), server::UnreadablePassword);
}

// After sign-up, sign-in, a password change and a restart, neither password is in
// any byte of the database (file, WAL and shared memory; or a dump).
TEST(SecretStoreTest, NoPasswordInTheDatabaseFiles) {
    TempDir dir;
    new_key(dir.path(), "k");
    const std::string where = fresh_where(dir.path());
    const std::string first = "Kq7firstPW", second = "Zr4secondPW";
    const std::string outbox = dir.path() + "/outbox.txt";
    {
        Service s(where, ring(copy_key_file(dir.path(), "k")), outbox);
        ASSERT_TRUE(s.open()) << s.error;
        ASSERT_EQ(s.sign_up("sealed01", first), kSignUpOk);
        EXPECT_EQ(s.sign_in("sealed01", first), kSignInOk);
        EXPECT_EQ(s.sign_in("sealed01", second), kWrong);
        EXPECT_EQ(s.ask("cmd=3&u=sealed01&p=" + first + "&n=" + second), kChanged);
        EXPECT_EQ(s.ask("cmd=3&u=sealed01&p=" + first + "&n=" + second), kWrongOld);
        EXPECT_FALSE(holds(where, first));
        EXPECT_FALSE(holds(where, second));
        EXPECT_TRUE(holds(where, "sealed01")); // the search does see the rows
    }
    Service s(where, ring(copy_key_file(dir.path(), "k")), outbox);
    ASSERT_TRUE(s.open()) << s.error;
    EXPECT_EQ(s.sign_in("sealed01", second), kSignInOk);
    EXPECT_EQ(s.sign_in("sealed01", first), kWrong);
    EXPECT_FALSE(holds(where, first));
    EXPECT_FALSE(holds(where, second));

    // A password set through a recovery link is sealed like a changed one.
    const std::string third = "Wx9thirdPW";
    server::IssuedLink link = server::issue_reset_link(s.store(), "sealed01", 1000, 1800, 0,
                                                       [](const std::string&) { return true; });
    ASSERT_EQ(link.result, server::ResetIssue::Issued);
    EXPECT_EQ(s.store().reset_password(server::sha256(link.token), third, 1001).state,
              server::LinkState::Live);
    EXPECT_EQ(s.sign_in("sealed01", third), kSignInOk);
    EXPECT_FALSE(holds(where, third));
    EXPECT_FALSE(holds(where, link.token));
}

// A queued mail carries a live code or recovery link until it is sent (an abandoned
// one until it expires): with a key its text is sealed too, and a sender gets it back
// whole.
TEST(SecretStoreTest, AQueuedMailsTextIsSealed) {
    TempDir dir;
    new_key(dir.path(), "k");
    const std::string where = fresh_where(dir.path());
    Service s(where, ring(copy_key_file(dir.path(), "k")), dir.path() + "/outbox.txt");
    ASSERT_TRUE(s.open()) << s.error;
    server::OutgoingMail mail;
    mail.kind = "reset";
    mail.recipient = "owner@example.com";
    mail.subject = "Subject9sealed";
    mail.body = "https://accounts.example.com/account/reset/Tok3nThatOpensTheAccount\r\n";
    mail.message_id = "<m1@example.com>";
    mail.created = 1000;
    mail.expires = 2800;
    s.store().enqueue_mail(mail);
    EXPECT_FALSE(holds(where, "Tok3nThatOpensTheAccount"));
    EXPECT_FALSE(holds(where, "Subject9sealed"));
    EXPECT_TRUE(holds(where, "owner@example.com")); // the search does see the row

    server::OutgoingMail claimed;
    ASSERT_TRUE(s.store().claim_mail(1001, 1100, claimed));
    EXPECT_EQ(claimed.subject, mail.subject);
    EXPECT_EQ(claimed.body, mail.body);

    // A text that opens under no key cannot be sent: the mail is abandoned, and the
    // next one is handed out.
    s.store().retry_mail(claimed.id, 1001);
    mail.message_id = "<m2@example.com>";
    mail.created = 1002; // due after the first
    s.store().enqueue_mail(mail);
    sql(where, "UPDATE mails SET body = " +
                   literal(where, std::string("\x01") + "00000000" + std::string(40, 'x')) +
                   " WHERE id = " + std::to_string(claimed.id) + ";");
    const int64_t damaged = claimed.id;
    ASSERT_TRUE(s.store().claim_mail(1003, 1100, claimed));
    EXPECT_EQ(claimed.message_id, "<m2@example.com>");
    EXPECT_EQ(s.store().find_mail(damaged)->state, server::MailInfo::Abandoned);
    EXPECT_NE(s.notices.back().find("abandoned"), std::string::npos);
}

// A file as the server wrote it before encryption: schema version 2, plain-text
// passwords, some changed and some accounts deleted (their old bytes in free space),
// and a WAL left behind by a process that ended without closing the file.
TEST(SecretStoreTest, APlainTextFileIsSealedAndNoOldPasswordIsLeftAnywhere) {
    if (test_postgres())
        GTEST_SKIP() << "SQLite files; the PostgreSQL case is PlainTextRowsAreSealed";
    TempDir dir;
    new_key(dir.path(), "k");
    const std::string where = dir.path() + "/accounts.db";
    std::string script = "PRAGMA journal_mode=WAL;"
                         "CREATE TABLE schema_version (version INTEGER NOT NULL);"
                         "INSERT INTO schema_version VALUES (2);"
                         "CREATE TABLE accounts (name BLOB PRIMARY KEY, password BLOB NOT NULL,"
                         " email BLOB NOT NULL, created INTEGER NOT NULL, failures INTEGER NOT"
                         " NULL DEFAULT 0, locked_until INTEGER NOT NULL DEFAULT 0);"
                         "CREATE TABLE codes (email BLOB NOT NULL, code TEXT NOT NULL, created"
                         " INTEGER NOT NULL, attempts INTEGER NOT NULL DEFAULT 0);"
                         "CREATE INDEX codes_by_email ON codes(email, created);";
    for (int i = 0; i < 600; ++i) {
        char name[16], password[16];
        std::snprintf(name, sizeof name, "olduser%03d", i);
        std::snprintf(password, sizeof password, "plainPW%03d", i);
        script += "INSERT INTO accounts (name, password, email, created) VALUES (" +
                  literal(where, name) + ", " + literal(where, password) + ", x'6140622e63', 0);";
    }
    sql(where, script);
    // Changed passwords and deleted accounts, from a process that dies without closing
    // (its WAL stays, holding the plain text).
    pid_t child = fork();
    if (child == 0) {
        sqlite3* db = nullptr;
        sqlite3_open(where.c_str(), &db);
        sqlite3_exec(db,
                     "PRAGMA wal_autocheckpoint=0;"
                     "UPDATE accounts SET password = CAST('plainPWnew' || substr(name, 8) AS BLOB)"
                     " WHERE substr(name, 8) < CAST('100' AS BLOB);"
                     "DELETE FROM accounts WHERE substr(name, 8) >= CAST('500' AS BLOB);",
                     nullptr, nullptr, nullptr);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_GT(read_file(where + "-wal").size(), 0u);
    ASSERT_NE(stored_bytes(where).find("plainPW"), std::string::npos);

    Service s(where, ring(copy_key_file(dir.path(), "k")), dir.path() + "/outbox.txt");
    ASSERT_TRUE(s.open()) << s.error;
    ASSERT_EQ(s.notices.size(), 1u);
    EXPECT_NE(s.notices[0].find("sealed 500 plain-text passwords"), std::string::npos)
        << s.notices[0];
    for (int i = 0; i < 500; i += 7) {
        char name[16], password[16];
        std::snprintf(name, sizeof name, "olduser%03d", i);
        std::snprintf(password, sizeof password, i < 100 ? "plainPWnew%03d" : "plainPW%03d", i);
        EXPECT_EQ(s.sign_in(name, password), kSignInOk) << name;
    }
    EXPECT_EQ(s.store().count_not_under_current_key(), 0);
    EXPECT_EQ(stored_bytes(where).find("plainPW"), std::string::npos);
}

TEST(SecretStoreTest, PlainTextRowsAreSealed) {
    TempDir dir;
    new_key(dir.path(), "k");
    const std::string where = fresh_where(dir.path());
    const std::string outbox = dir.path() + "/outbox.txt";
    {
        // A server without a key keeps plain text, as before.
        Service s(where, nullptr, outbox);
        ASSERT_TRUE(s.open()) << s.error;
        ASSERT_EQ(s.sign_up("plainer1", "plainPWone"), kSignUpOk);
        ASSERT_EQ(s.sign_up("plainer2", "plainPWtwo"), kSignUpOk);
        ASSERT_EQ(s.ask("cmd=3&u=plainer2&p=plainPWtwo&n=plainPWthree"), kChanged);
        EXPECT_TRUE(holds(where, "plainPWone"));
    }
    Service s(where, ring(copy_key_file(dir.path(), "k")), outbox);
    ASSERT_TRUE(s.open()) << s.error;
    EXPECT_EQ(s.sign_in("plainer1", "plainPWone"), kSignInOk);
    EXPECT_EQ(s.sign_in("plainer2", "plainPWthree"), kSignInOk);
    EXPECT_EQ(s.store().count_not_under_current_key(), 0);
    ASSERT_FALSE(s.notices.empty());
    EXPECT_NE(s.notices.back().find("sealed 2 plain-text passwords"), std::string::npos);
    EXPECT_FALSE(holds(where, "plainPW"));
}

// A wrong key, or none, is refused before anything is written.
TEST(SecretStoreTest, AWrongKeyIsRefusedAndTheDatabaseIsLeftAsItWas) {
    TempDir dir;
    new_key(dir.path(), "right");
    new_key(dir.path(), "wrong");
    const std::string where = fresh_where(dir.path());
    const std::string outbox = dir.path() + "/outbox.txt";
    {
        Service s(where, ring(copy_key_file(dir.path(), "right")), outbox);
        ASSERT_TRUE(s.open()) << s.error;
        ASSERT_EQ(s.sign_up("keyed001", "secret1"), kSignUpOk);
    }
    const std::string before =
        server::is_postgres_uri(where) ? stored_bytes(where) : read_file(where);
    {
        Service s(where, ring(copy_key_file(dir.path(), "wrong")), outbox);
        EXPECT_FALSE(s.open());
        EXPECT_EQ(s.error, "the secret key does not match this database");
    }
    {
        Service s(where, nullptr, outbox);
        EXPECT_FALSE(s.open());
        EXPECT_NE(s.error.find("--secret-key-file"), std::string::npos) << s.error;
    }
    if (server::is_postgres_uri(where)) {
        EXPECT_EQ(stored_bytes(where), before);
    } else {
        EXPECT_EQ(read_file(where), before);
        EXPECT_EQ(read_file(where + "-wal"), "");
    }
    // The right key as a previous one is enough to start.
    Service s(where, ring(copy_key_file(dir.path(), "wrong"), {copy_key_file(dir.path(), "right")}),
              outbox);
    ASSERT_TRUE(s.open()) << s.error;
    EXPECT_EQ(s.sign_in("keyed001", "secret1"), kSignInOk);
}

// Sealed copies swapped between two rows open for neither; the server answers the
// others, and reports each unreadable account once.
TEST(SecretStoreTest, SwappedCiphertextsFailBothSignInsAndNothingElse) {
    TempDir dir;
    new_key(dir.path(), "k");
    const std::string where = fresh_where(dir.path());
    Service s(where, ring(copy_key_file(dir.path(), "k")), dir.path() + "/outbox.txt");
    ASSERT_TRUE(s.open()) << s.error;
    ASSERT_EQ(s.sign_up("swapped1", "secret1"), kSignUpOk);
    ASSERT_EQ(s.sign_up("swapped2", "secret2"), kSignUpOk);
    ASSERT_EQ(s.sign_up("bystand1", "secret3"), kSignUpOk);
    const std::string one = literal(where, "swapped1"), two = literal(where, "swapped2");
    sql(where, "CREATE TEMP TABLE t AS SELECT name, password FROM accounts WHERE name IN (" + one +
                   ", " + two +
                   ");"
                   "UPDATE accounts SET password = (SELECT password FROM t WHERE t.name <> "
                   "accounts.name) WHERE name IN (" +
                   one + ", " + two + ");");
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(s.sign_in("swapped1", "secret1"), kServerError);
        EXPECT_EQ(s.sign_in("swapped1", "secret2"), kServerError);
        EXPECT_EQ(s.sign_in("swapped2", "secret2"), kServerError);
        EXPECT_EQ(s.ask("cmd=3&u=swapped2&p=secret2&n=secret9"), kServerError);
        EXPECT_EQ(s.sign_in("bystand1", "secret3"), kSignInOk);
    }
    EXPECT_EQ(s.unreadable, (std::vector<std::string>{"swapped1", "swapped2"}));
    // Under the current key already: a rekey leaves them (and cannot mend them).
    EXPECT_EQ(server::rekey_all(s.store(), 10, nullptr).resealed, 0);
    EXPECT_EQ(s.sign_in("swapped1", "secret1"), kServerError);

    // Whoever can write a row but lacks the key cannot plant a password of its own.
    sql(where, "UPDATE accounts SET password = " + literal(where, "planted1") +
                   " WHERE name = " + literal(where, "bystand1") + ";");
    EXPECT_EQ(s.sign_in("bystand1", "planted1"), kServerError);
    EXPECT_EQ(s.ask("cmd=3&u=bystand1&p=planted1&n=secret9"), kServerError);
    EXPECT_EQ(s.unreadable, (std::vector<std::string>{"swapped1", "swapped2", "bystand1"}));
}

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
