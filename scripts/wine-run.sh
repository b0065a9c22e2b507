#!/usr/bin/env bash
# Runs a Windows program under Wine with the build tree's private prefix and an
# X display: CMake's emulator for the cross build's tests, and the way the
# scripts start Tarnix.exe.
set -euo pipefail
exe=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${WINEPREFIX:-}" ]; then
  d=$(cd "$(dirname "$exe")" && pwd)
  while [ "$d" != / ] && [ ! -f "$d/CMakeCache.txt" ]; do d=$(dirname "$d"); done
  [ "$d" != / ] || { echo "wine-run: no build tree above $exe; set WINEPREFIX" >&2; exit 2; }
  export WINEPREFIX="$d/wineprefix"
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
"$here/wine-prefix.sh"

xvfb_pid=
if [ -z "${DISPLAY:-}" ]; then
  n=$(( (RANDOM % 400) + 100 ))
  while [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
fi
# Keep one wine server alive between test processes; later starts are then fast.
# Wine's background services must start detached from our stdout: a test
# runner waits for its pipe to close, and they would hold it for the server's
# lifetime. On a booted prefix this costs about 0.2 s.
/usr/lib/wine/wineserver -p30 2>/dev/null || true
/usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
# The program writes to files, passed on once it ends. A process it leaves
# behind may hold its output: Wine starts its desktop process with the standard
# error of the first program that opens a window, and that process lives while
# any program has one. A test runner reads our output until every writer has
# closed it, so it would wait for the desktop long after the program ended (past
# its time-out, with other tests keeping windows open). Following the files
# live (tail -f --pid) once gave test listings that came back empty, so they
# are copied whole after the program ends.
out=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX")
set +e
/usr/lib/wine/wine64 "$exe" "$@" >"$out/stdout" 2>"$out/stderr"
rc=$?
set -e
cat "$out/stdout"
cat "$out/stderr" >&2
rm -rf "$out"
if [ -n "$xvfb_pid" ]; then
  kill "$xvfb_pid" 2>/dev/null || true
fi
exit $rc
