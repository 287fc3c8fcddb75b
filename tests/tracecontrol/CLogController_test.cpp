// Trace session control: settings, the properties block, ownership, registry reactions.
#include "tracecontrol/CLogController.h"

#include <windows.h>
// These need <windows.h> first.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "basalt/LibraryUtils.h"
#include "basalt/UniqueHandle.h"
#include "support/ControllerTestSupport.h"
#include "tests/support/TestFiles.h"
#include "tracecontrol/TraceSessionCalls.h"

namespace {

using ETWLogging::CCSMonitor;
using ETWLogging::COwnerMutexSecurity;
using fake_trace::Call;
using tracetest::ControllerTest;
using tracetest::TestController;
using tracetest::WaitUntil;

DWORD TwiceTheProcessors() {
  SYSTEM_INFO info = {};
  GetSystemInfo(&info);
  return 2 * info.dwNumberOfProcessors;
}

bool MutexExists(const std::wstring& name) {
  Basalt::UniqueKernelHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
  return static_cast<bool>(mutex);
}

const EVENT_TRACE_PROPERTIES& Block(const fake_trace::SessionState& state) {
  return *reinterpret_cast<const EVENT_TRACE_PROPERTIES*>(state.started.data());
}

std::wstring BlockText(const fake_trace::SessionState& state, ULONG offset) {
  return reinterpret_cast<const wchar_t*>(state.started.data() + offset);
}

size_t CountBackups(const tracetest::TestTraceApp& app) {
  size_t count = 0;
  for (const std::wstring& name : app.EtlFolderEntries()) {
    if (name.size() > 4 && name.compare(name.size() - 4, 4, L".bak") == 0) ++count;
  }
  return count;
}

TEST_F(ControllerTest, InitializeOnceForAnApplicationWithNames) {
  auto controller = MakeController();
  EXPECT_EQ(4055u, controller->Initialize(app->Id()));
  TestController noId;
  EXPECT_EQ(87u, noId.Initialize(nullptr));
  TestController unknown;
  EXPECT_EQ(87u, unknown.Initialize(L"NoSuchApplication"));
}

TEST_F(ControllerTest, InitializeAcceptsAnEtlFolderThatExists) {
  auto first = MakeController();
  ASSERT_TRUE(Basalt::DirectoryExists(app->etlFolder.c_str()));
  TestController second;
  EXPECT_EQ(0u, second.Initialize(app->Id()));
}

TEST_F(ControllerTest, PropertiesBlockWithDefaults) {
  auto controller = MakeController();
  ASSERT_EQ(0u, controller->Start());
  const fake_trace::SessionState state = fake_trace::Session(app->sessionName);
  ASSERT_EQ(4216u, state.started.size());
  const EVENT_TRACE_PROPERTIES& block = Block(state);
  EXPECT_EQ(4216u, block.Wnode.BufferSize);
  EXPECT_TRUE(
      IsEqualGUID(block.Wnode.Guid, GUID{0x5E55104Eu, 0x1111, 0x2222, {3, 3, 4, 4, 5, 5, 6, 6}}));
  EXPECT_EQ(2u, block.Wnode.ClientContext);
  EXPECT_EQ(static_cast<ULONG>(WNODE_FLAG_TRACED_GUID), block.Wnode.Flags);
  EXPECT_EQ(9u, block.BufferSize);
  EXPECT_EQ(TwiceTheProcessors(), block.MinimumBuffers);
  EXPECT_EQ(256u, block.MaximumBuffers);
  EXPECT_EQ(16u, block.MaximumFileSize);
  EXPECT_EQ(0x1000002u, block.LogFileMode);
  EXPECT_EQ(0u, block.FlushTimer);
  EXPECT_EQ(TwiceTheProcessors(), block.NumberOfBuffers);
  EXPECT_EQ(120u, block.LoggerNameOffset);
  EXPECT_EQ(2168u, block.LogFileNameOffset);
  EXPECT_EQ(app->sessionName, BlockText(state, 120));
  EXPECT_EQ(app->etlFile, BlockText(state, 2168));
  EXPECT_TRUE(state.enabled);
  EXPECT_EQ(4u, state.level);
}

TEST_F(ControllerTest, ControllerValuesReachThePropertiesBlock) {
  struct Case {
    const wchar_t* name;
    std::optional<DWORD> stored;  // none: absent
    bool plain;                   // stored without obfuscation: counts as absent
    ULONG EVENT_TRACE_PROPERTIES::*field;
    ULONG expected;
  };
  const Case cases[] = {
      {L"Buffer Size", std::nullopt, false, &EVENT_TRACE_PROPERTIES::BufferSize, 9},
      {L"Buffer Size", 0, false, &EVENT_TRACE_PROPERTIES::BufferSize, 0},
      {L"Buffer Size", 64, false, &EVENT_TRACE_PROPERTIES::BufferSize, 64},
      {L"Buffer Size", 64, true, &EVENT_TRACE_PROPERTIES::BufferSize, 9},
      {L"Max Buffers", 0xFFFFFFFF, false, &EVENT_TRACE_PROPERTIES::MaximumBuffers, 0xFFFFFFFF},
      {L"File Mode", 2, false, &EVENT_TRACE_PROPERTIES::LogFileMode, 2},
      {L"File Size", 0, false, &EVENT_TRACE_PROPERTIES::MaximumFileSize, 0},
      {L"Flush Timer", 7, false, &EVENT_TRACE_PROPERTIES::FlushTimer, 7},
      {L"Min Buffers", std::nullopt, false, &EVENT_TRACE_PROPERTIES::MinimumBuffers,
       TwiceTheProcessors()},
      {L"Min Buffers", 0, false, &EVENT_TRACE_PROPERTIES::MinimumBuffers, 0},
      {L"Min Buffers", 5, false, &EVENT_TRACE_PROPERTIES::MinimumBuffers, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.name << " " << (c.stored ? *c.stored : 0) << " plain " << c.plain);
    app->DeleteControllerValue(c.name);
    if (c.stored) {
      ASSERT_TRUE(c.plain ? app->SetPlainControllerValue(c.name, *c.stored)
                          : app->SetControllerValue(c.name, *c.stored));
    }
    auto controller = MakeController();
    ASSERT_EQ(0u, controller->Start());
    EXPECT_EQ(c.expected, Block(fake_trace::Session(app->sessionName)).*c.field);
    EXPECT_EQ(0u, controller->Stop(TRUE));
  }
}

TEST_F(ControllerTest, FilesToKeepIsBroughtIntoOneToFifty) {
  struct Case {
    std::optional<DWORD> stored;
    size_t kept;
  };
  const Case cases[] = {{std::nullopt, 10}, {0, 1}, {7, 7}, {51, 50}, {0xFFFFFFFF, 50}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored ? *c.stored : 10);
    testsupport::DeleteTree(app->etlFolder);
    for (int i = 0; i < 55; ++i) {
      ASSERT_TRUE(app->MakeEtlFolderFile(L"old" + std::to_wstring(i) + L".etl.bak", "x", 100 - i));
    }
    ASSERT_TRUE(app->MakeEtlFolderFile(L"qxlogs.etl", "trace", 0));
    app->DeleteControllerValue(L"Files To Keep");
    if (c.stored) {
      ASSERT_TRUE(app->SetControllerValue(L"Files To Keep", *c.stored));
    }
    auto controller = MakeController();
    ASSERT_EQ(0u, controller->Start());
    EXPECT_EQ(c.kept, CountBackups(*app));
    EXPECT_EQ(0u, controller->Stop(TRUE));
  }
}

TEST_F(ControllerTest, RegistryChangesReachTheRunningSession) {
  auto controller = MakeController();
  ASSERT_EQ(0u, controller->Start());
  ASSERT_EQ(4u, fake_trace::Session(app->sessionName).level);
  // A new severity applies at once, also through the subkey.
  ASSERT_TRUE(app->SetSeverity(5));
  EXPECT_TRUE(WaitUntil([&] { return fake_trace::Session(app->sessionName).level == 5; }));
  // Buffer settings wait for the next start of the session.
  ASSERT_TRUE(app->SetControllerValue(L"Buffer Size", 32));
  ASSERT_EQ(0u, controller->RestartSession());
  const fake_trace::SessionState state = fake_trace::Session(app->sessionName);
  EXPECT_EQ(2, state.starts);
  EXPECT_EQ(32u, Block(state).BufferSize);
  EXPECT_EQ(5u, state.level);
}

TEST_F(ControllerTest, ShutdownControllerStopsTheSessionUntilTheNextStart) {
  ASSERT_TRUE(app->SetControllerValue(L"Shutdown Controller", 1));
  auto early = MakeController();
  EXPECT_EQ(5023u, early->Start());
  EXPECT_FALSE(MutexExists(app->mutexName));  // refused before taking ownership
  EXPECT_EQ(0, fake_trace::Session(app->sessionName).starts);

  ASSERT_TRUE(app->SetControllerValue(L"Shutdown Controller", 0));
  auto controller = MakeController();
  controller->CheckEvery(20);
  ASSERT_EQ(0u, controller->Start());
  ASSERT_TRUE(app->SetControllerValue(L"Shutdown Controller", 1));
  EXPECT_TRUE(WaitUntil([&] { return !fake_trace::IsRunning(app->sessionName); }));
  // Clearing it again enables the provider on no session and restarts nothing, neither then
  // nor at the watch's later checks.
  const int applied = controller->settingsApplied;
  ASSERT_TRUE(app->SetControllerValue(L"Shutdown Controller", 0));
  EXPECT_TRUE(app->PokeUntil([&] { return controller->settingsApplied > applied; }));
  const int asked = controller->delaysAsked;
  EXPECT_TRUE(WaitUntil([&] { return controller->delaysAsked > asked + 5; }));
  EXPECT_FALSE(fake_trace::IsRunning(app->sessionName));
  EXPECT_EQ(2u, controller->RestartSession());
  EXPECT_EQ(1, fake_trace::Session(app->sessionName).starts);
}

// Once no session runs under the name, a settings change has nothing to enable: it answers 2
// and makes no enable call, not on the handle learnt at the start either.
TEST_F(ControllerTest, ASettingsChangeWithoutASessionEnablesNothing) {
  auto controller = MakeController();
  ASSERT_EQ(0u, controller->Start());
  std::vector<BYTE> block(ETWLogging::kTracePropertiesBytes);
  auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
  properties->Wnode.BufferSize = ETWLogging::kTracePropertiesBytes;
  // Stopped from outside, as a tool would stop it.
  ASSERT_EQ(0u, TraceSessionCalls::ControlTrace(0, app->sessionName.c_str(), properties,
                                                EVENT_TRACE_CONTROL_STOP));
  const size_t calls = fake_trace::Calls().size();
  const int applied = controller->settingsApplied;
  ASSERT_TRUE(app->SetSeverity(5));
  ASSERT_TRUE(WaitUntil([&] { return controller->settingsApplied > applied; }));
  EXPECT_EQ(2u, controller->lastApplied.load());
  const std::vector<fake_trace::CallRecord> after = fake_trace::Calls();
  for (size_t i = calls; i < after.size(); ++i) EXPECT_NE(Call::kEnable, after[i].call);
  EXPECT_FALSE(fake_trace::IsRunning(app->sessionName));
}

// The shipped watch looks every 30 s while the session runs; after a start that failed it
// tries again after 1 s, backing off to those 30 s and never waiting longer.
TEST_F(ControllerTest, TheSessionWatchBacksOffToHalfAMinute) {
  TestController controller;
  const struct {
    DWORD failedChecks;
    DWORD delay;
  } cases[] = {{0, 30000}, {1, 1000},  {2, 2000},   {3, 4000},          {5, 16000},
               {6, 30000}, {7, 30000}, {40, 30000}, {0xFFFFFFFF, 30000}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.delay, controller.ShippedCheckDelay(c.failedChecks)) << c.failedChecks;
  }
}

TEST_F(ControllerTest, OneOwnerAtATime) {
  auto first = MakeController();
  auto second = MakeController();
  ASSERT_EQ(0u, first->Start());
  EXPECT_TRUE(MutexExists(app->mutexName));
  EXPECT_EQ(1307u, first->Start());
  EXPECT_EQ(288u, second->Start());
  EXPECT_EQ(288u, second->Stop(TRUE));
  EXPECT_TRUE(fake_trace::IsRunning(app->sessionName));
  EXPECT_EQ(1, fake_trace::Session(app->sessionName).starts);
}

TEST_F(ControllerTest, StopWithoutTheSessionHandsItToTheNextStart) {
  auto first = MakeController();
  ASSERT_EQ(0u, first->Start());
  ASSERT_TRUE(fake_trace::AppendTrace(app->sessionName, "first run"));
  EXPECT_EQ(0u, first->Stop(FALSE));
  EXPECT_TRUE(fake_trace::IsRunning(app->sessionName));
  EXPECT_FALSE(MutexExists(app->mutexName));

  auto next = MakeController();
  ASSERT_EQ(0u, next->Start());
  EXPECT_EQ(2, fake_trace::Session(app->sessionName).starts);
  const std::vector<std::wstring> entries = app->EtlFolderEntries();
  ASSERT_EQ(2u, entries.size());  // one backup and the new qxlogs.etl
  EXPECT_EQ("first run", testsupport::ReadFileBytes(app->etlFolder + L"\\" + entries[0]));
  EXPECT_EQ(0u, next->Stop(TRUE));
  EXPECT_FALSE(fake_trace::IsRunning(app->sessionName));
}

TEST_F(ControllerTest, RestartSessionKeepsTheOwner) {
  auto owner = MakeController();
  auto other = MakeController();
  ASSERT_EQ(0u, owner->Start());
  ASSERT_EQ(0u, owner->RestartSession());
  EXPECT_EQ(2, fake_trace::Session(app->sessionName).starts);
  EXPECT_EQ(288u, other->Start());
  EXPECT_EQ(1307u, owner->Start());
}

TEST_F(ControllerTest, SessionCommandsWithoutASession) {
  auto controller = MakeController();
  EXPECT_EQ(2u, controller->RestartSession());
  EXPECT_EQ(2u, controller->FlushBuffers());
  EXPECT_EQ(2u, controller->Stop(TRUE));  // takes and gives up ownership on the way
  EXPECT_FALSE(MutexExists(app->mutexName));
  EXPECT_EQ(0, fake_trace::Session(app->sessionName).starts);
}

TEST_F(ControllerTest, FlushBuffersFlushesTheOwnersSession) {
  auto owner = MakeController();
  auto other = MakeController();
  ASSERT_EQ(0u, owner->Start());
  EXPECT_EQ(0u, other->FlushBuffers());
  EXPECT_EQ(1, fake_trace::Session(app->sessionName).flushes);
}

// Another controller's restart leaves this one with the handle of a stopped session: a
// settings change reaches the session that runs under the name now.
TEST_F(ControllerTest, SettingsReachASessionThatAnotherControllerRestarted) {
  auto owner = MakeController();
  ASSERT_EQ(0u, owner->Start());
  const TRACEHANDLE first = fake_trace::Session(app->sessionName).handle;
  {
    auto other = MakeController();
    ASSERT_EQ(0u, other->RestartSession());
  }  // gone, and no longer watching the settings
  ASSERT_NE(first, fake_trace::Session(app->sessionName).handle);
  ASSERT_TRUE(app->SetSeverity(5));
  EXPECT_TRUE(WaitUntil([&] {
    const fake_trace::SessionState state = fake_trace::Session(app->sessionName);
    return state.enabled && state.level == 5;
  }));
}

// The session is restarted elsewhere between this controller's start of it and the enabling
// of the provider: the enabling reaches the session that runs now.
TEST_F(ControllerTest, AStartEnablesTheSessionRunningUnderItsName) {
  auto starter = MakeController();
  Basalt::UniqueEvent entered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Basalt::UniqueEvent release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  fake_trace::HoldNextCall(Call::kStart, entered.get(), release.get(), true);
  DWORD started = 0xFFFFFFFF;
  std::thread caller([&] { started = starter->Start(); });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered.get(), 5000));
  {
    auto other = MakeController();
    EXPECT_EQ(0u, other->RestartSession());
  }
  SetEvent(release.get());
  caller.join();
  EXPECT_EQ(0u, started);
  const fake_trace::SessionState state = fake_trace::Session(app->sessionName);
  EXPECT_EQ(2, state.starts);
  EXPECT_TRUE(state.running);
  EXPECT_TRUE(state.enabled);
}

class NoMutexSecurityController : public TestController {
 protected:
  bool BuildOwnerMutexSecurity(COwnerMutexSecurity&) override {
    SetLastError(ERROR_SUCCESS);  // as SetEntriesInAclW leaves it
    return false;
  }
};

TEST_F(ControllerTest, AnOwnerMutexThatCannotBeMadeIsAFailure) {
  NoMutexSecurityController controller;
  ASSERT_EQ(0u, controller.Initialize(app->Id()));
  EXPECT_NE(0u, controller.Start());
  EXPECT_NE(0u, controller.FlushBuffers());
  EXPECT_NE(0u, controller.RestartSession());
  EXPECT_EQ(0, fake_trace::Session(app->sessionName).starts);
}

TEST_F(ControllerTest, OwnerMutexAdmitsAdministratorsOnly) {
  auto controller = MakeController();
  ASSERT_EQ(0u, controller->Start());
  Basalt::UniqueKernelHandle mutex(OpenMutexW(READ_CONTROL, FALSE, app->mutexName.c_str()));
  ASSERT_TRUE(mutex);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(0u, GetSecurityInfo(mutex.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl, nullptr, &descriptor));
  Basalt::UniqueLocalMem hold(descriptor);
  ASSERT_NE(nullptr, dacl);
  ACL_SIZE_INFORMATION size = {};
  ASSERT_TRUE(GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation));
  ASSERT_EQ(1u, size.AceCount);
  ACCESS_ALLOWED_ACE* ace = nullptr;
  ASSERT_TRUE(GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
  EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof(administrators);
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sidSize));
  EXPECT_TRUE(EqualSid(&ace->SidStart, administrators));
}

TEST_F(ControllerTest, FirstStartDropsTheLoggingMechanismOnce) {
  const DWORD mechanism = 2;
  auto readDword = [&](const wchar_t* name) -> std::optional<DWORD> {
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, app->baseKey.c_str(), name, RRF_RT_REG_DWORD, nullptr,
                     &value, &bytes) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    return value;
  };
  ASSERT_EQ(0, RegSetKeyValueW(HKEY_LOCAL_MACHINE, app->baseKey.c_str(), L"Logging Mechanism",
                               REG_DWORD, &mechanism, sizeof(mechanism)));
  auto first = MakeController();
  ASSERT_EQ(0u, first->Start());
  EXPECT_FALSE(readDword(L"Logging Mechanism"));
  EXPECT_EQ(1u, readDword(L"Auto Upgraded").value_or(0));
  ASSERT_EQ(0u, first->Stop(FALSE));

  ASSERT_EQ(0, RegSetKeyValueW(HKEY_LOCAL_MACHINE, app->baseKey.c_str(), L"Logging Mechanism",
                               REG_DWORD, &mechanism, sizeof(mechanism)));
  auto second = MakeController();
  ASSERT_EQ(0u, second->Start());
  EXPECT_EQ(mechanism, readDword(L"Logging Mechanism").value_or(0));
}

TEST_F(ControllerTest, DiagnosticsNameTheApplication) {
  auto controller = MakeController();
  const std::wstring programData = testsupport::ProgramDataFolder();
  EXPECT_EQ(L"App ID: " + app->id + L"\nSession name: " + app->sessionName +
                L"\nSession ID: {5E55104E-1111-2222-0303-040405050606}\nLog Path: " + programData +
                L"\\Telvan\\QXLOGS\nETL Path: " + app->etlFolder + L"\nETL File Name: " +
                app->etlFile + L"\nProvider GUID: {920F1DE4-AAAA-BBBB-0102-030405060708}\n",
            controller->GetDiagnostics());
  EXPECT_EQ(L"{0000ABCD-00EF-0A0B-FF01-0203040506A7}",
            ETWLogging::CLogController::FormatGuid(
                {0xABCD, 0xEF, 0xA0B, {0xFF, 1, 2, 3, 4, 5, 6, 0xA7}}));
}

// A session command from the caller waits while a registry change is being applied on the
// monitor's thread, instead of running through the same state beside it.
TEST_F(ControllerTest, SessionCommandsWaitForASettingsChangeInProgress) {
  auto controller = MakeController();
  ASSERT_EQ(0u, controller->Start());
  Basalt::UniqueEvent entered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Basalt::UniqueEvent release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  fake_trace::HoldNextCall(Call::kEnable, entered.get(), release.get());
  ASSERT_TRUE(app->SetSeverity(6));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered.get(), 5000));
  const size_t calls = fake_trace::Calls().size();
  DWORD flushed = 0xFFFFFFFF;
  std::thread caller([&] { flushed = controller->FlushBuffers(); });
  Sleep(300);
  EXPECT_EQ(calls, fake_trace::Calls().size());
  SetEvent(release.get());
  caller.join();
  EXPECT_EQ(0u, flushed);
  EXPECT_EQ(6u, fake_trace::Session(app->sessionName).level);
  EXPECT_EQ(1, fake_trace::Session(app->sessionName).flushes);
}

class DeletionFlagMonitor : public CCSMonitor {
 public:
  explicit DeletionFlagMonitor(std::atomic<bool>* deleted) : m_deleted(deleted) {}
  ~DeletionFlagMonitor() override { *m_deleted = true; }

 private:
  std::atomic<bool>* m_deleted;
};

// Holds its next settings change, on the registry thread, before the controller's own
// handling takes any lock.
class HoldingController : public ETWLogging::CLogController {
 public:
  explicit HoldingController(std::atomic<bool>* monitorDeleted) : m_deleted(monitorDeleted) {}

  void HoldNextChange(HANDLE entered, HANDLE release) {
    m_entered = entered;
    m_release = release;
    m_hold = true;
  }

 protected:
  std::unique_ptr<CCSMonitor> MakeStandbyMonitor() override {
    return std::make_unique<DeletionFlagMonitor>(m_deleted);
  }
  DWORD ApplySettings() override {
    if (m_hold.exchange(false)) {
      SetEvent(m_entered);
      WaitForSingleObject(m_release, 10000);
    }
    return CLogController::ApplySettings();
  }

 private:
  std::atomic<bool>* m_deleted;
  std::atomic<bool> m_hold{false};
  HANDLE m_entered = nullptr;
  HANDLE m_release = nullptr;
};

// A controller that does not own the session but watches its settings (after a restart it
// was asked for) is torn down only after its registry thread has finished.
TEST_F(ControllerTest, DestructionJoinsTheMonitorThreadsFirst) {
  auto first = MakeController();
  ASSERT_EQ(0u, first->Start());
  ASSERT_EQ(0u, first->Stop(FALSE));
  first.reset();
  std::atomic<bool> monitorDeleted{false};
  auto watcher = std::make_unique<HoldingController>(&monitorDeleted);
  ASSERT_EQ(0u, watcher->Initialize(app->Id()));
  ASSERT_EQ(0u, watcher->RestartSession());
  // Another process owns the session now.
  Basalt::UniqueKernelHandle otherOwner(CreateMutexW(nullptr, FALSE, app->mutexName.c_str()));
  ASSERT_TRUE(otherOwner);

  Basalt::UniqueEvent entered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Basalt::UniqueEvent release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  watcher->HoldNextChange(entered.get(), release.get());
  ASSERT_TRUE(app->SetSeverity(3));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered.get(), 5000));
  std::thread destroyer([&] { watcher.reset(); });
  Sleep(300);
  EXPECT_FALSE(monitorDeleted);
  SetEvent(release.get());
  destroyer.join();
  EXPECT_TRUE(monitorDeleted);
  EXPECT_TRUE(fake_trace::IsRunning(app->sessionName));
}

}  // namespace
