// MD5 message digest (RFC 1321) with one-shot compute and verify helpers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Basalt {

struct MD5Context {
  uint32_t count[2];  // bit count, low word first
  uint32_t state[4];
  unsigned char buffer[64];
  unsigned char digest[16];
};

// Starts a digest.
void MD5Init(MD5Context* context) noexcept;

// Adds |length| bytes to the digest.
void MD5Update(MD5Context* context, const unsigned char* data, size_t length) noexcept;

// Pads and finishes; the digest is then in context->digest.
void MD5Final(MD5Context* context) noexcept;

// RFC 1321 block function over the 16 little-endian words of a 64-byte block.
void MD5Transform(uint32_t state[4], const unsigned char block[64]) noexcept;

// Digest of |length| bytes into |output|. Returns 0, or -1 (output untouched) for null data,
// a length of 0, a null output or an output size other than 16.
[[nodiscard]] int ComputeMD5(const void* data, size_t length, unsigned char* output,
                             size_t outputSize) noexcept;

// 0 when the digest of the data equals the 16 |expected| bytes; -1 when it differs, for null
// data or expected digest, a length of 0 or a digest size other than 16.
[[nodiscard]] int VerifyMD5(const void* data, size_t length, const unsigned char* expected,
                            size_t digestSize) noexcept;

}  // namespace Basalt
