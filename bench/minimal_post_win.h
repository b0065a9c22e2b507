#pragma once
// The least code that makes the account POST of "cmd=c" to 127.0.0.1:`port`,
// a new connection each time: minimal_post.exe measures it alone,
// request_roundtrip_bench.exe takes turns with it request by request.
//   post_wininet  InternetOpen, InternetConnect, HttpOpenRequest (the client's
//                 flags), HttpSendRequest, InternetReadFile in 1 KiB pieces
//   post_winsock  connect, one send of the whole request, recv to the end
// Both give the answer's body.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wininet.h>

#include <cstring>
#include <string>

namespace minimal_post {

inline constexpr char kBody[] = "cmd=c";
inline constexpr char kContentType[] = "Content-Type: application/x-www-form-urlencoded\r\n";

inline std::string post_wininet(int port) {
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

inline std::string post_winsock(int port) {
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

} // namespace minimal_post
