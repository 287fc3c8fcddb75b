#include "basalt/CRC4Cipher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace Basalt {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes FromText(const char* text) { return Bytes(text, text + std::strlen(text)); }

Bytes Keystream(const Bytes& key, size_t skip, size_t count) {
  RC4State state;
  EXPECT_TRUE(state.SetKey(key.data(), static_cast<int>(key.size())));
  for (size_t n = 0; n < skip; ++n) (void)state.NextByte();
  Bytes out(count);
  for (auto& b : out) b = state.NextByte();
  return out;
}

Bytes Encrypt(const char* key, int keyLength, int rounds, const Bytes& plain) {
  CRC4Cipher cipher(key, keyLength, rounds);
  Bytes out(plain.size());
  EXPECT_EQ(1, cipher.Encrypt(plain.data(), out.data(), plain.size()));
  return out;
}

Bytes Decrypt(const char* key, int keyLength, int rounds, const Bytes& cipherText) {
  CRC4Cipher cipher(key, keyLength, rounds);
  Bytes out(cipherText.size());
  EXPECT_EQ(1, cipher.Decrypt(cipherText.data(), out.data(), cipherText.size()));
  return out;
}

Bytes Pattern(size_t count) {
  Bytes out(count);
  for (size_t n = 0; n < count; ++n) out[n] = static_cast<unsigned char>(n * 37 + 11);
  return out;
}

// Published RC4 keystreams (the classic test keys and RFC 6229, offsets 0 and 4096).
TEST(RC4StateTest, KeystreamMatchesPublishedVectors) {
  struct Case {
    Bytes key;
    size_t offset;
    Bytes expected;
  };
  const Case cases[] = {
      {FromText("Key"), 0, {0xEB, 0x9F, 0x77, 0x81, 0xB7, 0x34, 0xCA, 0x72, 0xA7, 0x19}},
      {FromText("Wiki"), 0, {0x60, 0x44, 0xDB, 0x6D, 0x41, 0xB7}},
      {FromText("Secret"), 0, {0x04, 0xD4, 0x6B, 0x05, 0x3C, 0xA8, 0x7B, 0x59}},
      {{1, 2, 3, 4, 5},
       0,
       {0xB2, 0x39, 0x63, 0x05, 0xF0, 0x3D, 0xC0, 0x27, 0xCC, 0xC3, 0x52, 0x4A, 0x0A, 0x11, 0x18,
        0xA8}},
      {{1, 2, 3, 4, 5},
       4096,
       {0xFF, 0x25, 0xB5, 0x89, 0x95, 0x99, 0x67, 0x07, 0xE5, 0x1F, 0xBD, 0xF0, 0x8B, 0x34, 0xD8,
        0x75}},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
       0,
       {0x9A, 0xC7, 0xCC, 0x9A, 0x60, 0x9D, 0x1E, 0xF7, 0xB2, 0x93, 0x28, 0x99, 0xCD, 0xE4, 0x1B,
        0x97}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, Keystream(c.key, c.offset, c.expected.size()))
        << "key of " << c.key.size() << " bytes at offset " << c.offset;
  }
}

TEST(RC4StateTest, UnkeyedStateGivesZerosAndBadKeysAreRefused) {
  RC4State state;
  const unsigned char key[] = {1};
  EXPECT_FALSE(state.SetKey(nullptr, 5));
  EXPECT_FALSE(state.SetKey(key, 0));
  EXPECT_FALSE(state.SetKey(key, -1));
  for (int n = 0; n < 300; ++n) ASSERT_EQ(0, state.NextByte());
}

TEST(CipherKeyTableTest, HoldsTheThreeKeyTexts) {
  EXPECT_STREQ("{3B9F21C4-7A5E-4d2b-8C61-F0A4E7D2195B}", g_CipherKeyTable.entries[0]);
  EXPECT_STREQ("{A1C6E830-52F9-4B7D-9E24-6D0B3F8A7C15}", g_CipherKeyTable.entries[1]);
  EXPECT_STREQ("{5E2D9B47-C318-4F60-A7B5-2C8E41D9F036}", g_CipherKeyTable.entries[2]);
  for (const char* entry : g_CipherKeyTable.entries) {
    EXPECT_EQ(static_cast<size_t>(CipherKeyTable::kKeyLength), std::strlen(entry));
  }
}

// First byte ((k1 ^ k0 ^ p) + k2); later bytes feed back all earlier plaintext.
TEST(CRC4CipherTest, OneRoundFollowsTheFeedbackRule) {
  const Bytes key = FromText("Key");
  const Bytes plain = FromText("Plaintext");
  const Bytes ks = Keystream(key, 0, 1 + 2 * plain.size());
  Bytes expected;
  unsigned char feedback = ks[0];
  for (size_t n = 0; n < plain.size(); ++n) {
    feedback ^= plain[n];
    expected.push_back(static_cast<unsigned char>((ks[1 + 2 * n] ^ feedback) + ks[2 + 2 * n]));
  }
  EXPECT_EQ(expected, Encrypt("Key", 3, 1, plain));
  EXPECT_EQ(static_cast<unsigned char>((ks[1] ^ ks[0] ^ 'P') + ks[2]), expected[0]);
}

// Ciphertexts computed by an independent implementation.
TEST(CRC4CipherTest, MatchesGoldenCiphertextsForSeveralRounds) {
  const Bytes plain = FromText("Plaintext");
  EXPECT_EQ((Bytes{0x9B, 0x0D, 0x4C, 0x54, 0xF2, 0x54, 0x58, 0x5A, 0x3D}),
            Encrypt("Key", 3, 1, plain));
  EXPECT_EQ((Bytes{0xAF, 0x1E, 0x05, 0xC3, 0xA3, 0x24, 0xA7, 0x6A, 0x3F}),
            Encrypt("Key", 3, 3, plain));
  EXPECT_EQ((Bytes{0xC2, 0x8F, 0xBB, 0xE1, 0x10, 0xDB, 0x12, 0xC8, 0x90}),
            Encrypt("Key", 3, 7, plain));
  EXPECT_EQ((Bytes{0x8D, 0xE3, 0x07}), Encrypt(nullptr, 0, 1, FromText("abc")));
}

TEST(CRC4CipherTest, MissingKeyMeansDefaultKeyAndSmallRoundsMeanOne) {
  const Bytes plain = Pattern(64);
  const Bytes withDefault = Encrypt(g_CipherKeyTable.entries[CipherKeyTable::kDefault],
                                    CipherKeyTable::kKeyLength, 1, plain);
  EXPECT_EQ(withDefault, Encrypt(nullptr, 38, 1, plain));
  EXPECT_EQ(withDefault, Encrypt("ignored", 0, 1, plain));
  EXPECT_EQ(withDefault, Encrypt("ignored", -4, 1, plain));

  const Bytes oneRound = Encrypt("Key", 3, 1, plain);
  EXPECT_EQ(oneRound, Encrypt("Key", 3, 0, plain));
  EXPECT_EQ(oneRound, Encrypt("Key", 3, -3, plain));
  EXPECT_NE(oneRound, Encrypt("Key", 3, 2, plain));
}

TEST(CRC4CipherTest, DecryptRestoresPlaintextForAnyRounds) {
  const Bytes plain = Pattern(1000);
  for (int rounds : {1, 2, 5, 6, 9, 32}) {
    const Bytes cipherText = Encrypt("some key", 8, rounds, plain);
    EXPECT_NE(plain, cipherText) << rounds;
    EXPECT_EQ(plain, Decrypt("some key", 8, rounds, cipherText)) << rounds;
    EXPECT_NE(plain, Decrypt("other key", 9, rounds, cipherText)) << rounds;
  }
}

TEST(CRC4CipherTest, StreamSplitAcrossCallsEqualsOneCall) {
  const Bytes plain = Pattern(100);
  const Bytes whole = Encrypt("Key", 3, 2, plain);

  CRC4Cipher cipher("Key", 3, 2);
  Bytes pieces(plain.size());
  ASSERT_EQ(1, cipher.Encrypt(plain.data(), pieces.data(), 1));
  ASSERT_EQ(1, cipher.Encrypt(plain.data() + 1, pieces.data() + 1, 60));
  ASSERT_EQ(1, cipher.Encrypt(plain.data() + 61, pieces.data() + 61, 39));
  EXPECT_EQ(whole, pieces);

  CRC4Cipher decipher("Key", 3, 2);
  Bytes back(plain.size());
  ASSERT_EQ(1, decipher.Decrypt(whole.data(), back.data(), 50));
  ASSERT_EQ(1, decipher.Decrypt(whole.data() + 50, back.data() + 50, 50));
  EXPECT_EQ(plain, back);
}

TEST(CRC4CipherTest, EncryptInPlace) {
  const Bytes plain = Pattern(40);
  Bytes buffer = plain;
  CRC4Cipher cipher("Key", 3, 1);
  ASSERT_EQ(1, cipher.Encrypt(buffer.data(), buffer.data(), buffer.size()));
  EXPECT_EQ(Encrypt("Key", 3, 1, plain), buffer);
}

TEST(CRC4CipherTest, RefusedCallsWriteNothingAndKeepTheStream) {
  const Bytes plain = Pattern(16);
  CRC4Cipher cipher("Key", 3, 1);
  Bytes out(plain.size(), 0xCC);
  EXPECT_EQ(0, cipher.Encrypt(plain.data(), out.data(), 0));
  EXPECT_EQ(0, cipher.Encrypt(nullptr, out.data(), plain.size()));
  EXPECT_EQ(0, cipher.Encrypt(plain.data(), nullptr, plain.size()));
  EXPECT_EQ(0, cipher.Decrypt(plain.data(), out.data(), 0));
  EXPECT_EQ(0, cipher.Decrypt(nullptr, out.data(), plain.size()));
  EXPECT_EQ(0, cipher.Decrypt(plain.data(), nullptr, plain.size()));
  EXPECT_EQ(Bytes(plain.size(), 0xCC), out);

  ASSERT_EQ(1, cipher.Encrypt(plain.data(), out.data(), plain.size()));
  EXPECT_EQ(Encrypt("Key", 3, 1, plain), out);
}

}  // namespace
}  // namespace Basalt
