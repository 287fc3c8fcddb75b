// Registry values stored byte for byte: RegSetValueExW adds a missing terminator to string
// data, so tests of unterminated values write through ntdll instead.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testsupport {

// Stores |bytes| bytes of |data| as value |name| (null or empty: the default value) of |key|
// with |type|, nothing added. Returns the NTSTATUS (0 on success).
inline LONG SetRawRegistryValue(HKEY key, const wchar_t* name, DWORD type, const void* data,
                                ULONG bytes) {
  struct CountedString {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
  };
  using NtSetValueKeyFn = LONG(NTAPI*)(HANDLE, CountedString*, ULONG, ULONG, PVOID, ULONG);
  const auto setValue = reinterpret_cast<NtSetValueKeyFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
  if (setValue == nullptr) return static_cast<LONG>(0xC0000139);  // STATUS_ENTRYPOINT_NOT_FOUND
  std::wstring text = name != nullptr ? name : L"";
  const auto length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  CountedString counted = {length, length, text.data()};
  const BYTE* begin = static_cast<const BYTE*>(data);
  std::vector<BYTE> copy(begin, begin + bytes);
  return setValue(key, &counted, 0, type, copy.empty() ? nullptr : copy.data(), bytes);
}

}  // namespace testsupport
