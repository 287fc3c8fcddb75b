#include "basalt/CObfuscatedIniReader.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <climits>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/support/IniFileShapes.h"

namespace Basalt {
namespace {

using testsupport::Narrow;
using testsupport::StructText;

// Entries computed by an independent implementation (cipher, MD5 and the
// structure text: upper-case hex digits of every byte, then of their sum modulo 256).
constexpr wchar_t kMaxSizeHeader[] =
    L"515852470100000004000000040000000100000070D1869D4C24638BB7A4558E8FE9EE9C4E";
constexpr wchar_t kMaxSizePayload[] = L"4AEB6E45E8";  // 262144
constexpr wchar_t kMinusFiveHeader[] =
    L"515852470100000004000000040000000100000055D4964FCF82B08F6754FEBD78E7712B5B";
constexpr wchar_t kMinusFivePayload[] = L"95EF974560";  // -5
constexpr wchar_t kHelloHeader[] =
    L"5158524701000000050000000100000001000000AD1CBE82C2C46812527EF44E0BBCCA685E";
constexpr wchar_t kHelloPayload[] = L"02D6311CCCF1";  // "Hello"

class ObfuscatedIniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string("b3obfini_") + info->name() + "_" +
                             std::to_string(GetCurrentProcessId()) + ".ini";
    path_ = std::wstring(temp) + std::wstring(name.begin(), name.end());
    DeleteFileW(path_.c_str());
  }
  void TearDown() override { DeleteFileW(path_.c_str()); }

  void WriteFileText(const std::string& text) {
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    CloseHandle(file);
  }
  std::wstring Profile(const wchar_t* section, const wchar_t* key) const {
    wchar_t buffer[512];
    GetPrivateProfileStringW(section, key, L"<none>", buffer, 512, path_.c_str());
    return buffer;
  }
  bool FileExists() const { return GetFileAttributesW(path_.c_str()) != INVALID_FILE_ATTRIBUTES; }

  std::wstring path_;
};

TEST_F(ObfuscatedIniTest, WritesGoldenEntries) {
  CObfuscatedIniReader reader;
  EXPECT_FALSE(reader.Load(path_));  // missing file: the path stays for writing
  ASSERT_TRUE(reader.SetIntValue(L"Config", L"MaxSize", 262144));
  ASSERT_TRUE(reader.SetIntValue(L"Config", L"Delta", -5));
  ASSERT_TRUE(reader.SetStringValue(L"Names", L"Greeting", L"Hello"));
  EXPECT_EQ(kMaxSizeHeader, Profile(L"Config", L"_MaxSize"));
  EXPECT_EQ(kMaxSizePayload, Profile(L"Config", L"MaxSize"));
  EXPECT_EQ(kMinusFiveHeader, Profile(L"Config", L"_Delta"));
  EXPECT_EQ(kMinusFivePayload, Profile(L"Config", L"Delta"));
  EXPECT_EQ(kHelloHeader, Profile(L"Names", L"_Greeting"));
  EXPECT_EQ(kHelloPayload, Profile(L"Names", L"Greeting"));

  int value = 0;
  EXPECT_TRUE(reader.GetIntValue(L"Config", L"MaxSize", value));
  EXPECT_EQ(262144, value);
  const IniValueRecord* record = reader.FindValue(L"Config.Delta");
  ASSERT_NE(nullptr, record);
  EXPECT_EQ(L"-5", record->value);
  EXPECT_TRUE(record->decoded);
  EXPECT_EQ(4u, record->type);
}

TEST_F(ObfuscatedIniTest, ReadsGoldenEntries) {
  WriteFileText(
      "[Config]\r\n_MaxSize=" + Narrow(kMaxSizeHeader) + "\r\nMaxSize=" + Narrow(kMaxSizePayload) +
      "\r\n_Delta = " + Narrow(kMinusFiveHeader) + "\r\nDelta = " + Narrow(kMinusFivePayload) +
      "\r\n[Names]\r\nGreeting=" + Narrow(kHelloPayload) + "\r\n_Greeting=" + Narrow(kHelloHeader) +
      "\r\n");
  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(path_));
  int value = 0;
  EXPECT_TRUE(reader.GetIntValue(L"Config", L"MaxSize", value));
  EXPECT_EQ(262144, value);
  EXPECT_TRUE(reader.GetIntValue(L"Config", L"Delta", value));
  EXPECT_EQ(-5, value);
  std::wstring text;
  EXPECT_TRUE(reader.GetStringValue(L"Names", L"Greeting", text));
  EXPECT_EQ(L"Hello", text);

  const IniValueRecord* record = reader.FindValue(L"Config.MaxSize");
  ASSERT_NE(nullptr, record);
  EXPECT_TRUE(record->decoded);
  EXPECT_EQ(4u, record->type);
  EXPECT_EQ(L"262144", record->value);
  record = reader.FindValue(L"Names.Greeting");
  ASSERT_NE(nullptr, record);
  EXPECT_EQ(1u, record->type);
  // Header entries are not values of their own.
  EXPECT_EQ(nullptr, reader.FindValue(L"Config._MaxSize"));
  EXPECT_EQ(3u, reader.GetValueCount());
}

TEST_F(ObfuscatedIniTest, TypedValuesRoundTripThroughTheFile) {
  const int ints[] = {0, 1, -1, 3, INT_MAX, INT_MIN, 0x40000};
  // The last one's payload line is longer than 1023 bytes.
  const std::wstring strings[] = {L"x",
                                  L"Hello, world",
                                  L"a=b=c",
                                  L"  padded  ",
                                  L";semi",
                                  std::wstring(500, L'z'),
                                  std::wstring(600, L'y')};
  {
    CObfuscatedIniReader writer;
    EXPECT_FALSE(writer.Load(path_));
    for (size_t n = 0; n < std::size(ints); ++n) {
      ASSERT_TRUE(writer.SetIntValue(L"Ints", L"i" + std::to_wstring(n), ints[n]));
    }
    for (size_t n = 0; n < std::size(strings); ++n) {
      ASSERT_TRUE(writer.SetStringValue(L"Strings", L"s" + std::to_wstring(n), strings[n]));
    }
    // Rewriting a value replaces both of its entries.
    ASSERT_TRUE(writer.SetIntValue(L"Ints", L"i0", 77));
  }
  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(path_));
  for (size_t n = 0; n < std::size(ints); ++n) {
    int value = 12345;
    EXPECT_TRUE(reader.GetIntValue(L"Ints", L"i" + std::to_wstring(n), value)) << n;
    EXPECT_EQ(n == 0 ? 77 : ints[n], value) << n;
  }
  for (size_t n = 0; n < std::size(strings); ++n) {
    std::wstring value;
    EXPECT_TRUE(reader.GetStringValue(L"Strings", L"s" + std::to_wstring(n), value)) << n;
    EXPECT_EQ(strings[n], value) << n;
  }
  std::map<std::wstring, std::wstring> section;
  EXPECT_TRUE(reader.GetSection(L"Ints", section));
  EXPECT_EQ(std::size(ints), section.size());
  EXPECT_EQ(L"77", section[L"i0"]);
}

// Files in every shape that the profile functions read: their readings are what the reader
// gives, a value that SetIntValue writes (twice) reads back, and every other value stays.
TEST_F(ObfuscatedIniTest, WrittenValueReadsBackInEveryShapeTheProfileFunctionsRead) {
  const auto expectValues = [&](const testsupport::IniFileShape& shape,
                                std::optional<int> lastLogIdx) {
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(path_));
    for (const auto& expected : shape.expected) {
      SCOPED_TRACE(testing::Message() << Narrow(expected.section) << "." << Narrow(expected.key));
      std::optional<int> value = expected.value;
      if (lastLogIdx && wcscmp(expected.key, L"LastLogIdx") == 0) value = lastLogIdx;
      int found = 12345;
      EXPECT_EQ(value.has_value(), reader.GetIntValue(expected.section, expected.key, found));
      if (value) {
        EXPECT_EQ(*value, found);
      }
    }
  };
  for (const auto& shape : testsupport::IniFileShapes(5)) {
    SCOPED_TRACE(shape.name);
    WriteFileText(shape.bytes);
    expectValues(shape, std::nullopt);
    for (const int written : {42, -7}) {
      CObfuscatedIniReader writer;
      ASSERT_TRUE(writer.Load(path_));
      ASSERT_TRUE(writer.SetIntValue(L"Config", L"LastLogIdx", written));
      expectValues(shape, written);
    }
  }
}

TEST_F(ObfuscatedIniTest, PlainPairsAreListedButNotAnswered) {
  WriteFileText("[Config]\nMaxEntries=5\n_Odd=1\n[Other]\nName=plain\n");
  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(path_));
  std::map<std::wstring, std::wstring> section;
  ASSERT_TRUE(reader.GetSection(L"Config", section));
  EXPECT_EQ((std::map<std::wstring, std::wstring>{{L"MaxEntries", L"5"}, {L"_Odd", L"1"}}),
            section);
  int value = -7;
  EXPECT_FALSE(reader.GetIntValue(L"Config", L"MaxEntries", value));
  EXPECT_EQ(-7, value);
  std::wstring text = L"untouched";
  EXPECT_FALSE(reader.GetStringValue(L"Other", L"Name", text));
  EXPECT_EQ(L"untouched", text);
  EXPECT_FALSE(reader.GetSection(L"Missing", section));
  EXPECT_FALSE(reader.FindValue(L"Config.MaxEntries")->decoded);
}

// Entries that do not decode stay in memory as the file's text, invisible to lookups.
TEST_F(ObfuscatedIniTest, DamagedEntriesStayUndecoded) {
  ObfuscatedIniValueHeader header = {};
  unsigned char payload[4];
  const unsigned char plain[4] = {5, 0, 0, 0};
  ASSERT_EQ(0u, CObfuscatedIniReader::EncodeValue(plain, 4, 4, payload, 4, &header));
  const auto headerWith = [&](auto change) {
    ObfuscatedIniValueHeader copy = header;
    change(copy);
    return Narrow(StructText(&copy, sizeof(copy)));
  };
  const std::string goodHeader = headerWith([](auto&) {});
  const std::string goodPayload = Narrow(StructText(payload, 4));
  std::string alteredPayload = goodPayload;
  alteredPayload[3] = alteredPayload[3] == 'A' ? 'B' : 'A';

  struct Case {
    const char* what;
    std::string header;
    std::string payload;
  };
  const Case cases[] = {
      {"altered payload", goodHeader, alteredPayload},
      {"truncated payload", goodHeader, goodPayload.substr(0, 6)},
      {"empty payload", goodHeader, ""},
      {"wrong magic", headerWith([](auto& h) { h.magic = 0x47525852; }), goodPayload},
      {"version 2", headerWith([](auto& h) { h.version = 2; }), goodPayload},
      {"flag 0", headerWith([](auto& h) { h.flag = 0; }), goodPayload},
      {"type 3", headerWith([](auto& h) { h.type = 3; }), goodPayload},
      {"length 5", headerWith([](auto& h) { h.payloadLength = 5; }), goodPayload},
      {"digest changed", headerWith([](auto& h) { h.digest[7] ^= 1; }), goodPayload},
  };
  for (const auto& c : cases) {
    WriteFileText("[S]\n_k=" + c.header + "\nk=" + c.payload + "\n");
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(path_)) << c.what;
    int value = -1;
    EXPECT_FALSE(reader.GetIntValue(L"S", L"k", value)) << c.what;
    const IniValueRecord* record = reader.FindValue(L"S.k");
    ASSERT_NE(nullptr, record) << c.what;
    EXPECT_FALSE(record->decoded) << c.what;
    EXPECT_EQ(std::wstring(c.payload.begin(), c.payload.end()), record->value) << c.what;
  }

  // The undamaged pair decodes, which shows the cases above differ only in their fault.
  WriteFileText("[S]\n_k=" + goodHeader + "\nk=" + goodPayload + "\n");
  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(path_));
  int value = 0;
  EXPECT_TRUE(reader.GetIntValue(L"S", L"k", value));
  EXPECT_EQ(5, value);
}

// An empty string payload beside a valid string header is malformed, not a size underflow.
TEST_F(ObfuscatedIniTest, EmptyPayloadBesideValidStringHeaderIsMalformed) {
  WriteFileText("[Names]\n_Greeting=" + Narrow(kHelloHeader) + "\nGreeting=\nOther=1\n");
  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(path_));
  std::wstring text = L"untouched";
  EXPECT_FALSE(reader.GetStringValue(L"Names", L"Greeting", text));
  EXPECT_EQ(L"untouched", text);
  ASSERT_NE(nullptr, reader.FindValue(L"Names.Greeting"));
  EXPECT_EQ(L"", reader.FindValue(L"Names.Greeting")->value);
}

TEST_F(ObfuscatedIniTest, HeaderCandidatesNeedExactLengthAndMagic) {
  const std::string header = Narrow(kMaxSizeHeader);
  const std::string cases[] = {header.substr(0, 73), header + "0", "61585247" + header.substr(8)};
  for (const auto& candidate : cases) {
    WriteFileText("[Config]\n_MaxSize=" + candidate + "\nMaxSize=" + Narrow(kMaxSizePayload) +
                  "\n");
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(path_));
    const IniValueRecord* plainHeader = reader.FindValue(L"Config._MaxSize");
    ASSERT_NE(nullptr, plainHeader) << candidate;
    EXPECT_EQ(std::wstring(candidate.begin(), candidate.end()), plainHeader->value);
    EXPECT_FALSE(reader.FindValue(L"Config.MaxSize")->decoded) << candidate;
  }
}

TEST_F(ObfuscatedIniTest, UnpairedEntries) {
  WriteFileText("[Config]\n_MaxSize=" + Narrow(kMaxSizeHeader) +
                "\n[Names]\nGreeting=" + Narrow(kHelloPayload) + "\n");
  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(path_));
  EXPECT_EQ(nullptr, reader.FindValue(L"Config.MaxSize"));
  std::map<std::wstring, std::wstring> section;
  EXPECT_FALSE(reader.GetSection(L"Config", section));  // a lone header makes no section
  const IniValueRecord* payload = reader.FindValue(L"Names.Greeting");
  ASSERT_NE(nullptr, payload);
  EXPECT_FALSE(payload->decoded);
  EXPECT_EQ(kHelloPayload, payload->value);
}

// As for the profile functions, the first of two equal keys counts, headers included.
TEST_F(ObfuscatedIniTest, FirstHeaderAndFirstPayloadWin) {
  WriteFileText("[Config]\n_MaxSize=" + Narrow(kMaxSizeHeader) +
                "\n_MaxSize=" + Narrow(kMinusFiveHeader) + "\nMaxSize=" + Narrow(kMaxSizePayload) +
                "\n_maxsize=short\nMaxSize=" + Narrow(kMinusFivePayload) + "\n");
  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(path_));
  int value = 0;
  EXPECT_TRUE(reader.GetIntValue(L"Config", L"MaxSize", value));
  EXPECT_EQ(262144, value);
  EXPECT_EQ(nullptr, reader.FindValue(L"Config._maxsize"));  // a second header key, too
}

TEST_F(ObfuscatedIniTest, WritesWithoutFileOrWithEmptyTextFail) {
  CObfuscatedIniReader unloaded;
  EXPECT_FALSE(unloaded.SetStringValue(L"S", L"k", L"v"));
  EXPECT_FALSE(unloaded.SetIntValue(L"S", L"k", 1));
  EXPECT_EQ(nullptr, unloaded.FindValue(L"S.k"));

  CObfuscatedIniReader reader;
  EXPECT_FALSE(reader.Load(path_));
  EXPECT_FALSE(reader.SetStringValue(L"S", L"k", L""));
  EXPECT_FALSE(FileExists());
  EXPECT_EQ(nullptr, reader.FindValue(L"S.k"));
}

TEST_F(ObfuscatedIniTest, CallerTextIsCachedAndFileTextComesBackThroughAnsi) {
  const std::wstring wide = L"caf\u00E9 \u0416";  // the second letter is outside the code page
  CObfuscatedIniReader reader;
  EXPECT_FALSE(reader.Load(path_));
  ASSERT_TRUE(reader.SetStringValue(L"S", L"k", wide));
  std::wstring text;
  EXPECT_TRUE(reader.GetStringValue(L"S", L"k", text));
  EXPECT_EQ(wide, text);

  char ansi[32] = {};
  WideCharToMultiByte(CP_THREAD_ACP, 0, wide.c_str(), -1, ansi, sizeof(ansi), nullptr, nullptr);
  wchar_t back[32] = {};
  MultiByteToWideChar(CP_THREAD_ACP, 0, ansi, -1, back, 32);
  ASSERT_TRUE(reader.Load(path_));
  EXPECT_TRUE(reader.GetStringValue(L"S", L"k", text));
  EXPECT_EQ(back, text);
  EXPECT_NE(wide, text);
}

TEST_F(ObfuscatedIniTest, LoadReplacesEverythingAndFailedLoadHoldsNothing) {
  CObfuscatedIniReader reader;
  EXPECT_FALSE(reader.Load(path_));
  ASSERT_TRUE(reader.SetIntValue(L"Config", L"MaxSize", 1));
  WriteFileText("[Other]\n_X=" + Narrow(kMaxSizeHeader) + "\nX=" + Narrow(kMaxSizePayload) + "\n");
  ASSERT_TRUE(reader.Load(path_));
  EXPECT_EQ(nullptr, reader.FindValue(L"Config.MaxSize"));
  int value = 0;
  EXPECT_TRUE(reader.GetIntValue(L"Other", L"X", value));
  EXPECT_EQ(262144, value);
  EXPECT_FALSE(reader.Load(L""));
  EXPECT_EQ(nullptr, reader.FindValue(L"Other.X"));
}

TEST_F(ObfuscatedIniTest, SectionNameWithDotCannotBeLookedUp) {
  CObfuscatedIniReader reader;
  EXPECT_FALSE(reader.Load(path_));
  ASSERT_TRUE(reader.SetIntValue(L"a.b", L"k", 9));
  int value = 0;
  EXPECT_FALSE(reader.GetIntValue(L"a.b", L"k", value));
  std::map<std::wstring, std::wstring> section;
  EXPECT_TRUE(reader.GetSection(L"a.b", section));
  EXPECT_EQ(L"9", section[L"k"]);
  // A name without "." addresses the empty key of the empty section.
  EXPECT_EQ(nullptr, reader.FindValue(L"nodot"));
}

TEST_F(ObfuscatedIniTest, LookupIntReadsLikeWcstol) {
  CObfuscatedIniReader reader;
  EXPECT_FALSE(reader.Load(path_));
  const struct {
    const wchar_t* text;
    int expected;
  } cases[] = {{L"42", 42}, {L"  -17xyz", -17}, {L"+8", 8}, {L"abc", 0}, {L"", 0}};
  for (const auto& c : cases) {
    reader.UpdateCachedValue(L"S", L"k", c.text, 1);
    int value = 999;
    EXPECT_TRUE(reader.GetIntValue(L"S", L"k", value)) << c.text;
    EXPECT_EQ(c.expected, value) << c.text;
  }
}

TEST(ObfuscatedIniCodecTest, EncodeAndDecodeCodes) {
  const unsigned char plain[5] = {'H', 'e', 'l', 'l', 'o'};
  unsigned char cipherText[5];
  ObfuscatedIniValueHeader header = {};
  EXPECT_EQ(87u, CObfuscatedIniReader::EncodeValue(plain, 5, 1, cipherText, 4, &header));
  EXPECT_EQ(6000u, CObfuscatedIniReader::EncodeValue(plain, 0, 1, cipherText, 5, &header));
  ASSERT_EQ(0u, CObfuscatedIniReader::EncodeValue(plain, 5, 1, cipherText, 5, &header));
  EXPECT_EQ(kHelloHeader, StructText(&header, sizeof(header)));
  EXPECT_EQ(kHelloPayload, StructText(cipherText, 5));

  unsigned char out[8] = {};
  EXPECT_EQ(0u, CObfuscatedIniReader::DecodeValue(cipherText, 5, nullptr, 0, header));
  EXPECT_EQ(234u, CObfuscatedIniReader::DecodeValue(cipherText, 5, out, 4, header));
  EXPECT_EQ(13u, CObfuscatedIniReader::DecodeValue(cipherText, 4, out, 8, header));
  EXPECT_EQ(13u, CObfuscatedIniReader::DecodeValue(cipherText, 0, out, 8, header));
  ObfuscatedIniValueHeader wrongMagic = header;
  wrongMagic.magic = 0;
  EXPECT_EQ(13u, CObfuscatedIniReader::DecodeValue(cipherText, 5, out, 8, wrongMagic));
  ASSERT_EQ(0u, CObfuscatedIniReader::DecodeValue(cipherText, 5, out, 8, header));
  EXPECT_EQ(0, std::memcmp(plain, out, 5));
}

TEST(ObfuscatedIniCodecTest, HexTextLeavesNoByteUnset) {
  unsigned char bytes[6];
  std::memset(bytes, 0xCC, sizeof(bytes));
  EXPECT_TRUE(CObfuscatedIniReader::HexTextToBytes(L"0aFf7", bytes, sizeof(bytes)));
  EXPECT_EQ((std::vector<unsigned char>{0x0A, 0xFF, 0x07, 0, 0, 0}),
            std::vector<unsigned char>(bytes, bytes + 6));

  std::memset(bytes, 0xCC, sizeof(bytes));
  EXPECT_TRUE(CObfuscatedIniReader::HexTextToBytes(L"zz1g", bytes, 2));
  EXPECT_EQ(0x00, bytes[0]);  // no hex digit in the pair
  EXPECT_EQ(0x01, bytes[1]);  // reading stops at the first other character
  EXPECT_EQ(0xCC, bytes[2]);  // beyond |count| nothing is written

  EXPECT_FALSE(CObfuscatedIniReader::HexTextToBytes(L"  \t ", bytes, 2));
  EXPECT_FALSE(CObfuscatedIniReader::HexTextToBytes(L"01   ", bytes, 4));
  EXPECT_TRUE(CObfuscatedIniReader::HexTextToBytes(L"", bytes, 2));
  EXPECT_EQ(0, bytes[0]);

  ObfuscatedIniValueHeader header;
  EXPECT_TRUE(CObfuscatedIniReader::ParseHeaderText(kHelloHeader, &header));
  EXPECT_EQ(5u, header.payloadLength);
  EXPECT_EQ(1u, header.flag);
  // Magic alone: the version reads as 0.
  EXPECT_FALSE(CObfuscatedIniReader::ParseHeaderText(L"51585247", &header));
  EXPECT_EQ(5u, header.payloadLength);
}

}  // namespace
}  // namespace Basalt
