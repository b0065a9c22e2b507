#include "app/app_state.h"

namespace {
// The program's state lives in a heap object that the exit routine releases
// explicitly, so the release order is ours and not the C runtime's.
AppState* g_state = nullptr;
} // namespace

AppState& app() {
    if (!g_state) {
        g_state = new AppState();
    }
    return *g_state;
}

bool app_state_created() {
    return g_state != nullptr;
}
