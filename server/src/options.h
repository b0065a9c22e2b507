// Command-line settings of the server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace server {

struct Options {
    std::string host = "127.0.0.1";
    int port = 8866; // 0: any free port (the one taken is printed)
    std::string db = "accounts.db";
    std::string outbox = "outbox.txt";
    // Status record texts, UTF-8 as given on the command line.
    std::string service_name = "Tarnix账号服务";
    std::string client_version = "1.001";
    std::string update_location; // empty: this server's own /download/Tarnix.exe
    std::string update_description = "新版本改进了登录和注册的体验，点击“开始更新”即可下载。";
    std::string announcement =
        "欢迎使用 Tarnix！新用户请先注册账号，注册时验证码会发送到您填写的邮箱。";
    std::string update_file; // empty: no update file is served
    std::string update_key;  // PEM private key: sign the update file (empty: unsigned)
    int64_t challenge_seconds = 120;
    int64_t lock_seconds = 300;
    int threads = 16;
    // Bounds of the HTTP engine.
    int64_t timeout_seconds = 10; // a request must arrive in full within this; idle too
    int64_t max_connections = 1024;
    int64_t max_per_address = 64;
    int64_t max_header_bytes = 16 * 1024;
    int64_t max_body_bytes = 64 * 1024;
    int64_t backlog = 1024;
    std::string tls_cert; // PEM files; both given: HTTPS only
    std::string tls_key;
    // Requests per minute and client address (0: no limit).
    int64_t challenges_per_minute = 20;
    int64_t sign_ins_per_minute = 20;
    int64_t changes_per_minute = 10;
    int64_t codes_per_minute = 5;
    int64_t max_challenges = 100000;
    // Addresses the budgets above do not count (local tools, a local proxy).
    std::vector<std::string> exempt_addresses = {"127.0.0.1", "::1"};
};

enum class ParseResult { Run, Help, Error };

// Reads argv; on Error, `error` says what was wrong.
ParseResult parse_options(int argc, char** argv, Options& options, std::string& error);

const char* usage_text();

} // namespace server
