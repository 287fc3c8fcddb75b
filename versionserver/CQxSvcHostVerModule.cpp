#include "versionserver/CQxSvcHostVerModule.h"

#include <objbase.h>

#include <new>
#include <string>

#include "atlshim/ScriptRegistrar.h"
#include "versionserver/QxSvcHostVerIds.h"
#include "versionserver/QxSvcHostVerImpl.h"
#include "versionserver/QxSvcHostVerPs.h"

namespace {

using CQxSvcHostVerClassFactory = Tarrow::CSecureClassFactory<CQxSecureClassFactory>;

// Full path of |module|; empty when it does not fit.
std::wstring ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) return std::wstring();
    path.resize(path.size() * 2);
  }
}

}  // namespace

CQxSvcHostVerModule& QxSvcHostVerModule() {
  static CQxSvcHostVerModule module;
  return module;
}

bool CQxSvcHostVerModule::Init(HINSTANCE instance) {
  m_hInstance = instance;
  if (!m_bObjMapLockInitialized) {
    if (!InitializeCriticalSectionEx(&m_csObjMap, 0, 0)) return false;
    m_bObjMapLockInitialized = true;
  }
  return true;
}

void CQxSvcHostVerModule::Term() {
  if (m_pClassObject != nullptr) {
    m_pClassObject->Release();
    m_pClassObject = nullptr;
  }
  if (m_bObjMapLockInitialized) {
    DeleteCriticalSection(&m_csObjMap);
    m_bObjMapLockInitialized = false;
  }
}

const GUID& CQxSvcHostVerModule::GetTypeLibId() const { return LIBID_QxSvcHostVerLib; }

const wchar_t* CQxSvcHostVerModule::GetAppId() const { return kQxSvcHostVerAppId; }

HRESULT CQxSvcHostVerModule::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_QxSvcHostVer)) return CLASS_E_CLASSNOTAVAILABLE;
  if (!m_bObjMapLockInitialized) return E_UNEXPECTED;
  EnterCriticalSection(&m_csObjMap);
  if (m_pClassObject == nullptr) {
    m_pClassObject = static_cast<IQxClassFactory*>(
        CQxSvcHostVerClassFactory::Create(&CQxSvcHostVer::CreateInstance, *this));
  }
  IUnknown* classObject = m_pClassObject;
  LeaveCriticalSection(&m_csObjMap);
  if (classObject == nullptr) return E_OUTOFMEMORY;
  return classObject->QueryInterface(riid, ppv);
}

HRESULT CQxSvcHostVerModule::UpdateRegistry(bool registering) {
  // The path, the replacements and the parsed script live in allocated memory: running out of
  // it is a result of the export, not an exception out of it.
  try {
    const std::wstring module = ModulePath(m_hInstance);
    if (module.empty()) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    AtlShim::CScriptRegistrar registrar;
    registrar.AddReplacement(L"MODULE", module);
    registrar.AddReplacement(L"APPID", kQxSvcHostVerAppId);
    // Once for the application identifier and once for the class, from the same script.
    for (int pass = 0; pass < 2; ++pass) {
      const HRESULT hr =
          registering
              ? registrar.ResourceRegister(m_hInstance, IDR_QXSVCHOSTVER, kRegistryResourceType)
              : registrar.ResourceUnregister(m_hInstance, IDR_QXSVCHOSTVER, kRegistryResourceType);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CQxSvcHostVerModule::RegisterServer() { return UpdateRegistry(true); }

HRESULT CQxSvcHostVerModule::UnregisterServer() { return UpdateRegistry(false); }

BOOL QuilletDllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) return QxSvcHostVerModule().Init(instance) ? TRUE : FALSE;
  // At process exit other threads are gone mid-call; the objects go with the process.
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) QxSvcHostVerModule().Term();
  return TRUE;
}

HRESULT QuilletDllCanUnloadNow() {
  const HRESULT hr = QxPsDllCanUnloadNow();
  if (hr != S_OK) return hr;
  return QxSvcHostVerModule().GetLockCount() == 0 ? S_OK : S_FALSE;
}

HRESULT QuilletDllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  const HRESULT hr = QxPsDllGetClassObject(clsid, riid, ppv);
  if (SUCCEEDED(hr)) return hr;
  return QxSvcHostVerModule().GetClassObject(clsid, riid, ppv);
}

HRESULT QuilletDllRegisterServer() {
  CQxSvcHostVerModule& module = QxSvcHostVerModule();
  const HRESULT hr = module.RegisterServer();
  if (FAILED(hr)) return hr;
  return QxPsDllRegisterProxy(module.GetModuleInstance());
}

HRESULT QuilletDllUnregisterServer() {
  CQxSvcHostVerModule& module = QxSvcHostVerModule();
  HRESULT hr = module.UnregisterServer();
  if (FAILED(hr)) return hr;
  // The proxy/stub entries are written once more before they are removed, so that an
  // unregistration whose writing step fails removes none.
  hr = QxPsDllRegisterProxy(module.GetModuleInstance());
  if (FAILED(hr)) return hr;
  return QxPsDllUnregisterProxy(module.GetModuleInstance());
}
