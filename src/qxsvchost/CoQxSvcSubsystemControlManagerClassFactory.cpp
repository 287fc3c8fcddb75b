#include "src/qxsvchost/CoQxSvcSubsystemControlManagerClassFactory.h"

#include <objbase.h>

#include "etwlogging/Logging.h"
#include "src/qxsvchost/QxSvcSubsystemControlManager.h"

namespace {
constexpr const wchar_t kLogFile[] = L"QxSvcSubsystemControlManager";
}  // namespace

CoQxSvcSubsystemControlManagerClassFactory::~CoQxSvcSubsystemControlManagerClassFactory() {
  RevokeClassObject();
}

HRESULT CoQxSvcSubsystemControlManagerClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQxClassFactory)) {
    *ppv = static_cast<IQxClassFactory*>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG CoQxSvcSubsystemControlManagerClassFactory::AddRef() { return 2; }

ULONG CoQxSvcSubsystemControlManagerClassFactory::Release() { return 1; }

HRESULT CoQxSvcSubsystemControlManagerClassFactory::CreateObjectUnchecked(REFIID riid, void** ppv) {
  return CQxSvcSubsystemControlManager::CreateInstance(riid, ppv);
}

HRESULT CoQxSvcSubsystemControlManagerClassFactory::RegisterClassObject() {
  static constexpr const wchar_t kFunction[] =
      L"CoQxSvcSubsystemControlManagerClassFactory::RegisterClassObject";
  // A second registration would overwrite the cookie and leave COM a pointer to this object
  // after its destructor has run.
  RevokeClassObject();
  DWORD cookie = 0;
  const HRESULT hr =
      CoRegisterClassObject(CLSID_QxSvcSubsystemControlManager, static_cast<IQxClassFactory*>(this),
                            CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  if (FAILED(hr)) {
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction, L"CoRegisterClassObject failed with error %x",
          hr);
  } else {
    m_dwCookie = cookie;
    QXLOG(ETWLogging::kLogInformation, kLogFile, kFunction, L"CoRegisterClassObject succeeded");
  }
  return hr;
}

HRESULT CoQxSvcSubsystemControlManagerClassFactory::RevokeClassObject() {
  if (m_dwCookie != 0) {
    CoRevokeClassObject(m_dwCookie);
    m_dwCookie = 0;
  }
  return S_OK;
}
