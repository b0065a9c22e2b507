#pragma once
// The route to the UI thread lives in platform/; this name stays until the
// update folder's sources include it from there.
#include "platform/ui_thread_win.h"
