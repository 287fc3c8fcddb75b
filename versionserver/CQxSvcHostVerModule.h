// The server module of Quillet: its lock count, its one class object and its registration, and the
// four exported entry points built on them (the DLL's entry file only forwards to these).
#pragma once

#include <windows.h>

#include "versionserver/CSecureClassFactory.h"

class CQxSvcHostVerModule final : public Tarrow::IModuleLock {
 public:
  CQxSvcHostVerModule() = default;
  CQxSvcHostVerModule(const CQxSvcHostVerModule&) = delete;
  CQxSvcHostVerModule& operator=(const CQxSvcHostVerModule&) = delete;

  // Stores the module whose resources are read and initialises the object map's lock; false when
  // the lock cannot be initialised.
  bool Init(HINSTANCE instance);
  // Releases the cached class object and the lock.
  void Term();

  HINSTANCE GetModuleInstance() const { return m_hInstance; }
  const GUID& GetTypeLibId() const;
  const wchar_t* GetAppId() const;

  LONG Lock() override { return InterlockedIncrement(&m_nLockCnt); }
  LONG Unlock() override { return InterlockedDecrement(&m_nLockCnt); }
  LONG GetLockCount() const { return m_nLockCnt; }

  // The object map: the class object of CLSID_QxSvcHostVer (made on first request and kept)
  // asked for |riid|; CLASS_E_CLASSNOTAVAILABLE for any other class.
  HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv);

  // Applies the registration script for the application identifier, then for the class; the type
  // library is left out. Unregistration removes the class's entries, then the application's.
  HRESULT RegisterServer();
  HRESULT UnregisterServer();

 private:
  HRESULT UpdateRegistry(bool registering);

  LONG m_nLockCnt = 0;
  HINSTANCE m_hInstance = nullptr;
  CRITICAL_SECTION m_csObjMap = {};
  bool m_bObjMapLockInitialized = false;
  IUnknown* m_pClassObject = nullptr;  // the object map's reference
};

// The one module object of the process.
CQxSvcHostVerModule& QxSvcHostVerModule();

// The exported entry points (see the .cpp for their order of steps).
BOOL QuilletDllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
HRESULT QuilletDllCanUnloadNow();
HRESULT QuilletDllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
HRESULT QuilletDllRegisterServer();
HRESULT QuilletDllUnregisterServer();
