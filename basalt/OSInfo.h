// Windows version queries: OS code and family, service pack, platform, WOW64 and the
// product version of the system's kernel32.dll, each worked out once per object.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace Basalt {

// Splits |text| at every |separator|; empty pieces are kept unless |dropEmpty|. An empty
// text gives an empty list.
std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator, bool dropEmpty);

// The version test primitive; every version test goes through it. Replace it by deriving.
class WinOSVersionAPI {
 public:
  // Forwards to ::VerifyVersionInfoW.
  virtual BOOL VerifyVersionInfoW(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask);
};

// Major, minor and service-pack major of the running Windows.
struct OSVersion {
  DWORD dwMajor;
  DWORD dwMinor;
  WORD wServicePackMajor;
};

// OS codes of GetOSCode (0: detection failed).
enum OSCode : unsigned {
  kOSUnknownCode = 0,
  kOSWin95 = 1,
  kOSWin98 = 2,
  kOSWinNT4 = 3,
  kOSWin2000 = 4,
  kOSWinMe = 5,
  kOSWinXP = 6,
  kOSVista = 7,
  kOSWin7 = 8,
  kOSWin8 = 9,
  kOSWin81 = 10,
  kOSWin10 = 11,
  kOSUnknownNT = 12,
};

// OS families of GetOSFamily.
enum OSFamily : unsigned { kOSFamilyOld = 0, kOSFamilyModern = 1, kOSFamilyFailed = 2 };

namespace internal {

// Runs |fn| once for |state| (0 idle, 1 running, 2 done): a true result leaves 2, a false
// result or an exception (passed on) leaves 0 so that the next call runs |fn| again.
// Callers arriving while |fn| runs spin until it has finished.
void RunOnce(std::atomic<uint32_t>& state, const std::function<bool()>& fn);

// Finds the value v in [0, limit) for which probe(v, VER_EQUAL) holds, probing with
// VER_LESS; |result| = |limit| when the value lies beyond.
void FindVersionNumber(DWORD& result, DWORD limit,
                       const std::function<bool(DWORD value, BYTE condition)>& probe);

// True when |api| confirms platform |platformId| (VER_PLATFORMID, VER_EQUAL).
bool IsPlatform(WinOSVersionAPI& api, DWORD platformId);

// Detection state and results of one OSInfoProxy (its _Impl).
class OSInfoProxyImpl {
 public:
  explicit OSInfoProxyImpl(WinOSVersionAPI* api) noexcept : m_pApi(api) {}

  // Reads the "ProductVersion" of the system's kernel32.dll into |version| (parts beyond
  // the text are 0). False, |version| untouched, when there is no such text or a part
  // among the first four is empty or has no leading digits or exceeds 32 bits.
  virtual bool ReadProductVersion(DWORD (&version)[4]);

  // The parse of ReadProductVersion: |text| split at every ".", the first four parts read
  // as numbers, later parts ignored. False, |version| untouched, for an empty text or a
  // bad part among the first four.
  static bool ParseProductVersion(const std::wstring& text, DWORD (&version)[4]);

  // Runs detection through RunOnce; true when it has succeeded (now or before).
  bool EnsureDetected();

  // Reads, reads the product version, tests the platform and classifies. Never throws.
  bool Detect();

  // True when VerifyVersionInfoW confirms platform |platformId|.
  bool IsPlatform(DWORD platformId) { return internal::IsPlatform(*m_pApi, platformId); }
  // True when VerifyVersionInfoW confirms the minor version against |value| by |condition|.
  bool IsMinorVersion(DWORD value, BYTE condition);
  // The service-pack major in [1, bound] that VerifyVersionInfoW confirms; 0 when none.
  WORD FindServicePack(WORD bound);
  void ClassifyNT();
  bool Classify9x();

  // True only for a 32-bit process on 64-bit Windows.
  static bool IsWow64();

  std::atomic<uint32_t> m_dwOnceState{0};
  std::atomic<uint32_t> m_dwClassified{0};
  DWORD m_dwMajor = 0;
  DWORD m_dwMinor = 0;
  WORD m_wServicePackMajor = 0;
  DWORD m_dwProductVersion[4] = {};
  DWORD m_dwOSCode = 0;
  DWORD m_dwOSFamily = 0;
  WinOSVersionAPI* m_pApi;

 protected:
  ~OSInfoProxyImpl() = default;  // owned through shared_ptr only, made as its real type
};

// Windows version and platform queries over an API of type |API| (WinOSVersionAPI or a
// class derived from it), detected once per object on the first query; a failed
// detection is retried at the next query.
template <typename API>
class OSInfoProxy {
  static_assert(std::is_base_of<WinOSVersionAPI, API>::value,
                "OSInfoProxy needs a WinOSVersionAPI");

 public:
  using _Impl = OSInfoProxyImpl;

  OSInfoProxy() : m_impl(std::make_shared<Impl>(&m_api)) {}
  OSInfoProxy(const OSInfoProxy&) = delete;
  OSInfoProxy& operator=(const OSInfoProxy&) = delete;
  virtual ~OSInfoProxy() = default;

  // The OS code (OSCode); 0 when detection failed.
  virtual unsigned GetOSCode() {
    return Detected() ? m_impl->m_dwOSCode : static_cast<unsigned>(kOSUnknownCode);
  }

  // The OS family (OSFamily); 2 when detection failed.
  virtual unsigned GetOSFamily() {
    return Detected() ? m_impl->m_dwOSFamily : static_cast<unsigned>(kOSFamilyFailed);
  }

  // |version| is zeroed, then filled when detection succeeded. False when detection
  // failed, and for code 12 (an unknown NT version, still filled in).
  virtual bool GetOSVersion(OSVersion& version) {
    version = OSVersion{};
    if (!Detected()) return false;
    version.dwMajor = m_impl->m_dwMajor;
    version.dwMinor = m_impl->m_dwMinor;
    version.wServicePackMajor = m_impl->m_wServicePackMajor;
    return m_impl->m_dwOSCode != kOSUnknownNT;
  }

  // |code| and |family| are preset to 0 and 2, then set when detection succeeded.
  virtual bool GetOSCodeAndFamily(unsigned& code, unsigned& family) {
    code = kOSUnknownCode;
    family = kOSFamilyFailed;
    if (!Detected()) return false;
    code = m_impl->m_dwOSCode;
    family = m_impl->m_dwOSFamily;
    return true;
  }

  // True only for a 32-bit process on 64-bit Windows; asked each time.
  virtual bool IsWow64() { return _Impl::IsWow64(); }

  // True on a Windows NT platform; asked each time, not cached.
  virtual bool IsWinNT() { return m_impl->IsPlatform(VER_PLATFORM_WIN32_NT); }

  // |version| is zeroed, then set to kernel32's four product-version numbers when
  // detection succeeded.
  virtual bool GetProductVersion(DWORD (&version)[4]) {
    for (DWORD& part : version) part = 0;
    if (!Detected()) return false;
    for (int i = 0; i < 4; ++i) version[i] = m_impl->m_dwProductVersion[i];
    return true;
  }

 protected:
  // For tests and special probes: uses |impl| (its API pointer is set to this object's API).
  explicit OSInfoProxy(std::shared_ptr<_Impl> impl) : m_impl(std::move(impl)) {
    m_impl->m_pApi = &m_api;
  }

  API m_api;
  std::shared_ptr<_Impl> m_impl;

 private:
  struct Impl final : _Impl {
    using _Impl::_Impl;
  };

  bool Detected() { return m_impl->EnsureDetected() && m_impl->m_dwClassified.load() == 1; }
};

}  // namespace internal

// The version queries over the real VerifyVersionInfoW.
using OSInfo = internal::OSInfoProxy<WinOSVersionAPI>;

}  // namespace Basalt
