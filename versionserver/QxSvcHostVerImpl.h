// The version object: answers IQxVersion from the component description that the server carries
// as its resource INI 207. Free-threaded, without state of its own, aggregatable.
#pragma once

#include <windows.h>

#include "versionserver/IQxVersion.h"

class CQxSvcHostVer final : public IQxVersion {
 public:
  // The creator of the class object: a new object asked for |riid| (IUnknown or IQxVersion, else
  // E_NOINTERFACE and the object is gone again). With an |outer| unknown only IUnknown may be
  // asked for (CLASS_E_NOAGGREGATION otherwise) and the inner unknown is returned.
  // E_OUTOFMEMORY when the object cannot be made. |*ppv| is null on every failure.
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

  // Delegate to the controlling unknown (the outer one when aggregated).
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // Two calls of QxGetVersion: sizing, then filling a CoTaskMemAlloc'ed text. E_INVALIDARG for a
  // null pointer (nothing written); S_OK with |*result| 0 and a null text when nothing was
  // produced; S_OK with |*result| 0 or 2 and the text; E_OUTOFMEMORY (|*result| 8) when the text
  // cannot be allocated; E_FAIL with the evaluation's code in |*result| otherwise.
  HRESULT STDMETHODCALLTYPE GetVersion(LPWSTR* text, DWORD* result) override;
  // The same with QxCheckComponents.
  HRESULT STDMETHODCALLTYPE CheckComponents(LPWSTR* text, DWORD* result) override;

 private:
  // The non-delegating unknown that owns the object's count.
  class CInnerUnknown final : public IUnknown {
   public:
    explicit CInnerUnknown(CQxSvcHostVer& owner) : m_owner(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

   private:
    CQxSvcHostVer& m_owner;
  };

  explicit CQxSvcHostVer(IUnknown* outer);
  ~CQxSvcHostVer();
  CQxSvcHostVer(const CQxSvcHostVer&) = delete;
  CQxSvcHostVer& operator=(const CQxSvcHostVer&) = delete;

  LONG m_cRef = 0;
  CInnerUnknown m_inner;
  IUnknown* m_pControllingUnknown;
};
