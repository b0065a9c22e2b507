#!/bin/sh
# Makes a throw-away certificate authority and a server certificate it signed for
# 127.0.0.1 and localhost (RSA 2048 keys, or with "ec" a P-256 server key), in DIR:
# ca.pem (to trust), server.pem and server.key (for --tls-cert and --tls-key), and
# crl.der, the authority's empty revocation list, which the server certificate
# names as a file:// URL (Windows checks revocation and refuses a certificate
# whose status it cannot learn). The CA's key is deleted: nothing else can be
# signed with it.
set -eu
mkdir -p "$1"
cd "$1"
dir=$(pwd)
server_key="rsa:2048"
[ "${2:-}" = ec ] && server_key="ec -pkeyopt ec_paramgen_curve:P-256"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
  -subj "/CN=Tarnix test CA $$" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
printf '%s\n' "[ca]" "default_ca = test" "[test]" "database = index.txt" \
  "crlnumber = crlnumber" "default_md = sha256" "default_crl_days = 2" >ca.cnf
: >index.txt
echo 01 >crlnumber
openssl ca -config ca.cnf -gencrl -keyfile ca.key -cert ca.pem -out crl.pem 2>/dev/null
openssl crl -in crl.pem -outform DER -out crl.der
# shellcheck disable=SC2086
openssl req -new -newkey $server_key -nodes -keyout server.key -out server.csr \
  -subj "/CN=127.0.0.1" 2>/dev/null
printf '%s\n' "subjectAltName=IP:127.0.0.1,DNS:localhost" "basicConstraints=CA:FALSE" \
  "keyUsage=digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" \
  "crlDistributionPoints=URI:file://$dir/crl.der" >server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile server.ext -out server.pem 2>/dev/null
rm -f ca.key ca.srl ca.cnf index.txt* crlnumber* crl.pem server.csr server.ext
