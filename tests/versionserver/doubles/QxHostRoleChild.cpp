// Plays a running host for the marshalling tests: registers the control manager's class object
// (over an empty service group of its own) and a provider of test subsystems as
// local servers, signals the event named by argv[1], and runs until the event named by argv[2] is
// set (at most 60 s). Built twice: with the built-in trust tables and with the test tables.
#include "tests/versionserver/doubles/QxHostRoleChild.h"

#include <objbase.h>
#include <windows.h>

#include <string>

#include "basalt/UniqueHandle.h"
#include "contracts/IQxSvcSubsystem.h"
#include "src/qxsvchost/CQxSvcHostConfig.h"
#include "src/qxsvchost/CoQxSvcSubsystemControlManagerClassFactory.h"
#include "trust/SecureCom.h"

namespace {

class CTestSubsystem final : public IQxSvcSubsystem {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IQxSvcSubsystem)) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = static_cast<IQxSvcSubsystem*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0) delete this;
    return refs;
  }
  HRESULT STDMETHODCALLTYPE QxServiceMain(DWORD argc, LPWSTR* argv, DWORD* exitCode) override {
    const bool sawService = argc == kQxTestServiceArgc && argv != nullptr && argv[0] != nullptr &&
                            wcscmp(argv[0], kQxTestServiceName) == 0;
    *exitCode = sawService ? kQxTestSubsystemSawService : argc;
    return S_OK;
  }

 private:
  LONG m_refs = 0;
};

class CTestSubsystemProvider final : public IQxClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IQxClassFactory)) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    *ppv = static_cast<IQxClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateObject(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    auto* subsystem = new CTestSubsystem;
    subsystem->AddRef();
    const HRESULT hr = subsystem->QueryInterface(riid, ppv);
    subsystem->Release();
    return hr;
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  Basalt::ScopedComApartment apartment(COINIT_MULTITHREADED);
  if (!apartment.succeeded()) return 3;
  // The real machine key: the RPC runtime of this server reads it too, so it cannot be
  // redirected here. The group's name is this process's own.
  const std::wstring group = L"QxHostRole-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring groupKey = std::wstring(QXSVCHOST_REG_KEY) + L"\\" + group;
  if (RegSetKeyValueW(HKEY_LOCAL_MACHINE, groupKey.c_str(), nullptr, REG_SZ, L"",
                      sizeof(wchar_t)) != ERROR_SUCCESS) {
    return 4;
  }
  const auto removeGroup = Basalt::MakeScopeExit([&groupKey] {
    CQxSvcHostConfig::DestroyInstance();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, groupKey.c_str());
  });
  CQxSvcHostConfig* config = CQxSvcHostConfig::GetInstance();
  if (config == nullptr || !config->Init(group.c_str())) return 4;

  CoQxSvcSubsystemControlManagerClassFactory controlManager;
  if (FAILED(controlManager.RegisterClassObject())) return 5;
  CTestSubsystemProvider provider;
  DWORD providerCookie = 0;
  if (FAILED(CoRegisterClassObject(CLSID_QxTestSubsystemProvider,
                                   static_cast<IQxClassFactory*>(&provider), CLSCTX_LOCAL_SERVER,
                                   REGCLS_MULTIPLEUSE, &providerCookie))) {
    return 6;
  }

  Basalt::UniqueEvent ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]));
  Basalt::UniqueEvent done(OpenEventW(SYNCHRONIZE, FALSE, argv[2]));
  if (!ready || !done) return 7;
  SetEvent(ready.get());
  const DWORD waited = WaitForSingleObject(done.get(), 60000);
  CoRevokeClassObject(providerCookie);
  return waited == WAIT_OBJECT_0 ? 0 : 8;
}
