// ctest-lock: controlmanager-class
// The host driver through its seams: the command line, the configuration roads, a run of the
// group with the service mains on threads of their own, the working-set limit it stores and the
// order in which it takes itself down.
#include "src/qxsvchost/CQxSvcHost.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "QxHostTestSupport.h"
#include "QxTestFakeMetrics.h"
#include "QxTestLogCapture.h"
#include "contracts/IQxSvcSubsystemControlManager.h"
#include "src/qxsvchost/QxSvcSubsystemControlManager.h"

namespace {

using ETWLogging::kLogError;
using ETWLogging::kLogNormal;
using ETWLogging::kLogWarning;
using qxhosttest::ComRegistration;
using qxhosttest::ScratchHost;
using qxhosttest::ThreadDispatcher;

// Capture whose lines can also be acted on the moment they are written.
class HookedLogger : public qxtest::CapturingLogger {
 public:
  std::function<void(const std::wstring&)> onMessage;
  DWORD Write(const wchar_t* file, const wchar_t* function, int line, ETWLogging::LogLevel level,
              const wchar_t* message) override {
    const DWORD result = CapturingLogger::Write(file, function, line, level, message);
    if (onMessage && message) onMessage(message);
    return result;
  }
};

// Whether the control manager's class object is registered in this process.
bool ClassObjectRegistered() {
  IUnknown* object = nullptr;
  const HRESULT hr = CoGetClassObject(CLSID_QxSvcSubsystemControlManager, CLSCTX_LOCAL_SERVER,
                                      nullptr, IID_IUnknown, reinterpret_cast<void**>(&object));
  if (SUCCEEDED(hr) && object) object->Release();
  return SUCCEEDED(hr);
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    ASSERT_TRUE(capture_.active());
    ASSERT_TRUE(subsystem_.ok());
    ASSERT_TRUE(scratch_.HostDword(L"IsOobeCheckRequired", 0));
  }

  // The group's list and every listed service mapped to the "return" double.
  void Group(const std::wstring& list, const std::vector<std::wstring>& services) {
    ASSERT_TRUE(scratch_.GroupString(group_, nullptr, list));
    for (const std::wstring& s : services) {
      ASSERT_TRUE(scratch_.GroupString(group_, s.c_str(), subsystem_.text()));
    }
  }
  CQxSvcHostSeams Seams(ThreadDispatcher::Plan plan = ThreadDispatcher::Plan()) {
    CQxSvcHostSeams seams;
    seams.makeDispatcherTable = [this, plan] {
      return std::make_unique<ThreadDispatcher>(scm_, plan);
    };
    seams.scm = &scm_;
    seams.beforeForcedEnd = &qxhosttest::FailTheForcedEnd;
    return seams;
  }
  DWORD Run(CQxSvcHost& host, std::vector<std::wstring> args) {
    std::vector<wchar_t*> argv;
    for (std::wstring& a : args) argv.push_back(&a[0]);
    return host.Start(static_cast<int>(argv.size()), argv.data());
  }
  bool Logged(ETWLogging::LogLevel level, const std::wstring& text) {
    return log_.Has(level, text);
  }
  // Whether the lines beginning with |prefixes| were written in this order.
  bool InOrder(const std::vector<std::wstring>& prefixes) {
    size_t next = 0;
    for (const qxtest::LogLine& l : log_.Lines()) {
      if (next < prefixes.size() && l.message.rfind(prefixes[next], 0) == 0) ++next;
    }
    return next == prefixes.size();
  }
  bool StoredLimit(DWORD& value) {
    return ScratchHost::ReadDword(ScratchHost::GroupKey(group_), L"WSSOptimalBucketUpperLimit",
                                  value);
  }

  ScratchHost scratch_{L"QxHost"};
  HookedLogger log_;
  ETWLogging::ScopedLogCapture capture_{log_};
  qxhosttest::RecordingStatusApi scm_;
  ComRegistration subsystem_{qxhosttest::DoublePath(L"QxSubsystemDouble.dll")};
  const std::wstring group_ = qxhosttest::UniqueName(L"QxHostGroup");
};

TEST_F(HostTest, CommandLinesWithoutAUsableGroupEndWithExitCode87) {
  Group(L";:,", {});
  struct Case {
    std::vector<std::wstring> args;
    const wchar_t* line;
  };
  const Case cases[] = {
      {{L"Hollin.exe", L"/"}, L"The group name is empty. Group Entry '/'"},
      {{L"Hollin.exe", L"QxHostGroup"},
       L"The group delimiter is not found. Group Entry 'QxHostGroup'"},
      {{L"Hollin.exe"},
       L"The group index is greater, mostly insufficient arguments, group index 1, number of "
       L"arguments 1"},
      {{L"Hollin.exe", L"/" + group_}, nullptr},  // a list of separators only: no service
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    log_.Clear();
    CQxSvcHost host(Seams());
    EXPECT_EQ(87u, Run(host, c.args));
    if (c.line) {
      EXPECT_TRUE(Logged(kLogError, c.line));
      EXPECT_TRUE(Logged(kLogError, L"Failed to parse the command line"));
      EXPECT_TRUE(log_.HasPrefix(kLogError, L"Command Line: "));
    } else {
      EXPECT_TRUE(Logged(kLogError, L"There are no services in the group " + group_));
      EXPECT_TRUE(log_.HasPrefix(kLogError, L"Failed to add services to SCM interface (GLE=0x"));
    }
    EXPECT_FALSE(log_.HasPrefix(kLogNormal, L"Starting SCM after"));
  }

  CQxSvcHost host;
  std::wstring group;
  std::wstring entry = L"x/y/z";
  wchar_t* argv[] = {entry.data(), entry.data()};
  EXPECT_TRUE(host.ParseCommandLine(2, argv, group));
  EXPECT_EQ(L"y/z", group);  // everything after the first delimiter
  EXPECT_FALSE(host.ParseCommandLine(2, nullptr, group));
  EXPECT_TRUE(Logged(kLogError, L"The argv is NULL"));
  EXPECT_EQ(L"y/z", group);
}

TEST_F(HostTest, AddingSkipsEmptyNamesAndNeedsOneService) {
  ASSERT_TRUE(ScratchHost::InitConfig(group_));
  CQxSvcHost host;
  CQxSCMInterface table;
  // The configuration never yields an empty name itself; a group without a list gives none.
  EXPECT_FALSE(host.AddServicesToScmInterface(*CQxSvcHostConfig::GetInstance(), table));
  EXPECT_TRUE(Logged(kLogError, L"Failed to get group services " + group_));
}

TEST_F(HostTest, AConfigurationThatCannotBeLoadedEndsWithExitCode1359) {
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY));
  CQxSvcHost host(Seams());
  EXPECT_EQ(1359u, Run(host, {L"Hollin.exe", L"/" + group_}));
  EXPECT_TRUE(Logged(kLogError, L"Failed to initialize CQxSvcHostConfig"));
}

TEST_F(HostTest, AnApartmentThatCannotBeJoinedEndsWithTheLow16BitsOfItsHResult) {
  const std::wstring only = qxhosttest::UniqueName(L"QxHostSta");
  Group(only, {only});
  DWORD exitCode = 0;
  std::thread([&] {
    Basalt::ScopedComApartment apartment(COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(apartment.succeeded());
    CQxSvcHost host(Seams());
    exitCode = Run(host, {L"Hollin.exe", L"/" + group_});
  }).join();
  EXPECT_EQ(0x0106u, exitCode);  // RPC_E_CHANGED_MODE
  EXPECT_TRUE(Logged(kLogError, L"CoInitialize failed (hr=0x80010106)"));
  EXPECT_FALSE(qxhosttest::ReadSubsystemRecord(only).found);
}

TEST_F(HostTest, RunsTheGroupAndTakesItselfDownInOrder) {
  const std::wstring first = qxhosttest::UniqueName(L"QxHostFirst");
  const std::wstring second = qxhosttest::UniqueName(L"QxHostSecond");
  Group(first + L";" + second, {first, second});

  bool registeredDuringRun = false;
  std::atomic<int> registeredAtTeardown{-1};
  log_.onMessage = [&](const std::wstring& message) {
    // The configuration goes right after this line.
    if (message == L"De-initializing working set reduction") {
      registeredAtTeardown = ClassObjectRegistered();
    }
  };
  CQxSvcHost host(Seams([&](ThreadDispatcher& d) {
    registeredDuringRun = ClassObjectRegistered();
    for (size_t i = 0; i < d.Count(); ++i) d.Start(i);
  }));
  EXPECT_EQ(0u, Run(host, {L"Hollin.exe", L"/" + group_}));
  log_.onMessage = nullptr;

  EXPECT_TRUE(qxhosttest::ReadSubsystemRecord(first).found);
  EXPECT_TRUE(qxhosttest::ReadSubsystemRecord(second).found);
  EXPECT_TRUE(registeredDuringRun);
  EXPECT_EQ(0, registeredAtTeardown.load()) << "class object still registered at teardown";
  EXPECT_TRUE(InOrder({L"---", L"The group name selected to run is '" + group_ + L"'",
                       L"Service added to SCM interface successfully '" + first + L"'",
                       L"Service added to SCM interface successfully '" + second + L"'",
                       L"2 services added to SCM interface", L"Initializing working set reduction",
                       L"Working set handler initialized", L"Starting SCM after",
                       L"CoRegisterClassObject succeeded", L"SCM stopped after",
                       L"De-initializing working set reduction"}));
  // The handler stored what it learned (nothing yet: 0) in the group's key.
  DWORD limit = 0xFFFFFFFF;
  EXPECT_TRUE(StoredLimit(limit));
  EXPECT_EQ(0u, limit);
  EXPECT_EQ(nullptr, host.GetWorkingSetHandler());
}

// A client's stop call that is still working when the dispatcher returns uses the configuration:
// the host waits for it before taking the configuration down, and turns later calls away.
TEST_F(HostTest, AStopCallInProgressHoldsOffTheTeardownAndLaterCallsAreTurnedAway) {
  const std::wstring only = qxhosttest::UniqueName(L"QxHostGate");
  Group(only, {only});
  Basalt::UniqueKernelHandle inside(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Basalt::UniqueKernelHandle proceed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<bool> released{false};
  std::atomic<int> stoppedBeforeRelease{-1};
  log_.onMessage = [&](const std::wstring& message) {
    if (message == L"Reduce restart: Calling Hollin StopServices") {
      SetEvent(inside.get());
      WaitForSingleObject(proceed.get(), 10000);
    } else if (message.rfind(L"SCM stopped after", 0) == 0) {
      stoppedBeforeRelease = !released.load();
    }
  };
  IQxSvcSubsystemControlManager* manager = nullptr;
  ASSERT_EQ(S_OK, CQxSvcSubsystemControlManager::CreateInstance(
                      IID_IQxSvcSubsystemControlManager, reinterpret_cast<void**>(&manager)));
  std::thread call;
  std::thread release;
  CQxSvcHost host(Seams([&](ThreadDispatcher&) {
    call = std::thread([&] { (void)manager->QxStopSvcSubsystem(nullptr, nullptr); });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inside.get(), 10000));
    // The call goes on only once the host has had time to reach its teardown.
    release = std::thread([&] {
      Sleep(300);
      released = true;
      SetEvent(proceed.get());
    });
  }));
  EXPECT_EQ(0u, Run(host, {L"Hollin.exe", L"/" + group_}));
  SetEvent(proceed.get());
  if (call.joinable()) call.join();
  if (release.joinable()) release.join();
  log_.onMessage = nullptr;
  EXPECT_EQ(0, stoppedBeforeRelease.load()) << "teardown went on while a stop call worked";

  DWORD pid = 0;
  EXPECT_EQ(CO_E_SERVER_STOPPING, manager->QxStopSvcSubsystem(nullptr, &pid));
  EXPECT_EQ(GetCurrentProcessId(), pid);
  manager->Release();
  g_bShutdown = 0;
}

TEST_F(HostTest, WithoutWorkingSetReductionNothingIsStored) {
  const std::wstring only = qxhosttest::UniqueName(L"QxHostOnly");
  Group(only, {only});
  ASSERT_TRUE(scratch_.HostDword(L"WSSEnable", 0));
  CQxSvcHost host(Seams());
  EXPECT_EQ(0u, Run(host, {L"Hollin.exe", L"/" + group_}));
  EXPECT_TRUE(Logged(kLogWarning, L"Working set adjustment is disabled"));
  DWORD limit = 0;
  EXPECT_FALSE(StoredLimit(limit));
}

// Fake process metrics whose fourth working-set reading takes a while, announced by an event.
class SlowFourthReading : public qxtest::FakeMetrics {
 public:
  bool GetWorkingSetSize(SIZE_T& bytes) override {
    if (++calls == 4) {
      SetEvent(inside.get());
      Sleep(300);
    }
    return FakeMetrics::GetWorkingSetSize(bytes);
  }
  std::atomic<int> calls{0};
  Basalt::UniqueKernelHandle inside{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

TEST_F(HostTest, TheLimitLearnedByARunEndingDuringTheStopIsTheOneStored) {
  const std::wstring only = qxhosttest::UniqueName(L"QxHostLearn");
  Group(only, {only});
  SlowFourthReading metrics;
  // Three samples in one 1 MiB bucket teach it; a timer of 1 ms takes one sample per run (the
  // first run only trims), so the fourth run learns [10 MiB, 11 MiB].
  WSSConfig fast = qxtest::WssTestConfig();
  fast.dwTimerIntervalBase = 1;
  fast.dwRandomizationRange = 0;
  fast.dwBucketRange = 1024 * 1024;
  fast.dwCpuUsageDuration = metrics.cpuMs;

  CQxSvcHostSeams seams = Seams();
  seams.makeWorkingSetHandler = [&] {
    return std::make_unique<CQxSvcHostWorkingSetHandler>(&metrics);
  };
  CQxSvcHost* running = nullptr;
  seams.makeDispatcherTable = [&] {
    return std::make_unique<ThreadDispatcher>(scm_, [&](ThreadDispatcher&) {
      ASSERT_NE(nullptr, running->GetWorkingSetHandler());
      ASSERT_TRUE(running->GetWorkingSetHandler()->Initialize(fast));
      // The dispatcher returns while the learning run is still in progress.
      ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(metrics.inside.get(), 10000));
    });
  };
  CQxSvcHost host(seams);
  running = &host;
  EXPECT_EQ(0u, Run(host, {L"Hollin.exe", L"/" + group_}));

  DWORD limit = 0;
  ASSERT_TRUE(StoredLimit(limit));
  EXPECT_EQ(11u * 1024 * 1024, limit);
}

// The dispatcher returns once the last service has been reported STOPPED, while that service's
// thread may still be finishing: no client can reach the control manager while the host waits
// for it.
TEST_F(HostTest, TheClassObjectIsRevokedBeforeTheWaitForFinishingServiceThreads) {
  const std::wstring library = qxhosttest::DoublePath(L"QxSubsystemDouble.dll");
  qxhosttest::DoubleStatusRoute route(library, scm_);
  ASSERT_TRUE(route.ok());
  ComRegistration lingers(library);
  lingers.Mode(L"stopped-return").Dword(L"DelayMs", 50).Dword(L"LingerMs", 500);
  ASSERT_TRUE(lingers.ok());
  const std::wstring only = qxhosttest::UniqueName(L"QxHostLinger");
  ASSERT_TRUE(scratch_.GroupString(group_, nullptr, only));
  ASSERT_TRUE(scratch_.GroupString(group_, only.c_str(), lingers.text()));

  std::atomic<int> registeredWhileWaiting{-1};
  const std::wstring returned = L"The IQxSvcSubsystem(" + only + L")->QxServiceMain returned";
  log_.onMessage = [&](const std::wstring& message) {
    // Half a second after the STOPPED report: the host is waiting for this thread.
    if (message.rfind(returned, 0) == 0) registeredWhileWaiting = ClassObjectRegistered();
  };
  CQxSvcHost host(Seams());
  EXPECT_EQ(0u, Run(host, {L"Hollin.exe", L"/" + group_}));
  log_.onMessage = nullptr;
  EXPECT_EQ(0, registeredWhileWaiting.load()) << "class object registered during the wait";
  EXPECT_EQ(1, scm_.StoppedReports(only));
}

// Starts the group's one service, waits for its STOPPED report as the real dispatcher does, and
// then fails as a dispatcher that lost its service control manager.
class FailingDispatcher : public ThreadDispatcher {
 public:
  using ThreadDispatcher::ThreadDispatcher;
  BOOL StartDispatcher(const SERVICE_TABLE_ENTRYW* table) override {
    (void)ThreadDispatcher::StartDispatcher(table);
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
};

constexpr wchar_t kDrainScratch[] = L"QxHostDrain";

// In a process of its own: a host whose one service thread lingers 20 s after its subsystem
// reported STOPPED, against a wait of 300 ms. Each log line goes to stderr at once; the teardown's
// first line ends the process with 77. Returns only if the host does.
void RunHostPastItsWait(bool dispatcherFails) {
  ScratchHost scratch(kDrainScratch);
  const std::wstring library = qxhosttest::DoublePath(L"QxSubsystemDouble.dll");
  ComRegistration lingers(library);
  lingers.Mode(L"stopped-return").Dword(L"DelayMs", 50).Dword(L"LingerMs", 20000);
  const std::wstring group = qxhosttest::UniqueName(L"QxHostDrainGroup");
  const std::wstring only = qxhosttest::UniqueName(L"QxHostDrain");
  if (!scratch.ok() || !lingers.ok() || !scratch.HostDword(L"IsOobeCheckRequired", 0) ||
      !scratch.GroupString(group, nullptr, only) ||
      !scratch.GroupString(group, only.c_str(), lingers.text())) {
    std::fputs("setup failed\n", stderr);
    return;
  }
  qxhosttest::RecordingStatusApi scm;
  qxhosttest::DoubleStatusRoute route(library, scm);
  HookedLogger log;
  log.onMessage = [](const std::wstring& message) {
    std::fprintf(stderr, "%s\n", std::string(message.begin(), message.end()).c_str());
    std::fflush(stderr);
    if (message == L"De-initializing working set reduction") {
      TerminateProcess(GetCurrentProcess(), 77);
    }
  };
  ETWLogging::ScopedLogCapture capture(log);
  CQxSvcHostSeams seams;
  seams.scm = &scm;
  seams.serviceThreadsWaitMs = 300;
  seams.makeDispatcherTable = [&]() -> std::unique_ptr<CQxSCMInterface> {
    if (dispatcherFails) return std::make_unique<FailingDispatcher>(scm);
    return std::make_unique<ThreadDispatcher>(scm);
  };
  CQxSvcHost host(seams);
  std::wstring program = L"Hollin.exe";
  std::wstring selector = L"/" + group;
  wchar_t* argv[] = {program.data(), selector.data()};
  std::fprintf(stderr, "Start returned %lu\n", host.Start(2, argv));
}

// The scratch keys that the processes of RunHostPastItsWait leave behind.
void RemoveDrainScratchKeys() {
  Basalt::UniqueHKey tests;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\HollinTests", 0, KEY_ALL_ACCESS, tests.put()) !=
      ERROR_SUCCESS) {
    return;
  }
  const std::wstring prefix = std::wstring(kDrainScratch) + L"-";
  std::vector<std::wstring> left;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD chars = 256;
    if (RegEnumKeyExW(tests.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    if (std::wstring(name).rfind(prefix, 0) == 0) left.push_back(name);
  }
  for (const std::wstring& key : left) RegDeleteTreeW(tests.get(), key.c_str());
}

// When a service thread is still running after the wait, the host logs why and ends the process
// at once with the exit code of its run, tearing nothing down beneath the live thread.
TEST(HostDrainTest, AThreadStillRunningAfterTheWaitEndsTheProcessWithoutTeardown) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string why =
      "Service threads of 'QxHostDrain_\\d+' still running 300 ms after the last service "
      "stopped; ending the process without teardown \\(exit code ";
  const ULONGLONG start = GetTickCount64();
  EXPECT_EXIT(RunHostPastItsWait(false), ::testing::ExitedWithCode(0), why + "0\\)");
  EXPECT_EXIT(RunHostPastItsWait(true), ::testing::ExitedWithCode(1359), why + "1359\\)");
  // Neither waited for the lingering thread.
  EXPECT_LT(GetTickCount64() - start, 20000u);
  RemoveDrainScratchKeys();
}

}  // namespace
