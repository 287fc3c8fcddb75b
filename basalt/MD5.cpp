#include "basalt/MD5.h"

#include <cstring>

namespace Basalt {
namespace {

constexpr uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
constexpr uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
constexpr uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
constexpr uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }
constexpr uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

template <uint32_t (*Fn)(uint32_t, uint32_t, uint32_t)>
inline void Step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
  a = Rotl(a + Fn(b, c, d) + x + ac, s) + b;
}

void Encode32(unsigned char* out, const uint32_t* in, size_t words) {
  for (size_t n = 0; n < words; ++n) {
    out[4 * n] = static_cast<unsigned char>(in[n]);
    out[4 * n + 1] = static_cast<unsigned char>(in[n] >> 8);
    out[4 * n + 2] = static_cast<unsigned char>(in[n] >> 16);
    out[4 * n + 3] = static_cast<unsigned char>(in[n] >> 24);
  }
}

}  // namespace

void MD5Init(MD5Context* context) noexcept {
  context->count[0] = context->count[1] = 0;
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
  std::memset(context->buffer, 0, sizeof(context->buffer));
  std::memset(context->digest, 0, sizeof(context->digest));
}

void MD5Update(MD5Context* context, const unsigned char* data, size_t length) noexcept {
  size_t index = (context->count[0] >> 3) & 0x3F;
  const uint64_t bits = ((static_cast<uint64_t>(context->count[1]) << 32) | context->count[0]) +
                        (static_cast<uint64_t>(length) << 3);
  context->count[0] = static_cast<uint32_t>(bits);
  context->count[1] = static_cast<uint32_t>(bits >> 32);

  const size_t partLength = 64 - index;
  size_t n = 0;
  if (length >= partLength) {
    std::memcpy(&context->buffer[index], data, partLength);
    MD5Transform(context->state, context->buffer);
    for (n = partLength; n + 63 < length; n += 64) MD5Transform(context->state, &data[n]);
    index = 0;
  }
  if (length > n) std::memcpy(&context->buffer[index], &data[n], length - n);
}

void MD5Final(MD5Context* context) noexcept {
  static const unsigned char kPadding[64] = {0x80};
  unsigned char bits[8];
  Encode32(bits, context->count, 2);
  const size_t index = (context->count[0] >> 3) & 0x3F;
  const size_t padLength = (index < 56) ? (56 - index) : (120 - index);
  MD5Update(context, kPadding, padLength);
  MD5Update(context, bits, 8);
  Encode32(context->digest, context->state, 4);
}

void MD5Transform(uint32_t state[4], const unsigned char block[64]) noexcept {
  uint32_t x[16];
  for (int n = 0; n < 16; ++n) {
    x[n] = static_cast<uint32_t>(block[4 * n]) | (static_cast<uint32_t>(block[4 * n + 1]) << 8) |
           (static_cast<uint32_t>(block[4 * n + 2]) << 16) |
           (static_cast<uint32_t>(block[4 * n + 3]) << 24);
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  Step<F>(a, b, c, d, x[0], 7, 0xd76aa478);
  Step<F>(d, a, b, c, x[1], 12, 0xe8c7b756);
  Step<F>(c, d, a, b, x[2], 17, 0x242070db);
  Step<F>(b, c, d, a, x[3], 22, 0xc1bdceee);
  Step<F>(a, b, c, d, x[4], 7, 0xf57c0faf);
  Step<F>(d, a, b, c, x[5], 12, 0x4787c62a);
  Step<F>(c, d, a, b, x[6], 17, 0xa8304613);
  Step<F>(b, c, d, a, x[7], 22, 0xfd469501);
  Step<F>(a, b, c, d, x[8], 7, 0x698098d8);
  Step<F>(d, a, b, c, x[9], 12, 0x8b44f7af);
  Step<F>(c, d, a, b, x[10], 17, 0xffff5bb1);
  Step<F>(b, c, d, a, x[11], 22, 0x895cd7be);
  Step<F>(a, b, c, d, x[12], 7, 0x6b901122);
  Step<F>(d, a, b, c, x[13], 12, 0xfd987193);
  Step<F>(c, d, a, b, x[14], 17, 0xa679438e);
  Step<F>(b, c, d, a, x[15], 22, 0x49b40821);

  Step<G>(a, b, c, d, x[1], 5, 0xf61e2562);
  Step<G>(d, a, b, c, x[6], 9, 0xc040b340);
  Step<G>(c, d, a, b, x[11], 14, 0x265e5a51);
  Step<G>(b, c, d, a, x[0], 20, 0xe9b6c7aa);
  Step<G>(a, b, c, d, x[5], 5, 0xd62f105d);
  Step<G>(d, a, b, c, x[10], 9, 0x02441453);
  Step<G>(c, d, a, b, x[15], 14, 0xd8a1e681);
  Step<G>(b, c, d, a, x[4], 20, 0xe7d3fbc8);
  Step<G>(a, b, c, d, x[9], 5, 0x21e1cde6);
  Step<G>(d, a, b, c, x[14], 9, 0xc33707d6);
  Step<G>(c, d, a, b, x[3], 14, 0xf4d50d87);
  Step<G>(b, c, d, a, x[8], 20, 0x455a14ed);
  Step<G>(a, b, c, d, x[13], 5, 0xa9e3e905);
  Step<G>(d, a, b, c, x[2], 9, 0xfcefa3f8);
  Step<G>(c, d, a, b, x[7], 14, 0x676f02d9);
  Step<G>(b, c, d, a, x[12], 20, 0x8d2a4c8a);

  Step<H>(a, b, c, d, x[5], 4, 0xfffa3942);
  Step<H>(d, a, b, c, x[8], 11, 0x8771f681);
  Step<H>(c, d, a, b, x[11], 16, 0x6d9d6122);
  Step<H>(b, c, d, a, x[14], 23, 0xfde5380c);
  Step<H>(a, b, c, d, x[1], 4, 0xa4beea44);
  Step<H>(d, a, b, c, x[4], 11, 0x4bdecfa9);
  Step<H>(c, d, a, b, x[7], 16, 0xf6bb4b60);
  Step<H>(b, c, d, a, x[10], 23, 0xbebfbc70);
  Step<H>(a, b, c, d, x[13], 4, 0x289b7ec6);
  Step<H>(d, a, b, c, x[0], 11, 0xeaa127fa);
  Step<H>(c, d, a, b, x[3], 16, 0xd4ef3085);
  Step<H>(b, c, d, a, x[6], 23, 0x04881d05);
  Step<H>(a, b, c, d, x[9], 4, 0xd9d4d039);
  Step<H>(d, a, b, c, x[12], 11, 0xe6db99e5);
  Step<H>(c, d, a, b, x[15], 16, 0x1fa27cf8);
  Step<H>(b, c, d, a, x[2], 23, 0xc4ac5665);

  Step<I>(a, b, c, d, x[0], 6, 0xf4292244);
  Step<I>(d, a, b, c, x[7], 10, 0x432aff97);
  Step<I>(c, d, a, b, x[14], 15, 0xab9423a7);
  Step<I>(b, c, d, a, x[5], 21, 0xfc93a039);
  Step<I>(a, b, c, d, x[12], 6, 0x655b59c3);
  Step<I>(d, a, b, c, x[3], 10, 0x8f0ccc92);
  Step<I>(c, d, a, b, x[10], 15, 0xffeff47d);
  Step<I>(b, c, d, a, x[1], 21, 0x85845dd1);
  Step<I>(a, b, c, d, x[8], 6, 0x6fa87e4f);
  Step<I>(d, a, b, c, x[15], 10, 0xfe2ce6e0);
  Step<I>(c, d, a, b, x[6], 15, 0xa3014314);
  Step<I>(b, c, d, a, x[13], 21, 0x4e0811a1);
  Step<I>(a, b, c, d, x[4], 6, 0xf7537e82);
  Step<I>(d, a, b, c, x[11], 10, 0xbd3af235);
  Step<I>(c, d, a, b, x[2], 15, 0x2ad7d2bb);
  Step<I>(b, c, d, a, x[9], 21, 0xeb86d391);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

int ComputeMD5(const void* data, size_t length, unsigned char* output, size_t outputSize) noexcept {
  if (data == nullptr || length == 0 || output == nullptr || outputSize != 16) return -1;
  MD5Context context;
  MD5Init(&context);
  MD5Update(&context, static_cast<const unsigned char*>(data), length);
  MD5Final(&context);
  std::memcpy(output, context.digest, 16);
  return 0;
}

int VerifyMD5(const void* data, size_t length, const unsigned char* expected,
              size_t digestSize) noexcept {
  if (expected == nullptr || digestSize != 16) return -1;
  unsigned char digest[16];
  if (ComputeMD5(data, length, digest, sizeof(digest)) != 0) return -1;
  return std::memcmp(digest, expected, 16) == 0 ? 0 : -1;
}

}  // namespace Basalt
