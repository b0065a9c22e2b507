# Shared by run.sh and test.sh: paths, builds and the display.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}

build_windows() {
  cmake --preset mingw -S "$root" >/dev/null
  cmake --build "$build/win"
}

build_native() {
  cmake --preset native -S "$root" >/dev/null
  cmake --build "$build/native"
}

# The server and its load tool optimised, without sanitizers (for running and measuring).
build_server_release() {
  cmake --preset server-release -S "$root" >/dev/null
  cmake --build "$build/server-release" --target tarnix-server server_load
}

# Starts Xvfb when no display is given; sets STARTED_XVFB to its pid.
STARTED_XVFB=
ensure_display() {
  if [ -n "${DISPLAY:-}" ]; then
    return
  fi
  local n=$(( (RANDOM % 400) + 100 ))
  while [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  STARTED_XVFB=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
}

# Boots the build tree's Wine prefix with its services detached from our output.
boot_wine() {
  export WINEPREFIX="$build/win/wineprefix"
  "$root/scripts/wine-prefix.sh"
  /usr/lib/wine/wineserver -p 2>/dev/null || true
  /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
}

stop_wine() {
  [ -n "${WINEPREFIX:-}" ] && /usr/lib/wine/wineserver -k 2>/dev/null || true
}
