#!/bin/sh
# Makes a throw-away certificate authority and a server certificate it signed for
# 127.0.0.1 and localhost (RSA 2048 keys, or with "ec" a P-256 server key), in DIR: ca.pem (to trust), server.pem and server.key
# (for --tls-cert and --tls-key). The CA's key is deleted: nothing else can be
# signed with it.
set -eu
dir=$1
server_key="rsa:2048"
[ "${2:-}" = ec ] && server_key="ec -pkeyopt ec_paramgen_curve:P-256"
mkdir -p "$dir"
cd "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
  -subj "/CN=Tarnix test CA $$" 2>/dev/null
# shellcheck disable=SC2086
openssl req -new -newkey $server_key -nodes -keyout server.key -out server.csr \
  -subj "/CN=127.0.0.1" 2>/dev/null
printf '%s\n' "subjectAltName=IP:127.0.0.1,DNS:localhost" "basicConstraints=CA:FALSE" \
  "keyUsage=digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" >server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile server.ext -out server.pem 2>/dev/null
rm -f ca.key ca.srl server.csr server.ext
