// The server's version: field 7 of the status record ("tarnix-server 1.0") and the
// version of its Debian package (scripts/package-server.sh reads it from here, and
// debian/changelog must have an entry for it).
#pragma once

#define TARNIX_SERVER_VERSION "1.0"
