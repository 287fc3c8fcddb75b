// Adapter that routes the foundation library's log records into the process
// logger.
#pragma once

#include "basalt/Logging/CLogger.h"

namespace ETWLogging {

class CBasaltLogHandler : public Basalt::ILoggingHandler {
 public:
  constexpr CBasaltLogHandler() noexcept = default;
  // The static instance's destructor unregisters the handler the process
  // logger registered.
  virtual ~CBasaltLogHandler();

  // Maps the core level (0 and 1 to 1, 2 to 4, others to 2) and writes the
  // message through the process logger, when there is one.
  void Handle(DWORD level, const wchar_t* file, const wchar_t* function, int line,
              const wchar_t* message) override;

  // Level of the logging client for a logger-core level.
  static DWORD MapCoreLevel(DWORD coreLevel) noexcept;

  // The one static instance of the process.
  static CBasaltLogHandler& Instance() noexcept;
};

}  // namespace ETWLogging
