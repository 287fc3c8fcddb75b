#include "basalt/SecurityAPI.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "basalt/LibraryUtils.h"
#include "basalt/OSInfo.h"

namespace {

using Basalt::SecurityAPI;

class PlatformAPI : public Basalt::WinOSVersionAPI {
 public:
  explicit PlatformAPI(DWORD platform) : platform_(platform) {}
  BOOL VerifyVersionInfoW(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG) override {
    return typeMask == VER_PLATFORMID && info->dwPlatformId == platform_;
  }

 private:
  DWORD platform_;
};

// Loaders that count their calls and say which library they were asked for.
std::atomic<int> g_loads{0};
std::wstring g_requested;

HMODULE CountingSystemLoader(const wchar_t* name) {
  ++g_loads;
  g_requested = name;
  Sleep(20);  // widens the window for concurrent Load calls
  return Basalt::LoadSystemLibrary(name);
}
HMODULE FailingLoader(const wchar_t*) {
  ++g_loads;
  return nullptr;
}
HMODULE LibraryWithoutSecurityFunctions(const wchar_t*) {
  ++g_loads;
  return Basalt::LoadSystemLibrary(L"cabinet.dll");
}

struct PlatformHolder {
  PlatformAPI platformApi;
};

// A table that believes the platform it is given and loads through |loader|.
class TestSecurityAPI : private PlatformHolder, public SecurityAPI {
 public:
  TestSecurityAPI(DWORD platform, LibraryLoader loader)
      : PlatformHolder{PlatformAPI(platform)}, SecurityAPI(platformApi, loader) {}
};

class SecurityAPITest : public ::testing::Test {
 protected:
  void SetUp() override { g_loads = 0; }
};

// Every call-through answers its fixed value; none of them touches its arguments.
void ExpectFixedValues(SecurityAPI& table) {
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID sid = nullptr;
  EXPECT_FALSE(table.AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
  EXPECT_EQ(sid, nullptr);
  BYTE descriptor[SECURITY_DESCRIPTOR_MIN_LENGTH] = {};
  EXPECT_FALSE(table.InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_FALSE(table.SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE));
  BOOL present = 7, defaulted = 7;
  PACL dacl = nullptr;
  EXPECT_FALSE(table.GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
  EXPECT_EQ(present, 7);
  DWORD bytes = 0;
  EXPECT_EQ(table.RegGetKeySecurity(HKEY_CURRENT_USER, DACL_SECURITY_INFORMATION, nullptr, &bytes),
            ERROR_INVALID_FUNCTION);
  EXPECT_EQ(bytes, 0u);
  PACL newAcl = nullptr;
  EXPECT_EQ(table.SetEntriesInAclW(0, nullptr, nullptr, &newAcl),
            static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(newAcl, nullptr);
}

TEST_F(SecurityAPITest, RealTableCallsThroughAfterLoad) {
  SecurityAPI table;
  EXPECT_TRUE(table.IsWinNT());
  ExpectFixedValues(table);  // nothing bound yet
  ASSERT_TRUE(table.Load());
  ASSERT_TRUE(table.Load());

  // The Everyone-full-access descriptor that the registry key builds, made through the table.
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  ASSERT_TRUE(table.AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                             &everyone));
  EXPLICIT_ACCESS_W entry = {};
  entry.grfAccessPermissions = GENERIC_ALL;
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  entry.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
  PACL acl = nullptr;
  ASSERT_EQ(table.SetEntriesInAclW(1, &entry, nullptr, &acl), 0u);
  BYTE descriptor[SECURITY_DESCRIPTOR_MIN_LENGTH] = {};
  ASSERT_TRUE(table.InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(table.SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE));
  BOOL present = FALSE, defaulted = TRUE;
  PACL readBack = nullptr;
  ASSERT_TRUE(table.GetSecurityDescriptorDacl(descriptor, &present, &readBack, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_FALSE(defaulted);
  EXPECT_EQ(readBack, acl);
  LocalFree(acl);
  FreeSid(everyone);

  // The size query of a key's DACL.
  HKEY key = nullptr;
  const std::wstring name = L"Software\\B1SecurityAPITest" + std::to_wstring(GetCurrentProcessId());
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  DWORD bytes = 0;
  EXPECT_EQ(table.RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &bytes),
            ERROR_INSUFFICIENT_BUFFER);
  EXPECT_GT(bytes, 0u);
  std::vector<BYTE> buffer(bytes);
  EXPECT_EQ(table.RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer.data(), &bytes),
            ERROR_SUCCESS);
  RegCloseKey(key);
  RegDeleteKeyW(HKEY_CURRENT_USER, name.c_str());
}

TEST_F(SecurityAPITest, LoadsAdvapi32FromTheSystemFolderOnce) {
  TestSecurityAPI table(VER_PLATFORM_WIN32_NT, &CountingSystemLoader);
  std::vector<std::thread> threads;
  std::atomic<int> loaded{0};
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([&] {
      if (table.Load()) ++loaded;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(loaded.load(), 6);
  EXPECT_EQ(g_loads.load(), 1);
  EXPECT_EQ(g_requested, L"advapi32.dll");
}

TEST_F(SecurityAPITest, NotNTAnswersFixedValuesEvenAfterLoad) {
  TestSecurityAPI table(VER_PLATFORM_WIN32_WINDOWS, &CountingSystemLoader);
  EXPECT_FALSE(table.IsWinNT());
  ASSERT_TRUE(table.Load());
  ExpectFixedValues(table);
}

TEST_F(SecurityAPITest, FailedLoadIsRetried) {
  TestSecurityAPI table(VER_PLATFORM_WIN32_NT, &FailingLoader);
  EXPECT_FALSE(table.Load());
  EXPECT_FALSE(table.Load());
  EXPECT_EQ(g_loads.load(), 2);
  ExpectFixedValues(table);
}

TEST_F(SecurityAPITest, MissingFunctionsFailWithoutReloading) {
  ASSERT_EQ(GetModuleHandleW(L"cabinet.dll"), nullptr);
  {
    TestSecurityAPI table(VER_PLATFORM_WIN32_NT, &LibraryWithoutSecurityFunctions);
    EXPECT_FALSE(table.Load());
    EXPECT_FALSE(table.Load());
    EXPECT_EQ(g_loads.load(), 1);
    ExpectFixedValues(table);
    EXPECT_NE(GetModuleHandleW(L"cabinet.dll"), nullptr);
  }
  EXPECT_EQ(GetModuleHandleW(L"cabinet.dll"), nullptr) << "the table keeps its library";
}

}  // namespace
