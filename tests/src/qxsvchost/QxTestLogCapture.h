// Test back end for the process logger: records every message so that tests can
// assert the exact text, level and function of a log line.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#include "etwlogging/CLoggingIf.h"
#include "etwlogging/CProcessLogger.h"
#include "etwlogging/Logging.h"

namespace qxtest {

struct LogLine {
  ETWLogging::LogLevel level;
  std::wstring file;
  std::wstring function;
  std::wstring message;
};

class CapturingLogger : public ETWLogging::CLoggingIf {
 public:
  DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*,
                   ETWLogging::LoggingConfigListenerIf*) override {
    return 0;
  }
  DWORD Register() override { return 0; }
  void GetQualifiedName(std::wstring& out) override { out = L"capture"; }
  void GetGroupName(std::wstring& out) override { out = L"capture"; }
  DWORD Uninitialize() override { return 0; }
  void SetEnabled(bool) override {}
  bool IsEnabled() override { return true; }
  DWORD LogV(ETWLogging::LogLevel level, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* format, ...) override {
    va_list args;
    va_start(args, format);
    std::wstring message;
    ETWLogging::FormatWideV(message, format, args);
    va_end(args);
    return Write(file, function, line, level, message.c_str());
  }
  DWORD Write(const wchar_t* file, const wchar_t* function, int, ETWLogging::LogLevel level,
              const wchar_t* message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(
        {level, file ? file : L"", function ? function : L"", message ? message : L""});
    return 0;
  }
  bool IsLevelEnabled(ETWLogging::LogLevel) override { return true; }
  void SetMaxEntries(DWORD) override {}
  DWORD GetMaxEntries() override { return 0; }
  void SetMaxSize(DWORD) override {}
  DWORD GetMaxSize() override { return 0; }
  DWORD SetSeverity(ETWLogging::LogLevel) override { return 1; }
  DWORD GetSeverity() override { return 1; }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }

  std::vector<LogLine> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  // Number of lines with exactly this level and text.
  size_t Count(ETWLogging::LogLevel level, const std::wstring& message) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(lines_.begin(), lines_.end(), [&](const LogLine& l) {
      return l.level == level && l.message == message;
    });
  }
  bool Has(ETWLogging::LogLevel level, const std::wstring& message) const {
    return Count(level, message) > 0;
  }
  // True when a line of this level begins with |prefix|.
  bool HasPrefix(ETWLogging::LogLevel level, const std::wstring& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(), [&](const LogLine& l) {
      return l.level == level && l.message.rfind(prefix, 0) == 0;
    });
  }
  // The first line with this text (level 0 and empty strings when there is none).
  LogLine Find(const std::wstring& message) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const LogLine& l : lines_) {
      if (l.message == message) return l;
    }
    return {0, L"", L"", L""};
  }
  size_t CountLevel(ETWLogging::LogLevel level) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(lines_.begin(), lines_.end(),
                         [&](const LogLine& l) { return l.level == level; });
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;
};

// Puts a CapturingLogger in place of the process logger's back end for its lifetime.
// Install and remove it only while no other thread logs.
class ScopedLogCapture {
 public:
  ScopedLogCapture() {
    ETWLogging::CProcessLogger* logger = ETWLogging::GetProcessLogger();
    if (logger) {
      previous_ = logger->SwapLoggerForTesting(&capture_);
      installed_ = true;
    }
  }
  ~ScopedLogCapture() {
    if (installed_) (void)ETWLogging::GetProcessLogger()->SwapLoggerForTesting(previous_);
  }
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  bool installed() const { return installed_; }
  CapturingLogger& log() { return capture_; }

 private:
  CapturingLogger capture_;
  ETWLogging::CLoggingIf* previous_ = nullptr;
  bool installed_ = false;
};

}  // namespace qxtest
