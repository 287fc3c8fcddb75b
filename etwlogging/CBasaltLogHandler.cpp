#include "etwlogging/CBasaltLogHandler.h"

#include "etwlogging/CLoggingIf.h"
#include "etwlogging/CProcessLogger.h"

namespace ETWLogging {

// Instance() and the process logger's teardown live in Logging.cpp, where the
// order of the process-wide objects is fixed.

CBasaltLogHandler::~CBasaltLogHandler() {
  if (this != &Instance()) return;
  CProcessLogger* logger = GetProcessLoggerIfCreated();
  Basalt::ILoggingHandler* registered = logger ? logger->TakeRegisteredHandler() : nullptr;
  if (registered) (void)Basalt::UnregisterLoggingHandler(registered);
}

DWORD CBasaltLogHandler::MapCoreLevel(DWORD coreLevel) noexcept {
  switch (coreLevel) {
    case Basalt::kLoggerLevelNone:
    case Basalt::kLoggerLevelInformation:
      return kLogNormal;
    case Basalt::kLoggerLevelError:
      return kLogError;
    default:
      return kLogWarning;
  }
}

void CBasaltLogHandler::Handle(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                               const wchar_t* message) {
  // Records never create the process logger.
  const CProcessLoggerUse use;
  CProcessLogger* logger = GetProcessLoggerIfCreated();
  if (!logger) return;
  logger->Write(file, function, line, MapCoreLevel(level), message);
}

}  // namespace ETWLogging
