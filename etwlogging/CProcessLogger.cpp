#include "etwlogging/CProcessLogger.h"

#include <string>

#include "etwlogging/CBasaltLogHandler.h"
#include "etwlogging/CDefaultLogBuilder.h"

namespace ETWLogging {

// Logging.cpp: the builder, created on first use and deleted at process exit.
CLogBuilderIf* GetProcessLogBuilder();

CProcessLogger::~CProcessLogger() {
  if (Basalt::ILoggingHandler* handler = TakeRegisteredHandler()) {
    (void)Basalt::UnregisterLoggingHandler(handler);
  }
  delete m_pLogger.exchange(nullptr);
}

void CProcessLogger::CreateLogger(const wchar_t* appId, const wchar_t* group, HMODULE module,
                                  const wchar_t* host, DWORD flags) {
  CLogBuilderIf* builder = GetProcessLogBuilder();
  if (!builder) return;
  CLoggingIf* logger = nullptr;
  CLogBuilderIf_ex* extended = dynamic_cast<CLogBuilderIf_ex*>(builder);
  if (!extended || !extended->CreateLoggerEx(appId, group, module, host, flags, &logger, nullptr)) {
    logger = nullptr;
    // The names of "WSS" stand in for an application whose names cannot be loaded.
    if (!builder->CreateLogger(group, module, host, flags, &logger, nullptr)) return;
  }
  InstallLogger(logger);

  Basalt::ILoggingHandler* adapter = &CBasaltLogHandler::Instance();
  if (Basalt::RegisterLoggingHandler(adapter) == ERROR_SUCCESS) m_pRegisteredHandler = adapter;
}

void CProcessLogger::InstallLogger(CLoggingIf* logger) noexcept {
  CLoggingIf* previous = m_pLogger.exchange(logger, std::memory_order_acq_rel);
  if (previous != logger) delete previous;
}

CLoggingIf* CProcessLogger::SwapLoggerForTesting(CLoggingIf* logger) noexcept {
  return m_pLogger.exchange(logger, std::memory_order_acq_rel);
}

Basalt::ILoggingHandler* CProcessLogger::TakeRegisteredHandler() noexcept {
  Basalt::ILoggingHandler* handler = m_pRegisteredHandler;
  m_pRegisteredHandler = nullptr;
  return handler;
}

bool CProcessLogger::IsLevelEnabled(LogLevel level) const {
  CLoggingIf* logger = GetBackEnd();
  return logger && logger->IsLevelEnabled(level);
}

DWORD CProcessLogger::Log(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const DWORD result = LogV(level, file, function, line, format, args);
  va_end(args);
  return result;
}

DWORD CProcessLogger::LogV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                           const wchar_t* format, va_list args) {
  CLoggingIf* logger = GetBackEnd();
  if (!logger) return ERROR_FUNCTION_FAILED;
  const DWORD registered = logger->Register();
  if (registered != ERROR_SUCCESS) return registered;
  if (CLoggingIf_ex* extended = dynamic_cast<CLoggingIf_ex*>(logger)) {
    if (extended->IsLevelEnabled(level)) {
      extended->LogVEx(level, file, function, line, format, args);
    }
    return ERROR_SUCCESS;
  }
  return LogVFormatted(logger, level, file, function, line, format, args);
}

DWORD CProcessLogger::LogVFormatted(CLoggingIf* logger, LogLevel level, const wchar_t* file,
                                    const wchar_t* function, int line, const wchar_t* format,
                                    va_list args) {
  const DWORD registered = logger->Register();
  if (registered != ERROR_SUCCESS) return registered;
  std::wstring message;
  // A rejected format is reported, not thrown at a caller that cannot catch it.
  if (!FormatWideV(message, format, args)) return ERROR_INVALID_PARAMETER;
  if (message.size() > kClassicMaxChars) message.resize(kClassicCutChars);
  return logger->Write(file, function, line, level, message.c_str());
}

DWORD CProcessLogger::Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                            const wchar_t* message) {
  CLoggingIf* logger = GetBackEnd();
  if (!logger) return ERROR_FUNCTION_FAILED;
  const DWORD registered = logger->Register();
  if (registered != ERROR_SUCCESS) return registered;
  if (CLoggingIf_ex* extended = dynamic_cast<CLoggingIf_ex*>(logger)) {
    return extended->WriteEx(level, file, function, line, message);
  }
  return logger->Write(file, function, line, level, message);
}

}  // namespace ETWLogging
