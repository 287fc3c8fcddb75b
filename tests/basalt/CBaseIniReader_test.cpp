#include "basalt/CBaseIniReader.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "basalt/UniqueHandle.h"
#include "tests/support/IniFileShapes.h"

namespace Basalt {
namespace {

// The reader keeps no values itself: this store records what the parser hands it.
class RecordingIniReader : public CBaseIniReader {
 public:
  struct Stored {
    std::wstring section, key, value;
    bool overwrite;
    bool operator==(const Stored& o) const {
      return std::tie(section, key, value, overwrite) ==
             std::tie(o.section, o.key, o.value, o.overwrite);
    }
  };

  bool LookupInt(const std::wstring& name, int& value) override {
    const auto found = values.find(name);
    if (found == values.end()) return false;
    value = _wtoi(found->second.c_str());
    return true;
  }
  bool LookupString(const std::wstring& name, std::wstring& value) override {
    const auto found = values.find(name);
    if (found == values.end()) return false;
    value = found->second;
    return true;
  }
  bool GetSection(const std::wstring&, std::map<std::wstring, std::wstring>&) override {
    return false;
  }
  bool StoreValue(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                  bool overwrite) override {
    stored.push_back({section, key, value, overwrite});
    if (key == L"refused") return false;
    const std::wstring name = section + L"." + key;
    if (!overwrite && values.count(name)) return false;
    values[name] = value;
    return true;
  }
  bool SetStringValue(const std::wstring& section, const std::wstring& key,
                      const std::wstring& value) override {
    setCalls.push_back(value);
    return CBaseIniReader::SetStringValue(section, key, value);
  }

  std::vector<Stored> stored;
  std::map<std::wstring, std::wstring> values;
  std::vector<std::wstring> setCalls;
};

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name =
        std::string("b3ini_") + info->name() + "_" + std::to_string(GetCurrentProcessId());
    dir_ = std::wstring(temp) + std::wstring(name.begin(), name.end());
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  }
  void TearDown() override {
    for (const auto& file : files_) DeleteFileW(file.c_str());
    RemoveDirectoryW(dir_.c_str());
  }

  std::wstring Path(const wchar_t* name) {
    files_.push_back(dir_ + L"\\" + name);
    return files_.back();
  }
  std::wstring Write(const wchar_t* name, const std::string& bytes) {
    const std::wstring path = Path(name);
    UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    EXPECT_TRUE(file.is_valid());
    DWORD written = 0;
    EXPECT_TRUE(
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    return path;
  }
  static std::wstring Profile(const std::wstring& path, const wchar_t* section,
                              const wchar_t* key) {
    wchar_t buffer[256];
    GetPrivateProfileStringW(section, key, L"<none>", buffer, 256, path.c_str());
    return buffer;
  }

  std::wstring dir_;
  std::vector<std::wstring> files_;
};

using Stored = RecordingIniReader::Stored;

TEST_F(IniFileTest, ParsesCommentsSectionsPairsAndWhiteSpace) {
  const std::wstring path = Write(L"parse.ini",
                                  "early = first\r\n"
                                  "; comment\r\n"
                                  "  \t; indented comment = no\r\n"
                                  "\r\n"
                                  "   \r\n"
                                  "[ Config ]\r\n"
                                  "  MaxSize\t=  4096  \r\n"
                                  "Path=C:\\a=b\r\n"
                                  "=empty key\r\n"
                                  "novalue\r\n"
                                  "[]\r\n"
                                  "[  ]\r\n"
                                  "after=empties\r\n"
                                  "[a=b]\r\n"
                                  "[abc\r\n"
                                  "[a=b\r\n"
                                  "k=\r\n"
                                  "refused=x\r\n"
                                  "last=line without end");
  RecordingIniReader reader;
  ASSERT_TRUE(reader.Load(path));
  const std::vector<Stored> expected = {
      {L"", L"early", L"first", false},
      {L"Config", L"MaxSize", L"4096", false},
      {L"Config", L"Path", L"C:\\a=b", false},
      {L"Config", L"", L"empty key", false},
      {L"Config", L"after", L"empties", false},
      {L"a=b", L"[a", L"b", false},
      {L"a=b", L"k", L"", false},
      {L"a=b", L"refused", L"x", false},
      {L"a=b", L"last", L"line without end", false},
  };
  EXPECT_EQ(expected, reader.stored);
  EXPECT_EQ(8u, reader.GetValueCount());  // the refused pair is not counted
  EXPECT_EQ(2u, reader.GetSectionCount());
  EXPECT_EQ(L"a=b", reader.GetCurrentSection());
  EXPECT_EQ(path, reader.GetFilePath());

  int number = 0;
  EXPECT_TRUE(reader.GetIntValue(L"Config", L"MaxSize", number));
  EXPECT_EQ(4096, number);
  std::wstring text;
  EXPECT_TRUE(reader.GetStringValue(L"", L"early", text));  // lookup name ".early"
  EXPECT_EQ(L"first", text);
  EXPECT_FALSE(reader.GetStringValue(L"Config", L"missing", text));
  EXPECT_EQ(L"first", text);
}

TEST_F(IniFileTest, FirstOfTwoEqualKeysIsKept) {
  RecordingIniReader reader;
  ASSERT_TRUE(reader.Load(Write(L"dup.ini", "[S]\nk=1\nk=2\n")));
  EXPECT_EQ(L"1", reader.values[L"S.k"]);
  EXPECT_EQ(1u, reader.GetValueCount());
}

TEST_F(IniFileTest, SecondLoadContinuesInTheLastSection) {
  RecordingIniReader reader;
  ASSERT_TRUE(reader.Load(Write(L"one.ini", "[First]\na=1\n")));
  ASSERT_TRUE(reader.Load(Write(L"two.ini", "b=2\n[Second]\nc=3\n")));
  EXPECT_EQ((std::vector<Stored>{{L"First", L"a", L"1", false},
                                 {L"First", L"b", L"2", false},
                                 {L"Second", L"c", L"3", false}}),
            reader.stored);
  EXPECT_EQ(2u, reader.GetSectionCount());
  EXPECT_EQ(3u, reader.GetValueCount());
}

TEST_F(IniFileTest, LongLineIsOneLine) {
  const std::string value(1500, 'v');
  RecordingIniReader reader;
  ASSERT_TRUE(reader.Load(Write(L"long.ini", "[S]\nkey=" + value + "=tail\nnext=1\n")));
  EXPECT_EQ((std::vector<Stored>{{L"S", L"key", std::wstring(1500, L'v') + L"=tail", false},
                                 {L"S", L"next", L"1", false}}),
            reader.stored);
}

// The file is read as the profile functions that write it read it.
TEST_F(IniFileTest, EncodingsLineEndsAndBytesAsTheProfileFunctionsReadThem) {
  const struct {
    const char* what;
    std::string bytes;
    std::vector<Stored> expected;
  } cases[] = {
      {"CR, LF and CR LF line ends, doubled too",
       "[S]\ra=1\nb=2\r\nc=3\r\r\nd=4\n\re=5",
       {{L"S", L"a", L"1", false},
        {L"S", L"b", L"2", false},
        {L"S", L"c", L"3", false},
        {L"S", L"d", L"4", false},
        {L"S", L"e", L"5", false}}},
      {"0x1A is white space, not the end of the file",
       "[S]\r\n\x1A a\x1A=1\x1A\r\n\x1A\r\nb=2",
       {{L"S", L"a", L"1", false}, {L"S", L"b", L"2", false}}},
      {"UTF-16 with an odd last byte",
       testsupport::Utf16Text("[S]\r\na=1\r\nk=v", false) + "7",
       {{L"S", L"a", L"1", false}, {L"S", L"k", L"v7", false}}},
      {"UTF-16 big-endian",
       testsupport::Utf16Text("[S]\r\na=1", true),
       {{L"S", L"a", L"1", false}}},
      {"UTF-8",
       "\xEF\xBB\xBF[S]\r\ncaf\xC3\xA9=\xC3\xA9t\xC3\xA9",
       {{L"S", L"caf\u00E9", L"\u00E9t\u00E9", false}}},
      {"a NUL ends a name or value, after white space is cut",
       std::string("[ Con\0fig ]\r\nA \0B=1\r\nv= 1 \0 x\r\n", 31),
       {{L"Con", L"A ", L"1", false}, {L"Con", L"v", L"1 ", false}}},
      {"a header ends at its last ]",
       "[a]b] ; c\r\nk=1\r\n[S]x=2\r\nm=3",
       {{L"a]b", L"k", L"1", false}, {L"S", L"m", L"3", false}}},
      {"a section named before (ASCII case aside) is not read again",
       "[S]\r\na=1\r\n[T]\r\nb=2\r\n[s]\r\nc=3\r\n[S]\r\nd=4\r\n[U]\r\ne=5",
       {{L"S", L"a", L"1", false}, {L"T", L"b", L"2", false}, {L"U", L"e", L"5", false}}},
      {"letters outside ASCII keep their case",
       "\xEF\xBB\xBF[CAF\xC3\x89]\r\na=1\r\n[caf\xC3\xA9]\r\nb=2",
       {{L"CAF\u00C9", L"a", L"1", false}, {L"caf\u00E9", L"b", L"2", false}}},
  };
  for (const auto& c : cases) {
    RecordingIniReader reader;
    ASSERT_TRUE(reader.Load(Write(L"shape.ini", c.bytes))) << c.what;
    EXPECT_EQ(c.expected, reader.stored) << c.what;
  }
}

TEST_F(IniFileTest, EmptyFileLoadsWithNothing) {
  RecordingIniReader reader;
  EXPECT_TRUE(reader.Load(Write(L"empty.ini", "")));
  EXPECT_TRUE(reader.stored.empty());
}

TEST_F(IniFileTest, EmptyPathIsRefusedAndChangesNothing) {
  RecordingIniReader reader;
  const std::wstring path = Write(L"keep.ini", "a=1\n");
  ASSERT_TRUE(reader.Load(path));
  EXPECT_FALSE(reader.Load(L""));
  EXPECT_EQ(path, reader.GetFilePath());
}

TEST_F(IniFileTest, MissingFileKeepsPathAndWriteCreatesIt) {
  RecordingIniReader reader;
  const std::wstring path = Path(L"created.ini");
  EXPECT_FALSE(reader.Load(path));
  EXPECT_EQ(path, reader.GetFilePath());

  ASSERT_TRUE(reader.SetStringValue(L"Config", L"Name", L"value one"));
  EXPECT_EQ(L"value one", Profile(path, L"Config", L"Name"));
  EXPECT_EQ((Stored{L"Config", L"Name", L"value one", true}), reader.stored.back());

  // Writing again replaces the loaded value (overwrite).
  ASSERT_TRUE(reader.SetStringValue(L"Config", L"Name", L"two"));
  EXPECT_EQ(L"two", reader.values[L"Config.Name"]);

  RecordingIniReader fresh;
  ASSERT_TRUE(fresh.Load(path));
  EXPECT_EQ(L"two", fresh.values[L"Config.Name"]);
}

TEST_F(IniFileTest, FileThatCannotBeOpenedEmptiesThePath) {
  const std::wstring path = Write(L"locked.ini", "a=1\n");
  UniqueFile exclusive(
      CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(exclusive.is_valid());
  RecordingIniReader reader;
  EXPECT_FALSE(reader.Load(path));
  EXPECT_TRUE(reader.GetFilePath().empty());
  EXPECT_FALSE(reader.SetStringValue(L"S", L"k", L"v"));
}

TEST_F(IniFileTest, WriteBeforeAnyLoadFailsAndWritesNothing) {
  RecordingIniReader reader;
  EXPECT_FALSE(reader.SetStringValue(L"S", L"k", L"v"));
  EXPECT_FALSE(reader.SetIntValue(L"S", L"k", 5));
  EXPECT_TRUE(reader.stored.empty());
}

TEST_F(IniFileTest, SetIntValueGoesThroughTheVirtualStringWrite) {
  RecordingIniReader reader;
  const std::wstring path = Write(L"int.ini", "[S]\n");
  ASSERT_TRUE(reader.Load(path));
  ASSERT_TRUE(reader.SetIntValue(L"S", L"neg", -2147483647 - 1));
  ASSERT_TRUE(reader.SetIntValue(L"S", L"pos", 42));
  EXPECT_EQ((std::vector<std::wstring>{L"-2147483648", L"42"}), reader.setCalls);
  EXPECT_EQ(L"-2147483648", Profile(path, L"S", L"neg"));
  int value = 0;
  EXPECT_TRUE(reader.GetIntValue(L"S", L"pos", value));
  EXPECT_EQ(42, value);
}

TEST_F(IniFileTest, NarrowTextIsReadInTheAnsiCodePage) {
  RecordingIniReader reader;
  // 0xE9 is e-acute in the Western code page that Wine's prefix uses by default.
  ASSERT_TRUE(reader.Load(Write(L"ansi.ini", "[S]\ncaf\xE9=ol\xE9\n")));
  wchar_t expectedKey[8] = {};
  wchar_t expectedValue[8] = {};
  MultiByteToWideChar(CP_THREAD_ACP, 0, "caf\xE9", -1, expectedKey, 8);
  MultiByteToWideChar(CP_THREAD_ACP, 0, "ol\xE9", -1, expectedValue, 8);
  ASSERT_EQ(1u, reader.stored.size());
  EXPECT_EQ(expectedKey, reader.stored[0].key);
  EXPECT_EQ(expectedValue, reader.stored[0].value);
}

}  // namespace
}  // namespace Basalt
