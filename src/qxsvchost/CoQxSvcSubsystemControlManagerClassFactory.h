// Class object of the subsystem control manager, registered by the running host as a local
// server under CLSID_QxSvcSubsystemControlManager.
#pragma once

#include <windows.h>

#include "trust/SecureCom.h"

// Lives on the host's stack for the life of the dispatcher; counts nothing and frees nothing.
// CreateObject (inherited) refuses untrusted callers with E_ACCESSDENIED.
class CoQxSvcSubsystemControlManagerClassFactory : public CQxSecureClassFactory {
 public:
  CoQxSvcSubsystemControlManagerClassFactory() = default;
  CoQxSvcSubsystemControlManagerClassFactory(const CoQxSvcSubsystemControlManagerClassFactory&) =
      delete;
  CoQxSvcSubsystemControlManagerClassFactory& operator=(
      const CoQxSvcSubsystemControlManagerClassFactory&) = delete;

  // IUnknown and IQxClassFactory give the primary interface without AddRef; every other IID
  // (IQxClassFactory_PreComponentization included) gives null and E_NOINTERFACE.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  // Always 2.
  ULONG STDMETHODCALLTYPE AddRef() override;
  // Always 1.
  ULONG STDMETHODCALLTYPE Release() override;
  // CQxSvcSubsystemControlManager::CreateInstance(riid, ppv) unchanged.
  HRESULT STDMETHODCALLTYPE CreateObjectUnchecked(REFIID riid, void** ppv) override;

  // Revokes the registration, if any.
  virtual ~CoQxSvcSubsystemControlManagerClassFactory();

  // Registers this object with COM (local server, multiple use) and logs the outcome; returns
  // CoRegisterClassObject's HRESULT. An earlier registration of this object is revoked first.
  [[nodiscard]] HRESULT RegisterClassObject();
  // Revokes a registration made by RegisterClassObject; always 0.
  HRESULT RevokeClassObject();

 private:
  DWORD m_dwCookie = 0;
};
