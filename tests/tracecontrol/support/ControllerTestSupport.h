// Support of the trace controller tests: a registered logging application of each test's
// own, a controller whose machine-dependent parts the test chooses, and a fixture that puts
// both in a scratch machine key.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FakeFolderSecurity.h"
#include "FakeTraceSessions.h"
#include "basalt/Logging/CLogger.h"
#include "tests/support/ScratchMachineKey.h"
#include "tracecontrol/CLogController.h"

namespace tracetest {

// Polls |condition| every 10 ms for at most |ms|; its last answer.
bool WaitUntil(const std::function<bool()>& condition, DWORD ms = 5000);

// A logging application registered under the (redirected) machine key with a session,
// owner mutex and ETL folder (under ProgramData\HollinTests) of its own.
class TestTraceApp {
 public:
  explicit TestTraceApp(const std::wstring& tag);
  ~TestTraceApp();
  TestTraceApp(const TestTraceApp&) = delete;
  TestTraceApp& operator=(const TestTraceApp&) = delete;

  const wchar_t* Id() const { return id.c_str(); }

  // Obfuscated DWORD in the Controller key; plain DWORD there; removal.
  bool SetControllerValue(const wchar_t* name, DWORD value) const;
  bool SetPlainControllerValue(const wchar_t* name, DWORD value) const;
  bool DeleteControllerValue(const wchar_t* name) const;
  // Plain "Severity" in the Provider key.
  bool SetSeverity(DWORD value) const;
  // Changes a value of no meaning under the base key until |condition| holds: a change made
  // right after a registry callback, before the next notification is asked for, is not
  // reported by itself.
  bool PokeUntil(const std::function<bool()>& condition) const;

  // Files of the ETL folder (names only, folders too), sorted.
  std::vector<std::wstring> EtlFolderEntries() const;
  // Creates |name| in the ETL folder with |content| and the given last-write time (in
  // days before now).
  bool MakeEtlFolderFile(const std::wstring& name, const std::string& content, int daysOld) const;

  std::wstring id, sessionName, mutexName, etlFolder, etlFile;
  std::wstring baseKey, controllerKey, providerKey;
};

// The foundation library's log lines ("<level> <function> <text>") while it is registered.
class LogCapture : public Basalt::ILoggingHandler {
 public:
  LogCapture() { registered = Basalt::RegisterLoggingHandler(this) == 0; }
  ~LogCapture() { (void)Basalt::UnregisterLoggingHandler(this); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  void Handle(DWORD level, const wchar_t*, const wchar_t* function, int,
              const wchar_t* message) override {
    std::lock_guard<std::mutex> lock(m_lock);
    m_lines.push_back(std::to_wstring(level) + L" " + function + L" " + message);
  }
  std::vector<std::wstring> Lines() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lines;
  }
  bool registered = false;

 private:
  std::mutex m_lock;
  std::vector<std::wstring> m_lines;
};

// The owner and rights of folders as the test controllers see them (Wine keeps no file
// security), forgotten by the fixture.
foldertest::CFakeFolderSecurity& FolderSecurity();

// A controller without a standby monitor unless the test gives it one, with an optional
// fixed backup time, that counts the standby announcements it has handled, with its folder
// security in FolderSecurity(). Its session watch
// checks every 10 minutes, that is not within a test, unless CheckEvery says.
class TestController : public ETWLogging::CLogController {
 public:
  ~TestController() override;

  // The watch checks every |ms| (also after failed starts); before Start.
  void CheckEvery(DWORD ms) {
    checkDelay = [ms](DWORD) { return ms; };
  }
  // The delays of the shipped controller.
  DWORD ShippedCheckDelay(DWORD failedChecks) {
    return CLogController::SessionCheckDelay(failedChecks);
  }
  std::function<DWORD(DWORD)> checkDelay = [](DWORD) { return 600000u; };
  std::atomic<int> delaysAsked{0};  // one at the watch's start and at the end of each check
  // Settings applied (on the registry thread) and the result of the last.
  std::atomic<int> settingsApplied{0};
  std::atomic<DWORD> lastApplied{0};

  std::function<std::unique_ptr<ETWLogging::CCSMonitor>()> monitorFactory;
  bool fixedBackupTime = false;
  FILETIME backupTime = {};
  std::atomic<int> standbyHandled{0};

  void OnStandby(bool entering) override;

 protected:
  std::unique_ptr<ETWLogging::CCSMonitor> MakeStandbyMonitor() override;
  void GetBackupTime(FILETIME& time) override;
  Basalt::CFolderSecurityCalls& FolderSecurityCalls() override { return FolderSecurity(); }
  DWORD SessionCheckDelay(DWORD failedChecks) override {
    ++delaysAsked;
    return checkDelay(failedChecks);
  }
  DWORD ApplySettings() override {
    lastApplied = CLogController::ApplySettings();
    ++settingsApplied;
    return lastApplied;
  }
};

// The machine key redirected to a scratch key, one registered application, the fake
// sessions forgotten afterwards.
class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A controller initialised for the application, with the standby monitor |monitor| makes.
  std::unique_ptr<TestController> MakeController(
      std::function<std::unique_ptr<ETWLogging::CCSMonitor>()> monitor = nullptr);

  std::unique_ptr<testsupport::ScratchMachineKey> registry;
  std::unique_ptr<TestTraceApp> app;
};

}  // namespace tracetest
