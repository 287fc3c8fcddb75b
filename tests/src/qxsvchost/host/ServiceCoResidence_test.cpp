// ctest-lock: controlmanager-class
// Several services of one group in one process, as a real shared host runs them: the dispatcher
// seam starts their service mains on threads of their own (Wine's service control manager would
// give each service a process of its own).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "QxHostTestSupport.h"
#include "QxTestLogCapture.h"
#include "src/qxsvchost/CQxSvcHost.h"
#include "src/qxsvchost/QxSvcSubsystemControlManager.h"

namespace {

using qxhosttest::ComRegistration;
using qxhosttest::DoubleCopy;
using qxhosttest::ReadSubsystemRecord;
using qxhosttest::ScratchHost;
using qxhosttest::ThreadDispatcher;

constexpr DWORD kWait = 20000;

class CoResidenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    ASSERT_TRUE(capture_.installed());
    ASSERT_TRUE(route_.ok());
    ASSERT_TRUE(scratch_.HostDword(L"IsOobeCheckRequired", 0));
    ASSERT_TRUE(scratch_.HostDword(L"WSSEnable", 0));
  }
  void TearDown() override { g_bShutdown = 0; }

  // A service of the group run by |registration|; the list is written by Run.
  std::wstring Add(const wchar_t* stem, const ComRegistration& registration) {
    const std::wstring name = qxhosttest::UniqueName(stem);
    EXPECT_TRUE(scratch_.GroupString(group_, name.c_str(), registration.text()));
    services_.push_back(name);
    return name;
  }
  // Waits until the first end of |name| has finished with its handler and its subsystem: the
  // new start's STOP is sent only then.
  bool FirstEndDone(const std::wstring& name) {
    const std::wstring completed = L"ServiceMain for " + name + L" completed after ";
    return WaitFor([&] { return capture_.log().HasPrefix(ETWLogging::kLogNormal, completed); });
  }
  // Polls |done| until it holds; false after 20 s.
  static bool WaitFor(const std::function<bool()>& done) {
    const ULONGLONG end = GetTickCount64() + kWait;
    while (!done() && GetTickCount64() < end) Sleep(5);
    return done();
  }
  DWORD Run(ThreadDispatcher::Plan plan) {
    std::wstring list;
    for (const std::wstring& s : services_) list += s + L";";
    EXPECT_TRUE(scratch_.GroupString(group_, nullptr, list));
    CQxSvcHostSeams seams;
    seams.makeDispatcherTable = [this, plan] {
      return std::make_unique<ThreadDispatcher>(scm_, plan);
    };
    seams.scm = &scm_;
    seams.beforeForcedEnd = &qxhosttest::FailTheForcedEnd;
    seams.newStartWaitMs = newStartWaitMs_;
    seams.lastEndWaitMs = lastEndWaitMs_;
    CQxSvcHost host(seams);
    std::wstring program = L"Hollin.exe";
    std::wstring selector = L"/" + group_;
    wchar_t* argv[] = {program.data(), selector.data()};
    return host.Start(2, argv);
  }

  ScratchHost scratch_{L"QxCoResidence"};
  qxtest::ScopedLogCapture capture_;
  qxhosttest::RecordingStatusApi scm_;
  // The shared subsystem double, its status calls sent to |scm_|.
  const std::wstring library_ = qxhosttest::DoublePath(L"QxSubsystemDouble.dll");
  qxhosttest::DoubleStatusRoute route_{library_, scm_};
  const std::wstring group_ = qxhosttest::UniqueName(L"QxCoGroup");
  std::vector<std::wstring> services_;
  DWORD newStartWaitMs_ = 0;  // the host's own
  DWORD lastEndWaitMs_ = 0;   // the host's own
};

TEST_F(CoResidenceTest, SerialLoadsSerialiseOnlyTheLoads) {
  for (const DWORD serial : {1u, 0u}) {
    SCOPED_TRACE(testing::Message() << "ForceSerialLoads " << serial);
    ASSERT_TRUE(scratch_.HostDword(L"ForceSerialLoads", serial));
    DoubleCopy library(serial ? L"serial" : L"parallel");
    ASSERT_TRUE(library.ok());
    ComRegistration slow(library.path());
    slow.Mode(L"wait").Dword(L"LoadDelayMs", 300);
    ASSERT_TRUE(slow.ok());
    services_.clear();
    for (const wchar_t* stem : {L"QxCoA", L"QxCoB", L"QxCoC"}) {
      Add((std::wstring(stem) + (serial ? L"s" : L"p")).c_str(), slow);
    }

    long maxInCreate = 0;
    long maxInMain = 0;
    EXPECT_EQ(0u, Run([&](ThreadDispatcher& d) {
                for (size_t i = 0; i < d.Count(); ++i) d.Start(i);
                for (const std::wstring& s : services_) {
                  EXPECT_TRUE(qxhosttest::WaitNamedEvent(qxdouble::QxDoubleRunningEvent(s), kWait));
                }
                const auto stats = reinterpret_cast<qxdouble::SubsystemStatsFunction>(
                    reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(library.path().c_str()),
                                                           "QxSubsystemDoubleStats")));
                if (stats) stats(&maxInCreate, &maxInMain, true);
                for (const std::wstring& s : services_) {
                  qxhosttest::SetNamedEvent(qxdouble::QxDoubleStopEvent(s));
                }
              }));
    // Every service ran side by side with the others whether or not the loads were serial.
    EXPECT_EQ(3, maxInMain);
    if (serial) {
      EXPECT_EQ(1, maxInCreate);
    } else {
      EXPECT_GE(maxInCreate, 2);
    }
  }
}

TEST_F(CoResidenceTest, AnUnloadingServiceLeavesItsRunningSiblingAlone) {
  DoubleCopy runningLibrary(L"sibling");
  DoubleCopy unloadingLibrary(L"babe");
  ASSERT_TRUE(runningLibrary.ok() && unloadingLibrary.ok());
  ComRegistration waits(runningLibrary.path());
  waits.Mode(L"wait");
  ComRegistration unloads(unloadingLibrary.path());
  unloads.Dword(L"ExitCode", 0xDEADBABE);
  ASSERT_TRUE(waits.ok() && unloads.ok());
  const std::wstring running = Add(L"QxCoRunning", waits);
  const std::wstring unloading = Add(L"QxCoUnloading", unloads);
  Basalt::UniqueKernelHandle wsEvent(OpenOrCreateWorkingSetEvent(false));
  ASSERT_TRUE(wsEvent);

  bool unloadedWhileSiblingRan = false;
  EXPECT_EQ(
      0u, Run([&](ThreadDispatcher& d) {
        d.Start(0);
        ASSERT_TRUE(qxhosttest::WaitNamedEvent(qxdouble::QxDoubleRunningEvent(running), kWait));
        d.Start(1);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(wsEvent.get(), kWait));
        unloadedWhileSiblingRan = !unloadingLibrary.IsLoaded() && runningLibrary.IsLoaded() &&
                                  ReadSubsystemRecord(running).returned == 0;
        qxhosttest::SetNamedEvent(qxdouble::QxDoubleStopEvent(running));
      }));
  EXPECT_TRUE(unloadedWhileSiblingRan);
  EXPECT_EQ(1u, ReadSubsystemRecord(unloading).returned);
  EXPECT_EQ(1u, ReadSubsystemRecord(running).returned);
  EXPECT_TRUE(runningLibrary.IsLoaded());
}

TEST_F(CoResidenceTest, AServiceStartedAfterTheShutdownFlagIsReportedStoppedWithoutRunning) {
  ComRegistration waits(library_);
  waits.Mode(L"wait");
  ASSERT_TRUE(waits.ok());
  const std::wstring running = Add(L"QxCoBefore", waits);
  const std::wstring late = Add(L"QxCoAfter", waits);

  EXPECT_EQ(
      0u, Run([&](ThreadDispatcher& d) {
        d.Start(0);
        ASSERT_TRUE(qxhosttest::WaitNamedEvent(qxdouble::QxDoubleRunningEvent(running), kWait));
        g_bShutdown = 1;  // as the control manager's stop road raises it
        d.Start(1);
        qxhosttest::SetNamedEvent(qxdouble::QxDoubleStopEvent(running));
      }));
  EXPECT_EQ(1u, ReadSubsystemRecord(running).returned);
  EXPECT_FALSE(ReadSubsystemRecord(late).found);
  EXPECT_EQ(1, scm_.StoppedReports(late));
  // The one that ran was reported stopped by the host once its subsystem had returned.
  EXPECT_EQ(1, scm_.StoppedReports(running));
  EXPECT_EQ(0u, scm_.StoppedExitCode(running));
}

// A subsystem that reports RUNNING and then raises an access violation ends its own service:
// the host reports it STOPPED with 4317. The sibling that runs beside it stays RUNNING, and the
// dispatcher returns only once the sibling too has stopped.
TEST_F(CoResidenceTest, AnAccessViolationEndsOnlyItsOwnService) {
  ComRegistration serves(library_);
  ComRegistration faults(library_);
  serves.Mode(L"service");
  faults.Mode(L"running-av").Dword(L"DelayMs", 100);
  ASSERT_TRUE(serves.ok() && faults.ok());
  const std::wstring sibling = Add(L"QxCoSibling", serves);
  const std::wstring faulting = Add(L"QxCoFaulting", faults);

  bool siblingRanOn = false;
  std::thread stopper;
  EXPECT_EQ(0u, Run([&](ThreadDispatcher& d) {
              d.Start(0);
              ASSERT_TRUE(WaitFor([&] { return scm_.State(sibling) == SERVICE_RUNNING; }));
              d.Start(1);
              ASSERT_TRUE(WaitFor([&] { return scm_.StoppedReports(faulting) > 0; }));
              siblingRanOn = scm_.State(sibling) == SERVICE_RUNNING &&
                             ReadSubsystemRecord(sibling).returned == 0;
              // Stopped only after the plan has ended: the dispatcher must wait for it.
              stopper = std::thread([&] {
                Sleep(300);
                scm_.SendControl(sibling, SERVICE_CONTROL_STOP);
              });
            }));
  // The sibling's own STOPPED report came before the dispatcher returned.
  EXPECT_EQ(1, scm_.StoppedReports(sibling));
  if (stopper.joinable()) stopper.join();
  EXPECT_TRUE(siblingRanOn);
  EXPECT_EQ(1, scm_.StoppedReports(faulting));
  EXPECT_EQ(4317u, scm_.StoppedExitCode(faulting));
  EXPECT_EQ(0u, scm_.StoppedExitCode(sibling));
  EXPECT_TRUE(capture_.log().Has(ETWLogging::kLogError,
                                 L"Exception found & suppressed in service, returning 0x000010DD"));
  EXPECT_EQ(1u, ReadSubsystemRecord(faulting).calls);
  EXPECT_EQ(1u, ReadSubsystemRecord(sibling).returned);
}

// A subsystem that reports STOPPED itself and then returns a failing HRESULT: its report is the
// only one, as a second one on a closed status handle could take the whole process down.
TEST_F(CoResidenceTest, AServiceThatReportedItsOwnStopIsNotReportedAgain) {
  ComRegistration stops(library_);
  stops.Mode(L"stopped-return").Dword(L"Hr", 0x80004005).Dword(L"DelayMs", 50);
  ASSERT_TRUE(stops.ok());
  const std::wstring own = Add(L"QxCoOwnStop", stops);

  EXPECT_EQ(0u, Run([&](ThreadDispatcher& d) { d.Start(0); }));
  // The dispatcher table joined the service thread before the host returned.
  EXPECT_TRUE(
      capture_.log().Has(ETWLogging::kLogError, L"Failed to start sub-service (hr=0x80004005)"));
  EXPECT_EQ(1, scm_.StoppedReports(own));
  EXPECT_EQ(0u, scm_.StoppedExitCode(own));
}

// The dispatcher returns once the last service has been reported STOPPED; a subsystem that
// reports its own stop still runs after that. The host's teardown waits for its service thread
// to finish instead of destroying the configuration and COM beneath it.
TEST_F(CoResidenceTest, TheTeardownWaitsForAServiceThreadStillFinishingAfterItsStop) {
  ComRegistration lingers(library_);
  lingers.Mode(L"stopped-return").Dword(L"DelayMs", 50).Dword(L"LingerMs", 500);
  ASSERT_TRUE(lingers.ok());
  const std::wstring name = Add(L"QxCoLinger", lingers);

  EXPECT_EQ(0u, Run([&](ThreadDispatcher& d) { d.Start(0); }));
  const std::vector<qxtest::LogLine> lines = capture_.log().Lines();
  const auto find = [&](const std::wstring& prefix) {
    return std::find_if(lines.begin(), lines.end(), [&](const qxtest::LogLine& l) {
      return l.message.compare(0, prefix.size(), prefix) == 0;
    });
  };
  const auto completed = find(L"ServiceMain for " + name + L" completed after ");
  const auto teardown = find(L"De-initializing working set reduction");
  ASSERT_NE(lines.end(), completed);
  ASSERT_NE(lines.end(), teardown);
  EXPECT_LT(completed - lines.begin(), teardown - lines.begin());
  EXPECT_EQ(1, scm_.StoppedReports(name));
}

// Stop, then at once a new start of the same service, as an administrator's restart does: the
// last start's end (its pause after STOPPED, the unload pause) runs beside the new start, which
// stays RUNNING, answers its controls and ends with its own STOPPED. The test dispatcher, like
// the service control manager, refuses a start before STOPPED and takes one right after it.
TEST_F(CoResidenceTest, ANewStartRunsOnWhileTheLastStartOfItsServiceEnds) {
  constexpr int kStarts = 5;
  for (const DWORD exitCode : {0u, 0xDEADBABEu}) {
    SCOPED_TRACE(testing::Message() << "exit code 0x" << std::hex << exitCode);
    ComRegistration serves(library_);
    serves.Mode(L"service").Dword(L"ExitCode", exitCode).Dword(L"LingerMs", 150);
    ASSERT_TRUE(serves.ok());
    services_.clear();
    const std::wstring name = Add(exitCode ? L"QxCoRestartBabe" : L"QxCoRestart", serves);

    EXPECT_EQ(0u, Run([&](ThreadDispatcher& d) {
                for (int start = 1; start <= kStarts; ++start) {
                  SCOPED_TRACE(testing::Message() << "start " << start);
                  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), d.Start(0));
                  ASSERT_TRUE(WaitFor([&] { return scm_.State(name) == SERVICE_RUNNING; }));
                  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING), d.Start(0));
                  // Longer than the last start's end takes.
                  Sleep(400);
                  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), scm_.State(name));
                  EXPECT_EQ(start - 1, scm_.StoppedReports(name));
                  EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
                            scm_.SendControl(name, SERVICE_CONTROL_INTERROGATE));
                  EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
                            scm_.SendControl(name, SERVICE_CONTROL_STOP));
                  ASSERT_TRUE(WaitFor([&] { return scm_.StoppedReports(name) >= start; }));
                }
              }));
    EXPECT_EQ(kStarts, scm_.StoppedReports(name));
    EXPECT_EQ(0u, scm_.StoppedExitCode(name));
    const qxhosttest::SubsystemRecord record = ReadSubsystemRecord(name);
    EXPECT_EQ(static_cast<DWORD>(kStarts), record.returned);
    EXPECT_EQ(0u, record.lateControls);
  }
}

// A start that the service control manager has marked START_PENDING but whose service main has
// not yet been entered, when the last start's end runs its unload pause: the end read STOPPED
// when its subsystem returned, and reports nothing over the new start.
TEST_F(CoResidenceTest, AStartNotYetEnteredIsLeftAloneByTheEndOfTheLastOne) {
  ComRegistration serves(library_);
  serves.Mode(L"service").Dword(L"ExitCode", 0xDEADBABE);
  ASSERT_TRUE(serves.ok());
  const std::wstring name = Add(L"QxCoPending", serves);
  const std::wstring returned = L"The IQxSvcSubsystem(" + name + L")->QxServiceMain returned ";

  EXPECT_EQ(0u, Run([&](ThreadDispatcher& d) {
              d.Start(0);
              ASSERT_TRUE(WaitFor([&] { return scm_.State(name) == SERVICE_RUNNING; }));
              scm_.SendControl(name, SERVICE_CONTROL_STOP);
              // Logged once the end has read the service's state.
              ASSERT_TRUE(WaitFor(
                  [&] { return capture_.log().HasPrefix(ETWLogging::kLogNormal, returned); }));
              // Entered after the unload pause and the end's last reading.
              ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), d.Start(0, {}, 300));
              ASSERT_TRUE(WaitFor([&] { return scm_.State(name) == SERVICE_RUNNING; }));
              EXPECT_EQ(1, scm_.StoppedReports(name));
              scm_.SendControl(name, SERVICE_CONTROL_STOP);
            }));
  EXPECT_EQ(2, scm_.StoppedReports(name));
  EXPECT_EQ(2u, ReadSubsystemRecord(name).returned);
}

using Call = qxhosttest::RecordingStatusApi::Call;

std::wstring WaitsAtEntry(const std::wstring& name) {
  return L"A new start of '" + name + L"' waits for the end of its last start";
}

struct EarlyEntryCase {
  const wchar_t* stem;
  DWORD lastEndWaitMs;  // 0: the host's own
};

// A subsystem reports STOPPED on its STOP and returns; the end's first reading of the service is
// held while the service starts again and the new start comes in at once, as the control manager
// takes it and a descheduled end reads late. The new start waits for that end; one that has given
// up waiting runs before the end reads. Either way the end takes no handler from the new start
// and reports nothing over it: the new instance's STOP reaches its own subsystem, and each start
// is reported STOPPED once.
TEST_F(CoResidenceTest, TheEndOfAStartLeavesTheControlsOfANewStartThatCameInBeforeItsReading) {
  const EarlyEntryCase cases[] = {
      {L"QxCoTakeover", 0},
      {L"QxCoTakeoverGaveUp", 50},
  };
  for (const EarlyEntryCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << c.stem);
    ComRegistration serves(library_);
    serves.Mode(L"service");
    ASSERT_TRUE(serves.ok());
    services_.clear();
    const std::wstring name = Add(c.stem, serves);
    lastEndWaitMs_ = c.lastEndWaitMs;

    EXPECT_EQ(
        0u, Run([&](ThreadDispatcher& d) {
          d.Start(0);
          ASSERT_TRUE(WaitFor([&] { return scm_.State(name) == SERVICE_RUNNING; }));
          scm_.HoldNext(Call::kQuery, name);
          EXPECT_EQ(static_cast<DWORD>(NO_ERROR), scm_.SendControl(name, SERVICE_CONTROL_STOP));
          ASSERT_TRUE(scm_.WaitHeld(Call::kQuery, kWait));
          ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), d.Start(0));
          // Come in: waiting for that end, or running already.
          ASSERT_TRUE(WaitFor([&] {
            return (c.lastEndWaitMs == 0 &&
                    capture_.log().Has(ETWLogging::kLogNormal, WaitsAtEntry(name))) ||
                   scm_.State(name) == SERVICE_RUNNING;
          }));
          scm_.Release(Call::kQuery);
          ASSERT_TRUE(FirstEndDone(name));
          ASSERT_TRUE(WaitFor([&] { return scm_.State(name) == SERVICE_RUNNING; }));
          EXPECT_EQ(1, scm_.StoppedReports(name));
          EXPECT_EQ(static_cast<DWORD>(NO_ERROR), scm_.SendControl(name, SERVICE_CONTROL_STOP));
        }));
    EXPECT_EQ(2, scm_.StoppedReports(name));
    const qxhosttest::SubsystemRecord record = ReadSubsystemRecord(name);
    EXPECT_EQ(2u, record.returned);
    EXPECT_EQ(0u, record.lateControls);
  }
  EXPECT_TRUE(capture_.log().Has(ETWLogging::kLogWarning,
                                 L"The end of the last start of '" +
                                     qxhosttest::UniqueName(L"QxCoTakeoverGaveUp") +
                                     L"' has not finished after 50 ms; the new start goes on"));
}

struct LateEntryCase {
  const wchar_t* stem;
  DWORD newStartWaitMs;  // 0: the host's own
  enum Entry {
    kWhileTheEndWaits,      // while the end waits for a new start to come in
    kWhileTheEndRegisters,  // once the end, done waiting, registers its handler
    kAfterTheEndReported,   // once the end, done waiting, has reported STOPPED
  } entry;
  bool runs;  // the new start runs its subsystem
};

// The end's first reading held while the service starts again, and the new start's service main
// coming in only later: the reading shows START_PENDING, and the end waits for a new start to come
// in before it takes that state for its own. Coming in while the end waits, the new start runs
// and no STOPPED is reported over it. Past that wait, it still runs if it comes in while the end
// registers its handler: it waits for that end, which then reports nothing, and its own subsystem
// takes the controls. Coming in after the end has reported the service STOPPED, it does not run:
// it would run while shown STOPPED. Every start is reported STOPPED once.
TEST_F(CoResidenceTest, ANewStartComingInAfterTheEndsReadingIsNeitherReportedOverNorTakenOver) {
  const LateEntryCase cases[] = {
      {L"QxCoLateWaits", 0, LateEntryCase::kWhileTheEndWaits, true},
      {L"QxCoLateRegisters", 50, LateEntryCase::kWhileTheEndRegisters, true},
      {L"QxCoLateReported", 50, LateEntryCase::kAfterTheEndReported, false},
  };
  for (const LateEntryCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << c.stem);
    ComRegistration serves(library_);
    serves.Mode(L"service");
    ASSERT_TRUE(serves.ok());
    services_.clear();
    const std::wstring name = Add(c.stem, serves);
    const std::wstring endWaits =
        L"'" + name + L"' shows START_PENDING after its subsystem returned; waiting up to ";
    const std::wstring doesNotRun = L"The start of '" + name +
                                    L"' came in after the end of its last start had reported it "
                                    L"stopped; it does not run";
    newStartWaitMs_ = c.newStartWaitMs;
    Basalt::UniqueKernelHandle enter(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(enter);

    EXPECT_EQ(
        0u, Run([&](ThreadDispatcher& d) {
          d.Start(0);
          ASSERT_TRUE(WaitFor([&] { return scm_.State(name) == SERVICE_RUNNING; }));
          scm_.HoldNext(Call::kQuery, name);
          if (c.entry == LateEntryCase::kWhileTheEndRegisters) {
            scm_.HoldNext(Call::kRegistration, name);
          }
          EXPECT_EQ(static_cast<DWORD>(NO_ERROR), scm_.SendControl(name, SERVICE_CONTROL_STOP));
          ASSERT_TRUE(scm_.WaitHeld(Call::kQuery, kWait));
          ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), d.Start(0, {}, 0, enter.get()));
          scm_.Release(Call::kQuery);
          switch (c.entry) {
            case LateEntryCase::kWhileTheEndWaits:
              // Or, when the end does not wait, once it has reported over the new start.
              ASSERT_TRUE(WaitFor([&] {
                return capture_.log().HasPrefix(ETWLogging::kLogNormal, endWaits) ||
                       scm_.StoppedReports(name) == 2;
              }));
              SetEvent(enter.get());
              break;
            case LateEntryCase::kWhileTheEndRegisters:
              ASSERT_TRUE(scm_.WaitHeld(Call::kRegistration, kWait));
              SetEvent(enter.get());
              ASSERT_TRUE(WaitFor([&] {
                return capture_.log().Has(ETWLogging::kLogNormal, WaitsAtEntry(name)) ||
                       scm_.State(name) == SERVICE_RUNNING;
              }));
              scm_.Release(Call::kRegistration);
              ASSERT_TRUE(FirstEndDone(name));
              break;
            case LateEntryCase::kAfterTheEndReported:
              ASSERT_TRUE(WaitFor([&] { return scm_.StoppedReports(name) == 2; }));
              SetEvent(enter.get());
              ASSERT_TRUE(WaitFor([&] {
                return capture_.log().Has(ETWLogging::kLogWarning, doesNotRun) ||
                       scm_.State(name) == SERVICE_RUNNING;
              }));
              break;
          }
          if (c.runs) {
            ASSERT_TRUE(WaitFor([&] { return scm_.State(name) == SERVICE_RUNNING; }));
            EXPECT_EQ(1, scm_.StoppedReports(name));
          }
          // A new instance left running is stopped, so that the run can end.
          if (scm_.State(name) == SERVICE_RUNNING) {
            EXPECT_EQ(static_cast<DWORD>(NO_ERROR), scm_.SendControl(name, SERVICE_CONTROL_STOP));
          }
        }));
    EXPECT_EQ(2, scm_.StoppedReports(name));
    const qxhosttest::SubsystemRecord record = ReadSubsystemRecord(name);
    EXPECT_EQ(c.runs ? 2u : 1u, record.calls);
    EXPECT_EQ(c.runs ? 2u : 1u, record.returned);
    EXPECT_EQ(0u, record.lateControls);
  }
}

// A subsystem returns while its service runs; while its end registers the host's handler, a
// thread the subsystem left behind reports STOPPED and the service is started again, the new
// start's service main coming in only after the end has read the service again. That reading
// shows START_PENDING after RUNNING: a new start, over which the end reports nothing. The new
// instance runs, and its STOP reaches its own subsystem.
TEST_F(CoResidenceTest, AStopReportedByAThreadLeftBehindLeavesTheNewStartToRun) {
  ComRegistration returns(library_);
  returns.Mode(L"running-return").Dword(L"DelayMs", 50);
  ComRegistration serves(library_);
  serves.Mode(L"service");
  ASSERT_TRUE(returns.ok() && serves.ok());
  const std::wstring name = Add(L"QxCoLeftBehind", returns);
  Basalt::UniqueKernelHandle enter(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(enter);

  EXPECT_EQ(0u, Run([&](ThreadDispatcher& d) {
              scm_.HoldNext(Call::kRegistration, name);
              d.Start(0);
              ASSERT_TRUE(scm_.WaitHeld(Call::kRegistration, kWait));
              ASSERT_TRUE(scm_.ReportOnOpenHandle(name, SERVICE_STOPPED));
              // The new start runs the service as a service.
              ASSERT_TRUE(scratch_.GroupString(group_, name.c_str(), serves.text()));
              ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), d.Start(0, {}, 0, enter.get()));
              scm_.Release(Call::kRegistration);
              // The new start has not come in: the last end is the only service main.
              ASSERT_TRUE(CQxSvcHostProxy::WaitForServiceMains(kWait));
              EXPECT_EQ(1, scm_.StoppedReports(name));
              SetEvent(enter.get());
              ASSERT_TRUE(WaitFor([&] { return scm_.State(name) == SERVICE_RUNNING; }));
              EXPECT_EQ(static_cast<DWORD>(NO_ERROR), scm_.SendControl(name, SERVICE_CONTROL_STOP));
            }));
  EXPECT_EQ(2, scm_.StoppedReports(name));
  const qxhosttest::SubsystemRecord record = ReadSubsystemRecord(name);
  EXPECT_EQ(2u, record.calls);
  EXPECT_EQ(0u, record.lateControls);
}

// A control of the service's own range: the subsystem double takes it, the host's handler does
// not.
constexpr DWORD kUserControl = 200;

struct FloodCase {
  const wchar_t* stem;
  DWORD hr;
  DWORD exitCode;
  DWORD stopped;  // the exit code of the STOPPED report
};

// Controls in a tight loop while a subsystem that never reported STOPPED ends: once the host
// releases the object, none reaches the subsystem's handler. The host's own handler answers
// INTERROGATE, takes STOP (its STOPPED report follows) and refuses other controls, and the
// service ends STOPPED once, with the code of its end.
TEST_F(CoResidenceTest, ControlsAcrossTheEndOfAServiceNeverReachItsReleasedSubsystem) {
  const FloodCase cases[] = {
      {L"QxCoFloodClean", 0, 0, 0},
      {L"QxCoFloodBabe", 0, 0xDEADBABE, 0},
      {L"QxCoFloodFail", 0x80004005, 0, 1627},
  };
  for (const FloodCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << c.stem);
    ComRegistration ends(library_);
    ends.Mode(L"running-return").Dword(L"Hr", c.hr).Dword(L"ExitCode", c.exitCode);
    ends.Dword(L"DelayMs", 100);
    ASSERT_TRUE(ends.ok());
    services_.clear();
    const std::wstring name = Add(c.stem, ends);

    std::atomic<int> refusedOthers{0};
    std::thread flood;
    EXPECT_EQ(0u, Run([&](ThreadDispatcher& d) {
                d.Start(0);
                flood = std::thread([&] {
                  while (scm_.State(name) != SERVICE_STOPPED) {
                    const DWORD stop = scm_.SendControl(name, SERVICE_CONTROL_STOP);
                    EXPECT_TRUE(stop == NO_ERROR || stop == ERROR_SERVICE_NOT_ACTIVE) << stop;
                    if (scm_.SendControl(name, kUserControl) == ERROR_CALL_NOT_IMPLEMENTED) {
                      ++refusedOthers;
                    }
                    const DWORD answer = scm_.SendControl(name, SERVICE_CONTROL_INTERROGATE);
                    EXPECT_TRUE(answer == NO_ERROR || answer == ERROR_SERVICE_NOT_ACTIVE) << answer;
                  }
                });
              }));
    if (flood.joinable()) flood.join();
    EXPECT_EQ(1, scm_.StoppedReports(name));
    EXPECT_EQ(c.stopped, scm_.StoppedExitCode(name));
    const qxhosttest::SubsystemRecord record = ReadSubsystemRecord(name);
    EXPECT_EQ(1u, record.returned);
    EXPECT_EQ(0u, record.lateControls);
    // The unload pause leaves the host's handler in place long enough to be seen at work.
    if (c.exitCode == 0xDEADBABE) {
      EXPECT_GT(refusedOthers.load(), 0);
    }
  }
}

}  // namespace
