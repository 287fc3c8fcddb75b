// Logs through the file logger, or reads the logger's index in a loop, so that tests can run
// several at once on one folder:
//   LogWriter write <ProgramData> <start event> <tag> <lines>
//     waits for the event, writes the lines of writer <tag>; exit code: failed writes.
//   LogWriter read <ProgramData> <stop event>
//     loads the folder log.ini until the event is set; exit code 0 when every load that
//     succeeded after the first stored index held an index not below the one before, and
//     every load held the other settings; else 1 (200 when no load succeeded).
#include "tests/etwlogging/logwriter/LogWriter.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "basalt/CObfuscatedIniReader.h"
#include "etwlogging/CLogging.h"

namespace {

// File logger whose ProgramData is the folder given on the command line.
class ScratchLogging : public ETWLogging::CLogging {
 public:
  explicit ScratchLogging(std::wstring programData) : programData_(std::move(programData)) {}
  DWORD GetProgramDataPath(wchar_t* buffer, DWORD count) override {
    if (buffer == nullptr || programData_.size() >= count) return ERROR_INVALID_PARAMETER;
    wmemcpy(buffer, programData_.c_str(), programData_.size() + 1);
    return ERROR_SUCCESS;
  }

 private:
  std::wstring programData_;
};

int Write(const std::wstring& programData, const wchar_t* startEvent, unsigned tag,
          unsigned lines) {
  ScratchLogging logger(programData);
  if (logger.Initialize(logwriter::kGroup, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return 250;
  HANDLE start = OpenEventW(SYNCHRONIZE, FALSE, startEvent);
  if (start == nullptr || WaitForSingleObject(start, 60000) != WAIT_OBJECT_0) return 251;
  CloseHandle(start);
  int failed = 0;
  for (unsigned n = 0; n < lines; ++n) {
    const DWORD result = logger.Write(nullptr, nullptr, 0, 3, logwriter::Message(tag, n).c_str());
    if (result != ERROR_SUCCESS) {
      if (failed++ < 5) fprintf(stderr, "writer %u line %u: %lu\n", tag, n, result);
    }
  }
  return failed < 249 ? failed : 249;
}

int Read(const std::wstring& programData, const wchar_t* stopEvent) {
  const std::wstring ini = programData + L"\\Telvan\\QXLOGS\\" + logwriter::kGroup + L"\\" +
                           logwriter::kModuleBaseName + L"\\log.ini";
  HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, stopEvent);
  if (stop == nullptr) return 251;
  unsigned loads = 0;
  unsigned bad = 0;
  int last = -1;
  while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
    Basalt::CObfuscatedIniReader reader;
    if (!reader.Load(ini)) continue;  // missing, or open elsewhere for now
    ++loads;
    int index = 0;
    int entries = 0;
    const bool hasIndex = reader.GetIntValue(L"Config", L"LastLogIdx", index);
    if (!reader.GetIntValue(L"Config", L"MaxEntries", entries)) {
      if (bad++ < 5) fprintf(stderr, "load %u: no MaxEntries\n", loads);
    }
    if (hasIndex ? index < last : last >= 0) {
      if (bad++ < 5)
        fprintf(stderr, "load %u: index %d after %d\n", loads, hasIndex ? index : -1, last);
    }
    if (hasIndex) last = index;
  }
  CloseHandle(stop);
  fprintf(stderr, "reader: %u loads, %u bad, last index %d\n", loads, bad, last);
  if (loads == 0) return 200;
  return bad == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 6 && wcscmp(argv[1], L"write") == 0) {
    return Write(argv[2], argv[3], static_cast<unsigned>(_wtoi(argv[4])),
                 static_cast<unsigned>(_wtoi(argv[5])));
  }
  if (argc == 4 && wcscmp(argv[1], L"read") == 0) return Read(argv[2], argv[3]);
  fprintf(stderr,
          "usage: LogWriter write <ProgramData> <start event> <tag> <lines>\n"
          "       LogWriter read <ProgramData> <stop event>\n");
  return 2;
}
