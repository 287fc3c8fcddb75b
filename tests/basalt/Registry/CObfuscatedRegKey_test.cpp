#include "basalt/Registry/CObfuscatedRegKey.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "basalt/CRC4Cipher.h"
#include "basalt/MD5.h"

namespace Basalt {
namespace {

using Bytes = std::vector<unsigned char>;

// Values computed by an independent implementation.
const Bytes kGoldenDwordOne = {0x51, 0x58, 0x52, 0x47, 0x01, 0x00, 0x00, 0x00, 0x04,
                               0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0xA0, 0x92,
                               0xDA, 0x0C, 0xB0, 0xE2, 0x19, 0xC5, 0xDE, 0x43, 0xDB,
                               0xF0, 0xD8, 0x95, 0x9E, 0x51, 0x18, 0x64, 0x10, 0x16};
const Bytes kGoldenStringAbc = {0x51, 0x58, 0x52, 0x47, 0x01, 0x00, 0x00, 0x00, 0x04,
                                0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x27, 0x52,
                                0x51, 0xB4, 0x37, 0xF5, 0xBA, 0xBC, 0x65, 0xD8, 0xDA,
                                0x23, 0x18, 0x63, 0x7F, 0x49, 0x78, 0x62, 0xB1, 0x37};
const Bytes kGoldenMultiAB = {0x51, 0x58, 0x52, 0x47, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00,
                              0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0xFA, 0x20, 0x0E, 0x02,
                              0xFA, 0xB6, 0x54, 0x21, 0x0A, 0xD0, 0x08, 0x4D, 0xDE, 0x16,
                              0x6D, 0xEF, 0x78, 0x44, 0x12, 0x18, 0xEB};
const Bytes kGoldenStringZhe = {  // U+0416 as UTF-8 D0 96, then 0
    0x51, 0x58, 0x52, 0x47, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00, 0xC4, 0xA4, 0xDB, 0xBC, 0x7F, 0x99, 0xC7, 0xAA,
    0xF4, 0x08, 0x0D, 0x9A, 0x95, 0x81, 0xE8, 0xCF, 0xE7, 0x1D, 0xD7};
const Bytes kGoldenQword = {  // 0x1122334455667788
    0x51, 0x58, 0x52, 0x47, 0x01, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x0B, 0x00,
    0x00, 0x00, 0x23, 0xA2, 0x6B, 0x7D, 0xA8, 0xCC, 0xF9, 0x78, 0x88, 0x1A, 0xFC, 0xD6,
    0x3C, 0xCA, 0x42, 0x8B, 0x9F, 0xA6, 0x78, 0xE3, 0x66, 0x7E, 0x34, 0x7A};

struct BlobLayout {
  Bytes payload;
  DWORD type = REG_BINARY;
  size_t keyIndex = CipherKeyTable::kRegistryValues;
  uint32_t version = 1;
  uint32_t magic = 0x47525851;
  int lengthDelta = 0;
};

// A blob built from the primitives, for variants the writer never makes.
Bytes BuildBlob(const BlobLayout& layout) {
  Bytes blob(32 + layout.payload.size());
  const uint32_t header[4] = {layout.magic, layout.version,
                              static_cast<uint32_t>(layout.payload.size() + layout.lengthDelta),
                              layout.type};
  std::memcpy(blob.data(), header, sizeof(header));
  if (!layout.payload.empty()) {
    CRC4Cipher cipher(g_CipherKeyTable.entries[layout.keyIndex], CipherKeyTable::kKeyLength, 1);
    EXPECT_EQ(1, cipher.Encrypt(layout.payload.data(), blob.data() + 32, layout.payload.size()));
  }
  unsigned char digest[16];
  EXPECT_EQ(0, ComputeMD5(blob.data(), blob.size(), digest, 16));
  std::memcpy(blob.data() + 16, digest, 16);
  return blob;
}

class ObfuscatedRegKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name =
        std::string(info->name()) + "_" + std::to_string(GetCurrentProcessId());
    path_ = L"Software\\HollinTests\\B3ObfuscatedRegKey\\" + std::wstring(name.begin(), name.end());
    ASSERT_EQ(0, key_.Create(HKEY_CURRENT_USER, path_.c_str()));
  }
  void TearDown() override {
    (void)key_.Close();
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\HollinTests\\B3ObfuscatedRegKey");
  }

  Bytes ReadRaw(const wchar_t* name, DWORD* type = nullptr) {
    DWORD size = 0;
    DWORD rawType = 0;
    EXPECT_EQ(0, RegQueryValueExW(key_.GetHandle(), name, nullptr, &rawType, nullptr, &size));
    Bytes data(size);
    EXPECT_EQ(0, RegQueryValueExW(key_.GetHandle(), name, nullptr, &rawType, data.data(), &size));
    if (type) *type = rawType;
    return data;
  }
  void WriteRaw(const wchar_t* name, const Bytes& data, DWORD type = REG_BINARY) {
    ASSERT_EQ(0, RegSetValueExW(key_.GetHandle(), name, 0, type, data.data(),
                                static_cast<DWORD>(data.size())));
  }

  std::wstring path_;
  CObfuscatedRegKey key_;
};

TEST_F(ObfuscatedRegKeyTest, WritesGoldenBlobs) {
  ASSERT_EQ(0, key_.SetDWORDValue(L"One", 1));
  ASSERT_EQ(0, key_.SetStringValue(L"Abc", L"abc"));
  ASSERT_EQ(0, key_.SetMultiStringValue(L"Multi", L"a\0b\0"));
  ASSERT_EQ(0, key_.SetStringValue(L"Zhe", L"\u0416"));
  ASSERT_EQ(0, key_.SetQWORDValue(L"Q", 0x1122334455667788ull));
  DWORD type = 0;
  EXPECT_EQ(kGoldenDwordOne, ReadRaw(L"One", &type));
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
  EXPECT_EQ(kGoldenStringAbc, ReadRaw(L"Abc"));
  EXPECT_EQ(kGoldenMultiAB, ReadRaw(L"Multi"));
  EXPECT_EQ(kGoldenStringZhe, ReadRaw(L"Zhe"));
  EXPECT_EQ(kGoldenQword, ReadRaw(L"Q"));
}

TEST_F(ObfuscatedRegKeyTest, ReadsGoldenBlobs) {
  WriteRaw(L"One", kGoldenDwordOne);
  WriteRaw(L"Abc", kGoldenStringAbc);
  WriteRaw(L"Multi", kGoldenMultiAB);
  WriteRaw(L"Zhe", kGoldenStringZhe);
  WriteRaw(L"Q", kGoldenQword);

  DWORD dword = 0;
  EXPECT_EQ(0, key_.QueryDWORDValue(L"One", dword));
  EXPECT_EQ(1u, dword);
  std::wstring text;
  EXPECT_EQ(0, key_.GetStringValue(L"Abc", text));
  EXPECT_EQ(L"abc", text);
  EXPECT_EQ(0, key_.GetStringValue(L"Zhe", text));
  EXPECT_EQ(L"\u0416", text);
  ULONGLONG qword = 0;
  EXPECT_EQ(0, key_.QueryQWORDValue(L"Q", qword));
  EXPECT_EQ(0x1122334455667788ull, qword);

  wchar_t multi[8];
  ULONG chars = 8;
  EXPECT_EQ(0, key_.QueryMultiStringValue(L"Multi", multi, &chars));
  EXPECT_EQ(5u, chars);
  EXPECT_EQ(0, std::memcmp(L"a\0b\0", multi, 10));

  DWORD type = 0;
  ULONG bytes = 0;
  EXPECT_EQ(0, key_.QueryValue(L"Multi", &type, nullptr, &bytes));
  EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
  EXPECT_EQ(10u, bytes);
}

TEST_F(ObfuscatedRegKeyTest, EveryTypedValueRoundTrips) {
  const GUID guid = {0x3B9F21C4, 0x7A5E, 0x4D2B, {0x8C, 0x61, 0xF0, 0xA4, 0xE7, 0xD2, 0x19, 0x5B}};
  const Bytes binary = {0, 1, 2, 0xFF, 0x80, 0};
  const std::wstring longText(400, L'\u00E9');  // 800 UTF-8 bytes: a blob over 256 bytes
  ASSERT_EQ(0, key_.SetGUIDValue(L"Guid", guid));
  ASSERT_EQ(0, key_.SetBinaryValue(L"Binary", binary.data(), static_cast<ULONG>(binary.size())));
  ASSERT_EQ(0, key_.SetDWORDValue(L"Dword", 0xDEADBABE));
  ASSERT_EQ(0, key_.SetQWORDValue(L"Qword", 0xFEDCBA9876543210ull));
  ASSERT_EQ(0, key_.SetStringValue(L"Empty", L""));
  ASSERT_EQ(0, key_.SetStringValue(L"Long", longText.c_str()));
  ASSERT_EQ(0, key_.SetStringValue(L"Expand", L"%SystemRoot%\\x", REG_EXPAND_SZ));
  ASSERT_EQ(0, key_.SetMultiStringValue(L"Multi", L"one\0\u0416\u4E2D\0three\0"));
  ASSERT_EQ(0, key_.SetMultiStringValue(L"EmptyMulti", L"\0"));
  ASSERT_EQ(0, key_.SetDWORDValue(nullptr, 7));  // default value

  GUID guidBack = {};
  EXPECT_EQ(0, key_.QueryGUIDValue(L"Guid", guidBack));
  EXPECT_TRUE(IsEqualGUID(guid, guidBack));
  Bytes binaryBack(16);
  ULONG bytes = 16;
  EXPECT_EQ(0, key_.QueryBinaryValue(L"Binary", binaryBack.data(), &bytes));
  binaryBack.resize(bytes);
  EXPECT_EQ(binary, binaryBack);
  DWORD dword = 0;
  EXPECT_EQ(0, key_.QueryDWORDValue(L"Dword", dword));
  EXPECT_EQ(0xDEADBABEu, dword);
  EXPECT_EQ(0, key_.QueryDWORDValue(nullptr, dword));
  EXPECT_EQ(7u, dword);
  ULONGLONG qword = 0;
  EXPECT_EQ(0, key_.QueryQWORDValue(L"Qword", qword));
  EXPECT_EQ(0xFEDCBA9876543210ull, qword);
  std::wstring text = L"x";
  EXPECT_EQ(0, key_.GetStringValue(L"Empty", text));
  EXPECT_EQ(L"", text);
  EXPECT_EQ(0, key_.GetStringValue(L"Long", text));
  EXPECT_EQ(longText, text);

  // REG_EXPAND_SZ keeps the caller's UTF-16 bytes as they are.
  DWORD type = 0;
  wchar_t expand[32];
  bytes = sizeof(expand);
  EXPECT_EQ(0, key_.QueryValue(L"Expand", &type, expand, &bytes));
  EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
  EXPECT_STREQ(L"%SystemRoot%\\x", expand);
  EXPECT_EQ(0, key_.GetStringValue(L"Expand", text));
  EXPECT_EQ(L"%SystemRoot%\\x", text);

  wchar_t multi[32];
  ULONG chars = 32;
  EXPECT_EQ(0, key_.QueryMultiStringValue(L"Multi", multi, &chars));
  const wchar_t expectedMulti[] = L"one\0\u0416\u4E2D\0three\0";
  ASSERT_EQ(std::size(expectedMulti), chars);
  EXPECT_EQ(0, std::memcmp(expectedMulti, multi, sizeof(expectedMulti)));
  chars = 32;
  EXPECT_EQ(0, key_.QueryMultiStringValue(L"EmptyMulti", multi, &chars));
  EXPECT_EQ(1u, chars);
  EXPECT_EQ(L'\0', multi[0]);

  // A plain key over the same registry key sees only binary blobs.
  CRegKey plain;
  ASSERT_EQ(0, plain.Open(HKEY_CURRENT_USER, path_.c_str(), KEY_READ));
  EXPECT_EQ(13, plain.GetStringValue(L"Long", text));
  Bytes raw(64);
  bytes = 64;
  EXPECT_EQ(0, plain.QueryBinaryValue(L"Dword", raw.data(), &bytes));
  EXPECT_EQ(36u, bytes);
}

TEST_F(ObfuscatedRegKeyTest, AnyChangedByteGivesInvalidData) {
  for (size_t n = 0; n < kGoldenDwordOne.size(); ++n) {
    Bytes changed = kGoldenDwordOne;
    changed[n] ^= 0x40;
    WriteRaw(L"One", changed);
    DWORD value = 0xCCCC;
    EXPECT_EQ(13, key_.QueryDWORDValue(L"One", value)) << "byte " << n;
    EXPECT_EQ(0xCCCCu, value);
    DWORD type = 0;
    ULONG bytes = 4;
    EXPECT_EQ(13, key_.QueryValue(L"One", &type, &value, &bytes)) << "byte " << n;
  }
}

TEST_F(ObfuscatedRegKeyTest, ForeignAndMalformedBlobs) {
  const Bytes four = {1, 0, 0, 0};
  struct Case {
    const char* what;
    Bytes blob;
    DWORD registryType;
    LONG expected;
  };
  Bytes truncated = kGoldenDwordOne;
  truncated.pop_back();
  BlobLayout wrongMagic{four, REG_DWORD};
  wrongMagic.magic = 0x47525852;
  BlobLayout wrongLength{four, REG_DWORD};
  wrongLength.lengthDelta = 1;
  BlobLayout emptyPayload{{}, REG_DWORD};
  // A QWORD blob relabelled as a 4-byte DWORD, its digest recomputed (the digest has no
  // secret): longer than its stated payload.
  BlobLayout longerThanStated{{1, 0, 0, 0, 2, 0, 0, 0}, REG_DWORD};
  longerThanStated.lengthDelta = -4;
  const Case cases[] = {
      {"plain DWORD", four, REG_DWORD, 13},
      {"blob stored as REG_NONE", kGoldenDwordOne, REG_NONE, 13},
      {"header only, 31 bytes", Bytes(kGoldenDwordOne.begin(), kGoldenDwordOne.begin() + 31),
       REG_BINARY, 13},
      {"empty value", {}, REG_BINARY, 13},
      {"last byte cut", truncated, REG_BINARY, 13},
      {"wrong magic, digest right", BuildBlob(wrongMagic), REG_BINARY, 13},
      {"length field off by one, digest right", BuildBlob(wrongLength), REG_BINARY, 13},
      {"payload length 0, digest right", BuildBlob(emptyPayload), REG_BINARY, 6001},
      {"longer than stated, digest right", BuildBlob(longerThanStated), REG_BINARY, 13},
  };
  for (const auto& c : cases) {
    WriteRaw(L"V", c.blob, c.registryType);
    DWORD value = 0xCCCC;
    EXPECT_EQ(c.expected, key_.QueryDWORDValue(L"V", value)) << c.what;
    EXPECT_EQ(0xCCCCu, value) << c.what;
  }
  // A cut blob whose digest was made over the cut bytes still fails the length test.
  BlobLayout cut{{1, 0, 0, 0}, REG_DWORD};
  Bytes recut = BuildBlob(cut);
  recut.pop_back();
  std::memset(recut.data() + 16, 0, 16);
  unsigned char digest[16];
  ASSERT_EQ(0, ComputeMD5(recut.data(), recut.size(), digest, 16));
  std::memcpy(recut.data() + 16, digest, 16);
  WriteRaw(L"V", recut);
  DWORD value = 0;
  EXPECT_EQ(13, key_.QueryDWORDValue(L"V", value));
  EXPECT_EQ(2, key_.QueryDWORDValue(L"Missing", value));
}

TEST_F(ObfuscatedRegKeyTest, OtherVersionAndOtherKeyPassTheChecks) {
  BlobLayout version2{{0x2A, 0, 0, 0}, REG_DWORD};
  version2.version = 2;
  WriteRaw(L"V2", BuildBlob(version2));
  DWORD value = 0;
  EXPECT_EQ(0, key_.QueryDWORDValue(L"V2", value));
  EXPECT_EQ(42u, value);

  // The digest covers ciphertext only, so another key text reads as other bytes.
  BlobLayout otherKey{{0x2A, 0, 0, 0}, REG_DWORD};
  otherKey.keyIndex = CipherKeyTable::kIniValues;
  WriteRaw(L"Other", BuildBlob(otherKey));
  EXPECT_EQ(0, key_.QueryDWORDValue(L"Other", value));
  EXPECT_NE(42u, value);
}

// Deciphered text is converted within its payload only.
TEST_F(ObfuscatedRegKeyTest, UnterminatedTextPayloadsGiveInvalidData) {
  struct Case {
    const char* what;
    Bytes payload;
    DWORD type;
  };
  const Case cases[] = {
      {"string without 0", {'a', 'b', 'c'}, REG_SZ},
      {"multi-string without final empty string", {'a', 0, 'b', 0}, REG_MULTI_SZ},
      {"multi-string without any 0", {'a', 'b'}, REG_MULTI_SZ},
  };
  for (const auto& c : cases) {
    WriteRaw(L"T", BuildBlob({c.payload, c.type}));
    wchar_t buffer[16];
    ULONG chars = 16;
    std::wstring text = L"untouched";
    if (c.type == REG_SZ) {
      EXPECT_EQ(13, key_.QueryStringValue(L"T", buffer, &chars)) << c.what;
      EXPECT_EQ(13, key_.GetStringValue(L"T", text)) << c.what;
      EXPECT_EQ(L"untouched", text);
    } else {
      EXPECT_EQ(13, key_.QueryMultiStringValue(L"T", buffer, &chars)) << c.what;
    }
    DWORD type = 0;
    ULONG bytes = 0;
    EXPECT_EQ(13, key_.QueryValue(L"T", &type, nullptr, &bytes)) << c.what;
  }
  // Bytes after the terminator are ignored.
  WriteRaw(L"T", BuildBlob({{'a', 'b', 0, 'c', 'd'}, REG_SZ}));
  std::wstring text;
  EXPECT_EQ(0, key_.GetStringValue(L"T", text));
  EXPECT_EQ(L"ab", text);
}

TEST_F(ObfuscatedRegKeyTest, StringWriteReadsAtMostBytesOverTwoCharacters) {
  const wchar_t unterminated[3] = {L'x', L'y', L'z'};
  ASSERT_EQ(0, key_.SetValue(L"S", REG_SZ, unterminated, sizeof(unterminated)));
  EXPECT_EQ(BuildBlob({{'x', 'y', 'z', 0}, REG_SZ}), ReadRaw(L"S"));
  ASSERT_EQ(0, key_.SetValue(L"S2", REG_SZ, L"abcdef", 4));  // two characters
  std::wstring text;
  EXPECT_EQ(0, key_.GetStringValue(L"S2", text));
  EXPECT_EQ(L"ab", text);
  const wchar_t openList[4] = {L'a', 0, L'b', L'c'};
  ASSERT_EQ(0, key_.SetValue(L"M", REG_MULTI_SZ, openList, sizeof(openList)));
  EXPECT_EQ(BuildBlob({{'a', 0, 'b', 'c', 0, 0}, REG_MULTI_SZ}), ReadRaw(L"M"));
}

TEST_F(ObfuscatedRegKeyTest, SizesAndShortBuffers) {
  ASSERT_EQ(0, key_.SetStringValue(L"Abc", L"abc"));
  ULONG chars = 0;
  EXPECT_EQ(0, key_.QueryStringValue(L"Abc", nullptr, &chars));
  EXPECT_EQ(4u, chars);
  wchar_t small[3] = {L'q', L'q', L'q'};
  chars = 3;
  EXPECT_EQ(234, key_.QueryStringValue(L"Abc", small, &chars));

  ASSERT_EQ(0, key_.SetMultiStringValue(L"Multi", L"a\0b\0"));
  DWORD type = 0;
  ULONG bytes = 0;
  EXPECT_EQ(0, key_.QueryValue(L"Multi", &type, nullptr, &bytes));
  EXPECT_EQ(10u, bytes);
  wchar_t multi[4] = {L'q', L'q', L'q', L'q'};
  bytes = sizeof(multi);
  EXPECT_EQ(234, key_.QueryValue(L"Multi", &type, multi, &bytes));
  EXPECT_EQ(10u, bytes);
  for (wchar_t c : multi) EXPECT_EQ(L'\0', c);  // a short multi-string output is cleared
  // Room for both strings and one byte of the final terminator: that byte is not enough,
  // and nothing is written past the given count.
  unsigned char odd[12];
  std::memset(odd, 0xCC, sizeof(odd));
  bytes = 9;
  EXPECT_EQ(234, key_.QueryValue(L"Multi", &type, odd, &bytes));
  EXPECT_EQ(10u, bytes);
  EXPECT_EQ(0xCC, odd[9]);

  const Bytes binary(300, 0x5A);
  ASSERT_EQ(0, key_.SetBinaryValue(L"Bin", binary.data(), static_cast<ULONG>(binary.size())));
  EXPECT_EQ(332u, ReadRaw(L"Bin").size());
  Bytes buffer(10);
  bytes = 10;
  EXPECT_EQ(234, key_.QueryBinaryValue(L"Bin", buffer.data(), &bytes));
  EXPECT_EQ(300u, bytes);
  bytes = 0;
  EXPECT_EQ(0, key_.QueryValue(L"Bin", &type, nullptr, &bytes));
  EXPECT_EQ(300u, bytes);
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);

  ASSERT_EQ(0, key_.SetQWORDValue(L"Q", 5));
  DWORD dword = 0xCCCC;
  EXPECT_EQ(234, key_.QueryDWORDValue(L"Q", dword));
  EXPECT_EQ(0xCCCCu, dword);
}

TEST_F(ObfuscatedRegKeyTest, BadArguments) {
  DWORD dword = 1;
  EXPECT_EQ(87, key_.SetValue(L"V", REG_DWORD, nullptr, 4));
  EXPECT_EQ(87, key_.SetValue(L"V", REG_DWORD, &dword, 0));
  EXPECT_EQ(87, key_.SetBinaryValue(L"V", &dword, 0));
  ULONG bytes = 4;
  EXPECT_EQ(87, key_.QueryValue(L"V", nullptr, &dword, nullptr));
  EXPECT_EQ(2, key_.QueryValue(L"V", nullptr, &dword, &bytes));

  ASSERT_EQ(0, key_.SetDWORDValue(L"V", 3));
  DWORD type = 0;
  EXPECT_EQ(0, key_.QueryValue(L"V", &type, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);

  // A refused write leaves the stored value as it was.
  EXPECT_EQ(87, key_.SetValue(L"V", REG_DWORD, nullptr, 4));
  EXPECT_EQ(0, key_.QueryDWORDValue(L"V", dword));
  EXPECT_EQ(3u, dword);
}

TEST_F(ObfuscatedRegKeyTest, NamesGoThroughTheAnsiCodePage) {
  const wchar_t* name = L"Name\u0416";
  char ansi[16] = {};
  ASSERT_GT(WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, ansi, sizeof(ansi), nullptr, nullptr),
            0);
  ASSERT_EQ(0, key_.SetDWORDValue(name, 9));
  EXPECT_EQ(0, RegQueryValueExA(key_.GetHandle(), ansi, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(2, key_.DeleteValue(name));  // the UTF-16 name is not the stored one
  wchar_t stored[16] = {};
  MultiByteToWideChar(CP_THREAD_ACP, 0, ansi, -1, stored, 16);
  EXPECT_EQ(0, key_.DeleteValue(stored));
}

TEST(ObfuscatedRegCodecTest, EncodeAndDecodeCodes) {
  const unsigned char payload[4] = {1, 0, 0, 0};
  Bytes blob(36);
  EXPECT_EQ(122, CObfuscatedRegKeyImpl::EncodeValue(payload, 4, REG_DWORD, blob.data(), 35));
  EXPECT_EQ(6000, CObfuscatedRegKeyImpl::EncodeValue(payload, 0, REG_DWORD, blob.data(), 36));
  ASSERT_EQ(0, CObfuscatedRegKeyImpl::EncodeValue(payload, 4, REG_DWORD, blob.data(), 36));
  EXPECT_EQ(kGoldenDwordOne, blob);

  DWORD type = 0;
  unsigned char out[4] = {};
  DWORD capacity = 3;
  Bytes copy = blob;
  EXPECT_EQ(234, CObfuscatedRegKeyImpl::DecodeValue(copy.data(), 36, &type, out, &capacity));
  EXPECT_EQ(4u, capacity);
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
  copy = blob;
  EXPECT_EQ(0, CObfuscatedRegKeyImpl::DecodeValue(copy.data(), 36, &type, out, &capacity));
  EXPECT_EQ(0, std::memcmp(payload, out, 4));
  copy = blob;
  EXPECT_EQ(13, CObfuscatedRegKeyImpl::DecodeValue(copy.data(), 31, &type, out, &capacity));
}

}  // namespace
}  // namespace Basalt
