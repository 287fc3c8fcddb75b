// What the log-writing test program and the tests that run it agree on.
#pragma once

#include <string>

namespace logwriter {

// Group of the program's log folder: <ProgramData>\Telvan\QXLOGS\Shared\LogWriter.
constexpr wchar_t kGroup[] = L"Shared";
constexpr wchar_t kModuleBaseName[] = L"LogWriter";

// The message of line |n| of writer |tag|: long enough that a splice shows.
inline std::wstring Message(unsigned tag, unsigned n) {
  std::wstring number = std::to_wstring(n);
  if (number.size() < 5) number.insert(0, 5 - number.size(), L'0');
  std::wstring message = L"writer " + std::to_wstring(tag) + L" line " + number + L" ";
  for (unsigned k = 0; k < 160; ++k) message += static_cast<wchar_t>(L'a' + (tag * 7 + n + k) % 26);
  return message;
}

}  // namespace logwriter
