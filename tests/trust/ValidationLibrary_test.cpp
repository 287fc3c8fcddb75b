// ctest-lock: trusted-list
// Finding, verifying and loading the code-validation library (a test double signed by the
// build). The component's key is the machine's own: WinVerifyTrust and the root store need
// the real HKEY_LOCAL_MACHINE, so it cannot be redirected; the key is removed afterwards.
#include "trust/ValidationLibrary.h"

#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "TrustTestSupport.h"
#include "basalt/UniqueHandle.h"
#include "trust/CodeTrust.h"

namespace {

using trust_test::Fixture;

class VerifierFromRegistry : public CCodeTrustVerifier {
 public:
  VerifierFromRegistry() = default;
};

class ValidationLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveBaseFrameKey();
    GetCurrentDirectoryW(MAX_PATH, savedDirectory_);
    SetEnvironmentVariableW(L"FAKE_KCV_STATUS", nullptr);
    SetEnvironmentVariableW(L"FAKE_KCV_TRUST", nullptr);
    SetEnvironmentVariableW(L"FAKE_KCV_NO_V2", nullptr);
  }
  void TearDown() override {
    SetCurrentDirectoryW(savedDirectory_);
    RemoveBaseFrameKey();
  }
  static void RemoveBaseFrameKey() {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Telvan\\BaseFrame", KEY_WOW64_32KEY, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Telvan", KEY_WOW64_32KEY, 0);  // if empty
  }
  void SetBaseFrame(const wchar_t* name, const std::wstring& value) {
    Basalt::UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Telvan\\BaseFrame", 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
        ERROR_SUCCESS);
  }
  wchar_t savedDirectory_[MAX_PATH] = {};
};

TEST_F(ValidationLibrary, InstallFolderPath) {
  wchar_t buffer[262];
  EXPECT_FALSE(GetBaseFrameInstallDir(false, L"qxkcva.dll", buffer, 262));  // no key
  SetBaseFrame(L"szInstallDir64", L"C:\\BaseFrame");
  SetBaseFrame(L"szInstallDir32", L"C:\\BaseFrame32\\");
  ASSERT_TRUE(GetBaseFrameInstallDir(false, L"qxkcva.dll", buffer, 262));
  EXPECT_STREQ(buffer, L"C:\\BaseFrame\\qxkcva.dll");
  ASSERT_TRUE(GetBaseFrameInstallDir(true, L"qxkcva.dll", buffer, 262));
  EXPECT_STREQ(buffer, L"C:\\BaseFrame32\\\\qxkcva.dll");  // a trailing "\" gets a second one
  ASSERT_TRUE(GetBaseFrameInstallDir(false, nullptr, buffer, 262));
  EXPECT_STREQ(buffer, L"C:\\BaseFrame\\");
  // A path that does not fit is never cut short into another file's name.
  EXPECT_FALSE(GetBaseFrameInstallDir(false, L"qxkcva.dll", buffer, 20));
  SetBaseFrame(L"szInstallDir64", std::wstring(255, L'a'));
  EXPECT_FALSE(GetBaseFrameInstallDir(false, L"qxkcva.dll", buffer, 262));
  SetBaseFrame(L"szInstallDir64", L"");
  EXPECT_FALSE(GetBaseFrameInstallDir(false, L"qxkcva.dll", buffer, 262));
}

TEST_F(ValidationLibrary, LoadsOnlyAVerifiedLibrary) {
  const struct {
    const wchar_t* folder;
    bool loads;
  } cases[] = {
      {L"validator", true}, {L"validator_tampered", false}, {L"validator_unsigned", false}};
  for (const auto& c : cases) {
    SetBaseFrame(L"szInstallDir64", Fixture(c.folder));
    void* out = reinterpret_cast<void*>(1);
    const DWORD result =
        NotComDllGetInterface(L"qxkcva.dll", "KcvValidationControl2", &out, nullptr);
    if (c.loads) {
      EXPECT_EQ(result, 0u) << c.folder;
      EXPECT_NE(out, nullptr);
    } else {
      EXPECT_NE(result, 0u) << c.folder;
      EXPECT_EQ(out, reinterpret_cast<void*>(1)) << c.folder;  // nothing loaded, nothing set
    }
  }
}

TEST_F(ValidationLibrary, FallsBackToTheCurrentFolderThenBesideTheModule) {
  void* out = nullptr;
  // No key: the current folder.
  ASSERT_TRUE(SetCurrentDirectoryW(Fixture(L"validator").c_str()));
  EXPECT_EQ(NotComDllGetInterface(L"qxkcva.dll", "KcvValidationControl", &out, nullptr), 0u);
  EXPECT_NE(out, nullptr);
  // Not in the current folder: beside the given module.
  ASSERT_TRUE(SetCurrentDirectoryW(Fixture(L"").c_str()));
  Basalt::UniqueModule beside(LoadLibraryW(Fixture(L"validator\\qxkcva.dll").c_str()));
  ASSERT_TRUE(beside);
  out = nullptr;
  EXPECT_EQ(NotComDllGetInterface(L"qxkcva.dll", "KcvValidationControl", &out, beside.get()), 0u);
  EXPECT_NE(out, nullptr);
  // Nowhere.
  EXPECT_NE(NotComDllGetInterface(L"qxkcva.dll", "KcvValidationControl", &out, nullptr), 0u);
}

// A folder of exactly |length| characters below |base| (made of nested parts).
std::wstring MakeFolderOfLength(const std::wstring& base, size_t length) {
  std::wstring folder = base;
  while (folder.size() < length) {
    const size_t part = std::min<size_t>(100, length - folder.size() - 1);
    folder += L"\\" + std::wstring(part, L'f');
    CreateDirectoryW(folder.c_str(), nullptr);
  }
  return folder;
}

TEST_F(ValidationLibrary, LongCurrentFolderJoinsFolderAndName) {
  // At 265, folder + "\" + name needs more than name + 262 characters; 320 is more than
  // the first request for the folder can take.
  for (size_t length : {265u, 320u}) {
    const std::wstring scratch = trust_test::MakeScratchFolder(L"cwd");
    const std::wstring folder = MakeFolderOfLength(scratch, length);
    ASSERT_EQ(folder.size(), length);
    if (!CopyFileW(Fixture(L"validator\\qxkcva.dll").c_str(), (folder + L"\\qxkcva.dll").c_str(),
                   FALSE) ||
        !SetCurrentDirectoryW(folder.c_str())) {
      trust_test::RemoveTree(scratch);
      GTEST_SKIP() << "no current folder of " << length << " characters on this platform";
    }
    VerifiedLibraryLoad record;
    record.library = L"qxkcva.dll";
    EXPECT_EQ(LoadVerifiedLibrary(&record), 0u) << length;
    ASSERT_NE(record.module, nullptr) << length;
    EXPECT_EQ(std::wstring(record.path.get()), folder + L"\\qxkcva.dll");
    FreeLibrary(record.module);
    SetCurrentDirectoryW(savedDirectory_);
    trust_test::RemoveTree(scratch);
  }
}

TEST_F(ValidationLibrary, LoadsExactlyTheFileThatWasVerified) {
  const std::wstring scratch = trust_test::MakeScratchFolder(L"exact");
  // "lib" without extension is the signed validator; the loader's default would append
  // ".dll" and load "lib.dll", a signed library without the export.
  const std::wstring bare = scratch + L"\\lib";
  ASSERT_TRUE(CopyFileW(Fixture(L"validator\\qxkcva.dll").c_str(), bare.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(Fixture(L"good.dll").c_str(), (scratch + L"\\lib.dll").c_str(), FALSE));
  void* out = nullptr;
  EXPECT_EQ(NotComDllGetInterface(bare.c_str(), "KcvValidationControl", &out, nullptr), 0u);
  EXPECT_NE(out, nullptr);

  // A file that someone holds open for writing cannot be held unchanged until the load.
  const std::wstring copy = scratch + L"\\qxkcva.dll";
  ASSERT_TRUE(CopyFileW(Fixture(L"validator\\qxkcva.dll").c_str(), copy.c_str(), FALSE));
  {
    Basalt::UniqueFile writer(CreateFileW(copy.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(NotComDllGetInterface(copy.c_str(), "KcvValidationControl", &out, nullptr),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(out, reinterpret_cast<void*>(1));
  }
  EXPECT_EQ(NotComDllGetInterface(copy.c_str(), "KcvValidationControl", &out, nullptr), 0u);
  trust_test::RemoveTree(scratch);
}

TEST_F(ValidationLibrary, BadNamesAndMissingExport) {
  void* out = nullptr;
  const std::wstring long_name(260, L'a');
  EXPECT_EQ(NotComDllGetInterface(long_name.c_str(), "KcvValidationControl", &out, nullptr), 87u);
  EXPECT_EQ(NotComDllGetInterface(nullptr, "KcvValidationControl", &out, nullptr), 87u);
  // Signed, loaded, but without the export.
  EXPECT_EQ(
      NotComDllGetInterface(Fixture(L"good.dll").c_str(), "KcvValidationControl", &out, nullptr),
      static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(GetModuleHandleW(Fixture(L"good.dll").c_str()), nullptr);  // released again
  SetBaseFrame(L"szInstallDir64", Fixture(L"validator"));
  EXPECT_EQ(NotComDllGetInterface(L"qxkcva.dll", "NoSuchInterface", &out, nullptr),
            static_cast<DWORD>(ERROR_NOT_SUPPORTED));  // the export's own answer
}

TEST_F(ValidationLibrary, VerifierUsesTheInstalledValidator) {
  SetBaseFrame(L"szInstallDir64", Fixture(L"validator"));
  SetBaseFrame(L"base_frame_version", L"15.7");
  SetEnvironmentVariableW(L"FAKE_KCV_NO_V2", L"1");  // only the older interface is offered
  VerifierFromRegistry verifier;
  EXPECT_EQ(verifier.GetVersion(), 1507u);
  ASSERT_NE(verifier.GetValidator(), nullptr);
  SetEnvironmentVariableW(L"FAKE_KCV_STATUS", L"2");
  SetEnvironmentVariableW(L"FAKE_KCV_TRUST", L"8");
  EXPECT_EQ(verifier.VerifyFile(Fixture(L"unsigned.dll").c_str()), 0u);
  wchar_t flags[16] = {};
  GetEnvironmentVariableW(L"FAKE_KCV_LAST_FLAGS", flags, 16);
  EXPECT_STREQ(flags, L"512");
  SetEnvironmentVariableW(L"FAKE_KCV_TRUST", L"1");
  EXPECT_EQ(verifier.VerifyFile(Fixture(L"unsigned.dll").c_str()), 5u);

  SetBaseFrame(L"base_frame_version", L"16.2");
  VerifierFromRegistry older;
  EXPECT_EQ(older.GetVersion(), 1504u);
  EXPECT_EQ(older.VerifyFile(Fixture(L"unsigned.dll").c_str()), 0u);  // bit value 1 at 1504
  GetEnvironmentVariableW(L"FAKE_KCV_LAST_FLAGS", flags, 16);
  EXPECT_STREQ(flags, L"4");
}

}  // namespace
