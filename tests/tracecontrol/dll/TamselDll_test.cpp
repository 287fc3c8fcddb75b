// ctest-lock: wss-trace-session standby-events
// The real Tamsel.dll: its export table, and the exports' contract for the built-in "WSS"
// names, also across two processes.
#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "HollinVersion.h"
#include "TamselDllPaths.h"
#include "basalt/Registry/CObfuscatedRegKey.h"
#include "basalt/UniqueHandle.h"
#include "tests/support/FixedFileVersion.h"
#include "tests/support/PeImage.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestPrograms.h"

namespace {

using testsupport::WinePath;

constexpr wchar_t kWssOwnerMutex[] = L"Global\\Telvan.{0696D115-BE52-46c3-BFEE-D73A305B6581}";
constexpr wchar_t kWssControllerKey[] = L"SOFTWARE\\Telvan\\Logging\\Controller";

bool MutexExists(const wchar_t* name) {
  Basalt::UniqueKernelHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, name));
  return static_cast<bool>(mutex);
}

// Runs TamselCall.exe with |arguments| and returns its exit code.
DWORD CallInOtherProcess(const std::wstring& arguments) {
  return testsupport::RunProgram(WinePath(TAMSEL_CALL_UNIX_PATH),
                                 L"\"" + WinePath(TAMSEL_DLL_UNIX_PATH) + L"\" " + arguments);
}

using testsupport::PeImage;

class TamselDllTest : public ::testing::Test {
 protected:
  using AppIdExport = DWORD(WINAPI*)(LPCWSTR);
  using StopExport = DWORD(WINAPI*)(BOOLEAN, LPCWSTR);

  static void SetUpTestSuite() {
    library = LoadLibraryW(WinePath(TAMSEL_DLL_UNIX_PATH).c_str());
    ASSERT_NE(nullptr, library);
    start = Bind<AppIdExport>("Start");
    stop = Bind<StopExport>("Stop");
    restartSession = Bind<AppIdExport>("RestartSession");
    flushBuffers = Bind<AppIdExport>("FlushBuffers");
  }
  static void TearDownTestSuite() { FreeLibrary(library); }
  void TearDown() override {
    // Every test leaves the process without a controller, and the session running.
    (void)stop(FALSE, L"WSS");
    EXPECT_FALSE(MutexExists(kWssOwnerMutex));
  }
  template <typename Function>
  static Function Bind(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
  }

  static HMODULE library;
  static AppIdExport start;
  static StopExport stop;
  static AppIdExport restartSession;
  static AppIdExport flushBuffers;
};

HMODULE TamselDllTest::library = nullptr;
TamselDllTest::AppIdExport TamselDllTest::start = nullptr;
TamselDllTest::StopExport TamselDllTest::stop = nullptr;
TamselDllTest::AppIdExport TamselDllTest::restartSession = nullptr;
TamselDllTest::AppIdExport TamselDllTest::flushBuffers = nullptr;

TEST(TamselDllImage, ExportsExactlyTheFourOperationsAndImportsOnlySystemLibraries) {
  PeImage image{testsupport::ReadFileBytes(WinePath(TAMSEL_DLL_UNIX_PATH))};
  ASSERT_GT(image.bytes.size(), 4096u);
  DWORD functions = 0;
  EXPECT_EQ((std::vector<std::string>{"FlushBuffers", "RestartSession", "Start", "Stop"}),
            image.ExportedNames(&functions));
  EXPECT_EQ(4u, functions);  // no export by ordinal only

  // The host loads it with library search restricted to the system folder: every library
  // it imports must be found there (the runtime is linked in).
  EXPECT_FALSE(image.ImportedLibraries().empty());
  EXPECT_EQ(std::vector<std::string>{}, image.ImportsOutsideSystemFolder());
}

TEST(TamselDllImage, CarriesTheBuildVersion) {
  const auto version = testsupport::ReadFixedFileVersion(WinePath(TAMSEL_DLL_UNIX_PATH));
  ASSERT_TRUE(version.found);
  EXPECT_EQ(static_cast<DWORD>(MAKELONG(HOLLIN_VERSION_MINOR, HOLLIN_VERSION_MAJOR)), version.ms);
  EXPECT_EQ(static_cast<DWORD>(MAKELONG(HOLLIN_VERSION_REVISION, HOLLIN_VERSION_BUILD)),
            version.ls);
  EXPECT_EQ(L"Tamsel.dll", version.originalFilename);
}

TEST_F(TamselDllTest, AStartedControllerOwnsTheSession) {
  EXPECT_EQ(0u, start(nullptr));  // null stands for "WSS"
  EXPECT_TRUE(MutexExists(kWssOwnerMutex));
  EXPECT_EQ(1307u, start(L"WSS"));
  EXPECT_EQ(288u, CallInOtherProcess(L"Start WSS"));
  EXPECT_EQ(0u, stop(FALSE, L"WSS"));
  EXPECT_FALSE(MutexExists(kWssOwnerMutex));
  // The next process takes the session over.
  EXPECT_EQ(0u, CallInOtherProcess(L"Start -"));
}

TEST_F(TamselDllTest, ShutdownControllerRefusesTheStart) {
  {
    Basalt::CObfuscatedRegKey controller;
    ASSERT_EQ(0, controller.Create(HKEY_LOCAL_MACHINE, kWssControllerKey));
    ASSERT_EQ(0, controller.SetDWORDValue(L"Shutdown Controller", 1));
  }
  const DWORD result = start(L"WSS");
  Basalt::CObfuscatedRegKey controller;
  ASSERT_EQ(0, controller.Open(HKEY_LOCAL_MACHINE, kWssControllerKey));
  ASSERT_EQ(0, controller.DeleteValue(L"Shutdown Controller"));
  EXPECT_EQ(5023u, result);
  EXPECT_FALSE(MutexExists(kWssOwnerMutex));
}

// A controller that cannot be made (an application without names) gives 1627; a later
// call's application is ignored while a controller exists.
TEST_F(TamselDllTest, RestartSessionLeavesNoControllerFlushBuffersLeavesOne) {
  EXPECT_EQ(1627u, start(L"NoSuchApplication"));
  (void)restartSession(L"WSS");
  EXPECT_EQ(1627u, start(L"NoSuchApplication"));
  (void)flushBuffers(L"WSS");
  EXPECT_EQ(0u, start(L"NoSuchApplication"));
  EXPECT_TRUE(MutexExists(kWssOwnerMutex));
}

}  // namespace
