#ifndef SSH_FILES_SHA1_H_
#define SSH_FILES_SHA1_H_

// SHA-1 and HMAC-SHA1, only for reading hashed host names in known_hosts
// files. Kept in the project so the reader depends on no crypto library
// (the Windows build links libssh on mbedTLS).

#include <array>
#include <cstddef>
#include <cstdint>

using Sha1Digest = std::array<uint8_t, 20>;

Sha1Digest Sha1(const uint8_t* data, size_t size);

/// HMAC-SHA1 of data under key (RFC 2104).
Sha1Digest HmacSha1(const uint8_t* key, size_t keySize, const uint8_t* data, size_t size);

#endif  // SSH_FILES_SHA1_H_
