// ETL rotation: backups of the current trace before a session starts, and their pruning.
#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "basalt/LibraryUtils.h"
#include "basalt/UniqueHandle.h"
#include "support/ControllerTestSupport.h"
#include "tests/support/TestFiles.h"

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
// controller's next trigger moves the trace aside and brings the session back. A trigger
// while the file is still held leaves the trace alone.
TEST_F(RotationTest, AHeldEtlFileIsMovedAtTheNextTrigger) {
  struct Trigger {
    const char* name;
    // Fires the trigger and returns its result (0 for a settings change) once the
    // controller has handled it.
    std::function<DWORD(tracetest::TestController&)> fire;
    DWORD resultWhileHeld;
  };
  const Trigger triggers[] = {
      {"settings change",
       [&](tracetest::TestController&) {
         const size_t calls = fake_trace::Calls().size();
         EXPECT_TRUE(app->PokeUntil([&] { return fake_trace::Calls().size() > calls; }));
         return static_cast<DWORD>(ERROR_SUCCESS);
       },
       ERROR_SUCCESS},
      {"RestartSession", [&](tracetest::TestController& c) { return c.RestartSession(); },
       ERROR_SHARING_VIOLATION},
  };
  for (const Trigger& trigger : triggers) {
    SCOPED_TRACE(trigger.name);
    testsupport::DeleteTree(app->etlFolder);
    Basalt::UniqueFile reader = HoldEtlFile("precious trace");
    ASSERT_TRUE(reader);
    auto controller = MakeController();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), controller->Start());
    EXPECT_EQ(trigger.resultWhileHeld, trigger.fire(*controller));
    Sleep(100);
    EXPECT_FALSE(fake_trace::IsRunning(app->sessionName));
    EXPECT_EQ("precious trace", Read(L"qxlogs.etl"));

    reader.reset();
    EXPECT_EQ(0u, trigger.fire(*controller));
    EXPECT_TRUE(WaitUntil([&] { return fake_trace::IsRunning(app->sessionName); }, 2000));
    const std::vector<std::wstring> entries = app->EtlFolderEntries();
    ASSERT_EQ(2u, entries.size());  // one backup and the new qxlogs.etl
    EXPECT_EQ("precious trace", Read(entries[0]));
    EXPECT_EQ("", Read(L"qxlogs.etl"));
    EXPECT_TRUE(fake_trace::Session(app->sessionName).enabled);
    EXPECT_EQ(0u, controller->Stop(TRUE));
  }
}

// "Shutdown Controller" set while a start waits for the held file drops that start: clearing
// it again restarts nothing, as it does for a session that the shutdown stopped.
TEST_F(RotationTest, AShutdownDropsTheStartThatWaitsForAHeldFile) {
  Basalt::UniqueFile reader = HoldEtlFile("precious trace");
  ASSERT_TRUE(reader);
  auto controller = MakeController();
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), controller->Start());
  size_t calls = fake_trace::Calls().size();
  ASSERT_TRUE(app->SetControllerValue(L"Shutdown Controller", 1));
  ASSERT_TRUE(app->PokeUntil([&] { return fake_trace::Calls().size() > calls; }));
  reader.reset();
  calls = fake_trace::Calls().size();
  ASSERT_TRUE(app->SetControllerValue(L"Shutdown Controller", 0));
  ASSERT_TRUE(app->PokeUntil([&] { return fake_trace::Calls().size() > calls; }));
  Sleep(100);
  EXPECT_FALSE(fake_trace::IsRunning(app->sessionName));
  EXPECT_EQ("precious trace", Read(L"qxlogs.etl"));
}

}  // namespace
