#include "basalt/Logging/CLogger.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using Basalt::CDefaultLoggingHandler;
using Basalt::CLogger;
using Basalt::ILoggingHandler;

struct Record {
  DWORD level;
  std::wstring file, function;
  int line;
  std::wstring message;
};

class RecordingHandler : public ILoggingHandler {
 public:
  void Handle(DWORD level, const wchar_t* file, const wchar_t* function, int line,
              const wchar_t* message) override {
    records.push_back(
        {level, file ? file : L"", function ? function : L"", line, message ? message : L""});
  }
  std::vector<Record> records;
};

std::wstring Hex(const void* p) {
  wchar_t text[16];
  wsprintfW(text, L"0x%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
  return text;
}

std::wstring ErrorText(DWORD code) { return CLogger::GetSystemErrorText(code); }

// Debugger output of this process, seen by a vectored handler before the
// system's own handler of the debug-print exception runs.
class DebugOutputCapture {
 public:
  DebugOutputCapture() {
    s_lines.clear();
    m_handler = AddVectoredExceptionHandler(1, &DebugOutputCapture::OnException);
  }
  ~DebugOutputCapture() { RemoveVectoredExceptionHandler(m_handler); }
  static std::vector<std::wstring> Lines() { return s_lines; }

 private:
  static LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* rec = info->ExceptionRecord;
    if (rec->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
    const size_t len = static_cast<size_t>(rec->ExceptionInformation[0]);
    if (rec->ExceptionCode == 0x4001000A /* DBG_PRINTEXCEPTION_WIDE_C */) {
      const auto* text = reinterpret_cast<const wchar_t*>(rec->ExceptionInformation[1]);
      s_lines.emplace_back(text, len ? len - 1 : 0);
      s_sawWide = true;
    } else if (rec->ExceptionCode == 0x40010006 /* DBG_PRINTEXCEPTION_C */ && !s_sawWide) {
      const auto* text = reinterpret_cast<const char*>(rec->ExceptionInformation[1]);
      std::string narrow(text, len ? len - 1 : 0);
      s_lines.emplace_back(narrow.begin(), narrow.end());
    } else if (rec->ExceptionCode == 0x40010006) {
      s_sawWide = false;  // the narrow echo of a wide line already seen
    }
    return EXCEPTION_CONTINUE_SEARCH;
  }
  PVOID m_handler;
  static inline std::vector<std::wstring> s_lines;
  static inline bool s_sawWide = false;
};

// Each test starts with no handler registered.
class CLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearRegistration(); }
  void TearDown() override { ClearRegistration(); }
  static void ClearRegistration() {
    if (ILoggingHandler* h = CLogger::GetRegisteredHandler()) {
      ASSERT_EQ(0u, CLogger::UnregisterHandler(h));
    }
  }
  RecordingHandler a, b;
};

TEST_F(CLoggerTest, LogWithNothingRegisteredRegistersTheDefaultHandler) {
  ASSERT_EQ(nullptr, CLogger::GetRegisteredHandler());
  DebugOutputCapture capture;
  EXPECT_EQ(0u, CLogger::Log(1, L"f", L"g", 3, L"%s=%d %hs", L"wide", 42, "narrow"));
  EXPECT_EQ(&CDefaultLoggingHandler::Instance(), CLogger::GetRegisteredHandler());
  ASSERT_EQ(1u, capture.Lines().size());
  EXPECT_EQ(L"f(3): [INFO]: [g]: wide=42 narrow\n", capture.Lines()[0]);
}

TEST_F(CLoggerTest, LogFormatsWithMicrosoftWideRulesAndDeliversToTheHandler) {
  ASSERT_EQ(0u, CLogger::RegisterHandler(&a));
  EXPECT_EQ(0u, CLogger::Log(7, L"file.cpp", L"C::F", -5, L"[%s|%hs|%u|0x%08X]", L"GUID", "ab",
                             4000000000u, 0xBEEFu));
  ASSERT_EQ(1u, a.records.size());
  EXPECT_EQ(7u, a.records[0].level);
  EXPECT_EQ(L"file.cpp", a.records[0].file);
  EXPECT_EQ(L"C::F", a.records[0].function);
  EXPECT_EQ(-5, a.records[0].line);
  EXPECT_EQ(L"[GUID|ab|4000000000|0x0000BEEF]", a.records[0].message);

  const std::wstring big(5000, L'x');
  EXPECT_EQ(0u, CLogger::Log(1, L"f", L"g", 1, L"%s", big.c_str()));
  ASSERT_EQ(2u, a.records.size());
  EXPECT_EQ(big, a.records[1].message);
}

TEST_F(CLoggerTest, FormatThatCannotBeFormattedSendsTheFallbackMessage) {
  ASSERT_EQ(0u, CLogger::RegisterHandler(&a));
  EXPECT_EQ(0u, CLogger::Log(1, L"f", L"g", 9, nullptr));
  ASSERT_EQ(1u, a.records.size());
  EXPECT_EQ(2u, a.records[0].level);
  EXPECT_EQ(L"f", a.records[0].file);
  EXPECT_EQ(L"g", a.records[0].function);
  EXPECT_EQ(9, a.records[0].line);
  EXPECT_EQ(L"General memory-allocation failure in Basalt logger.", a.records[0].message);
}

TEST_F(CLoggerTest, RegisterSequence) {
  // Null with nothing registered: 87, and the message leaves the default registered.
  {
    DebugOutputCapture capture;
    EXPECT_EQ(87u, CLogger::RegisterHandler(nullptr));
    EXPECT_EQ(&CDefaultLoggingHandler::Instance(), CLogger::GetRegisteredHandler());
    ASSERT_EQ(1u, capture.Lines().size());
    EXPECT_EQ(L"Logging\\internal_logging(62): [ERROR]: [Basalt::CLogger::RegisterHandler]: " +
                  ErrorText(87) + L": Cannot Register (NULL) handler\n",
              capture.Lines()[0]);
  }
  // A replaces the default instance; A again is fine.
  EXPECT_EQ(0u, CLogger::RegisterHandler(&a));
  EXPECT_EQ(&a, CLogger::GetRegisteredHandler());
  EXPECT_EQ(0u, CLogger::RegisterHandler(&a));
  EXPECT_TRUE(a.records.empty());
  // B cannot replace A; A hears of it.
  EXPECT_EQ(5023u, CLogger::RegisterHandler(&b));
  EXPECT_EQ(&a, CLogger::GetRegisteredHandler());
  EXPECT_TRUE(b.records.empty());
  ASSERT_EQ(1u, a.records.size());
  const Record& r = a.records[0];
  EXPECT_EQ(2u, r.level);
  EXPECT_EQ(L"Logging\\internal_logging", r.file);
  EXPECT_EQ(L"Basalt::CLogger::RegisterHandler", r.function);
  EXPECT_EQ(72, r.line);
  EXPECT_EQ(ErrorText(5023) + L": Registered Logging Handler " + Hex(&a) +
                L" cannot be replaced with " + Hex(&b),
            r.message);
}

TEST_F(CLoggerTest, UnregisterSequence) {
  // Null: 87, message to the default instance, which stays registered.
  EXPECT_EQ(87u, CLogger::UnregisterHandler(nullptr));
  EXPECT_EQ(&CDefaultLoggingHandler::Instance(), CLogger::GetRegisteredHandler());
  ASSERT_EQ(0u, CLogger::UnregisterHandler(&CDefaultLoggingHandler::Instance()));

  // Nothing registered: A hears of its own request and is not left registered.
  EXPECT_EQ(5023u, CLogger::UnregisterHandler(&a));
  EXPECT_EQ(nullptr, CLogger::GetRegisteredHandler());
  ASSERT_EQ(1u, a.records.size());
  EXPECT_EQ(107, a.records[0].line);
  EXPECT_EQ(L"Basalt::CLogger::UnregisterHandler", a.records[0].function);
  EXPECT_EQ(ErrorText(5023) + L": Request to Unregister Logging handler " + Hex(&a) +
                L", but none are registered",
            a.records[0].message);
  a.records.clear();

  // A while B is registered: B gets line 115, A line 120, B stays.
  ASSERT_EQ(0u, CLogger::RegisterHandler(&b));
  EXPECT_EQ(5023u, CLogger::UnregisterHandler(&a));
  EXPECT_EQ(&b, CLogger::GetRegisteredHandler());
  const std::wstring expected = ErrorText(5023) +
                                L": Failed to Unregister Logging handler (requested handler " +
                                Hex(&a) + L" != registered handler " + Hex(&b) + L")";
  ASSERT_EQ(1u, b.records.size());
  EXPECT_EQ(115, b.records[0].line);
  EXPECT_EQ(expected, b.records[0].message);
  ASSERT_EQ(1u, a.records.size());
  EXPECT_EQ(120, a.records[0].line);
  EXPECT_EQ(2u, a.records[0].level);
  EXPECT_EQ(expected, a.records[0].message);

  // The registered one: none afterwards, and the next Log brings the default back.
  EXPECT_EQ(0u, CLogger::UnregisterHandler(&b));
  EXPECT_EQ(nullptr, CLogger::GetRegisteredHandler());
  CLogger::Log(0, L"f", L"g", 1, L"quiet");
  EXPECT_EQ(&CDefaultLoggingHandler::Instance(), CLogger::GetRegisteredHandler());
  EXPECT_EQ(0u, Basalt::RegisterLoggingHandler(&a));
  EXPECT_EQ(0u, Basalt::UnregisterLoggingHandler(&a));
}

TEST_F(CLoggerTest, DefaultHandlerLines) {
  struct Case {
    DWORD level;
    const wchar_t* expected;  // null: no line
  } cases[] = {
      {0, nullptr},
      {1, L"f(3): [INFO]: [g]: m\n"},
      {2, L"f(3): [ERROR]: [g]: m\n"},
      {7, L"f(3): [UNKNOWN]: [g]: m\n"},
  };
  for (const Case& c : cases) {
    DebugOutputCapture capture;
    CDefaultLoggingHandler::Instance().Handle(c.level, L"f", L"g", 3, L"m");
    if (!c.expected) {
      EXPECT_TRUE(capture.Lines().empty()) << c.level;
    } else {
      ASSERT_EQ(1u, capture.Lines().size()) << c.level;
      EXPECT_EQ(c.expected, capture.Lines()[0]);
    }
  }
}

TEST(CLoggerSystemText, KeepsTheSystemWordingAndIsEmptyForUnknownCodes) {
  const std::wstring text = CLogger::GetSystemErrorText(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(L'\n', text.back());
  EXPECT_TRUE(CLogger::GetSystemErrorText(0x2000BEEF).empty());
}

// The default instance has nothing to tear down, so records logged from
// at-exit code still reach a valid handler.
static_assert(std::is_trivially_destructible_v<CDefaultLoggingHandler>);

void LogAtExit() {
  if (ILoggingHandler* h = CLogger::GetRegisteredHandler()) (void)CLogger::UnregisterHandler(h);
  CLogger::Log(1, L"f", L"LogAtExit", 1, L"late record %d", 1);
  std::fflush(stdout);
}

TEST(CLoggerDeathTest, LoggingWhileTheProcessExitsIsSafe) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::atexit(LogAtExit);
        std::exit(7);
      },
      ::testing::ExitedWithCode(7), "");
}

}  // namespace
