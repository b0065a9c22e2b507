// What the tests of passwords at rest share: temporary folders and key files, SQL
// behind the store's back, every byte a store keeps, and the protocol on a store
// opened as the server opens it.
#pragma once

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

namespace secrets_fixture {

using namespace server_test;
using server::Keyring;
using server::Secret;
using server::SecretKey;

inline const std::string kServerError =
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

inline void write_file(const std::string& path, const std::string& bytes, mode_t mode) {
    std::ofstream(path, std::ios::binary) << bytes;
    chmod(path.c_str(), mode);
}

inline SecretKey new_key(const std::string& dir, const std::string& name) {
    std::filesystem::create_directories(dir + "/" + name);
    std::string path, error;
    EXPECT_TRUE(server::make_secret_key(dir + "/" + name, path, error)) << error;
    SecretKey key;
    EXPECT_TRUE(server::load_secret_key(path, key, error)) << error;
    return key;
}

inline std::string copy_key_file(const std::string& dir, const std::string& name) {
    return dir + "/" + name + "/secret.key";
}

inline std::shared_ptr<const Keyring> ring(const std::string& current,
                                           const std::vector<std::string>& previous = {}) {
    std::shared_ptr<const Keyring> keys;
    std::string error;
    EXPECT_TRUE(server::load_keyring(current, previous, keys, error)) << error;
    return keys;
}

inline std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// A SQL literal of bytes, as the store's kind of database spells it.
inline std::string literal(const std::string& where, const std::string& bytes) {
    return server::is_postgres_uri(where) ? "'\\x" + hex(bytes) + "'::bytea"
                                          : "x'" + hex(bytes) + "'";
}

// Runs SQL on the database behind the store's back.
inline void sql(const std::string& where, const std::string& statements) {
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
inline std::string fresh_where(const std::string& dir) {
    return test_postgres() ? fresh_database() : dir + "/accounts.db";
}

// Every byte the database holds where a thief could copy it: the SQLite file and its
// -wal and -shm files, or a pg_dump of the database.
inline std::string stored_bytes(const std::string& where) {
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
inline bool holds(const std::string& where, const std::string& text) {
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

} // namespace secrets_fixture
