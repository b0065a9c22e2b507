// A client with a cookie jar of its own for the server's tests, as WinInet keeps
// one: the device cookie the server set last is sent back on every request.
#pragma once

#include "base/crypto.h"
#include "server_process.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <string>

namespace server_test {

struct Client {
    std::string cookie; // the Cookie header sent ("" none)
    std::string last_set_cookie;

    Answer post(const ServerProcess& server, const std::string& body) {
        httplib::Client c("127.0.0.1", server.port());
        httplib::Headers headers;
        if (!cookie.empty())
            headers.emplace("Cookie", cookie);
        auto res = c.Post("/tx-client.asp", headers, body, "application/x-www-form-urlencoded");
        if (!res)
            return Answer{-1, ""};
        last_set_cookie = res->get_header_value("Set-Cookie");
        if (!last_set_cookie.empty())
            cookie = last_set_cookie.substr(0, last_set_cookie.find(';'));
        return Answer{res->status, res->body};
    }

    std::string sign_in(const ServerProcess& server, const std::string& account,
                        const std::string& password) {
        std::string challenge = post(server, "cmd=0&u=" + account).body;
        EXPECT_EQ(challenge.size(), 19u);
        Answer a =
            post(server, "cmd=1&u=" + account + "&p=" + server::md5_hex(challenge + password));
        EXPECT_EQ(a.status, 200) << "a cookie never makes an error";
        return a.body;
    }
};

} // namespace server_test
