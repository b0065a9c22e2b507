#!/usr/bin/env bash
# Builds the account server's Debian package, build/deb/tarnix-server_<version>_amd64.deb,
# with debhelper (debian/) on a copy of the tree, so the source stays clean, and
# checks it with lintian (no error allowed). The version is the server's own
# (server/src/base/version.h); debian/changelog must have an entry for it.
set -euo pipefail
source "$(dirname "$0")/common.sh"

version=$(sed -n 's/^#define TARNIX_SERVER_VERSION "\(.*\)"$/\1/p' "$root/server/src/base/version.h")
changelog=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
if [ -z "$version" ] || [ "$version" != "$changelog" ]; then
  echo "package-server: the server is version '$version' but debian/changelog's last entry is" \
       "'$changelog': add an entry (dch -v $version)" >&2
  exit 1
fi

# Every library the server finds through pkg-config must be a build dependency of
# the package: a machine with everything installed would not notice one missing,
# a clean build machine would fail.
build_depends=$(sed -n '/^Build-Depends:/,/^[A-Z][A-Za-z-]*: /p' "$root/debian/control")
for module in $(sed -n 's/^pkg_check_modules([A-Z_]* REQUIRED IMPORTED_TARGET \([^ )]*\)).*/\1/p' \
                  "$root/server/CMakeLists.txt"); do
  pc="$(pkg-config --variable=pcfiledir "$module")/$module.pc"
  dev=$(dpkg -S "$pc" 2>/dev/null | cut -d: -f1)
  if [ -z "$dev" ] || ! grep -qE "(^|[ ,])$dev(,|$| )" <<<"$build_depends"; then
    echo "package-server: the server needs $module (${dev:-no package found}):" \
         "add it to Build-Depends in debian/control" >&2
    exit 1
  fi
done

out="$build/deb"
work="$build/deb-work"
rm -rf "$work"
mkdir -p "$work/tarnix-server-$version" "$out"
# What git would commit (tracked and new files, not the ignored build trees).
git -C "$root" ls-files -z --cached --others --exclude-standard |
  (cd "$root" && xargs -0 -r tar -cf - --no-recursion --ignore-failed-read) |
  tar -xf - -C "$work/tarnix-server-$version"
(cd "$work/tarnix-server-$version" && dpkg-buildpackage -b -us -uc) >"$work/build.log" 2>&1 || {
  tail -n 40 "$work/build.log" >&2
  echo "package-server: dpkg-buildpackage failed (log: $work/build.log)" >&2
  exit 1
}
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
deb="$out/tarnix-server_${version}_${arch}.deb"
mv "$work/tarnix-server_${version}_${arch}.deb" "$deb"
changes="$work/tarnix-server_${version}_${arch}.changes"

# lintian as root needs to be told that is on purpose.
lintian_args=(--fail-on error --tag-display-limit 0)
[ "$(id -u)" = 0 ] && lintian_args+=(--allow-root)
if ! lintian "${lintian_args[@]}" "$deb" >"$work/lintian.log" 2>&1; then
  cat "$work/lintian.log" >&2
  echo "package-server: lintian reports errors" >&2
  exit 1
fi
sed 's/^/lintian: /' "$work/lintian.log"
echo "$deb"
