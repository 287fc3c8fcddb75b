// Test host program: a service process whose wmain runs the host for the group named on its
// command line. Command line: /<group> <result file>. When the host ends, the result file gets
// "exit=<code>" and then one line "log <level> <function>: <message>" per message logged.
#include <windows.h>

#include <string>

#include "etwlogging/LogCapture.h"
#include "etwlogging/Logging.h"
#include "src/qxsvchost/CQxSvcHost.h"

namespace {

std::string Utf8(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string out(bytes > 0 ? static_cast<size_t>(bytes) : 0, '\0');
  if (bytes > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes,
                        nullptr, nullptr);
  }
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  SetLogIdentity(nullptr, L"PLATFORM", nullptr, nullptr, 0);
  // Owned by the process logger once swapped in; it deletes it at exit.
  ETWLogging::CLogCapture* capture = new ETWLogging::CLogCapture(ETWLogging::kLogNormal);
  ETWLogging::CProcessLogger* logger = ETWLogging::GetProcessLogger();
  if (!logger) return 3;
  delete logger->SwapLoggerForTesting(capture);

  DWORD exitCode = 0;
  {
    CQxSvcHost host;
    exitCode = host.Start(argc, argv);
  }

  std::string report = "exit=" + std::to_string(exitCode) + "\n";
  for (const ETWLogging::CapturedLogRecord& r : capture->Records()) {
    report +=
        "log " + std::to_string(r.level) + " " + Utf8(r.function) + ": " + Utf8(r.message) + "\n";
  }
  HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    CloseHandle(file);
  }
  return static_cast<int>(exitCode);
}
