#include "basalt/MD5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace Basalt {
namespace {

std::string Hex(const unsigned char* digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (int n = 0; n < 16; ++n) {
    out += kDigits[digest[n] >> 4];
    out += kDigits[digest[n] & 0xF];
  }
  return out;
}

std::string StreamDigest(const std::string& data, size_t chunk) {
  MD5Context context;
  MD5Init(&context);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  for (size_t at = 0; at < data.size(); at += chunk) {
    MD5Update(&context, bytes + at, std::min(chunk, data.size() - at));
  }
  MD5Final(&context);
  return Hex(context.digest);
}

struct Vector {
  std::string input;
  const char* digest;
};

// RFC 1321, appendix A.5, and the million-'a' vector.
const Vector kVectors[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
    {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
};

TEST(MD5Test, ComputeMD5MatchesRfc1321Suite) {
  for (const auto& v : kVectors) {
    if (v.input.empty()) continue;  // ComputeMD5 refuses empty input
    unsigned char digest[16];
    ASSERT_EQ(0, ComputeMD5(v.input.data(), v.input.size(), digest, sizeof(digest)));
    EXPECT_EQ(v.digest, Hex(digest)) << v.input.size() << " bytes";
    EXPECT_EQ(0, VerifyMD5(v.input.data(), v.input.size(), digest, 16));
  }
}

// Chunk sizes that cross and fill the 64-byte block in different ways.
TEST(MD5Test, StreamedUpdatesMatchRfc1321Suite) {
  for (const auto& v : kVectors) {
    for (size_t chunk : {1, 7, 63, 64, 65, 1000}) {
      if (v.input.size() > 1000 && chunk < 63) continue;
      EXPECT_EQ(v.digest, StreamDigest(v.input, chunk))
          << v.input.size() << " bytes in chunks of " << chunk;
    }
  }
}

TEST(MD5Test, ComputeRefusesBadArgumentsAndLeavesOutputAlone) {
  const char data[] = "abc";
  unsigned char digest[17];
  std::memset(digest, 0xCC, sizeof(digest));
  EXPECT_EQ(-1, ComputeMD5(nullptr, 3, digest, 16));
  EXPECT_EQ(-1, ComputeMD5(data, 0, digest, 16));
  EXPECT_EQ(-1, ComputeMD5(data, 3, nullptr, 16));
  EXPECT_EQ(-1, ComputeMD5(data, 3, digest, 15));
  EXPECT_EQ(-1, ComputeMD5(data, 3, digest, 17));
  for (unsigned char b : digest) EXPECT_EQ(0xCC, b);
}

TEST(MD5Test, VerifyChecksDigestAndArguments) {
  const char data[] = "abc";
  unsigned char digest[16];
  ASSERT_EQ(0, ComputeMD5(data, 3, digest, 16));
  EXPECT_EQ(0, VerifyMD5(data, 3, digest, 16));
  EXPECT_EQ(-1, VerifyMD5(data, 3, digest, 15));
  EXPECT_EQ(-1, VerifyMD5(data, 3, digest, 17));
  EXPECT_EQ(-1, VerifyMD5(nullptr, 3, digest, 16));
  EXPECT_EQ(-1, VerifyMD5(data, 0, digest, 16));
  EXPECT_EQ(-1, VerifyMD5(data, 3, nullptr, 16));
  EXPECT_EQ(-1, VerifyMD5(data, 2, digest, 16));
  for (int n = 0; n < 16; ++n) {
    unsigned char changed[16];
    std::memcpy(changed, digest, 16);
    changed[n] ^= 0x01;
    EXPECT_EQ(-1, VerifyMD5(data, 3, changed, 16)) << "byte " << n;
  }
}

}  // namespace
}  // namespace Basalt
