// Exact-text queries over the logging client's capturing back end, so that tests can
// assert the text, level and function of a log line.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "etwlogging/LogCapture.h"

namespace qxtest {

struct LogLine {
  ETWLogging::LogLevel level;
  std::wstring file;
  std::wstring function;
  std::wstring message;
};

class CapturingLogger : public ETWLogging::CLogCapture {
 public:
  std::vector<LogLine> Lines() const {
    std::vector<LogLine> lines;
    for (const ETWLogging::CapturedLogRecord& r : Records())
      lines.push_back({r.level, r.file, r.function, r.message});
    return lines;
  }
  // Number of lines with exactly this level and text.
  size_t Count(ETWLogging::LogLevel level, const std::wstring& message) const {
    const std::vector<LogLine> lines = Lines();
    return std::count_if(lines.begin(), lines.end(), [&](const LogLine& l) {
      return l.level == level && l.message == message;
    });
  }
  bool Has(ETWLogging::LogLevel level, const std::wstring& message) const {
    return Count(level, message) > 0;
  }
  // True when a line of this level begins with |prefix|.
  bool HasPrefix(ETWLogging::LogLevel level, const std::wstring& prefix) const {
    const std::vector<LogLine> lines = Lines();
    return std::any_of(lines.begin(), lines.end(), [&](const LogLine& l) {
      return l.level == level && l.message.rfind(prefix, 0) == 0;
    });
  }
  // The first line with this text (level 0 and empty strings when there is none).
  LogLine Find(const std::wstring& message) const {
    for (const LogLine& l : Lines()) {
      if (l.message == message) return l;
    }
    return {0, L"", L"", L""};
  }
  size_t CountLevel(ETWLogging::LogLevel level) const {
    const std::vector<LogLine> lines = Lines();
    return std::count_if(lines.begin(), lines.end(),
                         [&](const LogLine& l) { return l.level == level; });
  }
};

// Puts a CapturingLogger in place of the process logger's back end for its lifetime.
// Install and remove it only while no other thread logs.
class ScopedLogCapture {
 public:
  bool installed() const { return scope_.active(); }
  CapturingLogger& log() { return capture_; }

 private:
  CapturingLogger capture_;
  ETWLogging::ScopedLogCapture scope_{capture_};
};

}  // namespace qxtest
