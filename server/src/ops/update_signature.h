// The publisher's signature on the update file (P-256 ECDSA, libcrypto): the key
// that makes it, the signature itself, and which of them the server serves.
//
// Free functions: any thread. Nothing throws; a failure is false with the reason.
#pragma once

#include <string>

namespace server {

// Makes a new P-256 key in `dir` as update-key.pem (PEM, create_owner_only_file:
// readable by its owner only, never over an existing file). `public_hex` gets the
// public key as the client takes it: 128 hex digits, X then Y.
bool make_update_key(const std::string& dir, std::string& key_path, std::string& public_hex,
                     std::string& error);

// Signs the update file at `file` for the client version `version` (GBK
// bytes): ECDSA with SHA-256 over "tarnix-update:" + version + ":" + the
// lower-case hex SHA-256 of the file. `signature` gets 64 bytes, r then s.
bool sign_update(const std::string& key_path, const std::string& file, const std::string& version,
                 std::string& signature, std::string& error);

// Where the served signature comes from (update_signing in configs.h).
struct UpdateSigning {
    std::string file;           // the update file; "" when none is served
    std::string key_file;       // made here with this key ("" none)...
    std::string signature_file; // ...or made by the publisher and read from here ("" none)
    std::string version;        // the client version it is for (GBK)
};

// The signature to serve next to the update file: made now with the key, or read
// from the publisher's file, which can only be checked for its 64 bytes here; ""
// when there is neither.
bool update_signature(const UpdateSigning& signing, std::string& out, std::string& error);

} // namespace server
