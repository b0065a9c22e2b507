#!/usr/bin/env bash
# Builds a release into build/release/:
#   Tarnix-<version>-setup.exe   per-user installer (signed, with a signed uninstaller)
#   Tarnix-<version>-x64.zip     the signed program and a short read-me
#   Tarnix.exe.sig               the update signature the account server serves beside the program
#   SHA256SUMS
#
# Keys and the endpoint come from the caller:
#   TARNIX_SIGN_PFX, TARNIX_SIGN_PASSWORD   Authenticode certificate and key (PKCS#12)
#   TARNIX_TIMESTAMP_URL                    RFC 3161 time-stamp server (optional)
#   TARNIX_UPDATE_KEY                       the update signing key (P-256, PEM)
#   TARNIX_ENDPOINT_URL                     the account server the program talks to
# Without a key a throw-away test key is made, without the endpoint the program talks
# to CMakeLists.txt's default on this machine, and the result is a TEST release. A
# plain http:// endpoint on another machine is refused before anything is built:
# every sign-up password and password change would cross the network in clear.
#
#   release.sh --check-endpoint   checks TARNIX_ENDPOINT_URL alone
set -euo pipefail

check_endpoint() {
  local url=${TARNIX_ENDPOINT_URL:-} authority
  [[ ${url,,} == http://* ]] || return 0
  authority=${url#*://}
  authority=${authority%%/*}
  local octet='(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])'
  local this_machine="^(localhost|127(\\.$octet){3}|\\[::1\\])(:[0-9]+)?\$"
  [[ ${authority,,} =~ $this_machine ]] && return 0
  echo "release: TARNIX_ENDPOINT_URL=$url is plain http:// to another machine, so passwords would cross the network in clear: give an https:// URL" >&2
  return 1
}

if [ "${1:-}" = --check-endpoint ]; then
  check_endpoint
  exit
fi
check_endpoint || exit 1
source "$(dirname "$0")/common.sh"
"$root/scripts/deps.sh" || exit 1

out="$build/release"
tree="$build/release-tree"
version=$(sed -n 's/^#define TARNIX_VERSION_TEXT "\(.*\)"$/\1/p' "$root/src/app/version_info.h")
version4=$(sed -n 's/^#define TARNIX_VERSION_NUMBERS //p' "$root/src/app/version_info.h" | tr -d ' ' | tr , .)
[ -n "$version" ] && [ -n "$version4" ] || { echo "release: no version in src/app/version_info.h" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out/stage"
test_release=()

loud() {
  printf '\n%s\n' "********************************************************************"
  printf '%s\n' "$@"
  printf '%s\n\n' "********************************************************************"
}

if [ -z "${TARNIX_SIGN_PFX:-}" ]; then
  keys="$out/test-keys"
  mkdir -p "$keys"
  openssl req -x509 -newkey rsa:3072 -nodes -days 30 -subj "/CN=Tarnix TEST signing - not trusted" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
    -keyout "$keys/sign-key.pem" -out "$keys/sign-cert.pem" 2>/dev/null
  openssl pkcs12 -export -inkey "$keys/sign-key.pem" -in "$keys/sign-cert.pem" \
    -out "$keys/sign.p12" -passout pass:test
  export TARNIX_SIGN_PFX="$keys/sign.p12" TARNIX_SIGN_PASSWORD=test
  test_release+=("Authenticode: a throw-away test certificate ($keys/sign-cert.pem)")
fi
if [ -z "${TARNIX_UPDATE_KEY:-}" ]; then
  keys="$out/test-keys"
  mkdir -p "$keys"
  (umask 077 && openssl ecparam -name prime256v1 -genkey -noout -out "$keys/update-key.pem")
  export TARNIX_UPDATE_KEY="$keys/update-key.pem"
  test_release+=("Update signatures: a throw-away test key ($TARNIX_UPDATE_KEY)")
fi
# The cache of an earlier run must not keep an endpoint this run was not given.
endpoint=(-UTARNIX_ENDPOINT_URL)
if [ -n "${TARNIX_ENDPOINT_URL:-}" ]; then
  endpoint=("-DTARNIX_ENDPOINT_URL=$TARNIX_ENDPOINT_URL")
else
  test_release+=("Endpoint: CMakeLists.txt's default, a server on this machine (no TARNIX_ENDPOINT_URL)")
fi
if ((${#test_release[@]})); then
  loud "THIS IS A TEST RELEASE: do not publish it." "${test_release[@]}" \
       "Give TARNIX_SIGN_PFX/TARNIX_SIGN_PASSWORD, TARNIX_UPDATE_KEY and TARNIX_ENDPOINT_URL for a real release."
fi

# The update key's public half (X then Y, 128 hex digits) is compiled into the program.
public_key=$(openssl ec -in "$TARNIX_UPDATE_KEY" -pubout -outform DER 2>/dev/null |
             tail -c 64 | od -An -v -tx1 | tr -d ' \n')
[ ${#public_key} -eq 128 ] || { echo "release: $TARNIX_UPDATE_KEY is not a P-256 key" >&2; exit 1; }

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 0)}
cmake --preset release -S "$root" -B "$tree" -DTARNIX_UPDATE_PUBLIC_KEY="$public_key" \
  "${endpoint[@]}" >/dev/null
cmake --build "$tree" --target Tarnix

program="$out/stage/Tarnix.exe"
cp "$tree/Tarnix.exe" "$program"
"$root/scripts/sign.sh" "$program"
sed 's/$/\r/' "$root/installer/README.txt" | sed "s/<version>/$version/; s/<版本>/$version/" \
  >"$out/stage/README.txt"

zip_name="Tarnix-$version-x64.zip"
(cd "$out/stage" && TZ=UTC zip -X -q "$out/$zip_name" Tarnix.exe README.txt)

setup_name="Tarnix-$version-setup.exe"
makensis -V2 -DVERSION="$version" -DVERSION4="$version4" -DPROGRAM="$program" \
  -DREADME="$out/stage/README.txt" -DOUTFILE="$out/$setup_name" \
  -DSIGN="$root/scripts/sign.sh" "$root/installer/tarnix.nsi"

"$root/scripts/sign-update.sh" "$TARNIX_UPDATE_KEY" "$program" "$version" "$out/Tarnix.exe.sig"

(cd "$out" && sha256sum "$setup_name" "$zip_name" Tarnix.exe.sig >SHA256SUMS)
echo "release $version in $out:"
(cd "$out" && ls -l "$setup_name" "$zip_name" Tarnix.exe.sig SHA256SUMS)
if ((${#test_release[@]})); then
  loud "TEST release (see above)."
fi
