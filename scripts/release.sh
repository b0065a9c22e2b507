#!/usr/bin/env bash
# Builds a release into build/release/:
#   Tarnix-<version>-setup.exe   per-user installer (signed, with a signed uninstaller)
#   Tarnix-<version>-x64.zip     the signed program and a short read-me
#   Tarnix.exe.sig               the update signature the account server serves beside the program
#   SHA256SUMS
#
# Keys come from the caller:
#   TARNIX_SIGN_PFX, TARNIX_SIGN_PASSWORD   Authenticode certificate and key (PKCS#12)
#   TARNIX_TIMESTAMP_URL                    RFC 3161 time-stamp server (optional)
#   TARNIX_UPDATE_KEY                       the update signing key (P-256, PEM)
# Without them, throw-away test keys are made and the result is TEST-SIGNED.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$root/scripts/deps.sh" || exit 1

out="$build/release"
tree="$build/release-tree"
version=$(sed -n 's/^#define TARNIX_VERSION_TEXT "\(.*\)"$/\1/p' "$root/src/app/version_info.h")
version4=$(sed -n 's/^#define TARNIX_VERSION_NUMBERS //p' "$root/src/app/version_info.h" | tr -d ' ' | tr , .)
[ -n "$version" ] && [ -n "$version4" ] || { echo "release: no version in src/app/version_info.h" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out/stage"
test_signed=()

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
  test_signed+=("Authenticode: a throw-away test certificate ($keys/sign-cert.pem)")
fi
if [ -z "${TARNIX_UPDATE_KEY:-}" ]; then
  keys="$out/test-keys"
  mkdir -p "$keys"
  (umask 077 && openssl ecparam -name prime256v1 -genkey -noout -out "$keys/update-key.pem")
  export TARNIX_UPDATE_KEY="$keys/update-key.pem"
  test_signed+=("Update signatures: a throw-away test key ($TARNIX_UPDATE_KEY)")
fi
if ((${#test_signed[@]})); then
  loud "THIS RELEASE IS TEST-SIGNED: do not publish it." "${test_signed[@]}" \
       "Give TARNIX_SIGN_PFX/TARNIX_SIGN_PASSWORD and TARNIX_UPDATE_KEY for a real release."
fi

# The update key's public half (X then Y, 128 hex digits) is compiled into the program.
public_key=$(openssl ec -in "$TARNIX_UPDATE_KEY" -pubout -outform DER 2>/dev/null |
             tail -c 64 | od -An -v -tx1 | tr -d ' \n')
[ ${#public_key} -eq 128 ] || { echo "release: $TARNIX_UPDATE_KEY is not a P-256 key" >&2; exit 1; }

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 0)}
cmake --preset release -S "$root" -B "$tree" -DTARNIX_UPDATE_PUBLIC_KEY="$public_key" >/dev/null
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
if ((${#test_signed[@]})); then
  loud "TEST-SIGNED release (see above)."
fi
