#include "etwlogging/CLoggingIf.h"

#include <gtest/gtest.h>

#include <string>

#include "etwlogging/LogCapture.h"

namespace {

using namespace ETWLogging;

TEST(CLoggingIfLevelCalls, EachSlotWritesAtItsLevelAndCutsAt4159) {
  CLogCapture capture;
  capture.LogNormal(L"f", L"g", 1, L"%s", L"n");
  capture.LogError(L"f", L"g", 2, L"%d", 4);
  capture.LogWarning(L"f", L"g", 3, L"w");
  capture.LogCritical(L"f", L"g", 4, L"%hs", "c");
  capture.LogInformation(L"f", L"g", 5, L"i");
  const auto r = capture.Records();
  ASSERT_EQ(5u, r.size());
  const LogLevel levels[] = {1, 4, 2, 5, 3};
  const wchar_t* texts[] = {L"n", L"4", L"w", L"c", L"i"};
  for (size_t i = 0; i < r.size(); ++i) {
    EXPECT_EQ(levels[i], r[i].level);
    EXPECT_EQ(texts[i], r[i].message);
    EXPECT_EQ(static_cast<int>(i + 1), r[i].line);
  }

  struct Case {
    size_t length, kept;
  } cases[] = {{4158, 4158}, {4159, 4159}, {4160, 4159}, {9000, 4159}};
  for (const Case& c : cases) {
    capture.Clear();
    const std::wstring text(c.length, L'z');
    capture.LogError(L"f", L"g", 1, L"%s", text.c_str());
    ASSERT_EQ(1u, capture.Records().size());
    EXPECT_EQ(text.substr(0, c.kept), capture.Records()[0].message) << c.length;
  }
  capture.Clear();
  EXPECT_EQ(87u, capture.LogError(L"f", L"g", 1, nullptr));
  EXPECT_TRUE(capture.Records().empty());
}

TEST(CLoggingIfSeverity, ProcessWideValueIsExchanged) {
  const DWORD before = GetProcessSeverity();
  EXPECT_EQ(before, ExchangeProcessSeverity(5));
  EXPECT_EQ(5u, ExchangeProcessSeverity(before));
  EXPECT_EQ(1u, ClampSeverity(0));
  EXPECT_EQ(4u, ClampSeverity(4));
  EXPECT_EQ(6u, ClampSeverity(7));
}

TEST(CLoggingIfFormat, UsesMicrosoftWideRules) {
  std::wstring out = L"untouched";
  ASSERT_TRUE(FormatWide(out, L"%s|%hs|%c|%5d|%-3u|", L"GUID", "ab", L'x', 42, 7u));
  EXPECT_EQ(L"GUID|ab|x|   42|7  |", out);
  out = L"untouched";
  EXPECT_FALSE(FormatWide(out, nullptr));
  EXPECT_EQ(L"untouched", out);
}

}  // namespace
