// Passwords at rest: the key files, the sealed form, and what the stores leave in
// their files. The store cases run the protocol in this process (commands on a store
// opened as the server opens it), on SQLite, and on PostgreSQL when TARNIX_TEST_PG
// names a test cluster (with_postgres.sh).
#include "secrets_fixture.h"

#include <gtest/gtest.h>

using namespace secrets_fixture;

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
    EXPECT_NE(error.find("previous-secret-key-file needs secret-key-file"), std::string::npos);
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
