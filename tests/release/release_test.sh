#!/usr/bin/env bash
# Checks a release made by scripts/release.sh, under Wine in a prefix of its own:
# checksums and signatures, a silent per-user install (files, shortcut, uninstall
# entry), the installed program connecting to the reference server and closing
# with exit code 0, an install over a running copy, a signed update replacing the
# program in its folder, and a silent
# uninstall that leaves nothing of ours behind.
#
#   release_test.sh RELEASE_DIR SERVER E2E_DRIVER NEXT_EXE WORK_DIR
set -uo pipefail
abs() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
release=$(abs "$1") server=$(abs "$2") driver=$(abs "$3") next=$(abs "$4") work=$(abs "$5")
here=$(cd "$(dirname "$0")" && pwd)
run_e2e="$here/../e2e/run_e2e.sh"
wine=/usr/lib/wine/wine64
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
export WINEPREFIX="$work/wineprefix"

failures=0
check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "ok   $what"
  else
    echo "FAIL $what"
    failures=$((failures + 1))
  fi
}

setup=$(ls "$release"/Tarnix-*-setup.exe)
zip=$(ls "$release"/Tarnix-*-x64.zip)
ca="$release/test-keys/sign-cert.pem"
verify() {
  local args=()
  [ -f "$ca" ] && args=(-CAfile "$ca")
  osslsigncode verify "${args[@]}" -in "$1" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log"; return 1; }
}

rm -rf "$work"
mkdir -p "$work"
check "SHA256SUMS" bash -c "cd '$release' && sha256sum --quiet -c SHA256SUMS"
unzip -q "$zip" -d "$work/zip"
check "zip holds the program and the read-me" test -f "$work/zip/Tarnix.exe" -a -f "$work/zip/README.txt"
check "program signature" verify "$work/zip/Tarnix.exe"
check "installer signature" verify "$setup"

# A prefix of the test's own: never the build's or the user's.
"$here/../../scripts/wine-prefix.sh"
/usr/lib/wine/wineserver -p30 2>/dev/null || true
$wine wineboot </dev/null >/dev/null 2>&1 || true
user=$(ls "$WINEPREFIX/drive_c/users" | grep -vx Public | head -n 1)
dir="$WINEPREFIX/drive_c/users/$user/AppData/Local/Programs/Tarnix"
link="$WINEPREFIX/drive_c/users/$user/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Tarnix.lnk"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarnix'

check "silent install exits 0" $wine "$setup" /S
check "program, read-me and uninstaller installed" \
  test -f "$dir/Tarnix.exe" -a -f "$dir/README.txt" -a -f "$dir/Uninstall.exe"
check "installed program is the released one" cmp -s "$dir/Tarnix.exe" "$work/zip/Tarnix.exe"
check "uninstaller signature" verify "$dir/Uninstall.exe"
check "Start-menu shortcut" test -f "$link"
entry=$($wine reg query "$key" 2>/dev/null | tr -d '\r')
for value in DisplayName DisplayVersion Publisher DisplayIcon EstimatedSize UninstallString \
             QuietUninstallString InstallLocation; do
  check "uninstall entry has $value" grep -q "^ *$value " <<<"$entry"
done

check "installed program connects and closes with code 0" \
  "$run_e2e" installed "$server" "$driver" "$dir/Tarnix.exe" - - "$work"

# Silent uninstall: the uninstaller runs from a temporary copy, so wait for it.
# An install over an older copy that is running waits for it to end, then replaces it.
cp "$next" "$dir/Tarnix.exe"
(cd "$dir" && exec $wine Tarnix.exe) &
program=$!
sleep 4 # its window is up well within this (the installer looks for it by class)
$wine "$setup" /S &
setup_pid=$!
sleep 3
check "install waits while the program runs" kill -0 "$setup_pid"
check "the running program's file is left alone" cmp -s "$dir/Tarnix.exe" "$next"
kill -9 "$program" 2>/dev/null
wait "$setup_pid"
check "install after the program ended exits 0" test $? -eq 0
check "the new program replaced the older one" cmp -s "$dir/Tarnix.exe" "$work/zip/Tarnix.exe"

# The installed program takes a signed update in its per-user folder (the
# release's update key signs it; the program has its public half built in).
update_key="$release/test-keys/update-key.pem"
if [ -f "$update_key" ]; then
  public_key=$(openssl ec -in "$update_key" -pubout -outform DER 2>/dev/null | tail -c 64 |
               od -An -v -tx1 | tr -d ' \n')
  check "a signed update replaces the installed program" env E2E_INSTALL_DIR="$dir" \
    "$run_e2e" update "$server" "$driver" "$work/zip/Tarnix.exe" - "$next" "$work" \
    "$public_key" "$update_key"
else
  echo "skip signed update: the release was signed with the caller's key, which this test lacks"
fi

# What a self-update may leave goes too; a file of the user's stays, and with it the folder.
touch "$dir/Tarnix.exe.part" "$dir/Tarnix.exe.old" "$dir/notes of mine.txt"
check "silent uninstall exits 0" $wine "$dir/Uninstall.exe" /S
for _ in $(seq 100); do [ -e "$dir/Uninstall.exe" ] || break; sleep 0.1; done
check "only the user's file is left" test "$(ls -A "$dir")" = "notes of mine.txt"
rm -f "$dir/notes of mine.txt"
check "shortcut removed" test ! -e "$link"
check "uninstall entry removed" bash -c "! $wine reg query '$key' >/dev/null 2>&1"

/usr/lib/wine/wineserver -k 2>/dev/null || true
echo "release checks: $failures failed"
exit $((failures > 0))
