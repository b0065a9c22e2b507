#!/usr/bin/env bash
# Installs what is missing, builds both trees and runs every test:
# the portable routines natively under ASan/UBSan, their fuzzers for a bounded
# time, the reference server's tests and its Debian package, and the Windows
# code under Wine + Xvfb.
set -uo pipefail
source "$(dirname "$0")/common.sh"
"$root/scripts/deps.sh" || exit 1
FUZZ_SECONDS=${FUZZ_SECONDS:-20}
start=$(date +%s)

build_native || exit 1
build_windows || exit 1

status=0
summary=()

echo "== native tests (ASan + UBSan)"
out=$(ctest --test-dir "$build/native" --output-on-failure -j2 2>&1)
rc=$?; echo "$out" | tail -n 40; summary+=("native: $(echo "$out" | grep -E 'tests passed|tests failed' | tail -1)")
((rc)) && status=1

echo "== fuzzing, ${FUZZ_SECONDS}s per target"
mkdir -p "$build/fuzz"
for f in "$build"/native/tests/*_fuzz; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="$build/fuzz/$name"
  mkdir -p "$corpus"
  if "$f" -max_total_time="$FUZZ_SECONDS" -max_len=4096 "$corpus" >"$build/fuzz/$name.log" 2>&1; then
    summary+=("fuzz $name: $(grep -Eo '#[0-9]+' "$build/fuzz/$name.log" | tail -1) runs, no crash")
  else
    tail -n 30 "$build/fuzz/$name.log"; summary+=("fuzz $name: FAILED"); status=1
  fi
done

echo "== Windows tests under Wine"
ensure_display
boot_wine
mkdir -p "$build/screenshots"
out=$(ctest --test-dir "$build/win" --output-on-failure -j2 2>&1)
rc=$?; echo "$out" | tail -n 60; summary+=("windows: $(echo "$out" | grep -E 'tests passed|tests failed' | tail -1)")
((rc)) && status=1
stop_wine

# A second or third pass of some Windows tests in a prefix of its own (a prefix
# keeps its code page and its display scale). The caller puts the pass's
# environment (LC_ALL, TARNIX_WINE_DPI) before the call.
windows_pass() { # label, prefix folder, test name pattern
  export WINEPREFIX="$build/win/$2"
  "$root/scripts/wine-prefix.sh"
  /usr/lib/wine/wineserver -p 2>/dev/null || true
  /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
  out=$(ctest --test-dir "$build/win" --output-on-failure -j2 -R "$3" 2>&1)
  rc=$?; echo "$out" | tail -n 20; summary+=("$1: $(echo "$out" | grep -E 'tests passed|tests failed' | tail -1)")
  ((rc)) && status=1
  stop_wine
  unset WINEPREFIX
}

# The window, handshake and account tests with the Chinese ANSI code page
# (936): the program converts its GBK texts itself, so both runs must agree.
echo "== Windows UI tests under code page 936"
LC_ALL=zh_CN.UTF-8 windows_pass "windows, code page 936" wineprefix-cp936 \
  '^(FirstFrame|MainWindow|Handshake|SignIn|SignUp|PasswordChange|AccountEndToEnd|Accessibility|Keyboard|KeyboardProgram|HighContrast|Shadow)\.'

# The window tests at 150 % display scale (144 DPI): the forms must lay
# themselves out for it.
echo "== Windows window tests at 144 DPI"
TARNIX_WINE_DPI=144 windows_pass "windows, 144 DPI" wineprefix-dpi144 \
  '^(Dpi|FirstFrame|MainWindow|Program|UpdateWindow|Accessibility|Keyboard|KeyboardProgram|HighContrast|Shadow)\.'

# The server's Debian package, built and then installed, started, removed and
# purged on this machine (needs root; CI runs as root).
echo "== server package"
if "$root/scripts/package-server.sh" >"$build/package.log" 2>&1; then
  out=$("$root/tests/package/package_test.sh" "$(tail -n 1 "$build/package.log")" \
        "$build/package-test" 2>&1)
  rc=$?; echo "$out" | tail -n 40
  if ((rc == 77)); then
    summary+=("package: $(echo "$out" | tail -n 1)")
  else
    summary+=("package: $(grep -c '^lintian: W' "$build/package.log") lintian warnings, $(echo "$out" | tail -n 1)")
    ((rc)) && status=1
  fi
else
  tail -n 30 "$build/package.log"; summary+=("package: scripts/package-server.sh FAILED"); status=1
fi

# The release: built twice for bit-identity, then made (test-signed) and checked
# as a user gets it: checksums, signatures, install, start, update, uninstall.
echo "== release"
out=$("$root/tests/release/endpoint_test.sh" 2>&1) || { echo "$out"; status=1; }; summary+=("release endpoint check: $(echo "$out" | tail -n 1)")
if "$root/scripts/check-reproducible.sh" >"$build/repro.log" 2>&1; then
  summary+=("release: $(tail -n 1 "$build/repro.log")")
else
  tail -n 20 "$build/repro.log"; summary+=("release: NOT reproducible"); status=1
fi
if "$root/scripts/release.sh" >"$build/release.log" 2>&1; then
  out=$("$root/tests/release/release_test.sh" "$build/release" "$build/native/server/tarnix-server" \
        "$build/win/tests/e2e/e2e_driver.exe" "$build/win/tests/e2e/tarnix_next.exe" \
        "$build/release-test" 2>&1)
  rc=$?; echo "$out" | tail -n 40; summary+=("release: $(echo "$out" | tail -n 1)")
  ((rc)) && status=1
else
  tail -n 30 "$build/release.log"; summary+=("release: scripts/release.sh FAILED"); status=1
fi
[ -n "$STARTED_XVFB" ] && kill "$STARTED_XVFB" 2>/dev/null

echo "== summary ($(( $(date +%s) - start ))s)"
printf '%s\n' "${summary[@]}"
exit $status
