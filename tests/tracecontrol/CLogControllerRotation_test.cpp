// ETL rotation: backups of the current trace before a session starts, and their pruning.
#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TamselFakeCallPath.h"
#include "basalt/LibraryUtils.h"
#include "basalt/UniqueHandle.h"
#include "support/ControllerTestSupport.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestPrograms.h"

namespace {

using tracetest::ControllerTest;
using tracetest::WaitUntil;

constexpr FILETIME kBackupTime = {0x89ABCDEF, 0x01D2E3F4};

std::wstring BackupName(int counter) {
  wchar_t name[64];
  wsprintfW(name, L"%08d%08x%08x.etl.bak", counter, kBackupTime.dwHighDateTime,
            kBackupTime.dwLowDateTime);
  return name;
}

// A controller enables the provider just after its start: a test that sees the session
// running from another thread waits for both.
bool RunsEnabled(const std::wstring& session) {
  const fake_trace::SessionState state = fake_trace::Session(session);
  return state.running && state.enabled;
}

class RotationTest : public ControllerTest {
 protected:
  std::string Read(const std::wstring& name) {
    return testsupport::ReadFileBytes(app->etlFolder + L"\\" + name);
  }
  bool Exists(const std::wstring& name) {
    return testsupport::FileExists(app->etlFolder + L"\\" + name);
  }
  // |count| backups "b00.bak" (oldest) to "b<count-1>.bak", |firstAge| days old and younger.
  void MakeBackups(int count, int firstAge) {
    for (int i = 0; i < count; ++i) {
      wchar_t name[16];
      wsprintfW(name, L"b%02d.bak", i);
      ASSERT_TRUE(app->MakeEtlFolderFile(name, "old", firstAge - i));
    }
  }
  // Makes qxlogs.etl holding |text| and opens it as a reader that shares no deletion, so that
  // it cannot be moved aside while the returned handle is held.
  Basalt::UniqueFile HoldEtlFile(const char* text) {
    if (!app->MakeEtlFolderFile(L"qxlogs.etl", text, 0)) return Basalt::UniqueFile();
    return Basalt::UniqueFile(CreateFileW(app->etlFile.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
  }
  // Waits until |controller|'s watch has looked at the session a few times more.
  void WaitForChecks(tracetest::TestController& controller) {
    const int asked = controller.delaysAsked;
    EXPECT_TRUE(WaitUntil([&] { return controller.delaysAsked >= asked + 6; }));
  }
  // RestartSession for the application in a second process, as a tool would run it: its
  // result. |hold| names the two events that hold its start of the session (or is empty).
  DWORD RestartInOtherProcess(const std::wstring& hold = L"") {
    return testsupport::RunProgram(testsupport::WinePath(TAMSEL_FAKE_CALL_UNIX_PATH),
                                   fake_trace::TableName() + L" \"" + registry->path() +
                                       L"\" RestartSession " + app->id + L" " + hold);
  }
  std::unique_ptr<tracetest::TestController> StartWithFixedTime() {
    auto controller = MakeController();
    controller->fixedBackupTime = true;
    controller->backupTime = kBackupTime;
    return controller;
  }
};

TEST_F(RotationTest, TheCurrentTraceBecomesANumberedBackup) {
  ASSERT_TRUE(app->MakeEtlFolderFile(L"qxlogs.etl", "run one", 0));
  auto controller = StartWithFixedTime();
  ASSERT_EQ(0u, controller->Start());
  ASSERT_TRUE(fake_trace::AppendTrace(app->sessionName, "run two"));
  // A second rotation of the same controller within the same clock tick.
  ASSERT_EQ(0u, controller->RestartSession());
  EXPECT_EQ((std::vector<std::wstring>{BackupName(1), BackupName(2), L"qxlogs.etl"}),
            app->EtlFolderEntries());
  EXPECT_EQ("run one", Read(BackupName(1)));
  EXPECT_EQ("run two", Read(BackupName(2)));
  EXPECT_EQ("", Read(L"qxlogs.etl"));
}

TEST_F(RotationTest, WithoutAnEtlFileNothingIsMoved) {
  auto controller = MakeController();
  ASSERT_EQ(0u, controller->Start());
  EXPECT_EQ(std::vector<std::wstring>{L"qxlogs.etl"}, app->EtlFolderEntries());
}

// Every ".bak" file counts, a foreign one too; the oldest go first.
TEST_F(RotationTest, TwelveBackupsKeepTheTenNewest) {
  ASSERT_TRUE(app->MakeEtlFolderFile(L"notes.bak", "foreign", 40));
  MakeBackups(10, 30);
  ASSERT_TRUE(app->MakeEtlFolderFile(L"qxlogs.etl", "current", 0));
  auto controller = StartWithFixedTime();
  ASSERT_EQ(0u, controller->Start());
  EXPECT_FALSE(Exists(L"notes.bak"));
  EXPECT_FALSE(Exists(L"b00.bak"));
  for (const wchar_t* kept : {L"b01.bak", L"b05.bak", L"b09.bak"}) EXPECT_TRUE(Exists(kept));
  EXPECT_EQ("current", Read(BackupName(1)));
  EXPECT_EQ(11u, app->EtlFolderEntries().size());  // ten backups and the new qxlogs.etl
}

TEST_F(RotationTest, AFolderNamedLikeABackupIsNotCounted) {
  const std::wstring folder = app->etlFolder + L"\\archive.etl.bak";
  ASSERT_TRUE(app->MakeEtlFolderFile(L"qxlogs.etl", "current", 0));
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  {
    Basalt::UniqueFile handle(CreateFileW(folder.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                          nullptr));
    // The newest entry: counted, it would cost the oldest backup that is kept.
    FILETIME future;
    GetSystemTimeAsFileTime(&future);
    future.dwHighDateTime += 1;
    ASSERT_TRUE(SetFileTime(handle.get(), nullptr, nullptr, &future));
  }
  MakeBackups(11, 30);
  auto controller = StartWithFixedTime();
  ASSERT_EQ(0u, controller->Start());
  EXPECT_TRUE(Basalt::DirectoryExists(folder.c_str()));
  EXPECT_FALSE(Exists(L"b00.bak"));
  EXPECT_FALSE(Exists(L"b01.bak"));
  EXPECT_TRUE(Exists(L"b02.bak"));
}

// A backup that cannot be deleted is passed over; the pruning goes on, and no backup among
// the newest ten is deleted in its place.
TEST_F(RotationTest, AnUndeletableBackupDoesNotStopThePruning) {
  MakeBackups(11, 30);
  ASSERT_TRUE(app->MakeEtlFolderFile(L"qxlogs.etl", "current", 0));
  Basalt::UniqueFile reader(CreateFileW((app->etlFolder + L"\\b00.bak").c_str(), GENERIC_READ,
                                        FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(reader);
  auto controller = StartWithFixedTime();
  ASSERT_EQ(0u, controller->Start());
  EXPECT_TRUE(Exists(L"b00.bak"));
  EXPECT_FALSE(Exists(L"b01.bak"));
  for (const wchar_t* kept : {L"b02.bak", L"b10.bak"}) EXPECT_TRUE(Exists(kept));
  EXPECT_TRUE(Exists(BackupName(1)));
}

// The counter starts at 1 in every controller and clocks repeat: a name already taken is
// passed over rather than the trace left in place to be truncated.
TEST_F(RotationTest, ATakenBackupNameIsPassedOver) {
  ASSERT_TRUE(app->MakeEtlFolderFile(BackupName(1), "earlier run", 1));
  ASSERT_TRUE(app->MakeEtlFolderFile(L"qxlogs.etl", "current", 0));
  auto controller = StartWithFixedTime();
  ASSERT_EQ(0u, controller->Start());
  EXPECT_EQ("earlier run", Read(BackupName(1)));
  EXPECT_EQ("current", Read(BackupName(2)));
  EXPECT_TRUE(fake_trace::IsRunning(app->sessionName));
}

// A reader that holds qxlogs.etl without delete sharing keeps it from being moved; the
// session is then not started over it, and the start reports why.
TEST_F(RotationTest, AnEtlFileThatCannotBeMovedIsNeverStartedOver) {
  Basalt::UniqueFile reader = HoldEtlFile("precious trace");
  ASSERT_TRUE(reader);
  auto controller = MakeController();
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), controller->Start());
  EXPECT_EQ(0, fake_trace::Session(app->sessionName).starts);
  EXPECT_EQ("precious trace", Read(L"qxlogs.etl"));
  EXPECT_EQ(std::vector<std::wstring>{L"qxlogs.etl"}, app->EtlFolderEntries());

  ASSERT_EQ(0u, controller->Stop(FALSE));
  reader.reset();
  auto next = StartWithFixedTime();
  ASSERT_EQ(0u, next->Start());
  EXPECT_EQ("precious trace", Read(BackupName(1)));
}

// The start that found qxlogs.etl held stopped the session; once the holder lets go, the
// controller's next trigger, or else its own watch, moves the trace aside and brings the
// session back. A trigger or check while the file is still held leaves the trace alone.
TEST_F(RotationTest, AHeldEtlFileIsMovedAtTheNextTrigger) {
  struct Trigger {
    const char* name;
    // Fires the trigger and returns its result (0 for a settings change or the watch) once
    // the controller has handled it.
    std::function<DWORD(tracetest::TestController&)> fire;
    DWORD resultWhileHeld;
    DWORD checkEvery;  // 0: the watch does not look within the test
  };
  const Trigger triggers[] = {
      {"settings change",
       [&](tracetest::TestController&) {
         const size_t calls = fake_trace::Calls().size();
         EXPECT_TRUE(app->PokeUntil([&] { return fake_trace::Calls().size() > calls; }));
         return static_cast<DWORD>(ERROR_SUCCESS);
       },
       ERROR_SUCCESS, 0},
      {"RestartSession", [&](tracetest::TestController& c) { return c.RestartSession(); },
       ERROR_SHARING_VIOLATION, 0},
      {"none: the watch",
       [&](tracetest::TestController& c) {
         WaitForChecks(c);
         return static_cast<DWORD>(ERROR_SUCCESS);
       },
       ERROR_SUCCESS, 50},
  };
  for (const Trigger& trigger : triggers) {
    SCOPED_TRACE(trigger.name);
    testsupport::DeleteTree(app->etlFolder);
    Basalt::UniqueFile reader = HoldEtlFile("precious trace");
    ASSERT_TRUE(reader);
    auto controller = MakeController();
    if (trigger.checkEvery != 0) controller->CheckEvery(trigger.checkEvery);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), controller->Start());
    EXPECT_EQ(trigger.resultWhileHeld, trigger.fire(*controller));
    Sleep(100);
    EXPECT_FALSE(fake_trace::IsRunning(app->sessionName));
    EXPECT_EQ("precious trace", Read(L"qxlogs.etl"));

    reader.reset();
    EXPECT_EQ(0u, trigger.fire(*controller));
    EXPECT_TRUE(WaitUntil([&] { return RunsEnabled(app->sessionName); }, 2000));
    const std::vector<std::wstring> entries = app->EtlFolderEntries();
    ASSERT_EQ(2u, entries.size());  // one backup and the new qxlogs.etl
    EXPECT_EQ("precious trace", Read(entries[0]));
    EXPECT_EQ("", Read(L"qxlogs.etl"));
    EXPECT_TRUE(fake_trace::Session(app->sessionName).enabled);
    EXPECT_EQ(0u, controller->Stop(TRUE));
  }
}

// A tool in another process restarts the session while a reader holds qxlogs.etl: it stops
// the owner's session, cannot start one and goes away. The owner finds that none runs under
// the name and, once the reader lets go, starts it again with the old trace in a backup.
TEST_F(RotationTest, TheOwnerBringsBackASessionThatAnotherProcessCouldNotRestart) {
  auto owner = MakeController();
  owner->CheckEvery(50);
  ASSERT_EQ(0u, owner->Start());
  ASSERT_TRUE(fake_trace::AppendTrace(app->sessionName, "owner's trace"));
  Basalt::UniqueFile reader(CreateFileW(app->etlFile.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
  ASSERT_TRUE(reader);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), RestartInOtherProcess());
  WaitForChecks(*owner);
  EXPECT_FALSE(fake_trace::IsRunning(app->sessionName));
  EXPECT_EQ("owner's trace", Read(L"qxlogs.etl"));

  reader.reset();
  EXPECT_TRUE(WaitUntil([&] { return RunsEnabled(app->sessionName); }));
  const std::vector<std::wstring> entries = app->EtlFolderEntries();
  ASSERT_EQ(2u, entries.size());  // one backup and the new qxlogs.etl
  EXPECT_EQ("owner's trace", Read(entries[0]));
  EXPECT_EQ("", Read(L"qxlogs.etl"));
  const fake_trace::SessionState state = fake_trace::Session(app->sessionName);
  EXPECT_EQ(2, state.starts);
  EXPECT_TRUE(state.enabled);
  EXPECT_EQ(0u, owner->Stop(TRUE));
}

// A restart that another process makes leaves a session that outlives that process, its file
// held as before; the owner's watch keeps that session, also when it looks between the stop
// and the start of the restart, and the owner's settings reach it.
TEST_F(RotationTest, ASessionThatAnotherProcessRestartedIsKept) {
  auto owner = MakeController();
  // A session found missing is looked for again after 3 s.
  std::atomic<bool> missed{false};
  owner->checkDelay = [&](DWORD failedChecks) {
    if (failedChecks == 0) return 50u;
    missed = true;
    return 3000u;
  };
  ASSERT_EQ(0u, owner->Start());
  ASSERT_TRUE(fake_trace::AppendTrace(app->sessionName, "first run"));
  const std::wstring tag = std::to_wstring(GetCurrentProcessId());
  const std::wstring enteredName = L"Local\\HollinTest.RestartEntered." + tag;
  const std::wstring releaseName = L"Local\\HollinTest.RestartRelease." + tag;
  Basalt::UniqueEvent entered(CreateEventW(nullptr, TRUE, FALSE, enteredName.c_str()));
  Basalt::UniqueEvent release(CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str()));
  ASSERT_TRUE(entered && release);
  DWORD restarted = 0xFFFFFFFF;
  std::thread tool([&] { restarted = RestartInOtherProcess(enteredName + L" " + releaseName); });
  // The tool has stopped the session and rotated; the owner looks in before it starts one.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered.get(), 10000));
  EXPECT_TRUE(WaitUntil([&] { return missed.load(); }));
  SetEvent(release.get());
  tool.join();
  EXPECT_EQ(0u, restarted);
  // The look again after the miss, and one more.
  const int asked = owner->delaysAsked;
  EXPECT_TRUE(WaitUntil([&] { return owner->delaysAsked >= asked + 2; }, 10000));
  EXPECT_EQ(2, fake_trace::Session(app->sessionName).starts);
  EXPECT_FALSE(MoveFileW(app->etlFile.c_str(), (app->etlFile + L".moved").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  ASSERT_TRUE(app->SetSeverity(5));
  EXPECT_TRUE(WaitUntil([&] { return fake_trace::Session(app->sessionName).level == 5; }));
  const std::vector<std::wstring> entries = app->EtlFolderEntries();
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("first run", Read(entries[0]));
}

// "Shutdown Controller" set while a start waits for the held file drops that start: clearing
// it again restarts nothing, as it does for a session that the shutdown stopped, neither at
// the settings change nor at the watch's checks.
TEST_F(RotationTest, AShutdownDropsTheStartThatWaitsForAHeldFile) {
  Basalt::UniqueFile reader = HoldEtlFile("precious trace");
  ASSERT_TRUE(reader);
  auto controller = MakeController();
  controller->CheckEvery(20);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), controller->Start());
  int applied = controller->settingsApplied;
  ASSERT_TRUE(app->SetControllerValue(L"Shutdown Controller", 1));
  ASSERT_TRUE(app->PokeUntil([&] { return controller->settingsApplied > applied; }));
  reader.reset();
  applied = controller->settingsApplied;
  ASSERT_TRUE(app->SetControllerValue(L"Shutdown Controller", 0));
  ASSERT_TRUE(app->PokeUntil([&] { return controller->settingsApplied > applied; }));
  WaitForChecks(*controller);
  EXPECT_FALSE(fake_trace::IsRunning(app->sessionName));
  EXPECT_EQ("precious trace", Read(L"qxlogs.etl"));
}

}  // namespace
