#pragma once

#include "app/version_info.h"

// The client's own version. The server's status record names the current one;
// any other text starts the update flow.
inline constexpr char kClientVersion[] = TARNIX_VERSION_TEXT;
