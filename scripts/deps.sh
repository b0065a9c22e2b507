#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the run command need,
# only those that are missing. Needs root (or sudo) the first time.
set -euo pipefail
packages=(
  cmake ninja-build clang libclang-rt-14-dev googletest
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools
  wine wine64 xvfb x11-utils xdotool imagemagick fonts-wqy-microhei locales
  libmicrohttpd-dev libgnutls28-dev libcpp-httplib-dev libtomlplusplus-dev libsqlite3-dev libpq-dev postgresql haproxy libssl-dev openssl pkg-config
  libsystemd-dev libpwquality-dev cracklib-runtime
  libcurl4-gnutls-dev python3-aiosmtpd
  chromium chromium-driver python3-selenium prometheus
  curl aria2 procps util-linux nginx-light apache2-utils wrk testssl.sh
  nsis osslsigncode zip
  build-essential debhelper dpkg-dev lintian systemd adduser
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
# A Chinese locale for the runs that check the program under code page 936.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN.utf8$'; then
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  $sudo localedef -i zh_CN -f UTF-8 zh_CN.UTF-8 || true
fi
