# Shared by run.sh and test.sh: paths, builds and the display.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}

# The update signing key of this checkout, made on first use by the reference
# server (whichever tree has built it) in run.sh's data folder: update-key.pem (private, 0600)
# and update-key.hex (the public key). Sets update_public_key.
update_public_key=
ensure_update_key() {
  local data="$build/server-data"
  mkdir -p "$data"
  if [ ! -f "$data/update-key.pem" ]; then
    local server="$build/native/server/tarnix-server"
    [ -x "$server" ] || server="$build/server-release/server/tarnix-server"
    "$server" keygen "$data" >"$data/update-key.hex.new" &&
      mv "$data/update-key.hex.new" "$data/update-key.hex" || return 1
  fi
  update_public_key=$(tr -d ' \n' <"$data/update-key.hex" 2>/dev/null)
  [ ${#update_public_key} -eq 128 ]
}

# The client is built with this checkout's update key (TARNIX_UPDATE_PUBLIC_KEY),
# and the end-to-end update scenario gets the private key to sign with.
build_windows() {
  local key_args=()
  if ensure_update_key; then
    key_args=("-DTARNIX_UPDATE_PUBLIC_KEY=$update_public_key"
              "-DTARNIX_E2E_UPDATE_KEY=$build/server-data/update-key.pem")
  else
    echo "no update signing key (is the server built?): the client takes unsigned updates" >&2
  fi
  cmake --preset mingw -S "$root" "${key_args[@]}" >/dev/null
  cmake --build "$build/win"
}

build_native() {
  cmake --preset native -S "$root" >/dev/null
  cmake --build "$build/native"
}

# The server, its load tool and the engine's floor optimised, without sanitizers (for
# running and measuring).
build_server_release() {
  cmake --preset server-release -S "$root" >/dev/null
  cmake --build "$build/server-release" --target tarnix-server server_load engine_floor make_corpus
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
