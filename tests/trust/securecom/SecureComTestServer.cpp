// In-process COM server for the secure COM tests: secure class factories built on
// CQxSecureClassFactory, plus class objects that misbehave in the ways the tests need.
#include "tests/trust/securecom/SecureComTestServer.h"

#include <new>

#include "TrustTestSupport.h"

namespace {

LONG g_created = 0;
LONG g_liveFactories = 0;
LONG g_liveObjects = 0;

class CProbe final : public ISecureComProbe {
 public:
  explicit CProbe(REFCLSID clsid) : clsid_(clsid) { InterlockedIncrement(&g_liveObjects); }
  virtual ~CProbe() { InterlockedDecrement(&g_liveObjects); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISecureComProbe)) {
      *ppv = static_cast<ISecureComProbe*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG refs = InterlockedDecrement(&refs_);
    if (refs == 0) delete this;
    return refs;
  }
  HRESULT STDMETHODCALLTYPE GetClass(CLSID* clsid) override {
    if (clsid == nullptr) return E_POINTER;
    *clsid = clsid_;
    return S_OK;
  }

 private:
  LONG refs_ = 1;
  CLSID clsid_;
};

HRESULT CreateProbe(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  CProbe* probe = new (std::nothrow) CProbe(clsid);
  if (probe == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = probe->QueryInterface(riid, ppv);
  probe->Release();
  if (SUCCEEDED(hr)) InterlockedIncrement(&g_created);
  return hr;
}

// One new class object per DllGetClassObject call, so the tests can see it released.
class CProbeClassFactory final : public CQxSecureClassFactory, public IClassFactory {
 public:
  CProbeClassFactory(REFCLSID clsid, bool answersCurrent)
      : clsid_(clsid), answersCurrent_(answersCurrent) {
    InterlockedIncrement(&g_liveFactories);
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) ||
        (answersCurrent_ && IsEqualIID(riid, IID_IQxClassFactory))) {
      *ppv = static_cast<IQxClassFactory*>(this);
    } else if (IsEqualIID(riid, IID_IQxClassFactory_PreComponentization)) {
      *ppv = static_cast<IQxClassFactory_PreComponentization*>(this);
    } else if (answersCurrent_ && IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG refs = InterlockedDecrement(&refs_);
    if (refs == 0) delete this;
    return refs;
  }

  HRESULT STDMETHODCALLTYPE CreateObjectUnchecked(REFIID riid, void** ppv) override {
    return CreateProbe(clsid_, riid, ppv);
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return CreateProbe(clsid_, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  virtual ~CProbeClassFactory() { InterlockedDecrement(&g_liveFactories); }

 private:
  LONG refs_ = 0;
  CLSID clsid_;
  bool answersCurrent_;
};

// A class object whose table starts 8 bytes before a readable page: reading its first entry
// faults, while AddRef, Release and CreateObject (slots 1-3) can still be called.
struct UnreadableObject {
  void** table;
  LONG refs;
};

ULONG STDMETHODCALLTYPE UnreadableAddRef(UnreadableObject* self) {
  return InterlockedIncrement(&self->refs);
}
ULONG STDMETHODCALLTYPE UnreadableRelease(UnreadableObject* self) {
  const LONG refs = InterlockedDecrement(&self->refs);
  if (refs == 0) {
    delete self;
    InterlockedDecrement(&g_liveFactories);
  }
  return refs;
}
HRESULT STDMETHODCALLTYPE UnreadableCreateObject(UnreadableObject*, REFIID, void** ppv) {
  InterlockedIncrement(&g_created);
  if (ppv != nullptr) *ppv = nullptr;
  return E_UNEXPECTED;
}

void* g_unreadablePages = nullptr;
void** g_unreadableTable = nullptr;

void** UnreadableTable() {
  if (g_unreadableTable != nullptr) return g_unreadableTable;
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  auto* pages = static_cast<char*>(
      VirtualAlloc(nullptr, 2 * si.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (pages == nullptr) return nullptr;
  void** table = reinterpret_cast<void**>(pages + si.dwPageSize) - 1;
  table[1] = reinterpret_cast<void*>(&UnreadableAddRef);
  table[2] = reinterpret_cast<void*>(&UnreadableRelease);
  table[3] = reinterpret_cast<void*>(&UnreadableCreateObject);
  DWORD old = 0;
  if (!VirtualProtect(pages, si.dwPageSize, PAGE_NOACCESS, &old)) {
    VirtualFree(pages, 0, MEM_RELEASE);
    return nullptr;
  }
  g_unreadablePages = pages;
  g_unreadableTable = table;
  return table;
}

}  // namespace

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualCLSID(clsid, CLSID_SecureComProbe) || IsEqualCLSID(clsid, CLSID_SecureComProbeOld)) {
    auto* factory =
        new (std::nothrow) CProbeClassFactory(clsid, IsEqualCLSID(clsid, CLSID_SecureComProbe));
    if (factory == nullptr) return E_OUTOFMEMORY;
    factory->AddRef();
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
  }
  if (IsEqualCLSID(clsid, CLSID_SecureComNone)) {
    return IsEqualIID(riid, IID_IQxClassFactory) ? E_NOINTERFACE : CLASS_E_CLASSNOTAVAILABLE;
  }
  if (IsEqualCLSID(clsid, CLSID_SecureComUnreadable)) {
    void** table = UnreadableTable();
    if (table == nullptr) return E_OUTOFMEMORY;
    auto* object = new (std::nothrow) UnreadableObject{table, 1};
    if (object == nullptr) return E_OUTOFMEMORY;
    InterlockedIncrement(&g_liveFactories);
    *ppv = object;
    return S_OK;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return S_FALSE; }

extern "C" void WINAPI SecureComServerStats(SecureComStats* stats) {
  stats->created = g_created;
  stats->liveFactories = g_liveFactories;
  stats->liveObjects = g_liveObjects;
}

extern "C" void WINAPI SecureComServerAnswerComCalls(DWORD threadId, HRESULT context,
                                                     HRESULT caller) {
  trust_test::AnswerComCallsOnThread(threadId, {context, caller});
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // At process exit the pages go with the process.
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr && g_unreadablePages != nullptr) {
    VirtualFree(g_unreadablePages, 0, MEM_RELEASE);
  }
  return TRUE;
}
