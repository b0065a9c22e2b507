// Download of one file with the update's download component, as the update
// window runs it (five connections), timed from the start of the task to its
// end event.
//
//   download_bench URL TARGET [CONNECTIONS [PUBLIC_KEY_HEX VERSION]]
// With a key, the file must be signed (URL + ".sig") for VERSION.
// Prints "seconds <s> bytes <n> ok <0|1>", then the process's memory in MiB:
// working set and committed memory (pagefile usage) before the task (idle)
// and their peaks over the run.
#include "ui/gbk_win.h"
#include "update/downloader_win.h"
#include "update/update_trust.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
HANDLE g_ended = nullptr;
int32_t g_extra = 0;
int32_t on_event(int32_t kind, int32_t, int32_t, int32_t extra, int32_t) {
    if (kind == kDownloadEventEnded) {
        g_extra = extra;
        SetEvent(g_ended);
    }
    return 0;
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: download_bench URL TARGET [CONNECTIONS [PUBLIC_KEY_HEX VERSION]]\n");
        return 2;
    }
    g_ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DownloadTaskParams p;
    // The update window's settings; the connection count may be given.
    set_update_download_values(p, argv[1], narrow(widen(argv[2])), on_event);
    if (argc > 3) {
        p.connections = std::atoi(argv[3]);
    }
    FileAcceptance acceptance;
    if (argc > 5 && !update_trust::parse_public_key(argv[4], acceptance.public_key)) {
        std::fprintf(stderr, "bad public key\n");
        return 2;
    }
    if (argc > 5) {
        acceptance.version = argv[5];
    }
    Downloader d;
    PROCESS_MEMORY_COUNTERS idle{};
    GetProcessMemoryInfo(GetCurrentProcess(), &idle, sizeof idle);
    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t0);
    if (!d.start_task(p, acceptance)) {
        std::fprintf(stderr, "start refused\n");
        return 1;
    }
    WaitForSingleObject(g_ended, INFINITE);
    QueryPerformanceCounter(&t1);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(widen(argv[2]).c_str(), GetFileExInfoStandard, &data);
    long long bytes = (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    std::printf("seconds %.3f bytes %lld ok %d\n",
                static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(freq.QuadPart),
                bytes, static_cast<int>(g_extra));
    PROCESS_MEMORY_COUNTERS peak{};
    GetProcessMemoryInfo(GetCurrentProcess(), &peak, sizeof peak);
    constexpr double kMiB = 1024.0 * 1024.0;
    std::printf("idle_ws_mib %.1f peak_ws_mib %.1f idle_commit_mib %.1f peak_commit_mib %.1f\n",
                static_cast<double>(idle.WorkingSetSize) / kMiB,
                static_cast<double>(peak.PeakWorkingSetSize) / kMiB,
                static_cast<double>(idle.PagefileUsage) / kMiB,
                static_cast<double>(peak.PeakPagefileUsage) / kMiB);
    return g_extra == 1 ? 0 : 1;
}
