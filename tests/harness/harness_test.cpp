// Smoke test of the harness itself: we run as a real PE under Wine with the
// Windows 10 prefix, and wide formats keep their Microsoft meaning.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdarg>
#include <cwchar>

namespace {

int FormatW(wchar_t* buffer, size_t count, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  int n = _vsnwprintf(buffer, count, format, args);
  va_end(args);
  return n;
}

}  // namespace

TEST(Harness, WideFormatReadsWideStrings) {
  wchar_t buffer[32] = {};
  ASSERT_EQ(4, FormatW(buffer, 32, L"%s", L"GUID"));
  EXPECT_STREQ(L"GUID", buffer);
}

TEST(Harness, PrefixIsWindows10) {
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  auto fn = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  ASSERT_NE(nullptr, fn);
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_EQ(0, fn(&info));
  EXPECT_EQ(10u, info.dwMajorVersion);
}
