#include "etwlogging/CLogging.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "basalt/CObfuscatedIniReader.h"
#include "basalt/UniqueHandle.h"
#include "tests/support/IniFileShapes.h"
#include "tests/support/TestFiles.h"

namespace ETWLogging {
namespace {

// 2024-01-02 15:04:05, the time every test line carries.
constexpr SYSTEMTIME kPinnedTime = {2024, 1, 2, 2, 15, 4, 5, 0};
constexpr wchar_t kStamp[] = L"01/02/2024 03:04:05 PM$";

std::wstring Format(const wchar_t* format, ...) {
  wchar_t buffer[1024];
  va_list args;
  va_start(args, format);
  _vsnwprintf(buffer, _countof(buffer) - 1, format, args);
  va_end(args);
  buffer[_countof(buffer) - 1] = L'\0';
  return buffer;
}

using testsupport::DeleteTree;
using testsupport::FileExists;

std::string ReadBytes(const std::wstring& path) { return testsupport::ReadFileBytes(path); }

// Text of a log file after its byte-order mark; fails the test when the mark is missing.
std::wstring ReadLog(const std::wstring& path) {
  const std::string bytes = ReadBytes(path);
  EXPECT_GE(bytes.size(), 2u) << "missing log file";
  if (bytes.size() < 2) return {};
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xFE);
  EXPECT_EQ(bytes.size() % 2, 0u);
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
}

void WriteFileOfSize(const std::wstring& path, DWORD size, char fill) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::string bytes(size, fill);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, bytes.data(), size, &written, nullptr));
  CloseHandle(file);
}

void SetIniInt(const std::wstring& path, const wchar_t* name, int value) {
  Basalt::CObfuscatedIniReader reader;
  (void)reader.Load(path);
  ASSERT_TRUE(reader.SetIntValue(L"Config", name, value)) << path;
}

// The obfuscated value of |name| in |path|, or nullopt.
std::optional<int> GetIniInt(const std::wstring& path, const wchar_t* name) {
  Basalt::CObfuscatedIniReader reader;
  int value = 0;
  if (reader.Load(path) && reader.GetIntValue(L"Config", name, value)) return value;
  return std::nullopt;
}

// File logger whose ProgramData is a scratch folder and whose clock is pinned.
class TestLogging : public CLogging {
 public:
  explicit TestLogging(std::wstring programData, bool* deleted = nullptr)
      : programData_(std::move(programData)), deleted_(deleted) {}
  ~TestLogging() override {
    if (deleted_) *deleted_ = true;
  }
  DWORD GetProgramDataPath(wchar_t* buffer, DWORD count) override {
    if (buffer == nullptr || programData_.size() >= count) return ERROR_INVALID_PARAMETER;
    wcscpy(buffer, programData_.c_str());
    return ERROR_SUCCESS;
  }
  using CLogging::SetMutex;

  // The next write of more than |over| bytes writes only |bytes| of them and reports TRUE
  // with that count, as WriteFile does on a full volume.
  void WriteShortOnce(DWORD over, DWORD bytes) {
    shortOver_ = over;
    shortBytes_ = bytes;
  }

 protected:
  void GetLineTime(SYSTEMTIME* time) override { *time = kPinnedTime; }
  BOOL WriteToFile(HANDLE file, const void* data, DWORD bytes, DWORD* written) override {
    if (shortOver_ != 0 && bytes > shortOver_) {
      shortOver_ = 0;
      return WriteFile(file, data, shortBytes_, written, nullptr);
    }
    return CLogging::WriteToFile(file, data, bytes, written);
  }

 private:
  std::wstring programData_;
  bool* deleted_;
  DWORD shortOver_ = 0;
  DWORD shortBytes_ = 0;
};

// Holds the byte-range lock that writers of a log folder take on |path|, as another process
// would, until it goes.
class HeldLogLock {
 public:
  explicit HeldLogLock(const std::wstring& path)
      : file_(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr)) {
    OVERLAPPED at = Position();
    held_ = file_ && LockFileEx(file_.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                                1, 0, &at);
  }
  ~HeldLogLock() { Release(); }
  void Release() {
    OVERLAPPED at = Position();
    if (held_) UnlockFileEx(file_.get(), 0, 1, 0, &at);
    held_ = false;
    file_.reset();
  }
  bool held() const { return held_; }

 private:
  static OVERLAPPED Position() {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(kLogLockOffset);
    at.OffsetHigh = static_cast<DWORD>(kLogLockOffset >> 32);
    return at;
  }
  Basalt::UniqueFile file_;
  bool held_ = false;
};

class CLoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    root_ = Format(L"%sCLogging_test_%lu_%d", temp, GetCurrentProcessId(), ++counter);
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    base_ = root_ + L"\\Telvan\\QXLOGS\\";
    folder_ = base_ + L"Group\\kernel32";
    kernel32_ = GetModuleHandleW(L"kernel32.dll");
  }
  void TearDown() override { DeleteTree(root_); }

  std::wstring LogFile(DWORD index) const {
    return Format(L"%s\\kernel32%03lu.log", folder_.c_str(), index);
  }
  std::wstring FolderIni() const { return folder_ + L"\\log.ini"; }
  std::wstring RootIni() const { return base_ + L"log.ini"; }
  // Line |n| of a run: big enough that file 000 is full after a few.
  static std::wstring NumberedMessage(int n) {
    return Format(L"line %04d ", n) + std::wstring(8000, L'x');
  }
  // Lines of 256 KiB files that NumberedMessage fills (the last one goes past the size).
  static int NumberedLinesPerFile() {
    const size_t bytes = (wcslen(kStamp) + 38 + NumberedMessage(0).size() + 2) * sizeof(wchar_t);
    return static_cast<int>((0x40000 - 2 + bytes - 1) / bytes);
  }
  // The numbers of the NumberedMessage lines in files 000 to |last|, in file order; any
  // other line counts as -1.
  std::vector<int> NumberedLines(DWORD last) const {
    const std::wstring head = std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ ";
    std::vector<int> numbers;
    for (DWORD index = 0; index <= last; ++index) {
      if (!FileExists(LogFile(index))) continue;
      const std::wstring text = ReadLog(LogFile(index));
      for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find(L"\r\n", start), text.size());
        const std::wstring line = text.substr(start, end - start);
        int n = -1;
        if (line.compare(0, head.size(), head) != 0 ||
            swscanf(line.c_str() + head.size(), L"line %d", &n) != 1 ||
            line.substr(head.size()) != NumberedMessage(n)) {
          n = -1;
        }
        numbers.push_back(n);
        start = end + 2;
      }
    }
    return numbers;
  }
  static std::vector<int> Numbers(int first, int count) {
    std::vector<int> numbers;
    for (int n = first; n < first + count; ++n) numbers.push_back(n);
    return numbers;
  }

  void MakeFolder() const {
    ASSERT_TRUE(CreateDirectoryW((root_ + L"\\Telvan").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root_ + L"\\Telvan\\QXLOGS").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((base_ + L"Group").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
  }
  // A logger for group "Group" and module kernel32.dll, initialised.
  std::unique_ptr<TestLogging> MakeLogger() const {
    auto logger = std::make_unique<TestLogging>(root_);
    EXPECT_EQ(logger->Initialize(L"Group", kernel32_, nullptr, nullptr), 0u);
    return logger;
  }

  std::wstring root_;
  std::wstring base_;
  std::wstring folder_;
  HMODULE kernel32_ = nullptr;
};

TEST_F(CLoggingTest, DefaultsWithoutLogIni) {
  auto logger = MakeLogger();
  EXPECT_EQ(logger->GetMaxSize(), 0x40000u);
  EXPECT_EQ(logger->GetMaxEntries(), 3u);
  EXPECT_EQ(logger->GetSeverity(), 3u);
  EXPECT_TRUE(logger->IsEnabled());
  EXPECT_EQ(logger->Register(), 0u);

  // The first write makes the folder tree and file 000 with the byte-order mark; the
  // index is not stored.
  EXPECT_FALSE(FileExists(folder_));
  ASSERT_EQ(logger->Write(L"C:\\src\\Widget.cpp", L"CWidget::Run", 42, 3, L"hello"), 0u);
  EXPECT_EQ(ReadLog(LogFile(0)),
            std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ hello\r\n");
  EXPECT_FALSE(FileExists(FolderIni()));
  EXPECT_FALSE(FileExists(RootIni()));

  // A second write appends.
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 4, L"second"), 0u);
  EXPECT_EQ(ReadLog(LogFile(0)), std::wstring(kStamp) +
                                     L" -- (Information)$ [   kernel32.dll]$ hello\r\n" + kStamp +
                                     L" -- (Error)$ [   kernel32.dll]$ second\r\n");

  std::wstring untouched = L"keep";
  logger->GetQualifiedName(untouched);
  logger->GetGroupName(untouched);
  EXPECT_EQ(untouched, L"keep");
}

TEST_F(CLoggingTest, GoldenLinesForEachOptionsBit) {
  const std::wstring pidTid =
      Format(L"[PID:%5lu TID:%5lu]$", GetCurrentProcessId(), GetCurrentThreadId());
  const std::wstring head = std::wstring(kStamp) + L" -- (Warning)$";
  const std::wstring functionField = L"[" + std::wstring(28, L' ') + L"CWidget::Run()]$";
  const struct {
    DWORD options;
    std::wstring fields;
  } cases[] = {
      {0x00, L""},
      {0x01, L""},
      {0x10, L" [   kernel32.dll]$"},
      {0x04, L" " + pidTid},
      {0x08, L" [          Widget.cpp:   42]$"},
      {0x20, L" " + functionField},
      {0x02 | 0x40 | 0x80, L""},
      {0x3D, L" [   kernel32.dll]$ " + pidTid + L" [          Widget.cpp:   42]$ " + functionField},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    DeleteTree(root_ + L"\\Telvan");
    MakeFolder();
    SetIniInt(FolderIni(), L"Options", static_cast<int>(c.options));
    auto logger = MakeLogger();
    ASSERT_EQ(logger->Write(L"C:\\src\\dir\\Widget.cpp", L"CWidget::Run", 42, 2, L"msg"), 0u);
    EXPECT_EQ(ReadLog(LogFile(0)), head + c.fields + L" msg\r\n");
  }
}

TEST_F(CLoggingTest, LevelNamesAndBadLevel) {
  auto logger = MakeLogger();
  const wchar_t* names[] = {L"Normal", L"Warning",  L"Information",
                            L"Error",  L"Critical", L"Information"};
  std::wstring expected;
  for (DWORD level = 1; level <= 6; ++level) {
    ASSERT_EQ(logger->Write(nullptr, nullptr, 0, level, L"m"), 0u);
    expected += std::wstring(kStamp) + L" -- (" + names[level - 1] + L")$ [   kernel32.dll]$ m\r\n";
  }
  EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 7, L"m"), 87u);
  EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 0, L"m"), 87u);
  EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 3, L""), 87u);
  EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 3, nullptr), 87u);
  EXPECT_EQ(ReadLog(LogFile(0)), expected);

  EXPECT_TRUE(logger->IsLevelEnabled(7));
  EXPECT_TRUE(logger->IsLevelEnabled(3));
  EXPECT_FALSE(logger->IsLevelEnabled(2));
  EXPECT_FALSE(logger->IsLevelEnabled(0));
}

TEST_F(CLoggingTest, FieldsAreCutToTheirWidthAndEmptyNamesLeaveTheirSpace) {
  MakeFolder();
  SetIniInt(FolderIni(), L"Options", 0x38);
  auto logger = MakeLogger();
  const std::wstring longFile = L"D:\\" + std::wstring(600, L'f') + L".cpp";
  const std::wstring longFunction = L"CLong::" + std::wstring(600, L'g');
  ASSERT_EQ(logger->Write(longFile.c_str(), longFunction.c_str(), 123456789, 3, L"a"), 0u);
  // Empty names give empty fields; the space before each field stays.
  ASSERT_EQ(logger->Write(nullptr, L"", 7, 3, L"b"), 0u);
  ASSERT_EQ(logger->Write(L"", nullptr, 7, 3, L"c"), 0u);
  const std::wstring head = std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$";
  EXPECT_EQ(ReadLog(LogFile(0)), head + L" [" + std::wstring(20, L'f') + L":123456789]$ [CLong::" +
                                     std::wstring(33, L'g') + L"()]$ a\r\n" + head + L"   b\r\n" +
                                     head + L"   c\r\n");
}

TEST_F(CLoggingTest, LongModuleNameIsCutToFifteen) {
  wchar_t path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  const std::wstring exe = wcsrchr(path, L'\\') + 1;
  ASSERT_GT(exe.size(), 15u);
  const std::wstring base = exe.substr(0, exe.rfind(L'.'));

  TestLogging logger(root_);
  ASSERT_EQ(logger.Initialize(nullptr, nullptr, L"HOSTX", nullptr), 0u);
  ASSERT_EQ(logger.Write(nullptr, nullptr, 0, 5, L"x"), 0u);
  // No group: the folder is the module base name under the base folder; the host joins
  // the file name.
  EXPECT_EQ(ReadLog(base_ + base + L"\\" + base + L"_HOSTX000.log"),
            std::wstring(kStamp) + L" -- (Critical)$ [" + exe.substr(0, 15) + L"]$ x\r\n");
}

TEST_F(CLoggingTest, MessageEndingInLineFeedGetsNoLineEnd) {
  auto logger = MakeLogger();
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"one\n"), 0u);
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"\n"), 0u);
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"two\r"), 0u);
  const std::wstring head = std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ ";
  EXPECT_EQ(ReadLog(LogFile(0)), head + L"one\n" + head + L"\n" + head + L"two\r\r\n");
}

TEST(CLoggingTimestamp, TwelveHourClock) {
  const struct {
    WORD hour;
    const wchar_t* text;
  } cases[] = {
      {0, L"12/31/1999 12:07:09 AM$"},  {1, L"12/31/1999 01:07:09 AM$"},
      {11, L"12/31/1999 11:07:09 AM$"}, {12, L"12/31/1999 12:07:09 PM$"},
      {13, L"12/31/1999 01:07:09 PM$"}, {23, L"12/31/1999 11:07:09 PM$"},
  };
  for (const auto& c : cases) {
    SYSTEMTIME time = {1999, 12, 5, 31, c.hour, 7, 9, 999};
    wchar_t text[64];
    CLogging::FormatTimestamp(time, text, _countof(text));
    EXPECT_STREQ(text, c.text) << c.hour;
  }
  SYSTEMTIME time = {2024, 1, 2, 2, 15, 4, 5, 0};
  wchar_t small[6];
  CLogging::FormatTimestamp(time, small, _countof(small));
  EXPECT_STREQ(small, L"01/02");
}

TEST_F(CLoggingTest, RealClockAppearsInTheLine) {
  SYSTEMTIME before;
  GetLocalTime(&before);
  // The default clock is local time.
  struct RealClock : TestLogging {
    using TestLogging::TestLogging;
    void GetLineTime(SYSTEMTIME* time) override { CLogging::GetLineTime(time); }
  } real(root_);
  ASSERT_EQ(real.Initialize(L"Group", kernel32_, nullptr, nullptr), 0u);
  ASSERT_EQ(real.Write(nullptr, nullptr, 0, 3, L"now"), 0u);
  const std::wstring text = ReadLog(LogFile(0));
  unsigned month = 0, day = 0, year = 0, hour = 0, minute = 0, second = 0;
  wchar_t half[3] = {};
  ASSERT_EQ(swscanf(text.c_str(), L"%2u/%2u/%4u %2u:%2u:%2u %2ls$ -- ", &month, &day, &year, &hour,
                    &minute, &second, half),
            7)
      << text;
  SYSTEMTIME after;
  GetLocalTime(&after);
  // The stamp is local time, taken between |before| and |after|.
  auto matches = [&](const SYSTEMTIME& t) {
    const unsigned hour12 = t.wHour % 12 == 0 ? 12 : t.wHour % 12;
    return year == t.wYear && month == t.wMonth && day == t.wDay && hour == hour12 &&
           std::wstring(half) == (t.wHour < 12 ? L"AM" : L"PM");
  };
  EXPECT_TRUE(matches(before) || matches(after)) << text;
}

// Natural rotation: lines of 4 KiB fill each 256 KiB file in 64 writes; after file 002
// the logger comes back to 000 and replaces it.
TEST_F(CLoggingTest, RotationCyclesThroughTheFilesAndBack) {
  auto logger = MakeLogger();
  const std::wstring big(2000, L'r');
  auto fill = [&](int writes) {
    for (int i = 0; i < writes; ++i)
      ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, big.c_str()), 0u);
  };
  // Stamp, " -- (Information)$ [   kernel32.dll]$ ", the message and "\r\n".
  const DWORD lineBytes =
      static_cast<DWORD>((std::wstring(kStamp).size() + 38 + big.size() + 2) * 2);
  const int perFile = static_cast<int>((0x40000 - 2 + lineBytes - 1) / lineBytes);

  fill(perFile);
  EXPECT_FALSE(FileExists(LogFile(1)));
  EXPECT_FALSE(GetIniInt(FolderIni(), L"LastLogIdx"));
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"first of 001"), 0u);
  EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 1);
  EXPECT_NE(ReadLog(LogFile(1)).find(L"first of 001"), std::wstring::npos);

  fill(perFile);
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"first of 002"), 0u);
  EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 2);

  fill(perFile);
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"back to 000"), 0u);
  EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 0);
  EXPECT_EQ(ReadLog(LogFile(0)),
            std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ back to 000\r\n");
  EXPECT_FALSE(FileExists(LogFile(3)));
}

TEST_F(CLoggingTest, FullFileRotatesToTheNextIndexReplacingAnOldFile) {
  MakeFolder();
  WriteFileOfSize(LogFile(0), 0x40000, 'a');  // at MaxSize
  WriteFileOfSize(LogFile(1), 0x50000, 'b');  // an old file of the next index
  auto logger = MakeLogger();
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"new"), 0u);
  EXPECT_EQ(ReadLog(LogFile(1)),
            std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ new\r\n");
  EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 1);
  EXPECT_EQ(ReadBytes(LogFile(0)).size(), 0x40000u);

  // Just below MaxSize: appended to.
  WriteFileOfSize(LogFile(2), 0x3FFFF, 'c');
  SetIniInt(FolderIni(), L"LastLogIdx", 2);
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"x"), 0u);
  EXPECT_GT(ReadBytes(LogFile(2)).size(), 0x3FFFFu);
  EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 2);
}

// A current file that cannot be opened is judged by its directory entry: a full one is
// left behind, one with room gives the open's error.
TEST_F(CLoggingTest, LockedCurrentFileIsJudgedByItsDirectoryEntry) {
  MakeFolder();
  WriteFileOfSize(LogFile(0), 0x40000, 'a');
  HANDLE locked =
      CreateFileW(LogFile(0).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  auto logger = MakeLogger();
  EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"moved on"), 0u);
  EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 1);
  EXPECT_NE(ReadLog(LogFile(1)).find(L"moved on"), std::wstring::npos);
  CloseHandle(locked);

  WriteFileOfSize(LogFile(1), 16, 'b');
  locked = CreateFileW(LogFile(1).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"refused"),
            static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(locked);
  EXPECT_EQ(ReadBytes(LogFile(1)), std::string(16, 'b'));
}

TEST_F(CLoggingTest, StoredIndexAtOrAboveMaxEntriesRestartsAtZero) {
  for (const int stored : {3, 5, 99, -1}) {
    SCOPED_TRACE(stored);
    DeleteTree(root_ + L"\\Telvan");
    MakeFolder();
    WriteFileOfSize(LogFile(0), 16, 'z');
    SetIniInt(FolderIni(), L"LastLogIdx", stored);
    auto logger = MakeLogger();
    ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"fresh"), 0u);
    EXPECT_EQ(ReadLog(LogFile(0)),
              std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ fresh\r\n");
    EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 0);
  }
}

TEST_F(CLoggingTest, DamagedOrPlainIndexReadsAsZero) {
  MakeFolder();
  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"LastLogIdx", L"2", FolderIni().c_str()));
  auto logger = MakeLogger();
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"plain"), 0u);
  EXPECT_TRUE(FileExists(LogFile(0)));
  EXPECT_FALSE(FileExists(LogFile(2)));
}

// The index is read again whenever another writer changed the folder log.ini.
TEST_F(CLoggingTest, IndexChangedBehindTheLoggersBackIsFollowed) {
  auto logger = MakeLogger();
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"a"), 0u);
  SetIniInt(FolderIni(), L"LastLogIdx", 2);
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"b"), 0u);
  SetIniInt(FolderIni(), L"LastLogIdx", 1);  // same file size as before
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"c"), 0u);
  DeleteFileW(FolderIni().c_str());
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"d"), 0u);
  const std::wstring head = std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ ";
  EXPECT_EQ(ReadLog(LogFile(0)), head + L"a\r\n" + head + L"d\r\n");
  EXPECT_EQ(ReadLog(LogFile(2)), head + L"b\r\n");
  EXPECT_EQ(ReadLog(LogFile(1)), head + L"c\r\n");
}

// Whatever shape the folder log.ini has, the index written when 000 is full reads back:
// no line is lost across the end of file 000.
TEST_F(CLoggingTest, EveryLineIsKeptAcrossTheEndOfFile000WithLogIniInEveryShape) {
  const int total = NumberedLinesPerFile() + 3;
  for (const auto& shape : testsupport::IniFileShapes(0)) {
    SCOPED_TRACE(shape.name);
    DeleteTree(root_ + L"\\Telvan");
    MakeFolder();
    ASSERT_TRUE(testsupport::WriteFileBytes(FolderIni(), shape.bytes));
    auto logger = MakeLogger();
    EXPECT_EQ(logger->GetMaxEntries(), 4u);  // read from the shape
    for (int n = 0; n < total; ++n) {
      ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, NumberedMessage(n).c_str()), 0u);
    }
    EXPECT_EQ(NumberedLines(3), Numbers(0, total));
    EXPECT_TRUE(FileExists(LogFile(1)));
    EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 1);
  }
}

// While "LastLogIdx" cannot be stored, the logger goes on with the index in memory, so no
// file written since is started anew, and says once why; the next store ends that.
TEST_F(CLoggingTest, IndexThatCannotBeStoredIsHeldInMemoryAndSaidOnce) {
  MakeFolder();
  SetIniInt(FolderIni(), L"LastLogIdx", 5);  // at or above MaxEntries: 000 is started anew
  auto logger = MakeLogger();
  const int perFile = NumberedLinesPerFile();
  const int held = 2 * perFile + 2;  // 000 and 001 filled, 002 begun
  {
    // Readers may open the file; it cannot be replaced (nor written in place) meanwhile.
    Basalt::UniqueFile holder(CreateFileW(FolderIni().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    for (int n = 0; n < held; ++n) {
      ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, NumberedMessage(n).c_str()), 0u);
    }
  }
  std::vector<int> expected = Numbers(0, held);
  expected.insert(expected.begin(), -1);  // the note, first line of 000
  EXPECT_EQ(NumberedLines(2), expected);
  EXPECT_EQ(ReadLog(LogFile(0))
                .find(std::wstring(kStamp) + L" -- (Error)$ [   kernel32.dll]$ " +
                      Format(kIndexNoteFormat, 0ul, FolderIni().c_str(),
                             static_cast<DWORD>(ERROR_ACCESS_DENIED)) +
                      L"\r\n"),
            0u);
  EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 5);

  // Once the file can be written, the rotation after 002 stores its index again.
  for (int n = held; n < held + perFile; ++n) {
    ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, NumberedMessage(n).c_str()), 0u);
  }
  EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 0);
  const std::vector<int> inNew000 = NumberedLines(0);
  EXPECT_FALSE(inNew000.empty());
  EXPECT_EQ(std::count(inNew000.begin(), inNew000.end(), -1), 0);  // a store that works is not said
  // And the stored index leads again: 001 is full, so the next line starts 002.
  SetIniInt(FolderIni(), L"LastLogIdx", 1);
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"follows the file"), 0u);
  EXPECT_NE(ReadLog(LogFile(2)).find(L"follows the file"), std::wstring::npos);
}

// Another program holding the folder log.ini open for writing keeps the logger from reading
// the index; the index it read last still holds, so the current file is not started anew.
TEST_F(CLoggingTest, IndexThatCannotBeReadForNowKeepsItsLastValue) {
  auto logger = MakeLogger();
  const int perFile = NumberedLinesPerFile();
  const int total = perFile + 4;
  for (int n = 0; n < perFile + 2; ++n) {  // 000 filled, 001 begun, its index stored
    ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, NumberedMessage(n).c_str()), 0u);
  }
  ASSERT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 1);
  {
    Basalt::UniqueFile editor(CreateFileW(FolderIni().c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(editor);
    Sleep(2 * 100);  // past the time a read of the index is trusted without a look
    for (int n = perFile + 2; n < total; ++n) {
      ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, NumberedMessage(n).c_str()), 0u);
    }
  }
  EXPECT_EQ(NumberedLines(2), Numbers(0, total));
}

// A logger that starts no file (it has never read the index, and the folder log.ini cannot be
// read now) adds the line to the file at hand, full as it is, rather than start the file
// after it anew over the lines it holds.
TEST_F(CLoggingTest, IndexNeverReadAndUnreadableNowStartsNoFileAnew) {
  MakeFolder();
  WriteFileOfSize(LogFile(0), 0x40000, 'a');
  WriteFileOfSize(LogFile(1), 0x40000, 'b');
  SetIniInt(FolderIni(), L"LastLogIdx", 2);
  Basalt::UniqueFile editor(CreateFileW(FolderIni().c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
  ASSERT_TRUE(editor);
  auto logger = MakeLogger();
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"kept"), 0u);
  const std::string second = ReadBytes(LogFile(1));
  EXPECT_TRUE(second == std::string(0x40000, 'b')) << "001 has " << second.size() << " bytes";
  const std::string first = ReadBytes(LogFile(0));
  EXPECT_TRUE(first.compare(0, 0x40000, std::string(0x40000, 'a')) == 0);
  const std::wstring line =
      std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ kept\r\n";
  EXPECT_EQ(first.substr(0x40000),
            std::string(reinterpret_cast<const char*>(line.data()), line.size() * 2));
}

// The folder removed between two lines (logs cleaned by hand) is made again for the second;
// when it cannot be made, the logger falls silent as after a failed first check.
TEST_F(CLoggingTest, FolderRemovedBetweenTwoLinesIsMadeAgain) {
  auto logger = MakeLogger();
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"before"), 0u);
  ASSERT_TRUE(FileExists(LogFile(0)));
  DeleteTree(base_ + L"Group");
  ASSERT_FALSE(FileExists(folder_));
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"after"), 0u);
  EXPECT_EQ(ReadLog(LogFile(0)),
            std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ after\r\n");
  EXPECT_TRUE(logger->IsLevelEnabled(3));

  DeleteTree(base_ + L"Group");
  WriteFileOfSize(base_ + L"Group", 4, 'f');  // in the folder's way
  EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"lost"), 87u);
  EXPECT_FALSE(logger->IsLevelEnabled(5));
}

// A short write (TRUE with fewer bytes written) fails the line, and what it wrote is cut off
// again; where the file's lock is held by someone else it cannot be, and the next line
// starts on a line of its own instead.
TEST_F(CLoggingTest, ShortWriteFailsTheLineAndTheNextLineStandsAlone) {
  const std::wstring head = std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ ";
  const std::wstring long_message(200, L'l');
  for (const bool lockHeldElsewhere : {false, true}) {
    SCOPED_TRACE(lockHeldElsewhere);
    DeleteTree(root_ + L"\\Telvan");
    auto logger = MakeLogger();
    ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"first"), 0u);
    HeldLogLock other(LogFile(0));
    if (!lockHeldElsewhere) other.Release();
    logger->WriteShortOnce(200, 78);
    EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 3, long_message.c_str()),
              static_cast<DWORD>(ERROR_DISK_FULL));
    ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"third"), 0u);
    const std::wstring piece = (head + long_message).substr(0, 39);
    EXPECT_EQ(ReadLog(LogFile(0)), lockHeldElsewhere
                                       ? head + L"first\r\n" + piece + L"\r\n" + head + L"third\r\n"
                                       : head + L"first\r\n" + head + L"third\r\n");
  }
}

// While another process holds the folder's lock, a full file is not left (nothing is started
// or stored without it): the lines go to it, and only the first waits for the lock. Once the
// lock is free, the next line starts the next file.
TEST_F(CLoggingTest, FolderLockHeldElsewhereStartsNothingAndStallsOneLine) {
  MakeFolder();
  WriteFileOfSize(LogFile(0), 0x40000, 'a');
  auto logger = MakeLogger();
  HeldLogLock other(folder_ + L"\\" + kLogLockFileName);
  ASSERT_TRUE(other.held());
  constexpr int kLines = 20;
  const ULONGLONG started = GetTickCount64();
  for (int n = 0; n < kLines; ++n) {
    ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, Format(L"held %02d", n).c_str()), 0u);
  }
  // One wait of half a second, not one per line.
  EXPECT_LT(GetTickCount64() - started, 5000u);
  EXPECT_FALSE(FileExists(LogFile(1)));
  EXPECT_EQ(ReadBytes(LogFile(0)).size(),
            0x40000u + kLines * (wcslen(kStamp) + 38 + 7 + 2) * sizeof(wchar_t));
  EXPECT_FALSE(GetIniInt(FolderIni(), L"LastLogIdx"));

  other.Release();
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"free"), 0u);
  EXPECT_EQ(ReadLog(LogFile(1)),
            std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ free\r\n");
  EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 1);
}

// Two loggers on one folder, A holding its index in memory (its store failed). B, finding the
// stored file full, takes A's new file over with A's lines in it rather than start it anew;
// once B has stored a later index, A follows it, though the file A held still has room by
// A's own larger size limit.
TEST_F(CLoggingTest, TwoLoggersWhileOneHoldsItsIndex) {
  MakeFolder();
  SetIniInt(FolderIni(), L"LastLogIdx", 0);
  WriteFileOfSize(LogFile(0), 0x80000, 'a');
  auto a = MakeLogger();
  auto b = MakeLogger();
  a->SetMaxSize(0x80000);
  {
    Basalt::UniqueFile holder(CreateFileW(FolderIni().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    ASSERT_EQ(a->Write(nullptr, nullptr, 0, 3, L"a holds 001"), 0u);
  }
  EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 0);
  ASSERT_EQ(b->Write(nullptr, nullptr, 0, 3, L"b joins 001"), 0u);
  EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 1);
  const std::wstring head = std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ ";
  const std::wstring in001 = ReadLog(LogFile(1));
  EXPECT_NE(in001.find(head + L"a holds 001\r\n" + head + L"b joins 001\r\n"), std::wstring::npos);
  // The note that A holds 1 opens the file.
  EXPECT_EQ(in001.find(std::wstring(kStamp) +
                       L" -- (Error)$ [   kernel32.dll]$ Cannot store LastLogIdx 1 "),
            0u);

  // B fills 001 by its limit of 256 KiB and goes on in 002.
  for (int n = 0; !FileExists(LogFile(2)); ++n) {
    ASSERT_LT(n, 100);
    ASSERT_EQ(b->Write(nullptr, nullptr, 0, 3, NumberedMessage(n).c_str()), 0u);
  }
  EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 2);
  Sleep(2 * 100);  // past the time a read of the index is trusted without a look
  ASSERT_EQ(a->Write(nullptr, nullptr, 0, 3, L"a follows"), 0u);
  EXPECT_NE(ReadLog(LogFile(2)).find(head + L"a follows\r\n"), std::wstring::npos);
  EXPECT_EQ(ReadLog(LogFile(1)).find(L"a follows"), std::wstring::npos);
}

// The copy of log.ini that a store writes is made anew under its name: a name put there
// beforehand (a link to another file) is not written through.
TEST_F(CLoggingTest, IndexStoreWritesNoFileThroughANameFoundInItsWay) {
  MakeFolder();
  WriteFileOfSize(LogFile(0), 0x40000, 'a');
  const std::wstring elsewhere = root_ + L"\\elsewhere.txt";
  WriteFileOfSize(elsewhere, 16, 'e');
  ASSERT_TRUE(CreateHardLinkW((folder_ + L"\\log.ini.tmp").c_str(), elsewhere.c_str(), nullptr));
  auto logger = MakeLogger();
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"next file"), 0u);
  EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 1);
  EXPECT_EQ(ReadBytes(elsewhere), std::string(16, 'e'));
}

TEST_F(CLoggingTest, SettingsFromFolderAndRootLogIni) {
  MakeFolder();
  SetIniInt(RootIni(), L"MaxSize", 0x80000);
  SetIniInt(RootIni(), L"MaxEntries", 7);
  SetIniInt(FolderIni(), L"MaxEntries", 9);  // the folder file wins
  SetIniInt(RootIni(), L"Severity", 0);
  SetIniInt(RootIni(), L"Enable", 0);
  ASSERT_TRUE(
      WritePrivateProfileStringW(L"Config", L"Options", L"0", FolderIni().c_str()));  // plain
  auto logger = MakeLogger();
  EXPECT_EQ(logger->GetMaxSize(), 0x80000u);
  EXPECT_EQ(logger->GetMaxEntries(), 9u);
  EXPECT_EQ(logger->GetSeverity(), 0u);
  EXPECT_FALSE(logger->IsEnabled());
  EXPECT_TRUE(logger->IsLevelEnabled(0));

  // Disabled: LogV writes nothing; Write still writes (its callers filter).
  EXPECT_EQ(logger->LogV(5, nullptr, nullptr, 0, L"%s", L"dropped"), 0u);
  EXPECT_FALSE(FileExists(LogFile(0)));
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"kept"), 0u);
  EXPECT_EQ(ReadLog(LogFile(0)),
            std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ kept\r\n");
}

// A value out of range is rewritten with its default in the file that holds it; a valid
// root value is still used after a bad folder value.
TEST_F(CLoggingTest, OutOfRangeValueIsRewrittenWithItsDefault) {
  const struct {
    const wchar_t* name;
    int folderValue;
    std::optional<int> rootValue;
    DWORD folderAfter;
    std::optional<int> rootAfter;
    DWORD applied;  // what the getter reports
  } cases[] = {
      {L"MaxEntries", 1, std::nullopt, 3, std::nullopt, 3},
      {L"MaxEntries", 1, 7, 3, 7, 7},
      {L"MaxEntries", 101, 0, 3, 3, 3},
      {L"MaxSize", 0x3FFFF, std::nullopt, 0x40000, std::nullopt, 0x40000},
      {L"MaxSize", 0xA00001, 0xA00000, 0x40000, 0xA00000, 0xA00000},
      {L"Severity", 7, std::nullopt, 3, std::nullopt, 3},
      {L"Severity", -1, 5, 3, 5, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << std::string(c.name, c.name + wcslen(c.name)) << " " << c.folderValue);
    DeleteTree(root_ + L"\\Telvan");
    MakeFolder();
    SetIniInt(FolderIni(), c.name, c.folderValue);
    if (c.rootValue) SetIniInt(RootIni(), c.name, *c.rootValue);
    auto logger = MakeLogger();
    EXPECT_EQ(GetIniInt(FolderIni(), c.name), static_cast<int>(c.folderAfter));
    EXPECT_EQ(GetIniInt(RootIni(), c.name), c.rootAfter);
    const DWORD applied = wcscmp(c.name, L"MaxEntries") == 0 ? logger->GetMaxEntries()
                          : wcscmp(c.name, L"MaxSize") == 0  ? logger->GetMaxSize()
                                                             : logger->GetSeverity();
    EXPECT_EQ(applied, c.applied);
  }
}

// When the rewrite fails, that setting keeps its default and the root file is not asked;
// the other settings are still read. The folder log.ini is held open without write sharing:
// a read-only attribute does not stop a writer with administrator rights everywhere.
TEST_F(CLoggingTest, FailedRewriteLeavesTheSettingAtItsDefault) {
  MakeFolder();
  SetIniInt(FolderIni(), L"MaxEntries", 1);
  SetIniInt(FolderIni(), L"Severity", 5);
  SetIniInt(RootIni(), L"MaxEntries", 7);
  {
    Basalt::UniqueFile reader(CreateFileW(FolderIni().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    auto logger = MakeLogger();
    EXPECT_EQ(logger->GetMaxEntries(), kLogDefaultMaxEntries);
    EXPECT_EQ(logger->GetSeverity(), 5u);
  }
  EXPECT_EQ(GetIniInt(FolderIni(), L"MaxEntries"), 1);
}

TEST(CLoggingSettings, ValidityAndClamps) {
  EXPECT_FALSE(CLogging::IsValidSetting(L"", 1));
  EXPECT_FALSE(CLogging::IsValidSetting(nullptr, 1));
  EXPECT_TRUE(CLogging::IsValidSetting(L"maxsize", 0x40000));
  EXPECT_FALSE(CLogging::IsValidSetting(L"MAXSIZE", 0xA00001));
  EXPECT_TRUE(CLogging::IsValidSetting(L"MaxEntries", 100));
  EXPECT_FALSE(CLogging::IsValidSetting(L"maxentries", 1));
  EXPECT_TRUE(CLogging::IsValidSetting(L"Severity", 6));
  EXPECT_FALSE(CLogging::IsValidSetting(L"severity", 7));
  EXPECT_TRUE(CLogging::IsValidSetting(L"Options", 0xFFFFFFFF));
  EXPECT_TRUE(CLogging::IsValidSetting(L"Enable", 0));

  CLogging logger;
  const struct {
    DWORD in, entries, size;
  } clamps[] = {
      {0, 2, 0x40000}, {50, 50, 0x40000}, {0x80000, 100, 0x80000}, {0xFFFFFFFF, 100, 0xA00000}};
  for (const auto& c : clamps) {
    logger.SetMaxEntries(c.in);
    logger.SetMaxSize(c.in);
    EXPECT_EQ(logger.GetMaxEntries(), c.entries) << c.in;
    EXPECT_EQ(logger.GetMaxSize(), c.size) << c.in;
  }

  const DWORD saved = GetProcessSeverity();
  logger.SetSeverity(3);
  const struct {
    DWORD in, severity;
  } severities[] = {{0, 1}, {4, 4}, {6, 6}, {7, 6}, {10000, 6}, {1, 1}};
  DWORD previous = 3;
  for (const auto& s : severities) {
    EXPECT_EQ(logger.SetSeverity(s.in), previous) << s.in;
    EXPECT_EQ(logger.GetSeverity(), s.severity);
    EXPECT_EQ(GetProcessSeverity(), s.severity);
    previous = s.severity;
  }
  ExchangeProcessSeverity(saved);
}

TEST_F(CLoggingTest, UncreatableFolderSilencesTheLogger) {
  // A file where the "Telvan" folder should be: the tree cannot be made.
  WriteFileOfSize(root_ + L"\\Telvan", 4, 'f');
  TestLogging logger(root_);
  ASSERT_EQ(logger.Initialize(L"Group", kernel32_, nullptr, nullptr), 0u);
  EXPECT_TRUE(logger.IsLevelEnabled(5));
  EXPECT_EQ(logger.Write(nullptr, nullptr, 0, 5, L"lost"), 87u);
  for (DWORD level = 0; level <= 7; ++level) EXPECT_FALSE(logger.IsLevelEnabled(level)) << level;
  EXPECT_FALSE(logger.IsEnabled());

  // Silent until Reset, even once the obstacle is gone.
  DeleteFileW((root_ + L"\\Telvan").c_str());
  EXPECT_EQ(logger.Write(nullptr, nullptr, 0, 5, L"still lost"), 87u);
  EXPECT_FALSE(FileExists(folder_));
  ASSERT_EQ(logger.Uninitialize(), 0u);
  ASSERT_EQ(logger.Initialize(L"Group", kernel32_, nullptr, nullptr), 0u);
  EXPECT_EQ(logger.Write(nullptr, nullptr, 0, 5, L"back"), 0u);
  EXPECT_TRUE(FileExists(LogFile(0)));
}

TEST_F(CLoggingTest, InitializeAndUninitializeResults) {
  TestLogging logger(root_);
  // A write before Initialize is refused without spoiling the folder check.
  EXPECT_EQ(logger.Write(nullptr, nullptr, 0, 3, L"early"), 87u);
  EXPECT_EQ(logger.Uninitialize(), 20002u);
  EXPECT_EQ(logger.Initialize(L"", kernel32_, nullptr, nullptr), 87u);
  EXPECT_EQ(logger.Initialize(L"Group", kernel32_, L"", nullptr), 87u);
  ASSERT_EQ(logger.Initialize(L"Group", kernel32_, nullptr, nullptr), 0u);
  EXPECT_EQ(logger.Initialize(L"Group", kernel32_, nullptr, nullptr), 20001u);
  EXPECT_EQ(logger.Write(nullptr, nullptr, 0, 3, L"ok"), 0u);
  EXPECT_TRUE(FileExists(LogFile(0)));
  logger.SetMaxEntries(50);
  EXPECT_EQ(logger.Uninitialize(), 0u);
  EXPECT_EQ(logger.GetMaxEntries(), 3u);  // Reset restored the defaults
  EXPECT_EQ(logger.Uninitialize(), 20002u);
  EXPECT_EQ(logger.Write(nullptr, nullptr, 0, 3, L"late"), 87u);

  // A ProgramData path that does not fit its buffer fails Initialize.
  TestLogging tooLong(std::wstring(300, L'p'));
  EXPECT_EQ(tooLong.Initialize(L"Group", kernel32_, nullptr, nullptr), 87u);
  EXPECT_EQ(tooLong.Uninitialize(), 20002u);
}

TEST(CLoggingProgramData, RealFolder) {
  CLogging logger;
  wchar_t path[MAX_PATH];
  ASSERT_EQ(logger.GetProgramDataPath(path, MAX_PATH), 0u);
  EXPECT_EQ(_wcsicmp(path, L"C:\\ProgramData"), 0) << path;
  wchar_t small[4];
  EXPECT_EQ(logger.GetProgramDataPath(small, _countof(small)), 80u);
  EXPECT_STREQ(small, L"C:\\");
  EXPECT_EQ(logger.GetProgramDataPath(nullptr, MAX_PATH), 87u);
  EXPECT_EQ(logger.GetProgramDataPath(small, 0), 87u);
}

TEST_F(CLoggingTest, LogVFiltersAndCutsLongMessages) {
  auto logger = MakeLogger();
  EXPECT_EQ(logger->LogV(2, nullptr, nullptr, 0, L"%s", L"below"), 0u);
  EXPECT_FALSE(FileExists(LogFile(0)));
  const std::wstring huge(5000, L'h');
  ASSERT_EQ(logger->LogV(3, nullptr, nullptr, 0, L"%s %d", huge.c_str(), 5), 0u);
  ASSERT_EQ(logger->LogError(nullptr, nullptr, 0, L"%hs=%u", "narrow", 7u), 0u);
  const std::wstring head = std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ ";
  EXPECT_EQ(ReadLog(LogFile(0)), head + std::wstring(4159, L'h') + L"\r\n" + std::wstring(kStamp) +
                                     L" -- (Error)$ [   kernel32.dll]$ narrow=7\r\n");
}

TEST_F(CLoggingTest, ReleaseDeletesWhenTheCountDropsToZero) {
  bool deleted = false;
  auto* logger = new TestLogging(root_, &deleted);
  EXPECT_EQ(logger->AddRef(), 1u);
  EXPECT_EQ(logger->AddRef(), 2u);
  EXPECT_EQ(logger->Release(), 1u);
  EXPECT_FALSE(deleted);
  EXPECT_EQ(logger->Release(), 0u);
  EXPECT_TRUE(deleted);
}

// Bit 0x01 sends the finished line to the debugger output too.
LONG CALLBACK CaptureDebugOutput(EXCEPTION_POINTERS* info);
std::vector<std::wstring>* g_debugLines = nullptr;
LONG CALLBACK CaptureDebugOutput(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (g_debugLines && record->NumberParameters >= 2) {
    if (record->ExceptionCode == 0x4001000A /* DBG_PRINTEXCEPTION_WIDE_C */) {
      g_debugLines->emplace_back(reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]));
      return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C) {
      const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
      g_debugLines->emplace_back(text, text + strlen(text));
      return EXCEPTION_CONTINUE_EXECUTION;
    }
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

TEST_F(CLoggingTest, DebugOutputBit) {
  MakeFolder();
  SetIniInt(FolderIni(), L"Options", 0x11);
  auto logger = MakeLogger();
  std::vector<std::wstring> lines;
  g_debugLines = &lines;
  PVOID handler = AddVectoredExceptionHandler(1, CaptureDebugOutput);
  const DWORD result = logger->Write(nullptr, nullptr, 0, 3, L"to debugger");
  RemoveVectoredExceptionHandler(handler);
  g_debugLines = nullptr;
  ASSERT_EQ(result, 0u);
  const std::wstring line =
      std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ to debugger\r\n";
  EXPECT_EQ(ReadLog(LogFile(0)), line);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), line);
}

TEST_F(CLoggingTest, SuppliedMutexIsTakenAndReleased) {
  auto logger = MakeLogger();
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_NE(mutex, nullptr);
  HANDLE copy = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), mutex, GetCurrentProcess(), &copy, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  logger->SetMutex(mutex);
  ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"locked"), 0u);
  DWORD wait = 0;
  std::thread([&] {
    wait = WaitForSingleObject(copy, 0);
    if (wait == WAIT_OBJECT_0) ReleaseMutex(copy);
  }).join();
  EXPECT_EQ(wait, WAIT_OBJECT_0);
  CloseHandle(copy);
}

// 16 threads on one logger: every line lands once and whole, across a file rotation.
TEST_F(CLoggingTest, SixteenThreadsWriteWholeLines) {
  auto logger = MakeLogger();
  constexpr int kThreads = 16;
  constexpr int kLines = 100;
  const std::wstring pad(60, L'.');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        const std::wstring message = Format(L"thread %02d line %04d %s", t, i, pad.c_str());
        EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 3, message.c_str()), 0u);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::wstring all;
  for (DWORD index = 0; index < 3; ++index) {
    if (FileExists(LogFile(index))) all += ReadLog(LogFile(index));
  }
  const std::wstring head = std::wstring(kStamp) + L" -- (Information)$ [   kernel32.dll]$ ";
  std::set<std::pair<int, int>> seen;
  size_t start = 0;
  while (start < all.size()) {
    const size_t end = all.find(L"\r\n", start);
    ASSERT_NE(end, std::wstring::npos);
    const std::wstring line = all.substr(start, end - start);
    start = end + 2;
    ASSERT_EQ(line.compare(0, head.size(), head), 0)
        << "interleaved: " << std::string(line.begin(), line.end());
    int t = -1, i = -1;
    ASSERT_EQ(swscanf(line.c_str() + head.size(), L"thread %d line %d", &t, &i), 2);
    ASSERT_EQ(line.substr(head.size()), Format(L"thread %02d line %04d %s", t, i, pad.c_str()));
    EXPECT_TRUE(seen.emplace(t, i).second) << "twice: " << t << " " << i;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
  EXPECT_EQ(GetIniInt(FolderIni(), L"LastLogIdx"), 1);  // 1600 lines of 286 bytes: one rotation
}

}  // namespace
}  // namespace ETWLogging
