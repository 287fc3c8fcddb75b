// ctest-lock: controlmanager-class
// Several services of one group in one process, as a real shared host runs them: the dispatcher
// seam starts their service mains on threads of their own (Wine's service control manager would
// give each service a process of its own).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
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
  DWORD Run(ThreadDispatcher::Plan plan) {
    std::wstring list;
    for (const std::wstring& s : services_) list += s + L";";
    EXPECT_TRUE(scratch_.GroupString(group_, nullptr, list));
    CQxSvcHostSeams seams;
    seams.makeDispatcherTable = [plan] { return std::make_unique<ThreadDispatcher>(plan); };
    seams.scm = &scm_;
    CQxSvcHost host(seams);
    std::wstring program = L"Hollin.exe";
    std::wstring selector = L"/" + group_;
    wchar_t* argv[] = {program.data(), selector.data()};
    return host.Start(2, argv);
  }

  ScratchHost scratch_{L"QxCoResidence"};
  qxtest::ScopedLogCapture capture_;
  qxhosttest::RecordingStatusApi scm_;
  const std::wstring group_ = qxhosttest::UniqueName(L"QxCoGroup");
  std::vector<std::wstring> services_;
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
  ComRegistration waits(qxhosttest::DoublePath(L"QxSubsystemDouble.dll"));
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
  EXPECT_EQ(0, scm_.StoppedReports(running));
}

// A subsystem that raises an access violation ends its own service with 4317; the process and the
// sibling that runs beside it go on.
TEST_F(CoResidenceTest, AnAccessViolationEndsOnlyItsOwnService) {
  ComRegistration waits(qxhosttest::DoublePath(L"QxSubsystemDouble.dll"));
  ComRegistration faults(qxhosttest::DoublePath(L"QxSubsystemDouble.dll"));
  waits.Mode(L"wait");
  faults.Mode(L"av");
  ASSERT_TRUE(waits.ok() && faults.ok());
  const std::wstring sibling = Add(L"QxCoSibling", waits);
  const std::wstring faulting = Add(L"QxCoFaulting", faults);
  const std::wstring ended =
      L"The IQxSvcSubsystem(" + faulting + L")->QxServiceMain returned 0x000010DD";

  bool siblingRanOn = false;
  EXPECT_EQ(
      0u, Run([&](ThreadDispatcher& d) {
        d.Start(0);
        ASSERT_TRUE(qxhosttest::WaitNamedEvent(qxdouble::QxDoubleRunningEvent(sibling), kWait));
        d.Start(1);
        const ULONGLONG end = GetTickCount64() + kWait;
        while (!capture_.log().Has(ETWLogging::kLogNormal, ended) && GetTickCount64() < end) {
          Sleep(10);
        }
        siblingRanOn = capture_.log().Has(ETWLogging::kLogNormal, ended) &&
                       ReadSubsystemRecord(sibling).returned == 0;
        qxhosttest::SetNamedEvent(qxdouble::QxDoubleStopEvent(sibling));
      }));
  EXPECT_TRUE(siblingRanOn);
  EXPECT_TRUE(capture_.log().Has(ETWLogging::kLogError,
                                 L"Exception found & suppressed in service, returning 0x000010DD"));
  EXPECT_EQ(1u, ReadSubsystemRecord(faulting).calls);
  EXPECT_EQ(1u, ReadSubsystemRecord(sibling).returned);
}

}  // namespace
