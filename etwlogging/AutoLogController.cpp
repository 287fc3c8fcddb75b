#include "etwlogging/AutoLogController.h"

#include <new>
#include <string>
#include <utility>

namespace ETWLogging {
namespace {

template <typename Function>
Function BindExport(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

DWORD LookupError() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_PROC_NOT_FOUND);
}

}  // namespace

DWORD LogControllerDLL::Load(const wchar_t* path) {
  const DWORD loaded = LoadModule(path);
  if (loaded != ERROR_SUCCESS) return loaded;
  if ((m_pfnStart = BindExport<LogControllerStartFn>(m_hModule, "Start")) == nullptr ||
      (m_pfnStop = BindExport<LogControllerStopFn>(m_hModule, "Stop")) == nullptr ||
      (m_pfnRestartSession =
           BindExport<LogControllerRestartSessionFn>(m_hModule, "RestartSession")) == nullptr ||
      (m_pfnFlushBuffers = BindExport<LogControllerFlushBuffersFn>(m_hModule, "FlushBuffers")) ==
          nullptr) {
    return LookupError();
  }
  return ERROR_SUCCESS;
}

AutoLogController::AutoLogController(const wchar_t* appId)
    : m_pszAppId(appId), m_pHelper(CreateLogControllerHelper()) {
  Run();
}

AutoLogController::AutoLogController(const wchar_t* appId,
                                     std::unique_ptr<LogControllerHelper> helper)
    : m_pszAppId(appId), m_pHelper(std::move(helper)) {
  Run();
}

AutoLogController::~AutoLogController() {
  if (m_pfnStop != nullptr) (void)m_pfnStop(FALSE, m_pszAppId);
  m_pHelper.reset();
}

void AutoLogController::Run() {
  if (!m_pHelper) {
    m_dwLastResult = ERROR_OUTOFMEMORY;
    return;
  }
  LocateAndLoad();
  if (m_dwLastResult == ERROR_SUCCESS) m_dwLastResult = m_pfnStart(m_pszAppId);
}

void AutoLogController::LocateAndLoad() {
  try {
    std::wstring path;
    if (!m_pHelper->FindController(m_pszAppId, path)) {
      m_dwLastResult = ERROR_ACCESS_DENIED;
      return;
    }
    m_dwLastResult = Load(path.c_str());
  } catch (const std::bad_alloc&) {
    m_dwLastResult = ERROR_OUTOFMEMORY;
  }
  // Loaded (or not): the file may change again.
  m_pHelper->ReleaseModuleHold();
}

}  // namespace ETWLogging
