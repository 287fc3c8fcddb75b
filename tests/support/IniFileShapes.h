// INI files in the shapes that the profile functions read and that people produce (an
// editor, another tool, a copy), holding obfuscated integer values.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "basalt/CObfuscatedIniReader.h"

namespace testsupport {

// |bytes| bytes as the profile functions write a structure: two upper-case hexadecimal
// digits per byte, then two of the bytes' sum modulo 256.
inline std::wstring StructText(const void* data, size_t bytes) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  const auto* p = static_cast<const unsigned char*>(data);
  std::wstring text;
  unsigned sum = 0;
  for (size_t n = 0; n < bytes; ++n) {
    text += kDigits[p[n] >> 4];
    text += kDigits[p[n] & 0xF];
    sum += p[n];
  }
  text += kDigits[(sum >> 4) & 0xF];
  text += kDigits[sum & 0xF];
  return text;
}

inline std::string Narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

// The header and payload lines of the obfuscated integer |value| under |key|, each ended
// with |eol|.
inline std::string ObfuscatedIntLines(const std::string& key, int value,
                                      const std::string& eol = "\r\n") {
  const uint32_t raw = static_cast<uint32_t>(value);
  const unsigned char plain[4] = {
      static_cast<unsigned char>(raw), static_cast<unsigned char>(raw >> 8),
      static_cast<unsigned char>(raw >> 16), static_cast<unsigned char>(raw >> 24)};
  unsigned char payload[4];
  Basalt::ObfuscatedIniValueHeader header = {};
  if (Basalt::CObfuscatedIniReader::EncodeValue(plain, 4, Basalt::CObfuscatedIniReader::kTypeInt,
                                                payload, 4, &header) != 0) {
    return std::string();
  }
  return "_" + key + "=" + Narrow(StructText(&header, sizeof(header))) + eol + key + "=" +
         Narrow(StructText(payload, sizeof(payload))) + eol;
}

// |text| (ASCII) as UTF-16 with its byte-order mark.
inline std::string Utf16Text(const std::string& text, bool bigEndian) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char c : text) {
    bytes += bigEndian ? '\0' : c;
    bytes += bigEndian ? c : '\0';
  }
  return bytes;
}

struct ExpectedIniInt {
  const wchar_t* section;
  const wchar_t* key;
  std::optional<int> value;  // none: not found
};

struct IniFileShape {
  const char* name;
  std::string bytes;
  // The values as the profile functions read them (looked up as written here).
  std::vector<ExpectedIniInt> expected;
};

// Each shape holds "MaxEntries" 4 and "LastLogIdx" |lastLogIdx| in [Config] and "X" 9 in
// [Other], besides what the shape adds.
inline std::vector<IniFileShape> IniFileShapes(int lastLogIdx) {
  const auto entries = [](const std::string& key, int value, const std::string& eol = "\r\n") {
    return ObfuscatedIntLines(key, value, eol);
  };
  const auto plain = [&](const std::string& eol) {
    return "[Config]" + eol + entries("MaxEntries", 4, eol) +
           entries("LastLogIdx", lastLogIdx, eol) + "[Other]" + eol + entries("X", 9, eol);
  };
  const std::vector<ExpectedIniInt> common = {
      {L"Config", L"MaxEntries", 4}, {L"Config", L"LastLogIdx", lastLogIdx}, {L"Other", L"X", 9}};
  const auto with = [&](std::vector<ExpectedIniInt> more) {
    more.insert(more.begin(), common.begin(), common.end());
    return more;
  };
  const std::string other = "[Other]\r\n" + entries("X", 9);
  return {
      {"CR LF line ends", plain("\r\n"), common},
      {"UTF-16 byte-order mark", Utf16Text(plain("\r\n"), false), common},
      {"UTF-16 big-endian byte-order mark", Utf16Text(plain("\r\n"), true), common},
      {"UTF-8 byte-order mark", "\xEF\xBB\xBF" + plain("\r\n"), common},
      {"CR line ends", plain("\r"), common},
      // 0x1A is white space to the profile functions, not the end of the file.
      {"0x1A bytes",
       "[Config]\r\n\x1A\r\n" + entries("MaxEntries", 4, "\x1A\r\n") +
           entries("LastLogIdx", lastLogIdx) + other + "\x1A",
       common},
      {"key given twice",
       "[Config]\r\n" + entries("MaxEntries", 4) + entries("LastLogIdx", lastLogIdx) +
           entries("MaxEntries", 6) + entries("LastLogIdx", lastLogIdx + 3) + other,
       common},
      // Only the first section of a name is read (and written).
      {"[Config] given twice",
       plain("\r\n") + "[Config]\r\n" + entries("LastLogIdx", lastLogIdx + 2) +
           entries("Hidden", 5),
       with({{L"Config", L"Hidden", std::nullopt}})},
      {"[Config] given twice, once as [CONFIG]",
       plain("\r\n") + "[CONFIG]\r\n" + entries("LastLogIdx", lastLogIdx + 2) +
           entries("Hidden", 5),
       with({{L"Config", L"Hidden", std::nullopt}})},
      // The profile functions drop an empty header when they save the file, so what
      // follows it belongs to the section before.
      {"[] line",
       "[Config]\r\n" + entries("MaxEntries", 4) + "[]\r\n" + entries("LastLogIdx", lastLogIdx) +
           entries("Y", 8) + other,
       with({{L"Config", L"Y", 8}})},
      // Its 1024th byte starts "[Other]".
      {"line longer than 1023 bytes",
       "[Config]\r\nNote=" + std::string(1018, 'v') + "[Other]\r\n" + entries("MaxEntries", 4) +
           entries("LastLogIdx", lastLogIdx) + other,
       common},
      // A NUL ends a name or a value; the line goes on to its line end.
      {"NUL byte in a line",
       "[Config]\r\n" + entries(std::string("MaxEntries\0-", 12), 4) +
           entries("LastLogIdx", lastLogIdx) + "[Other]\r\n" +
           entries("X", 9, std::string("\0 rest\r\n", 8)),
       common},
      {"keys differing only in case",
       "[Config]\r\n" + entries("maxentries", 4) + entries("LASTLOGIDX", lastLogIdx) +
           "[Other]\r\n" + entries("x", 9),
       common},
      {"sections differing only in case",
       "[config]\r\n" + entries("MaxEntries", 4) + entries("LastLogIdx", lastLogIdx) +
           "[OTHER]\r\n" + entries("X", 9),
       common},
      // A header ends at its last "]"; the rest of its line is dropped.
      {"text after a section header",
       "[Config] ; settings\r\n" + entries("MaxEntries", 4) + entries("LastLogIdx", lastLogIdx) +
           "[Other]x=1\r\n" + entries("X", 9),
       common},
  };
}

}  // namespace testsupport
