#include "CNvidiaDriverFix.h"

#include <iterator>
#include <new>

#include "basalt/UniqueHandle.h"
#include "etwlogging/Logging.h"

namespace {

constexpr const wchar_t kLogFile[] = L"NvidiaDriverFix";

constexpr const wchar_t* kPrivileges[] = {
    L"SeIncreaseBasePriorityPrivilege",
    L"SeIncreaseQuotaPrivilege",
    L"SeProfileSingleProcessPrivilege",
    L"SeUndockPrivilege",
};

bool IsUsableToken(HANDLE token) { return token != nullptr && token != INVALID_HANDLE_VALUE; }

}  // namespace

CNvidiaDriverFix::CNvidiaDriverFix(bool enable) {
  HANDLE raw = nullptr;
  if (!OpenCurrentProcessToken(raw)) return;
  Basalt::UniqueKernelHandle token(raw);
  if (SaveCurrentPrivilegesFromToken(token.get()) && enable) {
    (void)SetPrivilegesForToken(token.get());
  }
}

CNvidiaDriverFix::~CNvidiaDriverFix() {
  (void)RestoreSavedPrivileges();
  m_saved.reset();
}

bool CNvidiaDriverFix::OpenCurrentProcessToken(HANDLE& token) {
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    const DWORD error = GetLastError();
    QXLOG_ERROR(kLogFile, L"CNvidiaDriverFix::OpenCurrentProcessToken",
                L"OpenProcessToken failed (0x%08X)", error);
    token = nullptr;
    return false;
  }
  return true;
}

bool CNvidiaDriverFix::SaveCurrentPrivilegesFromToken(HANDLE token) {
  static constexpr const wchar_t kFunction[] = L"CNvidiaDriverFix::SaveCurrentPrivilegesFromToken";
  DWORD bytes = 0;
  if (GetTokenInformation(token, TokenPrivileges, nullptr, 0, &bytes)) {
    QXLOG_ERROR(kLogFile, kFunction, L"OpenProcessToken error - should have failed");
    return false;
  }
  const DWORD error = GetLastError();
  if (error != ERROR_INSUFFICIENT_BUFFER) {
    QXLOG_ERROR(kLogFile, kFunction, L"GetTokenInformation(1) failed (0x%08X)", error);
    return false;
  }
  m_saved.reset(new (std::nothrow) BYTE[bytes]);
  if (!m_saved) {
    QXLOG_ERROR(kLogFile, kFunction, L"Memory alloc failure (%lu bytes)", bytes);
    return false;
  }
  if (!GetTokenInformation(token, TokenPrivileges, m_saved.get(), bytes, &bytes)) {
    const DWORD second = GetLastError();
    QXLOG_ERROR(kLogFile, kFunction, L"GetTokenInformation(2) failed (0x%08X)", second);
    m_saved.reset();
    return false;
  }
  return true;
}

bool CNvidiaDriverFix::SetPrivilegesForToken(HANDLE token) {
  QXLOG(ETWLogging::kLogNormal, kLogFile, L"CNvidiaDriverFix::SetPrivilegesForToken",
        L"Setting %d privileges", static_cast<int>(std::size(kPrivileges)));
  bool all = true;
  for (const wchar_t* name : kPrivileges) all = SetPrivilegeByName(token, name) && all;
  return all;
}

bool CNvidiaDriverFix::SetPrivilegeByName(HANDLE token, const wchar_t* name) {
  static constexpr const wchar_t kFunction[] = L"CNvidiaDriverFix::SetPrivilegeByName";
  if (!IsUsableToken(token)) {
    QXLOG_ERROR(kLogFile, kFunction, L"Invalid token value");
    return false;
  }
  if (!name || !*name) {
    QXLOG_ERROR(kLogFile, kFunction, L"No privileges set");
    return false;
  }
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Setting privilege: %s", name);
  TOKEN_PRIVILEGES privilege = {};
  if (!LookupPrivilegeValueW(nullptr, name, &privilege.Privileges[0].Luid)) {
    const DWORD error = GetLastError();
    QXLOG_ERROR(kLogFile, kFunction, L"LookupPrivilegeValue failed (0x%08x)", error);
    return false;
  }
  privilege.PrivilegeCount = 1;
  privilege.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!AdjustTokenPrivileges(token, FALSE, &privilege, sizeof(privilege), nullptr, nullptr)) {
    const DWORD error = GetLastError();
    QXLOG_ERROR(kLogFile, kFunction,
                L"SetPrivilegeByName: AdjustTokenPrivileges failed with error: %lu", error);
    return false;
  }
  return true;
}

bool CNvidiaDriverFix::RestoreSavedPrivileges() {
  if (!m_saved) return false;
  HANDLE raw = nullptr;
  if (!OpenCurrentProcessToken(raw)) return false;
  Basalt::UniqueKernelHandle token(raw);
  if (!AdjustTokenPrivileges(token.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(m_saved.get()),
                             0, nullptr, nullptr)) {
    const DWORD error = GetLastError();
    QXLOG_ERROR(kLogFile, L"CNvidiaDriverFix::RestoreSavedPrivileges",
                L"AdjustTokenPrivileges failed (0x%08X)", error);
    return false;
  }
  return true;
}
