// The sibling module's API library: "QxDllGetClassObject" hands out a service manager whose
// slot 8 records its call under HKEY_LOCAL_MACHINE\<kTvssDoubleKey> ("Host" REG_SZ, "Timeout",
// "Calls", and "FreshInstallSeen": the FreshInstallComplete value at the time of the call,
// 0xFFFFFFFF when there was none) and returns the value "Result" (default 0). With "NoObject" 1
// the export answers 0 and hands out nothing.
#include <windows.h>

#include <new>

#include "QxDoubleRecords.h"
#include "src/qxsvchost/CTvssApiModule.h"

namespace {

LONG g_objects = 0;

DWORD ReadDword(HKEY root, const wchar_t* key, const wchar_t* name, DWORD fallback, REGSAM view) {
  DWORD value = fallback;
  DWORD bytes = sizeof(value);
  if (RegGetValueW(root, key, name, RRF_RT_REG_DWORD | (view ? RRF_SUBKEY_WOW6464KEY : 0), nullptr,
                   &value, &bytes) != ERROR_SUCCESS) {
    value = fallback;
  }
  return value;
}

void SetDword(const wchar_t* name, DWORD value) {
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, qxdouble::kTvssDoubleKey, name, REG_DWORD, &value,
                  sizeof(value));
}

class CServiceManager final : public IServiceManager {
 public:
  CServiceManager() { InterlockedIncrement(&g_objects); }
  ULONG STDMETHODCALLTYPE Reserved0() override { return 0; }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0) {
      InterlockedDecrement(&g_objects);
      delete this;
    }
    return static_cast<ULONG>(refs);
  }
  ULONG STDMETHODCALLTYPE Reserved2() override { return 0; }
  ULONG STDMETHODCALLTYPE Reserved3() override { return 0; }
  ULONG STDMETHODCALLTYPE Reserved4() override { return 0; }
  ULONG STDMETHODCALLTYPE Reserved5() override { return 0; }
  ULONG STDMETHODCALLTYPE Reserved6() override { return 0; }
  ULONG STDMETHODCALLTYPE Reserved7() override { return 0; }
  LONG STDMETHODCALLTYPE StartServicesByHost(LPCWSTR host, DWORD timeout) override {
    const wchar_t* text = host ? host : L"";
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, qxdouble::kTvssDoubleKey, L"Host", REG_SZ, text,
                    static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
    SetDword(L"Timeout", timeout);
    SetDword(L"FreshInstallSeen", ReadDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Telvan\\TVSSHOST",
                                            L"FreshInstallComplete", 0xFFFFFFFF, 1));
    SetDword(L"Calls", ReadDword(HKEY_LOCAL_MACHINE, qxdouble::kTvssDoubleKey, L"Calls", 0, 0) + 1);
    return static_cast<LONG>(
        ReadDword(HKEY_LOCAL_MACHINE, qxdouble::kTvssDoubleKey, L"Result", 0, 0));
  }

 private:
  ~CServiceManager() = default;
  LONG m_refs = 1;
};

}  // namespace

extern "C" DWORD WINAPI QxDllGetClassObject(LPCWSTR name, void** object) {
  if (!object) return ERROR_INVALID_PARAMETER;
  *object = nullptr;
  if (!name || wcscmp(name, L"IServiceManager") != 0) return ERROR_NOT_SUPPORTED;
  if (ReadDword(HKEY_LOCAL_MACHINE, qxdouble::kTvssDoubleKey, L"NoObject", 0, 0) == 1) {
    return ERROR_SUCCESS;
  }
  CServiceManager* manager = new (std::nothrow) CServiceManager();
  if (!manager) return ERROR_OUTOFMEMORY;
  *object = static_cast<IServiceManager*>(manager);
  return ERROR_SUCCESS;
}

// Service managers not yet released.
extern "C" LONG TvssDoubleLiveObjects() { return g_objects; }
