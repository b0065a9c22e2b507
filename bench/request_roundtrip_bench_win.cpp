// Round trip of server_request against a local peer that answers at once: the
// server at `url` when one is given, otherwise the tests' scripted responder in
// this process, on a thread of its own. With "alternate" (and a url on
// 127.0.0.1), server_request and the minimal WinInet POST take turns request
// by request in this one process, so that both see the same moment's load;
// it prints both medians and the median of their per-pair difference.
//
//   request_roundtrip_bench [requests=200] [url [alternate]]
#include "minimal_post_win.h"
#include "support/responder_win.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/app_state.h"
#include "protocol/server_request_win.h"

namespace {

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    if (n == 0) {
        return 0;
    }
    double pos = p * static_cast<double>(n - 1);
    size_t lo = static_cast<size_t>(pos);
    size_t hi = std::min(lo + 1, n - 1);
    return values[lo] + (values[hi] - values[lo]) * (pos - static_cast<double>(lo));
}

} // namespace

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::atoi(argv[1]) : 200;
    const int warm_up = 5;

    testsupport::Responder peer;
    if (!peer.ok()) {
        std::printf("responder failed to listen\n");
        return 1;
    }
    peer.set_default([](const testsupport::ReceivedRequest&) {
        return testsupport::answer_with_body("ConnectionOk");
    });
    app().endpoint_url = argc > 2 ? argv[2] : peer.url();
    std::printf("url %s\n", app().endpoint_url.c_str());
    std::fflush(stdout);

    for (int i = 0; i < warm_up; ++i) {
        server_request(app().endpoint_url, "c");
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    auto time_ms = [&](auto&& call) {
        LARGE_INTEGER t0;
        LARGE_INTEGER t1;
        QueryPerformanceCounter(&t0);
        const bool right = call() == "ConnectionOk";
        QueryPerformanceCounter(&t1);
        return std::make_pair(right, static_cast<double>(t1.QuadPart - t0.QuadPart) * 1000.0 /
                                         static_cast<double>(frequency.QuadPart));
    };
    if (argc > 3 && std::strcmp(argv[3], "alternate") == 0) {
        const char* colon = std::strrchr(argv[2] + 7, ':'); // past "http://"
        const int port = colon ? std::atoi(colon + 1) : 0;
        std::vector<double> ours, minimal, difference;
        int wrong = 0;
        for (int i = 0; i < requests; ++i) {
            auto a = time_ms([&] { return server_request(app().endpoint_url, "c"); });
            auto b = time_ms([&] { return minimal_post::post_wininet(port); });
            wrong += (a.first ? 0 : 1) + (b.first ? 0 : 1);
            ours.push_back(a.second);
            minimal.push_back(b.second);
            difference.push_back(a.second - b.second);
        }
        std::printf("alternate requests %d wrong %d server_request_ms %.3f minimal_wininet_ms %.3f "
                    "difference_ms %.3f\n",
                    requests, wrong, percentile(ours, 0.5), percentile(minimal, 0.5),
                    percentile(difference, 0.5));
        return wrong == 0 ? 0 : 1;
    }
    std::vector<double> ms;
    int wrong = 0;
    for (int i = 0; i < requests; ++i) {
        LARGE_INTEGER t0;
        LARGE_INTEGER t1;
        QueryPerformanceCounter(&t0);
        std::string answer = server_request(app().endpoint_url, "c");
        QueryPerformanceCounter(&t1);
        wrong += answer == "ConnectionOk" ? 0 : 1;
        ms.push_back(static_cast<double>(t1.QuadPart - t0.QuadPart) * 1000.0 /
                     static_cast<double>(frequency.QuadPart));
    }
    std::printf("server_request requests %d wrong %d median_ms %.3f p10_ms %.3f p90_ms %.3f\n",
                requests, wrong, percentile(ms, 0.5), percentile(ms, 0.1), percentile(ms, 0.9));
    return wrong == 0 ? 0 : 1;
}
