#include "basalt/OSInfo.h"

#include <cwctype>

#include "basalt/FileVersionInfo.h"

namespace Basalt {
namespace {

// Unsigned base 10 after leading white space, up to the first non-digit. False for a part
// without leading digits or beyond 32 bits.
bool ParseVersionPart(const std::wstring& part, DWORD& value) {
  size_t i = 0;
  while (i < part.size() && std::iswspace(part[i])) ++i;
  if (i == part.size() || part[i] < L'0' || part[i] > L'9') return false;
  unsigned long long number = 0;
  for (; i < part.size() && part[i] >= L'0' && part[i] <= L'9'; ++i) {
    number = number * 10 + static_cast<unsigned>(part[i] - L'0');
    if (number > 0xFFFFFFFFull) return false;
  }
  value = static_cast<DWORD>(number);
  return true;
}

OSVERSIONINFOEXW EmptyVersionInfo() {
  OSVERSIONINFOEXW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  return info;
}

}  // namespace

static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW size");

BOOL WinOSVersionAPI::VerifyVersionInfoW(OSVERSIONINFOEXW* info, DWORD typeMask,
                                         DWORDLONG conditionMask) {
  return ::VerifyVersionInfoW(info, typeMask, conditionMask);
}

std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator, bool dropEmpty) {
  std::vector<std::wstring> parts;
  if (text.empty()) return parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    const size_t stop = end == std::wstring::npos ? text.size() : end;
    if (stop > start || !dropEmpty) parts.push_back(text.substr(start, stop - start));
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return parts;
}

namespace internal {

void RunOnce(std::atomic<uint32_t>& state, const std::function<bool()>& fn) {
  for (;;) {
    uint32_t expected = 0;
    if (state.compare_exchange_strong(expected, 1)) {
      bool succeeded = false;
      try {
        succeeded = fn();
      } catch (...) {
        state.exchange(0);
        throw;
      }
      state.exchange(succeeded ? 2 : 0);
      return;
    }
    if (expected == 2) return;
    YieldProcessor();
  }
}

void FindVersionNumber(DWORD& result, DWORD limit,
                       const std::function<bool(DWORD value, BYTE condition)>& probe) {
  const DWORD top = (limit + 7) / 8 * 8;
  DWORD value = 8;
  while (!probe(value, VER_LESS)) {
    value += 8;
    if (value > top) {
      result = limit;
      return;
    }
  }
  value -= 4;
  DWORD step = 4;
  for (;;) {
    const DWORD half = step / 2;
    if (probe(value, VER_LESS)) {
      value -= half;
    } else {
      value += half;
    }
    if (step == 2) break;
    step = half;
  }
  if (!probe(value, VER_EQUAL)) value -= 1;
  result = value;
}

bool IsPlatform(WinOSVersionAPI& api, DWORD platformId) {
  OSVERSIONINFOEXW info = EmptyVersionInfo();
  info.dwPlatformId = platformId;
  return api.VerifyVersionInfoW(&info, VER_PLATFORMID,
                                VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL)) != FALSE;
}

bool OSInfoProxyImpl::ReadProductVersion(DWORD (&version)[4]) {
  SystemFileVersionInfo kernel32(std::make_shared<ShlObjAPI>());
  if (!kernel32.Load(L"kernel32.dll")) return false;
  return ParseProductVersion(kernel32.GetString(L"ProductVersion"), version);
}

bool OSInfoProxyImpl::ParseProductVersion(const std::wstring& text, DWORD (&version)[4]) {
  const std::vector<std::wstring> parts = SplitString(text, L'.', false);
  if (parts.empty()) return false;
  DWORD numbers[4] = {};
  for (size_t i = 0; i < parts.size() && i < 4; ++i) {
    if (!ParseVersionPart(parts[i], numbers[i])) return false;
  }
  for (int i = 0; i < 4; ++i) version[i] = numbers[i];
  return true;
}

bool OSInfoProxyImpl::EnsureDetected() {
  RunOnce(m_dwOnceState, [this] { return Detect(); });
  return m_dwOnceState.load() == 2;
}

bool OSInfoProxyImpl::Detect() {
  try {
    if (!ReadProductVersion(m_dwProductVersion)) return false;
    if (IsPlatform(VER_PLATFORM_WIN32_WINDOWS)) {
      // Classified only when the minor version was found, so that a failed search is
      // answered as a failed detection rather than as version 0.0.
      if (!Classify9x()) return false;
      m_dwClassified.store(1);
      return true;
    }
    if (!IsPlatform(VER_PLATFORM_WIN32_NT)) return false;
    ClassifyNT();
    m_dwClassified.store(1);
    return true;
  } catch (...) {
    return false;
  }
}

bool OSInfoProxyImpl::IsMinorVersion(DWORD value, BYTE condition) {
  OSVERSIONINFOEXW info = EmptyVersionInfo();
  info.dwMinorVersion = value;
  return m_pApi->VerifyVersionInfoW(&info, VER_MINORVERSION,
                                    VerSetConditionMask(0, VER_MINORVERSION, condition)) != FALSE;
}

WORD OSInfoProxyImpl::FindServicePack(WORD bound) {
  for (WORD servicePack = bound; servicePack >= 1; --servicePack) {
    OSVERSIONINFOEXW info = EmptyVersionInfo();
    info.wServicePackMajor = servicePack;
    if (m_pApi->VerifyVersionInfoW(&info, VER_SERVICEPACKMAJOR,
                                   VerSetConditionMask(0, VER_SERVICEPACKMAJOR, VER_EQUAL))) {
      return servicePack;
    }
  }
  return 0;
}

void OSInfoProxyImpl::ClassifyNT() {
  const DWORD major = m_dwProductVersion[0];
  const DWORD minor = m_dwProductVersion[1];
  DWORD code = kOSUnknownNT;
  DWORD family = kOSFamilyModern;
  WORD servicePack = 0;
  if (major <= 4) {
    code = kOSWinNT4;
    family = kOSFamilyOld;
  } else if (major == 5) {
    if (minor == 0) {
      code = kOSWin2000;
      family = kOSFamilyOld;
      servicePack = FindServicePack(4);
    } else {
      code = kOSWinXP;
      servicePack = FindServicePack(3);
    }
  } else if (major == 6) {
    switch (minor) {
      case 0:
        code = kOSVista;
        servicePack = FindServicePack(2);
        break;
      case 1:
        code = kOSWin7;
        servicePack = FindServicePack(1);
        break;
      case 2:
        code = kOSWin8;
        break;
      default:
        code = kOSWin81;
        break;
    }
  } else if (major == 10) {
    code = kOSWin10;
  }
  m_dwMajor = major;
  m_dwMinor = minor;
  m_wServicePackMajor = servicePack;
  m_dwOSCode = code;
  m_dwOSFamily = family;
}

bool OSInfoProxyImpl::Classify9x() {
  DWORD minor = 0;
  FindVersionNumber(
      minor, 100, [this](DWORD value, BYTE condition) { return IsMinorVersion(value, condition); });
  if (minor == 100) return false;
  m_dwMajor = 4;
  m_dwMinor = minor;
  m_wServicePackMajor = 0;
  m_dwOSFamily = kOSFamilyOld;
  m_dwOSCode = minor == 0 ? kOSWin95 : (minor < 90 ? kOSWin98 : kOSWinMe);
  return true;
}

bool OSInfoProxyImpl::IsWow64() {
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32");
  if (kernel32 == nullptr) return false;
  using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
  const auto isWow64Process = reinterpret_cast<IsWow64ProcessFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "IsWow64Process")));
  if (isWow64Process == nullptr) return false;
  BOOL wow64 = FALSE;
  return isWow64Process(GetCurrentProcess(), &wow64) == TRUE && wow64 == 1;
}

}  // namespace internal
}  // namespace Basalt
