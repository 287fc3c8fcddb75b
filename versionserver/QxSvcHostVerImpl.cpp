#include "versionserver/QxSvcHostVerImpl.h"

#include <objbase.h>

#include <new>

#include "etwlogging/Logging.h"
#include "versionserver/CQxSvcHostVerModule.h"
#include "versionserver/QxGetVersion.h"
#include "versionserver/QxSvcHostVerIds.h"

namespace {

constexpr wchar_t kLogFile[] = L"QxSvcHostVerImpl";

using Evaluation = DWORD (*)(HMODULE, UINT, const wchar_t*, wchar_t*, DWORD*);

// What one method evaluates and the function name and source lines its log lines carry.
struct MethodLog {
  const wchar_t* function;
  const wchar_t* noData;
  Evaluation evaluate;
  int starting;
  int invalidArguments;
  int noDataLine;
  int noMemory;
  int complete;
  int errorAfterSizing;
  int errorAfterFill;
};

constexpr MethodLog kGetVersion = {L"CQxSvcHostVer::GetVersion",
                                   L"No data from QxGetVersion",
                                   &QxGetVersion,
                                   25,
                                   29,
                                   46,
                                   55,
                                   68,
                                   39,
                                   64};
constexpr MethodLog kCheckComponents = {L"CQxSvcHostVer::CheckComponents",
                                        L"No data from QxCheckComponents",
                                        &QxCheckComponents,
                                        76,
                                        80,
                                        97,
                                        106,
                                        119,
                                        90,
                                        115};

template <typename... Args>
void Log(ETWLogging::LogLevel level, const MethodLog& method, int line, const wchar_t* format,
         Args... args) {
  if (IsLevelEnabled(level)) LogMessage(level, kLogFile, method.function, line, format, args...);
}

HRESULT Report(const MethodLog& method, LPWSTR* text, DWORD* result) {
  SetLogIdentity(nullptr, L"QxSvcHost", nullptr, nullptr, 0);
  Log(ETWLogging::kLogNormal, method, method.starting, L"Starting");
  if (text == nullptr || result == nullptr) {
    Log(ETWLogging::kLogError, method, method.invalidArguments, L"Invalid Arguments");
    return E_INVALIDARG;
  }
  *text = nullptr;
  const HMODULE module = QxSvcHostVerModule().GetModuleInstance();
  DWORD length = 0;
  *result = method.evaluate(module, IDR_COMPONENTS_INI, kIniResourceType, nullptr, &length);
  if (*result != ERROR_MORE_DATA) {
    Log(ETWLogging::kLogError, method, method.errorAfterSizing, L"Error '0x%08X'", *result);
    return E_FAIL;
  }
  if (length == 0) {
    Log(ETWLogging::kLogError, method, method.noDataLine, method.noData);
    *result = 0;
    return S_OK;
  }
  auto* buffer =
      static_cast<wchar_t*>(CoTaskMemAlloc((static_cast<size_t>(length) + 1) * sizeof(wchar_t)));
  if (buffer == nullptr) {
    *result = ERROR_NOT_ENOUGH_MEMORY;
    Log(ETWLogging::kLogError, method, method.noMemory, L"ERROR_NOT_ENOUGH_MEMORY");
    return E_OUTOFMEMORY;
  }
  *result = method.evaluate(module, IDR_COMPONENTS_INI, kIniResourceType, buffer, &length);
  if (*result == 0 || *result == 2) {
    *text = buffer;
    Log(ETWLogging::kLogNormal, method, method.complete, L"Complete");
    return S_OK;
  }
  CoTaskMemFree(buffer);
  Log(ETWLogging::kLogError, method, method.errorAfterFill, L"Error '0x%08X'", *result);
  return E_FAIL;
}

}  // namespace

HRESULT CQxSvcHostVer::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  auto* object = new (std::nothrow) CQxSvcHostVer(outer);
  if (object == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = object->m_inner.QueryInterface(riid, ppv);
  if (FAILED(hr)) {
    delete object;
    return E_NOINTERFACE;
  }
  return S_OK;
}

CQxSvcHostVer::CQxSvcHostVer(IUnknown* outer)
    : m_inner(*this), m_pControllingUnknown(outer != nullptr ? outer : &m_inner) {
  QxSvcHostVerModule().Lock();
}

CQxSvcHostVer::~CQxSvcHostVer() { QxSvcHostVerModule().Unlock(); }

HRESULT CQxSvcHostVer::QueryInterface(REFIID riid, void** ppv) {
  return m_pControllingUnknown->QueryInterface(riid, ppv);
}

ULONG CQxSvcHostVer::AddRef() { return m_pControllingUnknown->AddRef(); }

ULONG CQxSvcHostVer::Release() { return m_pControllingUnknown->Release(); }

HRESULT CQxSvcHostVer::CInnerUnknown::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IUnknown*>(this);
  } else if (IsEqualIID(riid, IID_IQxVersion)) {
    *ppv = static_cast<IQxVersion*>(&m_owner);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  static_cast<IUnknown*>(*ppv)->AddRef();
  return S_OK;
}

ULONG CQxSvcHostVer::CInnerUnknown::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&m_owner.m_cRef));
}

ULONG CQxSvcHostVer::CInnerUnknown::Release() {
  const LONG count = InterlockedDecrement(&m_owner.m_cRef);
  if (count == 0) delete &m_owner;
  return static_cast<ULONG>(count);
}

HRESULT CQxSvcHostVer::GetVersion(LPWSTR* text, DWORD* result) {
  return Report(kGetVersion, text, result);
}

HRESULT CQxSvcHostVer::CheckComponents(LPWSTR* text, DWORD* result) {
  return Report(kCheckComponents, text, result);
}
