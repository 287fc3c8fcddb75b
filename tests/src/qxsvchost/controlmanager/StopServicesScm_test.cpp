// ctest-lock: scm controlmanager-class
// The stop road against Wine's real service control manager, with throw-away services of this
// test (QxCtlTestService.exe) and, for the forced end, a child host process
// (QxStopSubsystemChild.exe) that the test launches and waits on.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "QxCtlTestSupport.h"
#include "basalt/UniqueHandle.h"
#include "etwlogging/LogCapture.h"
#include "src/qxsvchost/QxSvcSubsystemControlManager.h"
#include "tests/src/qxsvchost/QxServiceStatus.h"

namespace {

using Basalt::UniqueKernelHandle;
using Basalt::UniqueScHandle;

std::wstring UniqueName(const wchar_t* stem) {
  return std::wstring(L"QxCtl") + stem + L"_" + std::to_wstring(GetCurrentProcessId());
}

class StopServicesScmTest : public qxctltest::TestServiceFixture {
 protected:
  void SetUp() override {
    TestServiceFixture::SetUp();
    ASSERT_TRUE(capture_.active());
  }

  std::wstring Install(const wchar_t* stem, const wchar_t* mode) {
    return TestServiceFixture::Install(UniqueName(stem), mode);
  }
  // Installs and starts a service and waits until it runs.
  std::wstring Run(const wchar_t* stem, const wchar_t* mode) {
    const std::wstring name = Install(stem, mode);
    UniqueScHandle service = Open(name);
    EXPECT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
    EXPECT_TRUE(qxtest::WaitForServiceState(service.get(), SERVICE_RUNNING, 10000));
    return name;
  }
  size_t StopServiceLines() {
    size_t n = 0;
    for (const auto& r : log_.Records()) n += r.function == L"StopService";
    return n;
  }
  bool LoggedText(const wchar_t* text) {
    for (const auto& r : log_.Records()) {
      if (r.message == text) return true;
    }
    return false;
  }

  ETWLogging::CLogCapture log_;
  ETWLogging::ScopedLogCapture capture_{log_};
};

TEST_F(StopServicesScmTest, MissingOrIdleServiceCountsAsStoppedWithoutALogLine) {
  const std::wstring idle = Install(L"Idle", L"stop");
  EXPECT_EQ(S_OK, StopService(UniqueName(L"Missing").c_str()));
  EXPECT_EQ(S_OK, StopService(idle.c_str()));
  EXPECT_EQ(0u, StopServiceLines());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), qxtest::ServiceState(Open(idle).get()));
}

TEST_F(StopServicesScmTest, ClientStopEndsTheGroupsRunningServices) {
  const std::wstring first = Run(L"First", L"stop");
  const std::wstring second = Run(L"Second", L"stop");
  qxctltest::ScratchHostConfig config(L"QxCtlStopScm");
  ASSERT_TRUE(config.ok());
  const std::wstring list = first + L";" + UniqueName(L"Missing") + L";" + second;
  ASSERT_TRUE(config.UseGroup(list.c_str()));

  IQxSvcSubsystemControlManager* manager = nullptr;
  ASSERT_EQ(S_OK, CQxSvcSubsystemControlManager::CreateInstance(
                      IID_IQxSvcSubsystemControlManager, reinterpret_cast<void**>(&manager)));
  DWORD pid = 0;
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(S_OK, manager->QxStopSvcSubsystem(L"ignored", &pid));
  EXPECT_LT(GetTickCount64() - start, 5000u);
  EXPECT_EQ(GetCurrentProcessId(), pid);
  EXPECT_EQ(1, g_bShutdown);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), qxtest::ServiceState(Open(first).get()));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), qxtest::ServiceState(Open(second).get()));

  // Once more, now with nothing running and no id wanted: the same success, no forced end.
  EXPECT_EQ(S_OK, manager->QxStopSvcSubsystem(nullptr, nullptr));
  EXPECT_EQ(0u, StopServiceLines());
  EXPECT_FALSE(
      LoggedText(L"Reduce restart: StopServices failed, starts a thread to force stop Hollin"));
  manager->Release();
}

// Runs the child host with |list| (null: no group key) and returns its exit code and the lines
// of its result file; |elapsedMs| is the time until it ended.
struct ChildRun {
  DWORD exitCode = 0xFFFFFFFF;
  DWORD pid = 0;
  ULONGLONG elapsedMs = 0;
  std::vector<std::string> lines;
};

ChildRun RunChild(const wchar_t* list) {
  ChildRun run;
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring resultFile =
      std::wstring(temp) + L"QxCtlChild_" + std::to_wstring(GetCurrentProcessId()) + L".txt";
  DeleteFileW(resultFile.c_str());
  const std::wstring scratch =
      L"Software\\HollinTests\\QxCtlChild_" + std::to_wstring(GetCurrentProcessId());
  std::wstring command = L"\"" + qxctltest::ExeFolder() + L"QxStopSubsystemChild.exe\" \"" +
                         resultFile + L"\" " + scratch + L" " + qxctltest::kGroup;
  if (list) command += std::wstring(L" ") + list;

  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  const ULONGLONG start = GetTickCount64();
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    ADD_FAILURE() << "CreateProcessW " << GetLastError();
    return run;
  }
  UniqueKernelHandle process(pi.hProcess);
  UniqueKernelHandle thread(pi.hThread);
  run.pid = pi.dwProcessId;
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), 45000));
  run.elapsedMs = GetTickCount64() - start;
  GetExitCodeProcess(process.get(), &run.exitCode);
  if (run.exitCode == STILL_ACTIVE) TerminateProcess(process.get(), 98);

  std::ifstream in(resultFile.c_str());
  for (std::string line; std::getline(in, line);) run.lines.push_back(line);
  in.close();
  DeleteFileW(resultFile.c_str());
  RegDeleteTreeW(HKEY_CURRENT_USER, scratch.c_str());
  return run;
}

// "hr=<hex> pid=<n> ms=<n>" of the child's stop call.
struct StopLine {
  unsigned long hr = 0, pid = 0;
  unsigned long long ms = 0;
  bool found = false;
};
StopLine ParseStopLine(const std::vector<std::string>& lines) {
  StopLine s;
  for (const std::string& line : lines) {
    if (sscanf(line.c_str(), "hr=%lx pid=%lu ms=%llu", &s.hr, &s.pid, &s.ms) == 3) {
      s.found = true;
      break;
    }
  }
  return s;
}

// Whether |expected| occur in |lines| in this order (other lines may come between).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  size_t next = 0;
  for (const std::string& line : lines) {
    if (next < expected.size() && line == expected[next]) ++next;
  }
  return next == expected.size();
}

std::string Ascii(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// The forced end ran no exit handler (so no static destructor either): the logging thread and
// any caller check may still have been reading what those would tear down.
bool EndedWithoutExitHandlers(const std::vector<std::string>& lines) {
  return std::find(lines.begin(), lines.end(), "atexit") == lines.end();
}

const std::string kStopCalled = "log 3 StopServices: Reduce restart: Calling Hollin StopServices";
const std::string kForcing =
    "log 3 CQxSvcSubsystemControlManager::QxStopSvcSubsystem: Reduce restart: StopServices "
    "failed, starts a thread to force stop Hollin";
const std::string kTerminating =
    "log 3 CQxSvcSubsystemControlManager::MyTerminateThread: Reduce restart: Enter "
    "MyTerminateThread";

// Stuck in its stop after this call's own stop, and after a stop that was already under way
// when the call came (the call then waits for that one as for its own).
TEST_F(StopServicesScmTest, StuckServiceFailsAfterTenPollsAndTheHostEndsWithExitCodeZero) {
  for (const bool alreadyStopping : {false, true}) {
    SCOPED_TRACE(alreadyStopping ? "stop already under way" : "own stop");
    const std::wstring stuck = Run(alreadyStopping ? L"StuckBefore" : L"Stuck", L"stuck");
    if (alreadyStopping) {
      SERVICE_STATUS status = {};
      ASSERT_TRUE(ControlService(Open(stuck).get(), SERVICE_CONTROL_STOP, &status))
          << GetLastError();
      ASSERT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), status.dwCurrentState);
    }
    const ChildRun run = RunChild(stuck.c_str());

    EXPECT_EQ(0u, run.exitCode);
    const StopLine stop = ParseStopLine(run.lines);
    ASSERT_TRUE(stop.found) << "the child reported no stop result";
    EXPECT_EQ(0x80004005ul, stop.hr);
    EXPECT_EQ(run.pid, stop.pid);
    EXPECT_GE(stop.ms, 9500u);  // ten pauses of a second
    EXPECT_LT(stop.ms, 13000u);
    EXPECT_GE(run.elapsedMs, stop.ms + 900);  // the forced end comes a second later
    EXPECT_TRUE(InOrder(run.lines, {kStopCalled,
                                    "log 4 StopService: Failed to QueryServiceStatus " +
                                        Ascii(stuck) + " after maximum attempts",
                                    kForcing, kTerminating}))
        << testing::PrintToString(run.lines);
    EXPECT_TRUE(EndedWithoutExitHandlers(run.lines)) << testing::PrintToString(run.lines);
    // The service was asked and is still stuck in its stop.
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), qxtest::ServiceState(Open(stuck).get()));
  }
}

TEST_F(StopServicesScmTest, UnreadableGroupFailsAtOnceAndTheHostEndsWithExitCodeZero) {
  const ChildRun run = RunChild(nullptr);

  EXPECT_EQ(0u, run.exitCode);
  const StopLine stop = ParseStopLine(run.lines);
  ASSERT_TRUE(stop.found) << "the child reported no stop result";
  EXPECT_EQ(0x80004005ul, stop.hr);
  EXPECT_LT(stop.ms, 1000u);
  EXPECT_GE(run.elapsedMs, 900u);
  EXPECT_LT(run.elapsedMs, 10000u);
  EXPECT_TRUE(InOrder(
      run.lines, {kStopCalled, "log 4 StopServices: Failed to get group services QxCtlTestGroup",
                  kForcing, kTerminating}))
      << testing::PrintToString(run.lines);
  EXPECT_TRUE(EndedWithoutExitHandlers(run.lines)) << testing::PrintToString(run.lines);
}

}  // namespace
