// The publisher's signature on the update file (P-256 ECDSA, libcrypto).
#pragma once

#include <string>

namespace server {

// Makes a new P-256 key in `dir` as update-key.pem (PEM, readable by its owner
// only); an existing key file is never overwritten. `public_hex` gets the
// public key as the client takes it: 128 hex digits, X then Y.
bool make_update_key(const std::string& dir, std::string& key_path, std::string& public_hex,
                     std::string& error);

// Signs the update file at `file` for the client version `version` (GBK
// bytes): ECDSA with SHA-256 over "tarnix-update:" + version + ":" + the
// lower-case hex SHA-256 of the file. `signature` gets 64 bytes, r then s.
bool sign_update(const std::string& key_path, const std::string& file, const std::string& version,
                 std::string& signature, std::string& error);

} // namespace server
