// ctest-lock: oobe-double
// One service at a time through the generic service main, with the real hosted-subsystem double
// loaded from its HKEY_CLASSES_ROOT registration: the run, the exit codes, every refusal and the
// OOBE gate. Status reports of refused services go to a recorder.
#include "src/qxsvchost/CQxSvcHostProxy.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "QxHostTestSupport.h"
#include "src/qxsvchost/CQxSvcHostWorkingSetHandler.h"
#include "src/qxsvchost/IQxOobeConfig.h"
#include "src/qxsvchost/QxSvcSubsystemControlManager.h"
#include "tests/src/qxsvchost/QxTestLogCapture.h"

namespace {

using ETWLogging::kLogError;
using ETWLogging::kLogNormal;
using ETWLogging::kLogWarning;
using qxhosttest::ComRegistration;
using qxhosttest::DoubleCopy;
using qxhosttest::ReadSubsystemRecord;

const std::wstring kGroup = L"QxProxyGroup";

std::wstring Hex(DWORD value) {
  wchar_t text[16] = {};
  wsprintfW(text, L"0x%08X", value);
  return text;
}

class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host_.ok());
    ASSERT_TRUE(capture_.installed());
    ASSERT_TRUE(copy_.ok());
    ASSERT_TRUE(host_.GroupString(kGroup, nullptr, L"unused"));
    ASSERT_TRUE(host_.HostDword(L"IsOobeCheckRequired", 0));
    ASSERT_TRUE(CQxSvcHostProxy::HasState());
  }
  void TearDown() override { g_bShutdown = 0; }

  // A fresh service name mapped to |clsidText| (nothing mapped for null) and a configuration
  // initialised for the group.
  std::wstring Service(const wchar_t* stem, const std::wstring* clsidText) {
    const std::wstring name = qxhosttest::UniqueName(stem);
    if (clsidText) {
      EXPECT_TRUE(host_.GroupString(kGroup, name.c_str(), *clsidText));
    }
    EXPECT_TRUE(qxhosttest::ScratchHost::InitConfig(kGroup));
    return name;
  }
  // Runs the generic service main on a new thread, as the service control manager starts a
  // service, with argv = { name, extra... }.
  static void RunService(const std::wstring& name, std::vector<std::wstring> extra = {}) {
    std::thread([&] {
      std::vector<std::wstring> args{name};
      args.insert(args.end(), extra.begin(), extra.end());
      std::vector<LPWSTR> argv;
      for (std::wstring& a : args) argv.push_back(&a[0]);
      CQxSvcHostProxy::GenericServiceMain(static_cast<DWORD>(argv.size()), argv.data());
    }).join();
  }
  std::wstring Returned(const std::wstring& name, DWORD code) {
    return L"The IQxSvcSubsystem(" + name + L")->QxServiceMain returned " + Hex(code);
  }

  qxhosttest::ScratchHost host_{L"QxProxy"};
  qxtest::ScopedLogCapture capture_;
  qxtest::CapturingLogger& log_ = capture_.log();
  qxhosttest::RecordingStatusApi scm_;
  CQxSvcHostProxy proxy_{scm_};
  DoubleCopy copy_{L"proxy"};
};

TEST_F(ProxyTest, RunsTheRegisteredSubsystemWithTheServiceArgumentsOnARaisedMtaThread) {
  ComRegistration clsid(copy_.path());
  ASSERT_TRUE(clsid.ok());
  const std::wstring name = Service(L"QxRun", &clsid.text());

  RunService(name, {L"-first", L"second arg"});

  const qxhosttest::SubsystemRecord record = ReadSubsystemRecord(name);
  ASSERT_TRUE(record.found);
  EXPECT_EQ((std::vector<std::wstring>{name, L"-first", L"second arg"}), record.argv);
  EXPECT_EQ(static_cast<DWORD>(THREAD_PRIORITY_ABOVE_NORMAL), record.priority);
  EXPECT_EQ(static_cast<DWORD>(APTTYPE_MTA), record.apartment);
  EXPECT_EQ(1u, record.returned);
  EXPECT_TRUE(log_.Has(kLogNormal, L"Subsystem ClsID = '" + clsid.text() + L"'"));
  EXPECT_TRUE(log_.Has(kLogNormal, L"Subsystem DLL path: '" + copy_.path() + L"'"));
  EXPECT_TRUE(log_.Has(kLogNormal, Returned(name, 0)));
  // The subsystem reported nothing: its service has ended all the same, and the host says so,
  // after asking with a handle that may only query (when the subsystem returned, and again
  // before the report).
  EXPECT_EQ(1, scm_.StoppedReports(name));
  EXPECT_EQ(0u, scm_.StoppedExitCode(name));
  EXPECT_EQ((std::vector<DWORD>{SERVICE_QUERY_STATUS, SERVICE_QUERY_STATUS}),
            scm_.ServiceAccesses());
  EXPECT_TRUE(copy_.IsLoaded());
}

// The exit code decides what happens to the library afterwards.
struct ExitCase {
  const wchar_t* stem;
  const wchar_t* mode;
  DWORD hr;
  DWORD exitCode;
  DWORD logged;          // the value QxServiceMain is logged to have returned
  DWORD stopped;         // the exit code of the service's STOPPED report
  bool unloaded;         // library freed and working-set event signalled
  const wchar_t* error;  // the error line, if any
};

TEST_F(ProxyTest, ExitCodesDecideWhetherTheLibraryIsFreed) {
  const ExitCase cases[] = {
      {L"QxBabe", L"return", 0, 0xDEADBABE, 0xDEADBABE, 0, true, nullptr},
      {L"QxKeep", L"return", 0, 7, 7, 0, false, nullptr},
      {L"QxFail", L"return", 0x80004005, 0xDEADBABE, 1627, 1627, false,
       L"Failed to start sub-service (hr=0x80004005)"},
      {L"QxFault", L"av", 0, 0xDEADBABE, 4317, 4317, false,
       L"Exception found & suppressed in service, returning 0x000010DD"},
  };
  // Created as the working-set handler creates it, so that the signal can be seen.
  Basalt::UniqueKernelHandle wsEvent(OpenOrCreateWorkingSetEvent(false));
  ASSERT_TRUE(wsEvent);
  for (const ExitCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << c.stem);
    DoubleCopy library(c.stem);
    ASSERT_TRUE(library.ok());
    ComRegistration clsid(library.path());
    clsid.Mode(c.mode).Dword(L"Hr", c.hr).Dword(L"ExitCode", c.exitCode);
    ASSERT_TRUE(clsid.ok());
    const std::wstring name = Service(c.stem, &clsid.text());
    log_.Clear();

    const ULONGLONG start = GetTickCount64();
    RunService(name);
    const ULONGLONG elapsed = GetTickCount64() - start;

    EXPECT_TRUE(ReadSubsystemRecord(name).found);
    EXPECT_TRUE(log_.Has(kLogNormal, Returned(name, c.logged)));
    if (c.error) {
      EXPECT_TRUE(log_.Has(kLogError, c.error));
    }
    EXPECT_EQ(c.unloaded, !library.IsLoaded());
    EXPECT_EQ(c.unloaded, WaitForSingleObject(wsEvent.get(), 0) == WAIT_OBJECT_0);
    if (c.unloaded) {
      EXPECT_GE(elapsed, 90u) << "freed without the pause";
    }
    EXPECT_EQ(1, scm_.StoppedReports(name));
    EXPECT_EQ(c.stopped, scm_.StoppedExitCode(name));
  }
}

// A subsystem that reported RUNNING and then ends without reporting STOPPED leaves its service
// to the host, which reports it STOPPED once; one that reported STOPPED itself is not reported
// again, whatever it returns.
struct EndCase {
  const wchar_t* stem;
  const wchar_t* mode;
  DWORD hr;
  int stoppedReports;  // in all, the subsystem's own included
  DWORD exitCode;      // of the last STOPPED report
};

TEST_F(ProxyTest, AnEndedServiceIsReportedStoppedExactlyOnce) {
  qxhosttest::DoubleStatusRoute route(copy_.path(), scm_);
  ASSERT_TRUE(route.ok());
  const EndCase cases[] = {
      {L"QxEndFault", L"running-av", 0, 1, 4317},
      {L"QxEndFail", L"running-return", 0x80004005, 1, 1627},
      {L"QxEndClean", L"running-return", 0, 1, 0},
      {L"QxEndOwnStop", L"stopped-return", 0x80004005, 1, 0},
  };
  for (const EndCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << c.stem);
    ComRegistration clsid(copy_.path());
    clsid.Mode(c.mode).Dword(L"Hr", c.hr).Dword(L"DelayMs", 20);
    ASSERT_TRUE(clsid.ok());
    const std::wstring name = Service(c.stem, &clsid.text());

    RunService(name);

    std::vector<DWORD> states;
    for (const auto& report : scm_.Reports()) {
      if (report.name == name) states.push_back(report.status.dwCurrentState);
    }
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), states.front());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), states.back());
    EXPECT_EQ(c.stoppedReports, scm_.StoppedReports(name));
    EXPECT_EQ(c.exitCode, scm_.StoppedExitCode(name));
  }
  for (DWORD access : scm_.ServiceAccesses()) {
    EXPECT_EQ(static_cast<DWORD>(SERVICE_QUERY_STATUS), access);
  }
  // Two readings for each end the host told, one for the end the subsystem told itself.
  EXPECT_EQ(7u, scm_.ServiceAccesses().size());
}

// Every way a subsystem cannot be had ends in one SERVICE_STOPPED report and its log line.
struct RefusalCase {
  const wchar_t* stem;
  enum Kind { kNoClsid, kText, kNoInprocKey, kServer, kFactoryHr, kObjectHr } kind;
  const wchar_t* text;  // the CLSID text (kText) or the server path (kServer)
  DWORD hr;
  const wchar_t* line;  // expected error line; "%c" stands for the CLSID text
  DWORD exitCode;       // of the STOPPED report: never 0 for a failure
};

TEST_F(ProxyTest, EveryRefusalReportsTheServiceStoppedOnce) {
  const RefusalCase cases[] = {
      {L"QxNoClsid", RefusalCase::kNoClsid, nullptr, 0, L"Failed to get the subsystem clsid", 1627},
      {L"QxBraces", RefusalCase::kText, L"{}", 0, nullptr, 1627},
      {L"QxEmpty", RefusalCase::kText, L"", 0, nullptr, 1627},
      {L"QxBadText", RefusalCase::kText, L"{not-a-clsid}", 0,
       L"Failed to convert the string clsid to clsid '{not-a-clsid}' (0x800401F3)", 1627},
      {L"QxNoInproc", RefusalCase::kNoInprocKey, nullptr, 0,
       L"Unable to open registry path HKEY_CLASSES_ROOT\\CLSID\\%c\\InprocServer32 (0x00000002)",
       ERROR_FILE_NOT_FOUND},
      {L"QxNoFile", RefusalCase::kServer, L"C:\\windows\\QxNoSuchSubsystem.dll", 0,
       L"Unable to load module '%c'", ERROR_MOD_NOT_FOUND},
      {L"QxNoEntry", RefusalCase::kServer, L"C:\\windows\\system32\\version.dll", 0,
       L"Module '%c' does not contain correct entry point", ERROR_PROC_NOT_FOUND},
      {L"QxNoFactory", RefusalCase::kFactoryHr, nullptr, 0x80040111,
       L"DllGetClassObject failed (0x80040111)", 1627},
      {L"QxDeniedFactory", RefusalCase::kFactoryHr, nullptr, 0x80070005,
       L"DllGetClassObject failed (0x80070005)", ERROR_ACCESS_DENIED},
      // Success without a pointer: nothing to call, so no factory or object at all.
      {L"QxNullFactory", RefusalCase::kFactoryHr, nullptr, 0,
       L"DllGetClassObject failed (0x80004003)", 1627},
      {L"QxNoObject", RefusalCase::kObjectHr, nullptr, 0x80004002,
       L"CreateObject failed (0x80004002)", 1627},
      {L"QxNullObject", RefusalCase::kObjectHr, nullptr, 0, L"CreateObject failed (0x80004003)",
       1627},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << c.stem);
    ComRegistration clsid(c.kind == RefusalCase::kServer ? std::wstring(c.text) : copy_.path(),
                          nullptr, c.kind != RefusalCase::kNoInprocKey);
    if (c.kind == RefusalCase::kFactoryHr) clsid.Dword(L"FactoryHr", c.hr);
    if (c.kind == RefusalCase::kObjectHr) clsid.Dword(L"ObjectHr", c.hr);
    ASSERT_TRUE(clsid.ok());
    const std::wstring text = c.kind == RefusalCase::kText ? std::wstring(c.text) : clsid.text();
    const std::wstring name = Service(c.stem, c.kind == RefusalCase::kNoClsid ? nullptr : &text);
    log_.Clear();

    RunService(name);

    EXPECT_EQ(1, scm_.StoppedReports(name));
    for (const auto& report : scm_.Reports()) {
      if (report.name != name) continue;
      EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_SHARE_PROCESS), report.status.dwServiceType);
      EXPECT_EQ(c.exitCode, report.status.dwWin32ExitCode);
      EXPECT_EQ(0u, report.status.dwControlsAccepted);
    }
    EXPECT_TRUE(log_.Has(kLogError, L"Failed to get the subsystem interface for '" + name + L"'"));
    if (c.line) {
      std::wstring line = c.line;
      const size_t at = line.find(L"%c");
      if (at != std::wstring::npos) line.replace(at, 2, clsid.text());
      EXPECT_TRUE(log_.Has(kLogError, line)) << testing::PrintToString(line);
    } else {
      EXPECT_FALSE(log_.HasPrefix(kLogError, L"Failed to convert the string clsid"));
    }
    EXPECT_FALSE(ReadSubsystemRecord(name).found);
  }
  // The host lives on and runs the next service.
  ComRegistration good(copy_.path());
  ASSERT_TRUE(good.ok());
  const std::wstring after = Service(L"QxAfterRefusals", &good.text());
  RunService(after);
  EXPECT_EQ(1u, ReadSubsystemRecord(after).returned);
}

// The roads that turn a service away before anything is loaded report it stopped too, so that it
// does not hang in START_PENDING and keep the process alive.
TEST_F(ProxyTest, ShutdownAndComFailureReportTheServiceStopped) {
  ComRegistration clsid(copy_.path());
  ASSERT_TRUE(clsid.ok());

  const std::wstring late = Service(L"QxLate", &clsid.text());
  g_bShutdown = 1;
  RunService(late);
  g_bShutdown = 0;
  EXPECT_TRUE(
      log_.Has(kLogError, L"GenericServiceMain is called when shutdown, argv[0] = " + late));
  EXPECT_EQ(1, scm_.StoppedReports(late));
  EXPECT_EQ(0u, scm_.StoppedExitCode(late));  // the host's own decision, not a failure
  EXPECT_FALSE(ReadSubsystemRecord(late).found);

  // A thread already in a single-threaded apartment cannot join the multithreaded one.
  const std::wstring sta = Service(L"QxSta", &clsid.text());
  std::thread([&] {
    Basalt::ScopedComApartment apartment(COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(apartment.succeeded());
    std::wstring arg = sta;
    LPWSTR argv[] = {&arg[0]};
    CQxSvcHostProxy::GenericServiceMain(1, argv);
  }).join();
  EXPECT_TRUE(log_.Has(kLogError, L"Failed to initialize COM (0x80010106)"));
  EXPECT_EQ(1, scm_.StoppedReports(sta));
  EXPECT_EQ(1627u, scm_.StoppedExitCode(sta));
  EXPECT_FALSE(ReadSubsystemRecord(sta).found);

  // Without arguments there is no name to report.
  CQxSvcHostProxy::GenericServiceMain(0, nullptr);
  CQxSvcHostProxy::GenericServiceMain(1, nullptr);
  EXPECT_TRUE(log_.Has(kLogError, L"Insufficient arguments to ServiceMain"));
  EXPECT_TRUE(log_.Has(kLogError, L"NULL passed as argv "));
  EXPECT_EQ(2u, scm_.Reports().size());
}

TEST(ProxyStateTest, WithoutStateTheServiceIsReportedThroughTheServiceControlManager) {
  qxtest::ScopedLogCapture capture;
  ASSERT_FALSE(CQxSvcHostProxy::HasState());
  std::wstring name = qxhosttest::UniqueName(L"QxNoState");
  LPWSTR argv[] = {&name[0]};
  std::thread([&] { CQxSvcHostProxy::GenericServiceMain(1, argv); }).join();
  EXPECT_TRUE(capture.log().Has(kLogError, L"No instance for CQxSvcHostProxy"));
  // Outside a dispatcher the real call has nothing to report to, but it was made.
  EXPECT_TRUE(capture.log().Has(kLogError, L"RegisterServiceCtrlHandler failed"));
}

// The OOBE gate with the real OOBE configuration double.
class OobeTest : public ProxyTest {
 protected:
  void SetUp() override {
    ProxyTest::SetUp();
    ASSERT_TRUE(oobe_.ok());
    ASSERT_TRUE(clsid_.ok());
    ASSERT_TRUE(host_.HostDword(L"IsOobeCheckRequired", 1));
  }
  void Answer(DWORD state, DWORD error, DWORD hr = 0) {
    ASSERT_TRUE(SetOobe(L"State", state) && SetOobe(L"Error", error) && SetOobe(L"Hr", hr));
  }
  static bool SetOobe(const wchar_t* name, DWORD value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, qxdouble::kOobeKey, name, REG_DWORD, &value,
                           sizeof(value)) == ERROR_SUCCESS;
  }
  static DWORD OobeCount(const wchar_t* name) {
    DWORD value = 0;
    qxhosttest::ScratchHost::ReadDword(qxdouble::kOobeKey, name, value);
    return value;
  }
  static DWORD OobeCheckRequired() {
    DWORD value = 0xFFFF;
    qxhosttest::ScratchHost::ReadDword(QXSVCHOST_REG_KEY, L"IsOobeCheckRequired", value);
    return value;
  }
  // Starts a fresh service of the group and tells whether its subsystem ran.
  bool Runs(const wchar_t* stem) {
    const std::wstring name = Service(stem, &clsid_.text());
    RunService(name);
    const bool ran = ReadSubsystemRecord(name).found;
    // Refused on purpose or run to its end: stopped once, with exit code 0 either way.
    EXPECT_EQ(1, scm_.StoppedReports(name));
    EXPECT_EQ(0u, scm_.StoppedExitCode(name));
    return ran;
  }

  ComRegistration oobe_{qxhosttest::DoublePath(L"QxOobeDouble.dll"), &CLSID_QxOobeConfig};
  ComRegistration clsid_{copy_.path()};
};

TEST_F(OobeTest, TheOobeServiceRunsInAnyCaseWithoutAskingTheObject) {
  Answer(0, 0);
  for (const wchar_t* stem : {L"QxOobeSv2", L"qxoobesv2", L"QXOOBESV2"}) {
    const std::wstring name = stem;  // exact name, not made unique: the name is what counts
    EXPECT_TRUE(host_.GroupString(kGroup, name.c_str(), clsid_.text()));
    ASSERT_TRUE(qxhosttest::ScratchHost::InitConfig(kGroup));
    RunService(name);
    EXPECT_TRUE(ReadSubsystemRecord(name).found) << testing::PrintToString(name);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                   (std::wstring(qxdouble::kSubsystemRecordsKey) + L"\\" + name).c_str());
  }
  EXPECT_EQ(0u, OobeCount(L"Created"));
  // Any other service is asked about, and refused.
  EXPECT_FALSE(Runs(L"QxGated"));
  EXPECT_EQ(1u, OobeCount(L"Created"));
}

TEST_F(OobeTest, CompletedOobeNeverCreatesTheObject) {
  Answer(0, 0);
  ASSERT_TRUE(host_.HostDword(L"IsOobeCheckRequired", 0));
  EXPECT_TRUE(Runs(L"QxDone1"));
  EXPECT_TRUE(Runs(L"QxDone2"));
  EXPECT_EQ(0u, OobeCount(L"Created"));
  EXPECT_EQ(1u, log_.Count(kLogNormal, L"Oobe completed, disabling OOBE check"));
}

TEST_F(OobeTest, AllServicesEnabledWritesTheFlagOnceAndStopsAsking) {
  Answer(0xFFFF, 0);
  EXPECT_TRUE(Runs(L"QxEnabled1"));
  EXPECT_EQ(0u, OobeCheckRequired());
  ASSERT_TRUE(host_.HostDword(L"IsOobeCheckRequired", 1));  // not read again in this process
  EXPECT_TRUE(Runs(L"QxEnabled2"));
  EXPECT_EQ(1u, OobeCount(L"Calls"));
  EXPECT_EQ(1u, OobeCheckRequired());
  EXPECT_EQ(1u,
            log_.Count(kLogNormal, L"OOBE service has enabled all services, disabling OOBE check"));
}

TEST_F(OobeTest, AnUnansweredQuestionRunsTheServiceAndKeepsTheCheckPending) {
  Answer(0xFFFF, 5, 0x80004005);
  EXPECT_TRUE(Runs(L"QxUnanswered1"));
  EXPECT_TRUE(Runs(L"QxUnanswered2"));
  EXPECT_EQ(2u, OobeCount(L"Calls"));
  EXPECT_EQ(1u, OobeCheckRequired());
  EXPECT_EQ(2u, log_.Count(kLogError, L"GetServiceEnabledState failed (0x80004005)"));
}

TEST_F(OobeTest, DisabledServicesAreRefusedUnlessExcluded) {
  Answer(0, 0);
  EXPECT_FALSE(Runs(L"QxDisabled"));
  EXPECT_TRUE(log_.Has(kLogNormal, L"Services are disabled due to OOBE state"));
  EXPECT_TRUE(log_.Has(kLogWarning, L"The service should not be executed, stopping service"));

  // The exclusion list is compared exactly, and its entries are lower case.
  const std::wstring excluded = qxhosttest::UniqueName(L"qxexcluded");
  ASSERT_TRUE(host_.Exclude(kGroup, excluded.c_str()));
  ASSERT_TRUE(host_.GroupString(kGroup, excluded.c_str(), clsid_.text()));
  ASSERT_TRUE(qxhosttest::ScratchHost::InitConfig(kGroup));
  RunService(excluded);
  EXPECT_TRUE(ReadSubsystemRecord(excluded).found);
  EXPECT_TRUE(log_.Has(kLogWarning, L"The service is in OOBE exclusion list '" + excluded + L"'"));
  EXPECT_EQ(1, scm_.StoppedReports(excluded));  // by the host once its subsystem returned
}

TEST_F(OobeTest, AnObjectThatCannotBeMadeLetsTheServiceRun) {
  RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + oobe_.text()).c_str());
  EXPECT_TRUE(Runs(L"QxNoOobe"));
  EXPECT_TRUE(log_.HasPrefix(kLogNormal, L"Failed to get OOBE config object (0x"));
}

}  // namespace
