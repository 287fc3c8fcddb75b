// The privilege fix on the real process token: the four privileges enabled while it lives, the
// token's list put back exactly afterwards, and a token that lacks one of them.
#include "src/qxsvchost/CNvidiaDriverFix.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "QxTestLogCapture.h"
#include "basalt/UniqueHandle.h"

namespace {

using ETWLogging::kLogError;
using ETWLogging::kLogNormal;

const std::vector<std::wstring> kFour = {L"SeIncreaseBasePriorityPrivilege",
                                         L"SeIncreaseQuotaPrivilege",
                                         L"SeProfileSingleProcessPrivilege", L"SeUndockPrivilege"};

Basalt::UniqueKernelHandle ProcessToken() {
  Basalt::UniqueKernelHandle token;
  OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put());
  return token;
}

std::vector<BYTE> PrivilegeList(HANDLE token) {
  DWORD bytes = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &bytes);
  std::vector<BYTE> list(bytes);
  if (bytes == 0 || !GetTokenInformation(token, TokenPrivileges, list.data(), bytes, &bytes)) {
    list.clear();
  }
  return list;
}

// -1: the token lacks |name|; else whether it is enabled.
int State(HANDLE token, const std::wstring& name) {
  LUID luid = {};
  if (!LookupPrivilegeValueW(nullptr, name.c_str(), &luid)) return -2;
  const std::vector<BYTE> bytes = PrivilegeList(token);
  if (bytes.empty()) return -2;
  const auto* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(bytes.data());
  for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
    const LUID& l = list->Privileges[i].Luid;
    if (l.LowPart == luid.LowPart && l.HighPart == luid.HighPart) {
      return (list->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) ? 1 : 0;
    }
  }
  return -1;
}

bool Adjust(HANDLE token, const std::wstring& name, DWORD attributes) {
  TOKEN_PRIVILEGES privilege = {};
  privilege.PrivilegeCount = 1;
  privilege.Privileges[0].Attributes = attributes;
  return LookupPrivilegeValueW(nullptr, name.c_str(), &privilege.Privileges[0].Luid) &&
         AdjustTokenPrivileges(token, FALSE, &privilege, sizeof(privilege), nullptr, nullptr) &&
         GetLastError() == ERROR_SUCCESS;
}

TEST(CNvidiaDriverFixTest, EnablesTheFourWhileItLivesAndPutsTheListBackExactly) {
  qxtest::ScopedLogCapture capture;
  Basalt::UniqueKernelHandle token = ProcessToken();
  ASSERT_TRUE(token);
  const std::vector<BYTE> original = PrivilegeList(token.get());
  // Start from a list in which two of the four are disabled and two enabled.
  for (size_t i = 0; i < kFour.size(); ++i) {
    ASSERT_TRUE(Adjust(token.get(), kFour[i], i % 2 ? SE_PRIVILEGE_ENABLED : 0)) << i;
  }
  const std::vector<BYTE> before = PrivilegeList(token.get());
  ASSERT_FALSE(before.empty());
  {
    CNvidiaDriverFix fix(true);
    ASSERT_NE(nullptr, fix.SavedPrivileges());
    for (const std::wstring& name : kFour) EXPECT_EQ(1, State(token.get(), name)) << name.c_str();
  }
  EXPECT_EQ(before, PrivilegeList(token.get()));
  EXPECT_EQ(0, State(token.get(), kFour[0]));
  EXPECT_EQ(1, State(token.get(), kFour[1]));

  std::vector<std::wstring> expected = {L"Setting 4 privileges"};
  for (const std::wstring& name : kFour) expected.push_back(L"Setting privilege: " + name);
  std::vector<std::wstring> seen;
  for (const qxtest::LogLine& l : capture.log().Lines()) {
    if (l.level == kLogNormal) seen.push_back(l.message);
  }
  EXPECT_EQ(expected, seen);
  EXPECT_EQ(0u, capture.log().CountLevel(kLogError));

  // Without enabling, the list is only saved and put back.
  { CNvidiaDriverFix saveOnly(false); }
  EXPECT_EQ(before, PrivilegeList(token.get()));

  // Leave the process as it was.
  const auto* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(original.data());
  AdjustTokenPrivileges(token.get(), FALSE, const_cast<TOKEN_PRIVILEGES*>(list), 0, nullptr,
                        nullptr);
}

TEST(CNvidiaDriverFixTest, APrivilegeTheTokenLacksStaysAbsentAndTheOthersAreStillSet) {
  qxtest::ScopedLogCapture capture;
  Basalt::UniqueKernelHandle process;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put()));
  LUID_AND_ATTRIBUTES removed = {};
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"SeUndockPrivilege", &removed.Luid));
  Basalt::UniqueKernelHandle token;
  ASSERT_TRUE(
      CreateRestrictedToken(process.get(), 0, 0, nullptr, 1, &removed, 0, nullptr, token.put()))
      << GetLastError();
  ASSERT_EQ(-1, State(token.get(), L"SeUndockPrivilege"));
  for (size_t i = 0; i < 3; ++i) ASSERT_TRUE(Adjust(token.get(), kFour[i], 0));

  EXPECT_TRUE(CNvidiaDriverFix::SetPrivilegesForToken(token.get()));
  EXPECT_EQ(-1, State(token.get(), L"SeUndockPrivilege"));
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(1, State(token.get(), kFour[i])) << i;
  EXPECT_EQ(0u, capture.log().CountLevel(kLogError));
}

TEST(CNvidiaDriverFixTest, RefusesBadTokensNamesAndUnknownPrivileges) {
  qxtest::ScopedLogCapture capture;
  Basalt::UniqueKernelHandle token = ProcessToken();
  ASSERT_TRUE(token);
  EXPECT_FALSE(CNvidiaDriverFix::SetPrivilegeByName(nullptr, L"SeUndockPrivilege"));
  EXPECT_FALSE(CNvidiaDriverFix::SetPrivilegeByName(INVALID_HANDLE_VALUE, L"SeUndockPrivilege"));
  EXPECT_EQ(2u, capture.log().Count(kLogError, L"Invalid token value"));
  EXPECT_FALSE(CNvidiaDriverFix::SetPrivilegeByName(token.get(), L""));
  EXPECT_TRUE(capture.log().Has(kLogError, L"No privileges set"));
  EXPECT_FALSE(capture.log().HasPrefix(kLogNormal, L"Setting privilege: "));
  EXPECT_FALSE(CNvidiaDriverFix::SetPrivilegeByName(token.get(), L"SeNoSuchPrivilege"));
  EXPECT_TRUE(capture.log().Has(kLogError, L"LookupPrivilegeValue failed (0x00000521)"));

  // A list that cannot be read leaves the one saved before in place.
  CNvidiaDriverFix fix(false);
  ASSERT_NE(nullptr, fix.SavedPrivileges());
  EXPECT_FALSE(fix.SaveCurrentPrivilegesFromToken(nullptr));
  EXPECT_TRUE(capture.log().Has(kLogError, L"GetTokenInformation(1) failed (0x00000006)"));
  EXPECT_NE(nullptr, fix.SavedPrivileges());
}

}  // namespace
