// CURVE keys: the daemon's own key pair, kept in a secret key file that
// only its owner may read, and the peers' public keys, 40 Z85 characters.
#pragma once

#include <string>

#include "config.h"

namespace vlinkd {

struct KeyPair {
  char publicKey[kKeyText + 1] = {};
  char secretKey[kKeyText + 1] = {};
};

// Writes PREFIX.key (the secret key, mode 0600) and PREFIX.pub (the public
// key) and prints the public key. Neither file may exist yet. Returns the
// exit status, with a message on failure.
int keygen(const char *prefix);

// Reads the secret key file and derives its public key. Refused: a file
// that is missing, not a regular file, readable or writable by group or
// others, or that holds no secret key. Returns the reason, or empty.
std::string load_key_pair(const std::string &path, KeyPair &keys);

// What an operator compares: the key's first 8 characters.
std::string fingerprint(const std::string &key);

}  // namespace vlinkd
