#!/usr/bin/env bash
# Creates and configures the private Wine prefix $WINEPREFIX once (safe to run
# from several processes at the same time). TARNIX_WINE_DPI, given when the
# prefix is made, sets its display scale.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
WINE=/usr/lib/wine/wine64
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/.tarnix-ready" ]; then
  # Boot the prefix without a display: nothing here needs one.
  DISPLAY= "$WINE" wineboot -i </dev/null >/dev/null 2>&1 || true
  reg() { DISPLAY= "$WINE" reg add "$@" /f </dev/null >/dev/null 2>&1; }
  # No window manager under Xvfb: let Wine place windows itself (message boxes
  # otherwise cost about 2 s each to close).
  reg 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N
  # A crash must end the process, never wait on a dialog.
  reg 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0
  # Chinese faces the program and the dialogs ask for map to the installed CJK font.
  for face in SimSun NSimSun Tahoma 'MS Shell Dlg' 'MS Shell Dlg 2' 'Microsoft YaHei' '微软雅黑' '新宋体' '宋体'; do
    reg 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /t REG_SZ /d 'WenQuanYi Micro Hei'
  done
  # The display scale, for a prefix of its own (TARNIX_WINE_DPI=144 is 150 %).
  if [ -n "${TARNIX_WINE_DPI:-}" ]; then
    reg 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$TARNIX_WINE_DPI"
  fi
  "$(dirname "$WINE")/wineserver" -w || true
  touch "$WINEPREFIX/.tarnix-ready"
fi
