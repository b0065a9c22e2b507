// The floor for one account request under Wine: the same POST of "cmd=c" made
// by the least code that can make it, in two ways, a new connection each time:
//   wininet  InternetOpen, InternetConnect, HttpOpenRequest (the client's flags),
//            HttpSendRequest, InternetReadFile in 1 KiB pieces, handles closed
//   winsock  connect, one send of the whole request, recv to the end, close
//
//   minimal_post [wininet|winsock] URL_PORT [requests=200]
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kBody[] = "cmd=c";
constexpr char kContentType[] = "Content-Type: application/x-www-form-urlencoded\r\n";

std::string post_wininet(int port) {
    std::string answer;
    HINTERNET internet = InternetOpenA("bench", INTERNET_OPEN_TYPE_DIRECT, "", "", 0);
    HINTERNET connection = InternetConnectA(internet, "127.0.0.1", static_cast<INTERNET_PORT>(port),
                                            "", "", INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestA(
        connection, "POST", "/tx-client.asp", "HTTP/1.1", nullptr, nullptr,
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NEED_FILE | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS, 0);
    if (request && HttpSendRequestA(request, kContentType, static_cast<DWORD>(strlen(kContentType)),
                                    const_cast<char*>(kBody), static_cast<DWORD>(strlen(kBody)))) {
        char piece[1024];
        DWORD count = 0;
        while (InternetReadFile(request, piece, sizeof piece, &count) && count > 0) {
            answer.append(piece, count);
        }
    }
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    InternetCloseHandle(internet);
    return answer;
}

std::string post_winsock(int port) {
    std::string answer;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const std::string request = std::string("POST /tx-client.asp HTTP/1.1\r\n"
                                                "Host: 127.0.0.1:") +
                                    std::to_string(port) + "\r\n" + kContentType +
                                    "Content-Length: 5\r\nConnection: close\r\n\r\n" + kBody;
        send(s, request.data(), static_cast<int>(request.size()), 0);
        char piece[4096];
        int n;
        while ((n = recv(s, piece, sizeof piece, 0)) > 0) {
            answer.append(piece, static_cast<size_t>(n));
        }
        const size_t body = answer.find("\r\n\r\n");
        answer = body == std::string::npos ? "" : answer.substr(body + 4);
    }
    closesocket(s);
    return answer;
}

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
