// Command-line settings of the server.
#pragma once

#include <cstdint>
#include <string>

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
};

enum class ParseResult { Run, Help, Error };

// Reads argv; on Error, `error` says what was wrong.
ParseResult parse_options(int argc, char** argv, Options& options, std::string& error);

const char* usage_text();

} // namespace server
