// Teardown of the tests' loopback HTTP server: no connection thread may
// outlive the server object, and Winsock is left as it was found.
#include <winsock2.h>

#include "support/responder_win.h"

#include <gtest/gtest.h>

#include <memory>

TEST(Responder, TeardownEndsEveryConnectionAndWinsockUse) {
    // Whatever this process started before, so that the count below is ours.
    while (WSACleanup() == 0) {
    }
    {
        auto server = std::make_unique<testsupport::Responder>(testsupport::make_blob(1000));
        ASSERT_TRUE(server->ok());
        WSADATA wsa;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
        // A client that connects and never sends its request: the server's
        // connection thread waits for it.
        SOCKET c = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<u_short>(server->port()));
        ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        Sleep(300); // accepted and waiting

        const DWORD start = GetTickCount();
        server.reset();
        EXPECT_LT(GetTickCount() - start, 3000u) << "teardown waited for a time-out";
        // The server's side has ended: the connection reads as closed at once.
        DWORD timeout = 3000;
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof(timeout));
        char b = 0;
        const int n = recv(c, &b, 1, 0);
        EXPECT_TRUE(n == 0 || (n < 0 && WSAGetLastError() != WSAETIMEDOUT))
            << "the connection is still served after the server is gone";
        closesocket(c);
        EXPECT_EQ(WSACleanup(), 0);
    }
    // Every WSAStartup was paired with a WSACleanup.
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}
