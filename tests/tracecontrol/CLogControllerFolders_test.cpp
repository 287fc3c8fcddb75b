// The folders of the trace files: their owner and rights, and what the controller does in a
// folder that it cannot make its own.
#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>
#include <sddl.h>

#include <functional>
#include <string>
#include <vector>

#include "basalt/LibraryUtils.h"
#include "basalt/UniqueHandle.h"
#include "support/ControllerTestSupport.h"
#include "tests/support/TestFiles.h"
#include "tracecontrol/EtlFolderFiles.h"

namespace {

using tracetest::AceList;
using tracetest::ControllerTest;
using tracetest::DaclOf;
using tracetest::LogCapture;
using tracetest::ReadDacl;
using tracetest::TestController;

constexpr BYTE kInherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
const AceList kProtectedAces = {
    {WinLocalSystemSid, FILE_ALL_ACCESS, kInherited},
    {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS, kInherited},
    {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, kInherited}};
// As a user makes them under ProgramData: the user owns them and may write in them.
constexpr wchar_t kUsersFolder[] =
    L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)"
    L"(A;OICI;0x1301bf;;;BU)";
constexpr wchar_t kRefusalTail[] = L": ETL files are not rotated and no trace session is started.";

// Runs a program of the Linux host (Wine starts those too, but its handle tells nothing of
// their end) and waits until |done| holds.
void RunHostProgram(const std::wstring& command, const std::function<bool()>& done) {
  std::wstring line = command;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    ADD_FAILURE() << "cannot run a host program, error " << GetLastError();
    return;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_TRUE(tracetest::WaitUntil(done));
}

// The Linux path of |path|, as Wine names it.
std::wstring UnixPath(const std::wstring& path) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = unixName != nullptr ? unixName(path.c_str()) : nullptr;
  if (name == nullptr) return L"";
  std::wstring result;
  for (const char* c = name; *c != '\0'; ++c) result += static_cast<wchar_t>(*c);
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

class FolderTest : public ControllerTest {
 protected:
  std::wstring Parent() const { return app->etlFolder.substr(0, app->etlFolder.rfind(L'\\')); }
  // The owner and DACL recorded for |path|.
  struct Security {
    bool ownedByAdministrators = false;
    DaclOf dacl;
  };
  Security RecordedSecurity(const std::wstring& path) {
    Security security;
    std::vector<BYTE> descriptor = tracetest::folder_security::Get(path);
    if (descriptor.empty()) return security;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    security.ownedByAdministrators =
        GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) && owner != nullptr &&
        IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
    security.dacl = ReadDacl(descriptor.data());
    return security;
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
  static std::vector<std::wstring> Names(const std::wstring& folder) {
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
};

// The ETL folder that Initialize makes lets only SYSTEM and Administrators change what is in
// it, and takes nothing from ProgramData; the folders above it are made as usual.
TEST_F(FolderTest, TheEtlFolderIsMadeWritableForAdministratorsOnly) {
  auto controller = MakeController();
  ASSERT_TRUE(Basalt::DirectoryExists(app->etlFolder.c_str()));
  ASSERT_EQ(1u, controller->createdFolders.size());  // the parents got the default
  const TestController::CreatedFolder& folder = controller->createdFolders[0];
  EXPECT_EQ(app->etlFolder, folder.path);
  ASSERT_FALSE(folder.descriptor.empty());
  const DaclOf dacl = ReadDacl(const_cast<BYTE*>(folder.descriptor.data()));
  ASSERT_TRUE(dacl.present);
  EXPECT_TRUE(dacl.isProtected);
  EXPECT_EQ(kProtectedAces, dacl.aces);
  // The session's file and backups live in it as before.
  ASSERT_EQ(0u, controller->Start());
  ASSERT_TRUE(fake_trace::AppendTrace(app->sessionName, "trace"));
  EXPECT_EQ(0u, controller->RestartSession());
  EXPECT_EQ(2u, app->EtlFolderEntries().size());
}

// Folders that were there before the controller: both end up owned by Administrators (or
// SYSTEM) with the protected rights; only those that were not so are written.
TEST_F(FolderTest, ExistingFoldersGetTheProtectedRightsAndOwnerAtInitialize) {
  const struct {
    const char* name;
    const wchar_t* sddl;  // null: as Wine reports the folder
    bool written;
  } cases[] = {
      {"made by a user", kUsersFolder, true},
      {"as Wine shows it", nullptr, true},
      {"protected, owned by SYSTEM",
       L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", false},
      {"protected, owned by Administrators",
       L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", false},
      {"right entries, not protected",
       L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", true},
      {"protected, owned by a user",
       L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", true},
      {"protected, Users may also write",
       L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;0x116;;;BU)", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tracetest::folder_security::Reset();
    ASSERT_TRUE(Basalt::CreateDirectoryTree(app->etlFolder.c_str()));
    for (const std::wstring& folder : {Parent(), app->etlFolder}) {
      if (c.sddl != nullptr) {
        ASSERT_TRUE(tracetest::folder_security::Set(folder, c.sddl));
      }
    }
    auto controller = MakeController();
    EXPECT_TRUE(controller->createdFolders.empty());
    EXPECT_EQ(c.written ? 2 : 0, controller->folderWrites);
    for (const std::wstring& folder : {Parent(), app->etlFolder}) {
      const Security security = RecordedSecurity(folder);
      if (c.written) {
        EXPECT_TRUE(security.ownedByAdministrators);
      }
      EXPECT_TRUE(security.dacl.isProtected);
      EXPECT_EQ(kProtectedAces, security.dacl.aces);
    }
    ASSERT_EQ(0u, controller->Start());
    EXPECT_TRUE(fake_trace::IsRunning(app->sessionName));
    EXPECT_EQ(0u, controller->Stop(TRUE));
  }
}

// When the folder above cannot be put right, the reason is logged, and the trace and the old
// backups stay where they are: nothing is moved, deleted or started over.
TEST_F(FolderTest, FoldersThatCannotBePutRightAreNeitherRotatedNorStarted) {
  const std::vector<std::wstring> before = FillWithTraces(app->etlFolder);
  for (const std::wstring& folder : {Parent(), app->etlFolder}) {
    ASSERT_TRUE(tracetest::folder_security::Set(folder, kUsersFolder));
  }
  LogCapture log;
  ASSERT_TRUE(log.registered);
  TestController controller;
  controller.folderWriteError = ERROR_ACCESS_DENIED;
  ASSERT_EQ(0u, controller.Initialize(app->Id()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), controller.Start());
  EXPECT_EQ(0, fake_trace::Session(app->sessionName).starts);
  EXPECT_EQ(before, Names(app->etlFolder));
  EXPECT_EQ("trace", testsupport::ReadFileBytes(app->etlFile));
  EXPECT_EQ(std::vector<std::wstring>{L"2 ETWLogging::CLogController::SecureFolder Cannot set "
                                      L"the owner and rights of " +
                                      Parent() + L" (error 5)" + kRefusalTail},
            log.Lines());
}

// A link in place of the ETL folder leads to another folder: nothing there is moved, deleted
// or truncated by a session start, and the refusal is logged. Wine makes the link as a Linux
// symbolic link, which it shows as a reparse point by its path.
TEST_F(FolderTest, AReparsePointInPlaceOfTheEtlFolderIsRefused) {
  const std::wstring elsewhere = Parent() + L"\\elsewhere";
  const std::vector<std::wstring> before = FillWithTraces(elsewhere);
  ASSERT_TRUE(Basalt::CreateDirectoryTree(Parent().c_str()));
  const auto linked = [&] {
    const DWORD attributes = GetFileAttributesW(app->etlFolder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  };
  RunHostProgram(L"Z:\\bin\\ln -s " + UnixPath(elsewhere) + L" " + UnixPath(app->etlFolder),
                 linked);
  const auto removeLink = Basalt::MakeScopeExit([&] {
    RunHostProgram(L"Z:\\bin\\rm " + UnixPath(app->etlFolder), [&] {
      return GetFileAttributesW(app->etlFolder.c_str()) == INVALID_FILE_ATTRIBUTES;
    });
  });
  ASSERT_TRUE(linked());

  LogCapture log;
  ASSERT_TRUE(log.registered);
  auto controller = MakeController();
  EXPECT_EQ(ETWLogging::kReparsePointMet, controller->Start());
  EXPECT_EQ(0, fake_trace::Session(app->sessionName).starts);
  EXPECT_EQ(before, Names(elsewhere));
  EXPECT_EQ("trace", testsupport::ReadFileBytes(elsewhere + L"\\qxlogs.etl"));
  EXPECT_EQ(std::vector<std::wstring>{L"2 ETWLogging::CLogController::SecureFolder " +
                                      app->etlFolder + L" is a reparse point or no folder " +
                                      L"(error 4395)" + kRefusalTail},
            log.Lines());
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

// While the controller holds the folder above, the text logs of other processes there are
// listed, made, appended to, read and deleted as before.
TEST_F(FolderTest, TextLogsInTheFolderAboveKeepWorking) {
  auto controller = MakeController();
  ASSERT_EQ(0u, controller->Start());
  const std::wstring log = Parent() + L"\\host.log";
  for (const char* line : {"first\n", "second\n"}) {
    Basalt::UniqueFile file(CreateFileW(log.c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                                        nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file &&
                WriteFile(file.get(), line, static_cast<DWORD>(strlen(line)), &written, nullptr));
  }
  EXPECT_EQ("first\nsecond\n", testsupport::ReadFileBytes(log));
  WIN32_FIND_DATAW data;
  const Basalt::UniqueFindFile find(FindFirstFileW((Parent() + L"\\*.log").c_str(), &data));
  EXPECT_TRUE(find);
  EXPECT_TRUE(DeleteFileW(log.c_str()));
}

}  // namespace
