// The floor for one account request under Wine: the same POST of "cmd=c" made
// by the least code that can make it, in two ways, a new connection each time:
//   wininet  InternetOpen, InternetConnect, HttpOpenRequest (the client's flags),
//            HttpSendRequest, InternetReadFile in 1 KiB pieces, handles closed
//   winsock  connect, one send of the whole request, recv to the end, close
//
//   minimal_post [wininet|winsock] URL_PORT [requests=200]
#include "minimal_post_win.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using minimal_post::post_wininet;
using minimal_post::post_winsock;

namespace {

double now_ms() {
    LARGE_INTEGER f;
    LARGE_INTEGER t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::printf("usage: minimal_post wininet|winsock PORT [requests]\n");
        return 2;
    }
    const bool wininet = std::strcmp(argv[1], "wininet") == 0;
    const int port = std::atoi(argv[2]);
    const int requests = argc > 3 ? std::max(1, std::atoi(argv[3])) : 200;
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    auto post = wininet ? post_wininet : post_winsock;
    for (int i = 0; i < 5; ++i) {
        post(port);
    }
    std::vector<double> ms;
    int wrong = 0;
    for (int i = 0; i < requests; ++i) {
        const double t0 = now_ms();
        wrong += post(port) == "ConnectionOk" ? 0 : 1;
        ms.push_back(now_ms() - t0);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("minimal_%s requests %d wrong %d median_ms %.3f p10_ms %.3f p90_ms %.3f\n", argv[1],
                requests, wrong, ms[ms.size() / 2], ms[ms.size() / 10], ms[ms.size() * 9 / 10]);
    WSACleanup();
    return wrong == 0 ? 0 : 1;
}
