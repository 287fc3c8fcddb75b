// Test support: a back end that keeps every message in memory, and a scope
// that puts it in place of the process logger's back end. Only test code
// includes this header; the library itself never installs it.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "etwlogging/CLoggingIf.h"
#include "etwlogging/CProcessLogger.h"

namespace ETWLogging {

struct CapturedLogRecord {
  LogLevel level;
  std::wstring file;
  std::wstring function;
  int line;
  std::wstring message;
};

// Classic back end (no extended interface): the process logger formats the
// message and calls Write. Thread-safe.
class CLogCapture : public CLoggingIf {
 public:
  explicit CLogCapture(DWORD threshold = 1) : m_dwThreshold(threshold) {}

  std::vector<CapturedLogRecord> Records() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
  }
  // Whether a record at |level| whose message contains |text| was captured.
  bool Contains(LogLevel level, const std::wstring& text) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const CapturedLogRecord& r : m_records) {
      if (r.level == level && r.message.find(text) != std::wstring::npos) return true;
    }
    return false;
  }

  DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, LoggingConfigListenerIf*) override {
    return 0;
  }
  DWORD Register() override { return m_dwRegisterResult; }
  void GetQualifiedName(std::wstring&) override {}
  void GetGroupName(std::wstring&) override {}
  DWORD Uninitialize() override { return 0; }
  void SetEnabled(bool enabled) override { m_bEnabled = enabled; }
  bool IsEnabled() override { return m_bEnabled; }
  DWORD LogV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* format, ...) override {
    if (!m_bEnabled || !IsLevelEnabled(level)) return 0;
    va_list args;
    va_start(args, format);
    std::wstring text;
    const bool ok = FormatWideV(text, format, args);
    va_end(args);
    return ok ? Write(file, function, line, level, text.c_str()) : ERROR_INVALID_PARAMETER;
  }
  DWORD Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
              const wchar_t* message) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(
        {level, file ? file : L"", function ? function : L"", line, message ? message : L""});
    return 0;
  }
  bool IsLevelEnabled(LogLevel level) override { return level >= m_dwThreshold; }
  void SetMaxEntries(DWORD) override {}
  DWORD GetMaxEntries() override { return 0; }
  void SetMaxSize(DWORD) override {}
  DWORD GetMaxSize() override { return 0; }
  DWORD SetSeverity(LogLevel level) override {
    m_dwThreshold = ClampSeverity(level);
    return ExchangeProcessSeverity(m_dwThreshold);
  }
  DWORD GetSeverity() override { return m_dwThreshold; }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }

  // Result of Register for the next calls (0 by default).
  void SetRegisterResult(DWORD result) { m_dwRegisterResult = result; }

 private:
  mutable std::mutex m_mutex;
  std::vector<CapturedLogRecord> m_records;
  DWORD m_dwThreshold;
  DWORD m_dwRegisterResult = 0;
  bool m_bEnabled = true;
};

// Puts |capture| (not owned) in place of the process logger's back end for the
// life of the scope (the process logger is created when it does not exist);
// the back end held before is put back afterwards. Use it while no other
// thread logs through the facade.
class ScopedLogCapture {
 public:
  explicit ScopedLogCapture(CLoggingIf& capture) : m_pLogger(GetProcessLogger()) {
    if (m_pLogger) m_pPrevious = m_pLogger->SwapLoggerForTesting(&capture);
  }
  ~ScopedLogCapture() {
    if (m_pLogger) (void)m_pLogger->SwapLoggerForTesting(m_pPrevious);
  }
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  // False when there is no process logger to capture from.
  bool active() const { return m_pLogger != nullptr; }

 private:
  CProcessLogger* m_pLogger;
  CLoggingIf* m_pPrevious = nullptr;
};

}  // namespace ETWLogging
