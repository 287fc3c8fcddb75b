// The IUnknown part of the doubles' COM objects: one interface, counted references, deleted at
// the last Release (an object with static storage keeps the reference it starts with).
#pragma once

#include <objbase.h>
#include <windows.h>

#include <new>

namespace qxdouble {

template <typename Interface>
class DoubleObject : public Interface {
 public:
  explicit DoubleObject(const IID& iid) : m_iid(iid) {}
  DoubleObject(const DoubleObject&) = delete;
  DoubleObject& operator=(const DoubleObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, m_iid)) {
      *ppv = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
  }

 protected:
  virtual ~DoubleObject() = default;

 private:
  const IID m_iid;
  LONG m_refs = 1;
};

// Makes a |T| and hands out its |riid| interface; the result of QueryInterface.
template <typename T, typename... Args>
HRESULT CreateDoubleObject(REFIID riid, void** ppv, Args&&... args) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  T* object = new (std::nothrow) T(static_cast<Args&&>(args)...);
  if (!object) return E_OUTOFMEMORY;
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

}  // namespace qxdouble
