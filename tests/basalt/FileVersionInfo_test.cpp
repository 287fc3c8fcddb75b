// ctest-lock: drive-root-kernel32
#include "basalt/FileVersionInfo.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Basalt::FileVersionInfo;
using Basalt::ShlObjAPI;
using Basalt::SystemFileVersionInfo;

std::wstring SystemDirectory() {
  wchar_t buffer[MAX_PATH] = {};
  return std::wstring(buffer, GetSystemDirectoryW(buffer, MAX_PATH));
}

std::wstring WindowsDirectory() {
  wchar_t buffer[MAX_PATH] = {};
  return std::wstring(buffer, GetWindowsDirectoryW(buffer, MAX_PATH));
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// --- A version resource written by hand, so the lookup rules can be shown on a real file.

using Bytes = std::vector<BYTE>;

void Align4(Bytes& bytes) {
  while (bytes.size() % 4 != 0) bytes.push_back(0);
}

void Append(Bytes& bytes, const void* data, size_t size) {
  const BYTE* begin = static_cast<const BYTE*>(data);
  bytes.insert(bytes.end(), begin, begin + size);
}

// One node: wLength, wValueLength, wType, key, value and children, each 32-bit aligned.
Bytes Node(const std::wstring& key, WORD type, const void* value, size_t valueBytes,
           WORD valueLength, const std::vector<Bytes>& children = {}) {
  Bytes node(6, 0);
  Append(node, key.c_str(), (key.size() + 1) * sizeof(wchar_t));
  Align4(node);
  Append(node, value, valueBytes);
  for (const Bytes& child : children) {
    Align4(node);
    Append(node, child.data(), child.size());
  }
  const WORD header[3] = {static_cast<WORD>(node.size()), valueLength, type};
  std::memcpy(node.data(), header, sizeof(header));
  return node;
}

Bytes String(const std::wstring& key, const std::wstring& text) {
  return Node(key, 1, text.c_str(), (text.size() + 1) * sizeof(wchar_t),
              static_cast<WORD>(text.size() + 1));
}

Bytes StringTable(const std::wstring& languageAndCodePage, const std::vector<Bytes>& strings) {
  return Node(languageAndCodePage, 1, nullptr, 0, 0, strings);
}

struct Translation {
  WORD language, codePage;
};

// |translations| null: no VarFileInfo at all.
Bytes VersionResource(const std::vector<Bytes>& tables,
                      const std::vector<Translation>* translations) {
  VS_FIXEDFILEINFO fixed = {};
  fixed.dwSignature = 0xFEEF04BD;
  fixed.dwStrucVersion = 0x00010000;
  std::vector<Bytes> children = {Node(L"StringFileInfo", 1, nullptr, 0, 0, tables)};
  if (translations != nullptr) {
    const size_t bytes = translations->size() * sizeof(Translation);
    children.push_back(
        Node(L"VarFileInfo", 1, nullptr, 0, 0,
             {Node(L"Translation", 0, translations->data(), bytes, static_cast<WORD>(bytes))}));
  }
  return Node(L"VS_VERSION_INFO", 0, &fixed, sizeof(fixed), sizeof(fixed), children);
}

// Scratch files: copies of this exe (which has no version resource) under the temp folder.
class VersionFileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::wstring& file : files_) DeleteFileW(file.c_str());
  }

  std::wstring CopyOfSelf() {
    wchar_t self[MAX_PATH] = {}, temp[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"b1_fvi_" +
                              std::to_wstring(GetCurrentProcessId()) + L"_" +
                              std::to_wstring(files_.size()) + L".exe";
    EXPECT_TRUE(CopyFileW(self, path.c_str(), FALSE));
    files_.push_back(path);
    return path;
  }

  std::wstring FileWithResource(const Bytes& resource) {
    const std::wstring path = CopyOfSelf();
    const HANDLE update = BeginUpdateResourceW(path.c_str(), FALSE);
    EXPECT_NE(update, nullptr);
    EXPECT_TRUE(UpdateResourceW(
        update, RT_VERSION, MAKEINTRESOURCEW(1), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
        const_cast<BYTE*>(resource.data()), static_cast<DWORD>(resource.size())));
    EXPECT_TRUE(EndUpdateResourceW(update, FALSE));
    return path;
  }

  std::vector<std::wstring> files_;
};

TEST(FileVersionInfoReal, ReadsKernel32Strings) {
  FileVersionInfo info;
  EXPECT_EQ(info.GetString(L"ProductVersion"), L"") << "nothing loaded yet";
  ASSERT_TRUE(info.Load((SystemDirectory() + L"\\kernel32.dll").c_str()));
  EXPECT_EQ(info.GetString(L"ProductVersion").rfind(L"10.0.18362", 0), 0u)
      << info.GetString(L"ProductVersion").c_str();
  EXPECT_TRUE(SamePath(info.GetString(L"OriginalFilename"), L"kernel32.dll"));
  EXPECT_EQ(info.GetString(L"NoSuchName"), L"");
  EXPECT_EQ(info.GetString(nullptr), L"");
}

TEST(FileVersionInfoReal, SecondLoadKeepsTheFirstBlock) {
  FileVersionInfo info;
  ASSERT_TRUE(info.Load((SystemDirectory() + L"\\kernel32.dll").c_str()));
  EXPECT_FALSE(info.Load((SystemDirectory() + L"\\advapi32.dll").c_str()));
  EXPECT_FALSE(info.Load((SystemDirectory() + L"\\kernel32.dll").c_str()));
  EXPECT_TRUE(SamePath(info.GetString(L"OriginalFilename"), L"kernel32.dll"));
}

TEST_F(VersionFileTest, MissingFileOrResourceLoadsNothing) {
  const std::wstring noResource = CopyOfSelf();
  const std::wstring missing = SystemDirectory() + L"\\b1_no_such_file.dll";
  for (const wchar_t* path : {noResource.c_str(), missing.c_str(), L"", (const wchar_t*)nullptr}) {
    FileVersionInfo info;
    EXPECT_FALSE(info.Load(path)) << (path ? path : L"null");
    EXPECT_EQ(info.GetString(L"ProductVersion"), L"");
  }
}

TEST_F(VersionFileTest, LooksUpNamesInTranslationOrder) {
  // The block lists the German table first; the translation table puts English first.
  const std::vector<Translation> translations = {{0x0409, 0x04B0}, {0x0407, 0x04E4}};
  const Bytes resource = VersionResource(
      {StringTable(L"040704E4", {String(L"FileDescription", L"zweite"),
                                 String(L"Comments", L"only in the second")}),
       StringTable(L"040904B0",
                   {String(L"FileDescription", L"first"), String(L"ProductVersion", L"1.2.3.4")})},
      &translations);
  FileVersionInfo info;
  ASSERT_TRUE(info.Load(FileWithResource(resource).c_str()));
  EXPECT_EQ(info.GetString(L"FileDescription"), L"first");
  EXPECT_EQ(info.GetString(L"Comments"), L"only in the second");
  EXPECT_EQ(info.GetString(L"ProductVersion"), L"1.2.3.4");
  EXPECT_EQ(info.GetString(L"CompanyName"), L"");
}

TEST_F(VersionFileTest, NoOrEmptyTranslationTableFindsNothing) {
  const std::vector<Bytes> tables = {
      StringTable(L"040904B0", {String(L"ProductVersion", L"1.2.3.4")})};
  const std::vector<Translation> none;
  for (const std::vector<Translation>* translations :
       {(const std::vector<Translation>*)nullptr, &none}) {
    FileVersionInfo info;
    ASSERT_TRUE(info.Load(FileWithResource(VersionResource(tables, translations)).c_str()));
    EXPECT_EQ(info.GetString(L"ProductVersion"), L"");
  }
}

// Known-folder call that answers from a script and counts its calls.
class FakeShlObjAPI : public ShlObjAPI {
 public:
  HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token,
                               PWSTR* path) override {
    ++calls;
    lastFolderWasSystem = IsEqualGUID(folderId, FOLDERID_System) && flags == 0 && token == nullptr;
    *path = nullptr;
    if (answer != nullptr) {
      const size_t bytes = (wcslen(answer) + 1) * sizeof(wchar_t);
      *path = static_cast<PWSTR>(CoTaskMemAlloc(bytes));
      std::memcpy(*path, answer, bytes);
    }
    return result;
  }
  HRESULT result = E_FAIL;
  const wchar_t* answer = nullptr;  // null: no path comes back
  int calls = 0;
  bool lastFolderWasSystem = false;
};

TEST(SystemFileVersionInfoTest, ReadsKernel32FromTheSystemFolder) {
  SystemFileVersionInfo info(nullptr);
  EXPECT_TRUE(SamePath(info.GetSystemFolder(), SystemDirectory() + L"\\"));
  ASSERT_TRUE(info.Load(L"kernel32.dll"));
  EXPECT_EQ(info.GetString(L"ProductVersion").rfind(L"10.0.18362", 0), 0u);
  EXPECT_FALSE(info.Load(nullptr));
}

TEST(SystemFileVersionInfoTest, UnknownSystemFolderReadsNothingAndIsAskedAgain) {
  const auto shell = std::make_shared<FakeShlObjAPI>();
  SystemFileVersionInfo info(shell);

  // Failures: a failed call (even one that returned a path), a success without a path and
  // one with an empty path (which would also mean the drive root).
  struct Step {
    HRESULT result;
    const wchar_t* answer;
  } failures[] = {{E_FAIL, nullptr}, {E_FAIL, L"C:\\ignored"}, {S_OK, nullptr}, {S_OK, L""}};
  for (const Step& step : failures) {
    shell->result = step.result;
    shell->answer = step.answer;
    EXPECT_EQ(info.GetSystemFolder(), L"\\");
  }
  EXPECT_EQ(shell->calls, 4);
  EXPECT_TRUE(shell->lastFolderWasSystem);

  // Not read as "\kernel32.dll" at the root of the current drive, even when one is there.
  const bool placed =
      CopyFileW((SystemDirectory() + L"\\kernel32.dll").c_str(), L"\\kernel32.dll", TRUE) != FALSE;
  shell->result = E_FAIL;
  shell->answer = nullptr;
  EXPECT_FALSE(info.Load(L"kernel32.dll"));
  shell->result = S_OK;
  shell->answer = L"";
  EXPECT_FALSE(info.Load(L"kernel32.dll"));
  if (placed) DeleteFileW(L"\\kernel32.dll");
  EXPECT_TRUE(placed) << "no decoy at the drive root";
  EXPECT_EQ(shell->calls, 6);

  const std::wstring system = SystemDirectory();
  shell->result = S_OK;
  shell->answer = system.c_str();
  EXPECT_EQ(info.GetSystemFolder(), system + L"\\");
  shell->result = E_FAIL;
  EXPECT_EQ(info.GetSystemFolder(), system + L"\\") << "found folder not kept";
  ASSERT_TRUE(info.Load(L"kernel32.dll"));
  EXPECT_EQ(shell->calls, 7);
}

TEST(KnownFolders, RealLookups) {
  ShlObjAPI shell;
  struct Case {
    const KNOWNFOLDERID* id;
    std::wstring expect;  // empty: any existing folder
  } cases[] = {
      {&FOLDERID_System, SystemDirectory()},
      {&FOLDERID_Windows, WindowsDirectory()},
      {&FOLDERID_ProgramData, L""},
      {&FOLDERID_ProgramFilesCommon, L""},
  };
  for (const Case& c : cases) {
    PWSTR path = nullptr;
    ASSERT_EQ(shell.SHGetKnownFolderPath(*c.id, 0, nullptr, &path), S_OK);
    ASSERT_NE(path, nullptr);
    if (!c.expect.empty()) {
      EXPECT_TRUE(SamePath(path, c.expect)) << path;
    } else {
      const DWORD attributes = GetFileAttributesW(path);
      EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES) << path;
    }
    CoTaskMemFree(path);
  }
  const KNOWNFOLDERID unknown = {0x1234, 0x5678, 0x9abc, {1, 2, 3, 4, 5, 6, 7, 8}};
  PWSTR path = nullptr;
  EXPECT_TRUE(FAILED(shell.SHGetKnownFolderPath(unknown, 0, nullptr, &path)));
  CoTaskMemFree(path);
}

}  // namespace
