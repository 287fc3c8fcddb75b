#include "tracecontrol/LogControllerExports.h"

#include <memory>
#include <mutex>
#include <new>

#include "tracecontrol/CLogController.h"

namespace ETWLogging {
namespace {

constexpr wchar_t kDefaultAppId[] = L"WSS";

CLogControllerIf* g_pLogController = nullptr;
// Callers are expected to call one export at a time; the lock makes overlapping callers
// safe all the same.
std::mutex g_exportLock;

// The controller, made for |appId| when there is none; null when it cannot be made.
CLogControllerIf* ObtainController(const wchar_t* appId) {
  if (g_pLogController == nullptr) CreateLogController(appId);
  return g_pLogController;
}

void DestroyController() {
  delete g_pLogController;
  g_pLogController = nullptr;
}

template <typename Operation>
DWORD RunExport(Operation operation) noexcept {
  try {
    std::lock_guard<std::mutex> lock(g_exportLock);
    return operation();
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  } catch (...) {
    return ERROR_FUNCTION_FAILED;
  }
}

}  // namespace

void CreateLogController(const wchar_t* appId) {
  if (g_pLogController != nullptr) return;
  try {
    std::unique_ptr<CLogController> controller(new CLogController());
    if (controller->Initialize(appId != nullptr ? appId : kDefaultAppId) == ERROR_SUCCESS) {
      g_pLogController = controller.release();
    }
  } catch (const std::bad_alloc&) {
    // no controller: the export reports 1627
  }
}

CLogControllerIf* GetLogController() { return g_pLogController; }

DWORD StartExport(const wchar_t* appId) {
  return RunExport([appId]() -> DWORD {
    CLogControllerIf* controller = ObtainController(appId);
    return controller != nullptr ? controller->Start() : ERROR_FUNCTION_FAILED;
  });
}

DWORD StopExport(BOOLEAN stopSession, const wchar_t* appId) {
  return RunExport([stopSession, appId]() -> DWORD {
    CLogControllerIf* controller = ObtainController(appId);
    if (controller == nullptr) return ERROR_FUNCTION_FAILED;
    const DWORD result = controller->Stop(stopSession);
    DestroyController();
    return result;
  });
}

DWORD RestartSessionExport(const wchar_t* appId) {
  return RunExport([appId]() -> DWORD {
    const bool made = g_pLogController == nullptr;
    CLogControllerIf* controller = ObtainController(appId);
    if (controller == nullptr) return ERROR_FUNCTION_FAILED;
    const DWORD result = controller->RestartSession();
    if (made) DestroyController();
    return result;
  });
}

DWORD FlushBuffersExport(const wchar_t* appId) {
  return RunExport([appId]() -> DWORD {
    CLogControllerIf* controller = ObtainController(appId);
    return controller != nullptr ? controller->FlushBuffers() : ERROR_FUNCTION_FAILED;
  });
}

}  // namespace ETWLogging
