#!/usr/bin/env bash
# Builds the release program twice from the same sources, copied into two
# differently named folders, a few seconds apart, and checks that the two
# unsigned Tarnix.exe files are bit-identical.
set -euo pipefail
source "$(dirname "$0")/common.sh"
work="$build/repro"
rm -rf "$work"
# Any fixed update key (here the curve's base point): both builds get the same inputs.
key=6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c2964fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5

copy_sources() {
  mkdir -p "$1"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf -) |
    tar -xf - -C "$1"
}

build_in() {
  copy_sources "$1"
  cmake --preset release -S "$1" -B "$1/out" -DTARNIX_UPDATE_PUBLIC_KEY="$key" >/dev/null
  cmake --build "$1/out" --target Tarnix >/dev/null
}

build_in "$work/first/tarnix"
sleep 2
build_in "$work/second/another-name"
a="$work/first/tarnix/out/Tarnix.exe"
b="$work/second/another-name/out/Tarnix.exe"
if cmp -s "$a" "$b"; then
  echo "reproducible: both builds give $(sha256sum "$a" | cut -d' ' -f1)"
else
  echo "NOT reproducible: $a and $b differ in $(cmp -l "$a" "$b" | wc -l) bytes" >&2
  exit 1
fi
