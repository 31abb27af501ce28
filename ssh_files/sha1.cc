#include "ssh_files/sha1.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kBlockSize = 64;

uint32_t RotateLeft(uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

struct Sha1State {
  uint32_t h[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  uint8_t block[kBlockSize] = {};
  size_t used = 0;      // bytes waiting in block
  uint64_t total = 0;   // bytes fed so far
};

void Compress(Sha1State* state, const uint8_t* block) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = static_cast<uint32_t>(block[4 * i]) << 24 |
           static_cast<uint32_t>(block[4 * i + 1]) << 16 |
           static_cast<uint32_t>(block[4 * i + 2]) << 8 | static_cast<uint32_t>(block[4 * i + 3]);
  }
  for (int i = 16; i < 80; ++i) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = state->h[0], b = state->h[1], c = state->h[2], d = state->h[3], e = state->h[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f;
    uint32_t k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    const uint32_t next = RotateLeft(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = RotateLeft(b, 30);
    b = a;
    a = next;
  }
  state->h[0] += a;
  state->h[1] += b;
  state->h[2] += c;
  state->h[3] += d;
  state->h[4] += e;
}

void Update(Sha1State* state, const uint8_t* data, size_t size) {
  state->total += size;
  while (size > 0) {
    const size_t take = std::min(size, kBlockSize - state->used);
    std::memcpy(state->block + state->used, data, take);
    state->used += take;
    data += take;
    size -= take;
    if (state->used == kBlockSize) {
      Compress(state, state->block);
      state->used = 0;
    }
  }
}

Sha1Digest Finish(Sha1State* state) {
  const uint64_t bits = state->total * 8;
  const uint8_t one = 0x80;
  const uint8_t zero = 0;
  Update(state, &one, 1);
  while (state->used != kBlockSize - 8) Update(state, &zero, 1);
  uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  Update(state, length, sizeof length);
  Sha1Digest digest;
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<uint8_t>(state->h[i] >> (24 - 8 * j));
    }
  }
  return digest;
}

}  // namespace

Sha1Digest Sha1(const uint8_t* data, size_t size) {
  Sha1State state;
  Update(&state, data, size);
  return Finish(&state);
}

Sha1Digest HmacSha1(const uint8_t* key, size_t keySize, const uint8_t* data, size_t size) {
  uint8_t block[kBlockSize] = {};
  if (keySize > kBlockSize) {
    const Sha1Digest shortened = Sha1(key, keySize);
    std::memcpy(block, shortened.data(), shortened.size());
  } else if (keySize > 0) {
    std::memcpy(block, key, keySize);
  }
  uint8_t pad[kBlockSize];
  for (size_t i = 0; i < kBlockSize; ++i) pad[i] = block[i] ^ 0x36;
  Sha1State inner;
  Update(&inner, pad, sizeof pad);
  Update(&inner, data, size);
  const Sha1Digest innerDigest = Finish(&inner);
  for (size_t i = 0; i < kBlockSize; ++i) pad[i] = block[i] ^ 0x5c;
  Sha1State outer;
  Update(&outer, pad, sizeof pad);
  Update(&outer, innerDigest.data(), innerDigest.size());
  return Finish(&outer);
}
