// The host of one service group: turns the process into the group's service process and returns
// the process exit code when every service of the group has stopped.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "src/qxsvchost/CQxSCMInterface.h"
#include "src/qxsvchost/CQxSvcHostConfig.h"
#include "src/qxsvchost/CQxSvcHostProxy.h"
#include "src/qxsvchost/CQxSvcHostWorkingSetHandler.h"
#include "src/qxsvchost/IQxServiceControlApi.h"

// Replacements of the pieces that a test cannot have for real; every empty member keeps the real
// one.
struct CQxSvcHostSeams {
  // Makes the dispatcher table that Start fills and runs.
  std::function<std::unique_ptr<CQxSCMInterface>()> makeDispatcherTable;
  // Takes the status reports of services that the proxy refuses (must outlive the host).
  IQxServiceControlApi* scm = nullptr;
  // Makes the working-set handler (exactly that type: its destructor is not virtual).
  std::function<std::unique_ptr<CQxSvcHostWorkingSetHandler>()> makeWorkingSetHandler;
  // How long the teardown waits for service threads still finishing (0: 30 s).
  DWORD serviceThreadsWaitMs = 0;
  // How long the end of a start shown START_PENDING waits for a new start (0: 2 s), and how
  // long a new start waits at entry for the end of the last one (0: 10 s).
  DWORD newStartWaitMs = 0;
  DWORD lastEndWaitMs = 0;
  // Runs when a service thread outlives that wait, just before the process is ended with the
  // exit code it is given; it may end the process itself, never return to the teardown.
  std::function<void(DWORD exitCode)> beforeForcedEnd;
};

class CQxSvcHost {
 public:
  CQxSvcHost();
  explicit CQxSvcHost(CQxSvcHostSeams seams);
  // De-initialises the working-set reduction if Start did not, then deletes the proxy state.
  ~CQxSvcHost();
  CQxSvcHost(const CQxSvcHost&) = delete;
  CQxSvcHost& operator=(const CQxSvcHost&) = delete;

  // Runs the group that argv[1] names after its first "/" until the dispatcher returns. Exit
  // code: 0 after a run; 87 for a bad command line or no usable service; 1359 when the
  // configuration cannot be loaded or the dispatcher fails; the low 16 bits of the HRESULT when
  // COM or its security cannot be initialised. When a service thread is still running after the
  // wait for it, the process ends at once with the run's exit code, without teardown.
  DWORD Start(int argc, wchar_t** argv);

  // The text of argv[1] after the first "/"; false (logged) when there is none or it is empty.
  [[nodiscard]] bool ParseCommandLine(int argc, wchar_t** argv, std::wstring& group);
  // Adds every non-empty service name of the group with the generic service main; false when
  // none could be added.
  [[nodiscard]] bool AddServicesToScmInterface(CQxSvcHostConfig& config, CQxSCMInterface& table);
  // Starts the working-set handler when the group's settings enable it; false on failure.
  bool InitializeWSS();
  // Stops the handler, waits for its runs to end, stores the limit it learned and deletes it.
  // False without a handler, or when it cannot be stopped (it then stays).
  bool DeInitializeWSS();

  // The running handler (null when none); for tests.
  CQxSvcHostWorkingSetHandler* GetWorkingSetHandler() const { return m_wsHandler.get(); }

 private:
  std::wstring m_groupDelimiter = L"/";
  WORD m_groupIndex = 1;
  std::unique_ptr<CQxSvcHostWorkingSetHandler> m_wsHandler;
  std::unique_ptr<CQxSvcHostProxy> m_proxy;
  CQxSvcHostSeams m_seams;
};
