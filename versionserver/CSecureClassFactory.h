// A reference-counted secure class factory on a secure factory base: it answers only IUnknown and
// IQxClassFactory and makes its objects with a creator function once the base's caller check has
// passed. CreateObject is the base's own in both interface tables (the compiler's adjusting thunk
// of the second table jumps, it does not call), so each table judges its real caller.
#pragma once

#include <windows.h>

#include <new>

#include "trust/SecureCom.h"

namespace Tarrow {

// The lock count of the module that serves the factory.
class IModuleLock {
 public:
  virtual LONG Lock() = 0;
  virtual LONG Unlock() = 0;

 protected:
  ~IModuleLock() = default;
};

template <class Base>
class CSecureClassFactory : public Base {
 public:
  // Makes a new object: |outer| controlling unknown or null, the interface |riid| into |*ppv|.
  using Creator = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

  // A new factory with one reference, which the caller (the module's object map) holds. Null when
  // memory or its critical section cannot be had.
  static CSecureClassFactory* Create(Creator creator, IModuleLock& module) {
    auto* factory = new (std::nothrow) CSecureClassFactory(creator, module);
    if (factory == nullptr) return nullptr;
    if (!InitializeCriticalSectionEx(&factory->m_cs, 0, 0)) {
      delete factory;
      return nullptr;
    }
    factory->m_bCsInitialized = true;
    return factory;
  }

  // IUnknown and IQxClassFactory; every other IID (IClassFactory included) gives E_NOINTERFACE.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQxClassFactory)) {
      *ppv = static_cast<IQxClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }

  // A reference beyond the object map's keeps the module loaded.
  ULONG STDMETHODCALLTYPE AddRef() override {
    const LONG count = InterlockedIncrement(&m_cRef);
    if (count == 2) m_module.Lock();
    return static_cast<ULONG>(count);
  }

  ULONG STDMETHODCALLTYPE Release() override {
    const LONG count = InterlockedDecrement(&m_cRef);
    if (count == 1) {
      m_module.Unlock();
    } else if (count == 0) {
      delete this;
    }
    return static_cast<ULONG>(count);
  }

  // E_POINTER for a null |ppv|; otherwise |*ppv| is cleared and the creator's result returned.
  HRESULT STDMETHODCALLTYPE CreateObjectUnchecked(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    return m_pfnCreator(nullptr, riid, ppv);
  }

  virtual ~CSecureClassFactory() {
    if (m_bCsInitialized) DeleteCriticalSection(&m_cs);
    m_bCsInitialized = false;
  }

 private:
  CSecureClassFactory(Creator creator, IModuleLock& module)
      : m_pfnCreator(creator), m_module(module) {}
  CSecureClassFactory(const CSecureClassFactory&) = delete;
  CSecureClassFactory& operator=(const CSecureClassFactory&) = delete;

  LONG m_cRef = 1;
  CRITICAL_SECTION m_cs = {};
  bool m_bCsInitialized = false;
  Creator m_pfnCreator;
  IModuleLock& m_module;
};

}  // namespace Tarrow
