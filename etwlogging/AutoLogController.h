// Scoped owner of the trace-controller library: finds, checks, loads and starts it when made,
// stops and frees it when it goes.
#pragma once

#include <windows.h>

#include <memory>

#include "basalt/LibraryUtils.h"
#include "etwlogging/LogControllerHelper.h"

namespace ETWLogging {

// The trace-controller library's exports.
using LogControllerStartFn = DWORD(WINAPI*)(LPCWSTR appId);
using LogControllerStopFn = DWORD(WINAPI*)(BOOLEAN stopSession, LPCWSTR appId);
using LogControllerRestartSessionFn = DWORD(WINAPI*)(LPCWSTR appId);
using LogControllerFlushBuffersFn = DWORD(WINAPI*)(LPCWSTR appId);

// The loaded library and its four bound exports.
class LogControllerDLL : public Basalt::CDllWrapperBase {
 public:
  // Loads the library at |path| (calling its optional "DllAddRef") and binds "Start",
  // "Stop", "RestartSession" and "FlushBuffers" in that order. 0; the load's error; or, at
  // the first export missing, the lookup's error (the library stays loaded and the exports
  // bound before stay bound).
  [[nodiscard]] DWORD Load(const wchar_t* path);

 protected:
  LogControllerStartFn m_pfnStart = nullptr;
  LogControllerStopFn m_pfnStop = nullptr;
  LogControllerRestartSessionFn m_pfnRestartSession = nullptr;
  LogControllerFlushBuffersFn m_pfnFlushBuffers = nullptr;
};

class AutoLogController : public LogControllerDLL {
 public:
  // Finds and checks the library (LogControllerHelper::FindController), loads it, binds it
  // and calls Start(|appId|). Never fails visibly: see GetLastResult. |appId| is kept, not
  // copied: it must outlive the object.
  explicit AutoLogController(const wchar_t* appId);
  // Stop(FALSE, appId) when bound, then "DllRelease" and the library is freed.
  virtual ~AutoLogController();

  // 0 when loaded and started; 14 without memory for the finder; 5 when no library passed
  // the check; the load's or the export lookup's error; else Start's result.
  DWORD GetLastResult() const noexcept { return m_dwLastResult; }

 protected:
  // As the public constructor, with the given finder (null: 14).
  AutoLogController(const wchar_t* appId, std::unique_ptr<LogControllerHelper> helper);

  void LocateAndLoad();

 private:
  void Run();

  DWORD m_dwLastResult = ERROR_SUCCESS;
  const wchar_t* m_pszAppId;
  std::unique_ptr<LogControllerHelper> m_pHelper;
};

}  // namespace ETWLogging
