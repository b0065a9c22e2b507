// One account server process for a test: its own temporary directory, a free
// port, stopped (expecting a clean exit) at the end.
#pragma once

#include "base/crypto.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace server_test {

// A program's argv, made before a fork: the child of a process with other threads
// may only call what needs no lock (a malloc there can wait forever for a lock
// another thread held at the fork), so it gets everything ready-made.
struct Argv {
    explicit Argv(std::vector<std::string> a) : args(std::move(a)) {
        for (auto& arg : args)
            ptrs.push_back(arg.data());
        ptrs.push_back(nullptr);
    }
    std::vector<std::string> args;
    std::vector<char*> ptrs;
};

// In a forked child: becomes the program argv[0] with its arguments; 127 if it cannot.
[[noreturn]] inline void exec_args(const Argv& argv) {
    execv(argv.ptrs[0], argv.ptrs.data());
    _exit(127);
}

// Starts `args` with its stdout on a pipe, whose reading end goes to `out`, and its
// stderr in the file `stderr_path`; the child's pid.
inline pid_t spawn_piped(std::vector<std::string> args, const std::string& stderr_path, int& out) {
    const Argv argv(std::move(args));
    int fds[2];
    if (pipe(fds) != 0)
        std::abort();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        int log = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(log, 2);
        close(fds[0]);
        exec_args(argv);
    }
    close(fds[1]);
    out = fds[0];
    return pid;
}

// The next line from `fd`, without its line end ("" at the end of the input).
inline std::string read_line(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

struct Answer {
    int status = 0;
    std::string body;
};

// The URI of the test PostgreSQL cluster's "postgres" database (see with_postgres.sh),
// or nullptr: the servers use SQLite files.
inline const char* test_postgres() {
    const char* uri = std::getenv("TARNIX_TEST_PG");
    return uri && *uri ? uri : nullptr;
}

// A new empty database in the test cluster; its URI.
inline std::string fresh_database() {
    static int serial = 0;
    const std::string name = "t" + std::to_string(getpid()) + "_" + std::to_string(++serial);
    const std::string base = test_postgres();
    if (std::system(("psql -q -v ON_ERROR_STOP=1 '" + base + "' -c 'CREATE DATABASE " + name +
                     "' >/dev/null")
                        .c_str()) != 0)
        std::abort();
    std::string uri = base;
    uri.replace(uri.find("/postgres?"), 10, "/" + name + "?");
    return uri;
}

// One server process with its own temporary directory (and with TARNIX_TEST_PG set,
// its own database in the test cluster unless `extra` names one).
class ServerProcess {
public:
    // `prepare` runs on the fresh directory before the server starts.
    explicit ServerProcess(std::vector<std::string> extra = {},
                           const std::function<void(const std::string&)>& prepare = nullptr) {
        char tmpl[] = "/tmp/tarnix-server-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
        if (prepare)
            prepare(dir_);
        db_ = db_path();
        auto given = std::find(extra.begin(), extra.end(), "--db");
        if (given != extra.end() && given + 1 != extra.end())
            db_ = given[1];
        else if (test_postgres())
            db_ = fresh_database();
        std::vector<std::string> args = {TARNIX_SERVER_EXE, "--port",     "0", "--db", db_,
                                         "--outbox",        outbox_path()};
        args.insert(args.end(), extra.begin(), extra.end());
        int out = -1;
        pid_ = spawn_piped(args, log_path(), out);
        // The first line on stdout names the port; with --admin-listen, the second
        // names the admin listener's; with --download-listen, the next the download
        // listener's.
        auto port_of_line = [&] {
            const std::string line = read_line(out);
            size_t colon = line.rfind(':');
            return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
        };
        port_ = port_of_line();
        if (std::find(extra.begin(), extra.end(), "--admin-listen") != extra.end())
            admin_port_ = port_of_line();
        if (std::find(extra.begin(), extra.end(), "--download-listen") != extra.end())
            download_port_ = port_of_line();
        close(out);
    }

    ~ServerProcess() {
        if (pid_ > 0)
            stop();
        std::filesystem::remove_all(dir_);
    }

    // Stops the server and returns its exit status (0 for a clean stop).
    int stop() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    int port() const { return port_; }
    int admin_port() const { return admin_port_; }
    int download_port() const { return download_port_; }
    pid_t pid() const { return pid_; }
    std::string dir() const { return dir_; }
    std::string db_path() const { return dir_ + "/accounts.db"; }
    // The database in use: db_path(), the one given with --db, or a PostgreSQL URI.
    std::string db() const { return db_; }
    std::string outbox_path() const { return dir_ + "/outbox.txt"; }
    std::string log_path() const { return dir_ + "/server.log"; }

    Answer post(const std::string& body) const {
        httplib::Client client("127.0.0.1", port_);
        auto res = client.Post("/tx-client.asp", body, "application/x-www-form-urlencoded");
        if (!res)
            return Answer{-1, ""};
        return Answer{res->status, res->body};
    }

    std::string ask(const std::string& body) const { return post(body).body; }

    // Signs in as the client does (a challenge, then the MD5 of it and the password);
    // the answer. `wire_name` as it goes in the form (percent-encoded where needed).
    std::string sign_in(const std::string& wire_name, const std::string& password) const {
        const std::string challenge = ask("cmd=0&u=" + wire_name);
        return ask("cmd=1&u=" + wire_name + "&p=" + server::md5_hex(challenge + password));
    }

private:
    std::string dir_;
    std::string db_;
    pid_t pid_ = -1;
    int port_ = 0;
    int admin_port_ = 0;
    int download_port_ = 0;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs the server with `args` to its end; its exit code. What it writes to stdout
// and stderr goes to `out` and `err` when given.
inline int run_server(std::vector<std::string> args, std::string* out = nullptr,
                      std::string* err = nullptr) {
    args.insert(args.begin(), TARNIX_SERVER_EXE);
    const Argv argv(std::move(args));
    char tmpl[] = "/tmp/tarnix-run-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string out_path = dir + "/out", err_path = dir + "/err";
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out_path.c_str(), O_WRONLY | O_CREAT, 0600);
        int e = open(err_path.c_str(), O_WRONLY | O_CREAT, 0600);
        dup2(o, 1);
        dup2(e, 2);
        exec_args(argv);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (out)
        *out = read_file(dir + "/out");
    if (err)
        *err = read_file(dir + "/err");
    std::filesystem::remove_all(dir);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A loopback port free now (for a listener started later).
inline int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        std::abort();
    close(fd);
    return ntohs(a.sin_port);
}

// Runs SQL on a database (a SQLite file or a PostgreSQL URI) alike.
inline void run_sql_on(const std::string& db_name, const std::string& sql) {
    if (db_name.rfind("postgres", 0) == 0) {
        ASSERT_EQ(std::system(
                      ("psql -q -v ON_ERROR_STOP=1 '" + db_name + "' -c \"" + sql + "\" >/dev/null")
                          .c_str()),
                  0);
        return;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_name.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
}

// Runs SQL on the server's database, SQLite or PostgreSQL alike.
inline void run_sql(const ServerProcess& server, const std::string& sql) {
    run_sql_on(server.db(), sql);
}

} // namespace server_test
