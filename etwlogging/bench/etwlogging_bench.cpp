// Writes N lines through the file logger and N lines of the same size through a bare
// CreateFileW/append/WriteFile/CloseHandle loop, in a scratch folder, and prints both
// rates and their ratio (medians of several rounds). Usage: etwlogging_bench [lines] [rounds]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "etwlogging/CLogging.h"
#include "tests/support/TestFiles.h"

namespace {

// File logger whose ProgramData is the bench's scratch folder.
class BenchLogging : public ETWLogging::CLogging {
 public:
  explicit BenchLogging(std::wstring folder) : folder_(std::move(folder)) {}
  DWORD GetProgramDataPath(wchar_t* buffer, DWORD count) override {
    if (buffer == nullptr || folder_.size() >= count) return ERROR_INVALID_PARAMETER;
    wmemcpy(buffer, folder_.c_str(), folder_.size() + 1);
    return ERROR_SUCCESS;
  }

 private:
  std::wstring folder_;
};

double Now() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// First line (with its line end) of a log file, after the byte-order mark.
std::wstring FirstLine(const std::wstring& path) {
  std::wstring text;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  wchar_t buffer[4096];
  DWORD read = 0;
  if (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 2) {
    text.assign(buffer + 1, read / 2 - 1);
    const size_t end = text.find(L"\r\n");
    if (end != std::wstring::npos) text.resize(end + 2);
  }
  CloseHandle(file);
  return text;
}

// The log folder of the bench's logger.
std::wstring LogFolder(const std::wstring& scratch, std::wstring* base) {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  *base = wcsrchr(exe, L'\\') + 1;
  base->resize(base->rfind(L'.'));
  return scratch + L"\\Telvan\\QXLOGS\\Bench\\" + *base;
}

// Seconds for |lines| writes through the file logger.
double RunLogger(BenchLogging& logger, int lines, const std::wstring& message) {
  const double start = Now();
  for (int i = 0; i < lines; ++i) {
    if (logger.Write(L"Bench", L"Bench::Run", 1, 3, message.c_str()) != ERROR_SUCCESS) return -1.0;
  }
  return Now() - start;
}

// Seconds for |lines| bare open-append-close writes of |line| to |path|.
double RunFloor(const std::wstring& path, int lines, const std::wstring& line) {
  const DWORD bytes = static_cast<DWORD>(line.size() * sizeof(wchar_t));
  const double start = Now();
  for (int i = 0; i < lines; ++i) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1.0;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, line.data(), bytes, &written, nullptr);
    CloseHandle(file);
    if (!ok) return -1.0;
  }
  return Now() - start;
}

// One round in a fresh scratch folder: both loops take turns in chunks, so that both meet
// the same load of the machine. False when a write fails.
bool RunRound(const std::wstring& scratch, int lines, const std::wstring& message,
              double* loggerSeconds, double* floorSeconds, std::wstring* sample) {
  constexpr int kChunk = 250;
  BenchLogging logger(scratch);
  if (logger.Initialize(L"Bench", nullptr, nullptr, nullptr) != ERROR_SUCCESS) return false;
  std::wstring base;
  const std::wstring folder = LogFolder(scratch, &base);
  // The floor writes beside the log files: same folder, same line size.
  const std::wstring floorPath = folder + L"\\floor.log";
  *loggerSeconds = 0;
  *floorSeconds = 0;
  for (int done = 0; done < lines; done += kChunk) {
    const int chunk = std::min(kChunk, lines - done);
    const double loggerTime = RunLogger(logger, chunk, message);
    if (loggerTime < 0) return false;
    if (sample->empty()) *sample = FirstLine(folder + L"\\" + base + L"000.log");
    if (sample->empty()) return false;
    const double floorTime = RunFloor(floorPath, chunk, *sample);
    if (floorTime < 0) return false;
    *loggerSeconds += loggerTime;
    *floorSeconds += floorTime;
  }
  return true;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::max(1, atoi(argv[1])) : 10000;
  const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 5;
  wchar_t temp[MAX_PATH];
  if (GetTempPathW(MAX_PATH, temp) == 0) return 1;
  const std::wstring scratch =
      std::wstring(temp) + L"etwlogging_bench_" + std::to_wstring(GetCurrentProcessId());

  // A message of typical length for the host's lines.
  const std::wstring message =
      L"CQxSvcHost::Start: service group started, 12 services registered, elapsed 0.0123 s";
  std::wstring sample;
  std::vector<double> loggerRates;
  std::vector<double> floorRates;
  std::vector<double> ratios;
  for (int round = 0; round < rounds; ++round) {
    testsupport::DeleteTree(scratch);
    if (!CreateDirectoryW(scratch.c_str(), nullptr)) return 1;
    double loggerSeconds = 0;
    double floorSeconds = 0;
    if (!RunRound(scratch, lines, message, &loggerSeconds, &floorSeconds, &sample)) {
      fprintf(stderr, "a write failed\n");
      testsupport::DeleteTree(scratch);
      return 1;
    }
    loggerRates.push_back(lines / loggerSeconds);
    floorRates.push_back(lines / floorSeconds);
    ratios.push_back(loggerRates.back() / floorRates.back());
    printf("round %d: logger %.0f lines/s, floor %.0f lines/s, ratio %.3f\n", round + 1,
           loggerRates.back(), floorRates.back(), loggerRates.back() / floorRates.back());
  }
  testsupport::DeleteTree(scratch);
  printf("lines per run: %d, line size: %zu bytes, rounds: %d\n", lines,
         sample.size() * sizeof(wchar_t), rounds);
  printf("file logger:     %.0f lines/s (median)\n", Median(loggerRates));
  printf("bare open/write: %.0f lines/s (median)\n", Median(floorRates));
  printf("ratio:           %.3f (median of the rounds; goal >= 0.8)\n", Median(ratios));
  return 0;
}
