// Child process for the forced-end tests: plays a host whose outside client asks it to stop.
// Command line: <result file> <scratch key under HKCU> <group> [<service list>]
// The scratch key stands in for HKEY_LOCAL_MACHINE; without a service list the group key is not
// made, so the configuration cannot give the group's services. A second thread calls
// QxStopSvcSubsystem as COM's thread would and appends "hr=<hex> pid=<n> ms=<n>" to the result
// file; a third keeps logging from then until the process ends, as service threads may; the main
// thread blocks as the dispatcher does. Each message of level 3 or more is appended as it is
// logged, as one line "log <level> <function>: <message>"; an exit handler appends "atexit".
// Exit code 99: the process was not ended within 30 s.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "etwlogging/LogCapture.h"
#include "etwlogging/Logging.h"
#include "src/qxsvchost/CQxSvcHostConfig.h"
#include "src/qxsvchost/QxSvcSubsystemControlManager.h"

namespace {

std::wstring g_resultFile;
std::wstring g_scratchKey;
void AppendLine(const char* text);
std::string Narrow(const std::wstring& text);

// Capture that also appends each message to the result file at once: the process may end
// without running anything more.
class EchoingCapture : public ETWLogging::CLogCapture {
 public:
  using CLogCapture::CLogCapture;
  DWORD Write(const wchar_t* file, const wchar_t* function, int line, ETWLogging::LogLevel level,
              const wchar_t* message) override {
    const DWORD result = CLogCapture::Write(file, function, line, level, message);
    const std::string text = "log " + std::to_string(level) + " " +
                             Narrow(function ? function : L"") + ": " +
                             Narrow(message ? message : L"");
    AppendLine(text.c_str());
    return result;
  }
};
// Set once the stop call has answered; only then does the logging thread start to spin.
HANDLE g_stopAnswered = nullptr;

std::string Narrow(const std::wstring& text) {
  std::string out(text.size() * 3 + 1, '\0');
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                    &out[0], static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

// Several threads append at once (the stop call's result, the forced end's log line, the logging
// thread): one lock keeps each line whole and every open shares writing, so none is dropped.
SRWLOCK g_appendLock = SRWLOCK_INIT;

void AppendLine(const char* text) {
  const std::string line = std::string(text) + "\n";
  AcquireSRWLockExclusive(&g_appendLock);
  HANDLE file =
      CreateFileW(g_resultFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
  }
  ReleaseSRWLockExclusive(&g_appendLock);
}

void AtExit() {
  AppendLine("atexit");
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  RegDeleteTreeW(HKEY_CURRENT_USER, g_scratchKey.c_str());
}

bool MakeConfiguration(const wchar_t* group, const wchar_t* services) {
  HKEY scratch = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, g_scratchKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &scratch, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const bool overridden = RegOverridePredefKey(HKEY_LOCAL_MACHINE, scratch) == ERROR_SUCCESS;
  RegCloseKey(scratch);
  if (!overridden) return false;

  const std::wstring hostKey = QXSVCHOST_REG_KEY;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, hostKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  if (services) {
    const std::wstring groupKey = hostKey + L"\\" + group;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, groupKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    const DWORD bytes = static_cast<DWORD>((wcslen(services) + 1) * sizeof(wchar_t));
    const LSTATUS status =
        RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(services), bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return false;
  }
  CQxSvcHostConfig* config = CQxSvcHostConfig::GetInstance();
  return config && config->Init(group);
}

DWORD WINAPI KeepLogging(void*) {
  WaitForSingleObject(g_stopAnswered, INFINITE);
  for (unsigned i = 0;; ++i) {
    QXLOG(ETWLogging::kLogNormal, L"QxStopSubsystemChild", L"KeepLogging", L"service work %u", i);
  }
}

DWORD WINAPI CallStop(void*) {
  IQxSvcSubsystemControlManager* manager = nullptr;
  if (FAILED(CQxSvcSubsystemControlManager::CreateInstance(IID_IQxSvcSubsystemControlManager,
                                                           reinterpret_cast<void**>(&manager)))) {
    AppendLine("create failed");
    return 1;
  }
  const ULONGLONG start = GetTickCount64();
  DWORD pid = 0;
  const HRESULT hr = manager->QxStopSvcSubsystem(nullptr, &pid);
  char line[96];
  snprintf(line, sizeof line, "hr=%08lx pid=%lu ms=%llu", static_cast<unsigned long>(hr),
           static_cast<unsigned long>(pid), GetTickCount64() - start);
  AppendLine(line);
  SetEvent(g_stopAnswered);
  manager->Release();
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  g_resultFile = argv[1];
  g_scratchKey = argv[2];
  if (!MakeConfiguration(argv[3], argc > 4 ? argv[4] : nullptr)) {
    AppendLine("configuration failed");
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegDeleteTreeW(HKEY_CURRENT_USER, g_scratchKey.c_str());
    return 3;
  }
  // The process logger owns the back end from here on.
  ETWLogging::CProcessLogger* logger = ETWLogging::GetProcessLogger();
  if (!logger) return 5;
  delete logger->SwapLoggerForTesting(new EchoingCapture(ETWLogging::kLogInformation));
  atexit(&AtExit);

  g_stopAnswered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE worker = CreateThread(nullptr, 0, &KeepLogging, nullptr, 0, nullptr);
  HANDLE stopper = CreateThread(nullptr, 0, &CallStop, nullptr, 0, nullptr);
  if (!g_stopAnswered || !worker || !stopper) return 4;
  Sleep(30000);
  return 99;
}
