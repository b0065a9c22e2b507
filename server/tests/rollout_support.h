// What the rollout tests share: a candidate's files, the admin command, an install
// with its cookie jar, and the status record's update fields.
#pragma once

#include "cookie_client.h"
#include "server_process.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace server_test {

// A candidate program and its signature in a directory of the test's own.
struct Candidate {
    Candidate() {
        char tmpl[] = "/tmp/tarnix-rollout-XXXXXX";
        dir = mkdtemp(tmpl);
        for (size_t i = 0; program.size() < 200000; ++i)
            program += static_cast<char>((i * 7919) >> 3);
        signature = std::string(64, 's');
        file = dir + "/Tarnix.exe";
        sig = dir + "/Tarnix.exe.sig";
        std::ofstream(file, std::ios::binary) << program;
        std::ofstream(sig, std::ios::binary) << signature;
    }
    ~Candidate() { std::filesystem::remove_all(dir); }
    std::string dir, file, sig, program, signature;
};

inline int rollout_admin(const std::string& db, std::vector<std::string> words,
                         std::string* out = nullptr) {
    std::vector<std::string> args = {"admin", "--db", db, "rollout"};
    args.insert(args.end(), words.begin(), words.end());
    return run_server(args, out);
}

inline int start_rollout(const std::string& db, const Candidate& c, const std::string& version,
                         int percent) {
    return rollout_admin(db, {"start", version, "--file", c.file, "--signature", c.sig, "--percent",
                              std::to_string(percent)});
}

// Field `n` (from 0) of a status record.
inline std::string field(const std::string& record, size_t n) {
    size_t start = 0;
    for (size_t i = 0; i < n && start != std::string::npos; ++i)
        start = record.find('|', start) == std::string::npos ? std::string::npos
                                                             : record.find('|', start) + 1;
    if (start == std::string::npos)
        return std::string();
    return record.substr(start, record.find('|', start) - start);
}

// The version the install is offered at `server`.
inline std::string offered(Client& install, const ServerProcess& server) {
    return field(install.post(server, "cmd=5").body, 1);
}

// A GET of `path` with the install's cookie; the status and the body.
inline Answer fetch(const ServerProcess& server, const Client& install, const std::string& path,
                    const std::string& range = std::string()) {
    httplib::Client c("127.0.0.1", server.port());
    httplib::Headers headers;
    if (!install.cookie.empty())
        headers.emplace("Cookie", install.cookie);
    if (!range.empty())
        headers.emplace("Range", range);
    auto res = c.Get(path.c_str(), headers);
    return res ? Answer{res->status, res->body} : Answer{-1, ""};
}

// Milliseconds until `done` holds, polled every 20 ms; -1 past `limit_ms`.
inline int64_t millis_until(const std::function<bool()>& done, int64_t limit_ms = 5000) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
        if (done())
            return ms;
        if (ms > limit_ms)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace server_test
