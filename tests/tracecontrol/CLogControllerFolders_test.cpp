// The folders from ProgramData down to the ETL folder: made or taken only where no one but
// SYSTEM and Administrators can steer them, held, and checked again before every session
// start; and the rights that let standard users keep their text logs beside the ETL folder.
#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeFolderSecurity.h"
#include "HostLinks.h"
#include "basalt/LibraryUtils.h"
#include "basalt/Registry/CObfuscatedRegKey.h"
#include "basalt/UniqueHandle.h"
#include "support/ControllerTestSupport.h"
#include "tests/support/TestFiles.h"
#include "tracecontrol/EtlFolderFiles.h"

namespace {

using foldertest::FromSddl;
using foldertest::StandardUser;
using foldertest::ToSddl;
using tracetest::ControllerTest;
using tracetest::FolderSecurity;
using tracetest::LogCapture;
using tracetest::TestController;

constexpr wchar_t kEtlSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr wchar_t kLogsSddl[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;FA;;;CO)(A;OICI;0x1200a9;;;BU)"
    L"(A;;0x4;;;BU)";
// As a user makes them under ProgramData: the user owns them and may write in them.
constexpr wchar_t kUsersFolder[] =
    L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)"
    L"(A;OICI;0x1301bf;;;BU)";
constexpr wchar_t kRefusalTail[] = L": ETL files are not rotated and no trace session is started.";
constexpr wchar_t kSecure[] = L"ETWLogging::CLogController::SecureEtlFolders";

std::wstring Canonical(const wchar_t* sddl) { return ToSddl(FromSddl(sddl)); }
// The DACL part of an SDDL text.
std::wstring Dacl(const std::wstring& sddl) {
  const size_t at = sddl.find(L"D:");
  return at == std::wstring::npos ? std::wstring() : sddl.substr(at);
}

std::vector<std::wstring> Names(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  const Basalt::UniqueFindFile find(FindFirstFileW((folder + L"\\*").c_str(), &data));
  if (!find) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find.get(), &data));
  return names;
}

class FolderTest : public ControllerTest {
 protected:
  std::wstring Parent() const { return app->etlFolder.substr(0, app->etlFolder.rfind(L'\\')); }
  // Lays the ETL folder at <test folder>\Telvan\QXLOGS\ETW, below a vendor folder of the
  // test's own; returns the vendor folder.
  std::wstring UseVendorFolder() {
    Basalt::CObfuscatedRegKey base;
    const std::wstring relative = Parent().substr(testsupport::ProgramDataFolder().size());
    EXPECT_EQ(0, base.Open(HKEY_LOCAL_MACHINE, app->baseKey.c_str()));
    EXPECT_EQ(0, base.SetStringValue(L"ETL Path", (relative + L"\\Telvan\\QXLOGS\\ETW").c_str()));
    EXPECT_TRUE(Basalt::CreateDirectoryTree(Parent().c_str()));
    return Parent() + L"\\Telvan";
  }
  // A trace and twelve old backups in |folder|, and the names found there then.
  std::vector<std::wstring> FillWithTraces(const std::wstring& folder) {
    EXPECT_TRUE(Basalt::CreateDirectoryTree(folder.c_str()));
    const auto write = [&](const std::wstring& name, const char* content, int daysOld) {
      Basalt::UniqueFile file(CreateFileW((folder + L"\\" + name).c_str(), GENERIC_WRITE, 0,
                                          nullptr, CREATE_ALWAYS, 0, nullptr));
      DWORD written = 0;
      FILETIME time;
      GetSystemTimeAsFileTime(&time);
      ULARGE_INTEGER value = {{time.dwLowDateTime, time.dwHighDateTime}};
      value.QuadPart -= static_cast<ULONGLONG>(daysOld) * 24 * 3600 * 10000000ULL;
      time = {value.LowPart, value.HighPart};
      EXPECT_TRUE(
          file &&
          WriteFile(file.get(), content, static_cast<DWORD>(strlen(content)), &written, nullptr) &&
          SetFileTime(file.get(), nullptr, nullptr, &time));
    };
    write(L"qxlogs.etl", "trace", 0);
    for (int i = 0; i < 12; ++i) write(L"b" + std::to_wstring(i) + L".bak", "old", 30 - i);
    return Names(folder);
  }
};

// Folders that are missing are made: the ETL folder lets only SYSTEM and Administrators
// change what is in it, the folder above also lets Users make their own folders; the session's
// file and backups live in the ETL folder.
TEST_F(FolderTest, MissingFoldersAreMadeWithTheirRights) {
  auto controller = MakeController();
  ASSERT_TRUE(Basalt::DirectoryExists(app->etlFolder.c_str()));
  EXPECT_EQ(Canonical(kEtlSddl), FolderSecurity().Sddl(app->etlFolder));
  EXPECT_EQ(Canonical(kLogsSddl), FolderSecurity().Sddl(Parent()));
  ASSERT_EQ(0u, controller->Start());
  ASSERT_TRUE(fake_trace::AppendTrace(app->sessionName, "trace"));
  EXPECT_EQ(0u, controller->RestartSession());
  EXPECT_EQ(2u, app->EtlFolderEntries().size());
}

// Folders that were there before the controller: one that someone other than SYSTEM or
// Administrators made or could write is moved aside (that is logged) and made anew; one they
// control gets the rights it lacks; one that has them is left alone.
TEST_F(FolderTest, ExistingFoldersAreTakenOnlyWhereNobodyElseCouldSteerThem) {
  const struct {
    const char* name;
    const wchar_t* parent;  // null: as Wine reports the folder
    const wchar_t* etl;
    int setAside;
    int daclWrites;
  } cases[] = {
      {"made by a user (the ETL folder goes with the folder above)", kUsersFolder, kUsersFolder, 1,
       0},
      {"as Wine shows it", nullptr, nullptr, 0, 2},
      {"already right", kLogsSddl, kEtlSddl, 0, 0},
      {"protected as before, owned by SYSTEM",
       L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
       L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", 0, 1},
      {"right entries, not protected", kLogsSddl,
       L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", 0, 1},
      {"protected, owned by a user",
       L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", kEtlSddl,
       1, 0},
      {"Users may also write in the ETL folder", kLogsSddl,
       L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;0x116;;;BU)", 1, 0},
      {"SYSTEM shut out of the ETL folder", kLogsSddl,
       L"O:BAD:P(D;;FA;;;SY)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FolderSecurity().Reset();
    testsupport::DeleteTree(Parent());
    ASSERT_TRUE(app->MakeEtlFolderFile(L"qxlogs.etl", "before", 0));
    if (c.parent != nullptr) {
      ASSERT_TRUE(FolderSecurity().Set(Parent(), c.parent));
    }
    if (c.etl != nullptr) {
      ASSERT_TRUE(FolderSecurity().Set(app->etlFolder, c.etl));
    }
    LogCapture log;
    ASSERT_TRUE(log.registered);
    auto controller = MakeController();
    EXPECT_EQ(c.daclWrites, FolderSecurity().daclWrites);
    EXPECT_EQ(Dacl(Canonical(kEtlSddl)), Dacl(FolderSecurity().Sddl(app->etlFolder)));
    EXPECT_EQ(Dacl(Canonical(kLogsSddl)), Dacl(FolderSecurity().Sddl(Parent())));
    const std::vector<std::wstring> lines = log.Lines();
    ASSERT_EQ(static_cast<size_t>(c.setAside), lines.size());
    for (const std::wstring& line : lines) {
      EXPECT_EQ(L"1 " + std::wstring(kSecure) + L" ", line.substr(0, wcslen(kSecure) + 3));
      EXPECT_NE(std::wstring::npos, line.find(L".set-aside-")) << line;
    }
    // What was set aside keeps its trace; the session starts in the folder made anew.
    ASSERT_EQ(0u, controller->Start());
    EXPECT_TRUE(fake_trace::IsRunning(app->sessionName));
    EXPECT_EQ(c.setAside == 0 ? 2u : 1u, app->EtlFolderEntries().size());
    EXPECT_EQ(0u, controller->Stop(TRUE));
  }
}

// A folder whose rights cannot be put right: the reason is logged, and the trace and the old
// backups stay where they are: nothing is moved, deleted or started over.
TEST_F(FolderTest, FoldersThatCannotBePutRightAreNeitherRotatedNorStarted) {
  const std::vector<std::wstring> before = FillWithTraces(app->etlFolder);
  FolderSecurity().writeError = ERROR_ACCESS_DENIED;
  LogCapture log;
  ASSERT_TRUE(log.registered);
  TestController controller;
  ASSERT_EQ(0u, controller.Initialize(app->Id()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), controller.Start());
  EXPECT_EQ(0, fake_trace::Session(app->sessionName).starts);
  EXPECT_EQ(before, Names(app->etlFolder));
  EXPECT_EQ("trace", testsupport::ReadFileBytes(app->etlFile));
  EXPECT_EQ(
      std::vector<std::wstring>{L"2 " + std::wstring(kSecure) + L" Cannot set the rights of " +
                                Parent() + L" (error 5)" + kRefusalTail},
      log.Lines());
}

// A link in place of a folder, at the ETL folder or at the vendor's folder higher up, leads
// elsewhere: refused and logged at Initialize, and turned to another folder before a restart:
// nothing in either is made, moved, deleted or truncated. Without the link, tracing works.
TEST_F(FolderTest, ALinkInPlaceOfAFolderIsRefused) {
  for (const bool vendor : {false, true}) {
    SCOPED_TRACE(vendor ? "vendor folder" : "ETL folder");
    const std::wstring linked = vendor ? UseVendorFolder() : app->etlFolder;
    std::vector<std::wstring> targets, before;
    for (const wchar_t* name : {L"\\elsewhere", L"\\other"}) {
      targets.push_back(Parent() + name + (vendor ? L"\\QXLOGS\\ETW" : L""));
      before.push_back(L"");
      for (const std::wstring& entry : FillWithTraces(targets.back())) before.back() += entry;
    }
    const auto unchanged = [&] {
      for (size_t i = 0; i < targets.size(); ++i) {
        std::wstring now;
        for (const std::wstring& entry : Names(targets[i])) now += entry;
        EXPECT_EQ(before[i], now);
        EXPECT_EQ("trace", testsupport::ReadFileBytes(targets[i] + L"\\qxlogs.etl"));
      }
    };
    const int starts = fake_trace::Session(app->sessionName).starts;
    ASSERT_TRUE(foldertest::MakeLink(Parent() + L"\\elsewhere", linked));
    {
      LogCapture log;
      ASSERT_TRUE(log.registered);
      auto controller = MakeController();
      EXPECT_EQ(ETWLogging::kReparsePointMet, controller->Start());
      ASSERT_TRUE(foldertest::MakeLink(Parent() + L"\\other", linked));
      EXPECT_EQ(ETWLogging::kControllerNoSession, controller->RestartSession());
      EXPECT_EQ(starts, fake_trace::Session(app->sessionName).starts);
      unchanged();
      EXPECT_EQ(std::vector<std::wstring>{L"2 " + std::wstring(kSecure) + L" " + linked +
                                          L" is a reparse point (error 4395)" + kRefusalTail},
                log.Lines());
    }
    ASSERT_TRUE(foldertest::RemoveLink(linked));
    auto controller = MakeController();
    ASSERT_EQ(0u, controller->Start());
    EXPECT_TRUE(fake_trace::IsRunning(app->sessionName));
    EXPECT_EQ(0u, controller->Stop(TRUE));
    unchanged();
    testsupport::DeleteTree(Parent());
  }
}

// A vendor folder moved away and a link put in its place after the controller secured it
// (Linux moves what Wine holds): a restart neither rotates nor starts a session through the
// path, whether a trace lies where the path leads or not, and logs that once.
TEST_F(FolderTest, APathTurnedElsewhereIsNotStartedThrough) {
  for (const bool victimThere : {true, false}) {
    SCOPED_TRACE(victimThere ? "a trace where the path leads" : "an empty folder there");
    // Wine does not follow a folder that Linux moves: each case gets folders of its own.
    app = std::make_unique<tracetest::TestTraceApp>(L"turn");
    const std::wstring vendor = UseVendorFolder();
    const std::wstring elsewhere = Parent() + L"\\elsewhere";
    const std::wstring victim = elsewhere + L"\\QXLOGS\\ETW\\qxlogs.etl";
    ASSERT_TRUE(Basalt::CreateDirectoryTree((elsewhere + L"\\QXLOGS\\ETW").c_str()));
    if (victimThere) {
      ASSERT_TRUE(testsupport::WriteFileBytes(victim, "victim"));
    }
    const std::vector<std::wstring> before = Names(elsewhere + L"\\QXLOGS\\ETW");
    auto controller = MakeController();
    ASSERT_EQ(0u, controller->Start());
    ASSERT_TRUE(fake_trace::AppendTrace(app->sessionName, "trace"));

    LogCapture log;
    ASSERT_TRUE(log.registered);
    const std::wstring held = Parent() + L"\\held";
    ASSERT_TRUE(foldertest::MoveOnHost(vendor, held));
    ASSERT_TRUE(foldertest::MakeLink(elsewhere, vendor));
    EXPECT_EQ(ETWLogging::kControllerEtlPathElsewhere, controller->RestartSession());
    EXPECT_EQ(ETWLogging::kControllerEtlPathElsewhere, controller->RestartSession());
    EXPECT_FALSE(fake_trace::IsRunning(app->sessionName));
    EXPECT_EQ(before, Names(elsewhere + L"\\QXLOGS\\ETW"));
    if (victimThere) {
      EXPECT_EQ("victim", testsupport::ReadFileBytes(victim));
    }
    EXPECT_EQ(std::vector<std::wstring>{L"qxlogs.etl"}, Names(held + L"\\QXLOGS\\ETW"));
    const std::wstring file = vendor + L"\\QXLOGS\\ETW\\qxlogs.etl";
    EXPECT_EQ(std::vector<std::wstring>{L"2 ETWLogging::CLogController::StartSession " + file +
                                        L" does not lead to the ETL folder held (error 161): no "
                                        L"trace session is started."},
              log.Lines());
    controller.reset();
    EXPECT_TRUE(foldertest::RemoveLink(vendor));
  }
}

// The folders that the controller made its own stay where they are while it holds them:
// nobody moves them away to put something else in their place.
TEST_F(FolderTest, HeldFoldersCannotBeMovedAway) {
  auto controller = MakeController();
  for (const std::wstring& folder : {app->etlFolder, Parent()}) {
    SCOPED_TRACE(testing::Message() << folder.size());
    EXPECT_FALSE(MoveFileW(folder.c_str(), (folder + L".moved").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  }
  controller.reset();
  EXPECT_TRUE(MoveFileW(app->etlFolder.c_str(), (app->etlFolder + L".moved").c_str()));
}

// With the rights the controller gives the folder above the ETL folder, what Windows grants a
// standard user there: a folder of its own for its text logs, in which it may make, write and
// delete files; but no file beside them, nothing in the ETL folder or in a folder of SYSTEM's
// loggers, and neither deleting nor renaming what others made.
TEST_F(FolderTest, StandardUsersKeepTheirTextLogsInTheFolderAbove) {
  auto controller = MakeController();
  ASSERT_EQ(0u, controller->Start());
  foldertest::CFakeFolderSecurity& security = FolderSecurity();
  const foldertest::CModelToken user = StandardUser();
  const std::wstring group = Parent() + L"\\QxSvcHost";
  const std::wstring module = group + L"\\Quillet";
  ASSERT_EQ(0u, security.MakeFolderAs(user, Parent(), L"QxSvcHost"));
  ASSERT_EQ(0u, security.MakeFolderAs(user, group, L"Quillet"));
  ASSERT_EQ(0u, security.MakeFileAs(user, module, L"Quillet000.log"));
  EXPECT_EQ(0u, security.MakeFileAs(user, module, L"log.ini"));
  const ACCESS_MASK own = security.RightsOf(user, module + L"\\Quillet000.log");
  EXPECT_EQ(static_cast<ACCESS_MASK>(FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE),
            own & (FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE));
  EXPECT_TRUE(security.MayRemove(user, module + L"\\Quillet000.log"));
  // The files are there for real, and take lines as before.
  const std::wstring log = module + L"\\Quillet000.log";
  for (const char* line : {"first\n", "second\n"}) {
    Basalt::UniqueFile file(CreateFileW(log.c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                                        nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file &&
                WriteFile(file.get(), line, static_cast<DWORD>(strlen(line)), &written, nullptr));
  }
  EXPECT_EQ("first\nsecond\n", testsupport::ReadFileBytes(log));
  EXPECT_TRUE(DeleteFileW(log.c_str()));

  // SYSTEM's logger makes its own group folder there.
  const std::wstring platform = Parent() + L"\\PLATFORM";
  ASSERT_EQ(0u, security.MakeFolderAs(foldertest::System(), Parent(), L"PLATFORM"));
  const DWORD denied = ERROR_ACCESS_DENIED;
  EXPECT_EQ(denied, security.MakeFileAs(user, Parent(), L"log.ini"));
  EXPECT_EQ(denied, security.MakeFileAs(user, app->etlFolder, L"qxlogs.etl"));
  EXPECT_EQ(denied, security.MakeFolderAs(user, app->etlFolder, L"mine"));
  EXPECT_EQ(denied, security.MakeFolderAs(user, platform, L"Hollin"));
  EXPECT_EQ(denied, security.MakeFileAs(user, platform, L"log.ini"));
  for (const std::wstring& other : {app->etlFolder, platform}) {
    SCOPED_TRACE(testing::Message() << other.size());
    EXPECT_FALSE(security.MayRemove(user, other));
    EXPECT_EQ(0u, security.RightsOf(user, other) &
                      (WRITE_DAC | WRITE_OWNER | FILE_WRITE_ATTRIBUTES | FILE_WRITE_DATA |
                       FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE));
  }
  EXPECT_EQ(0u,
            security.RightsOf(user, Parent()) & (WRITE_DAC | WRITE_OWNER | FILE_WRITE_ATTRIBUTES |
                                                 FILE_ADD_FILE | FILE_DELETE_CHILD | DELETE));
}

}  // namespace
