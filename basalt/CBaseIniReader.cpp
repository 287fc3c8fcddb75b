#include "basalt/CBaseIniReader.h"

#include <windows.h>

#include <algorithm>
#include <climits>

#include "basalt/FileUtils.h"
#include "basalt/UniqueHandle.h"

namespace Basalt {
namespace {

// White space as the profile functions cut it: the C locale's, and the DOS end-of-file
// byte, which they take for white space wherever it stands.
bool IsIniSpace(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r' ||
         c == 0x1A;
}

void TrimRange(const wchar_t*& begin, const wchar_t*& end) {
  while (begin < end && IsIniSpace(*begin)) ++begin;
  while (end > begin && IsIniSpace(end[-1])) --end;
}

// The profile functions keep names and values as C strings: a NUL ends them.
std::wstring UpToNul(const wchar_t* begin, const wchar_t* end) {
  return std::wstring(begin, std::find(begin, end, L'\0'));
}

wchar_t FoldIniNameChar(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring AnsiToWide(const char* text) {
  const int chars = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
  if (chars <= 1) return std::wstring();
  std::wstring wide(static_cast<size_t>(chars), L'\0');
  const int written = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, &wide[0], chars);
  wide.resize(written > 0 ? static_cast<size_t>(written - 1) : 0);
  return wide;
}

// UTF-16 code units from |bytes|; an odd last byte becomes a unit of its own, as the
// profile functions read it.
std::wstring Utf16ToWide(const unsigned char* bytes, size_t size, bool bigEndian) {
  std::wstring text;
  text.reserve((size + 1) / 2);
  size_t n = 0;
  for (; n + 1 < size; n += 2) {
    text += static_cast<wchar_t>(bigEndian ? (bytes[n] << 8) | bytes[n + 1]
                                           : bytes[n] | (bytes[n + 1] << 8));
  }
  if (n < size) text += static_cast<wchar_t>(bytes[n]);
  return text;
}

bool MultiByteTextToWide(UINT codePage, const char* bytes, size_t size, std::wstring& text) {
  text.clear();
  if (size == 0) return true;
  const int length = static_cast<int>(size);
  const int chars = MultiByteToWideChar(codePage, 0, bytes, length, nullptr, 0);
  if (chars <= 0) return false;
  text.resize(static_cast<size_t>(chars));
  return MultiByteToWideChar(codePage, 0, bytes, length, &text[0], chars) == chars;
}

// The file's text, decoded by its byte-order mark as the profile functions decode it.
bool DecodeIniFile(const std::string& file, std::wstring& text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
  const size_t size = file.size();
  if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    text = Utf16ToWide(bytes + 2, size - 2, false);
    return true;
  }
  if (size >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
    text = Utf16ToWide(bytes + 2, size - 2, true);
    return true;
  }
  if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    return MultiByteTextToWide(CP_UTF8, file.data() + 3, size - 3, text);
  }
  return MultiByteTextToWide(CP_THREAD_ACP, file.data(), size, text);
}

}  // namespace

size_t IniNameHash::operator()(const std::wstring& name) const noexcept {
  size_t hash = 14695981039346656037ull;
  for (const wchar_t c : name)
    hash = (hash ^ static_cast<size_t>(FoldIniNameChar(c))) * 1099511628211ull;
  return hash;
}

bool IniNameEqual::operator()(const std::wstring& a, const std::wstring& b) const noexcept {
  if (a.size() != b.size()) return false;
  for (size_t n = 0; n < a.size(); ++n) {
    if (FoldIniNameChar(a[n]) != FoldIniNameChar(b[n])) return false;
  }
  return true;
}

CBaseIniReader::~CBaseIniReader() = default;

bool CBaseIniReader::Load(const std::wstring& path) {
  if (path.empty()) return false;
  m_strFilePath = path;

  // Read whole and in binary: line ends, 0x1A and the encoding are the parser's business.
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    // A missing file keeps its path so that a later write creates it.
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) m_strFilePath.clear();
    return false;
  }
  std::string bytes;
  std::wstring text;
  if (!ReadWholeFile(file.get(), INT_MAX, bytes) || !DecodeIniFile(bytes, text)) {
    m_strFilePath.clear();
    return false;
  }
  file.reset();

  m_seenSections.clear();
  m_bRepeatedSection = false;
  const wchar_t* line = text.data();
  const wchar_t* const end = line + text.size();
  for (;;) {
    const wchar_t* lineEnd = line;
    while (lineEnd < end && *lineEnd != L'\r' && *lineEnd != L'\n') ++lineEnd;
    ParseWideLine(line, static_cast<size_t>(lineEnd - line));
    if (lineEnd == end) break;
    line = lineEnd + 1;  // the empty line between a CR and its LF is ignored
  }
  return true;
}

void CBaseIniReader::ParseLine(const char* line) {
  if (line == nullptr) return;
  const std::wstring text = AnsiToWide(line);
  ParseWideLine(text.data(), text.size());
}

void CBaseIniReader::ParseWideLine(const wchar_t* text, size_t length) {
  const wchar_t* begin = text;
  const wchar_t* end = text + length;
  TrimRange(begin, end);
  if (begin == end || *begin == L';') return;

  if (*begin == L'[') {
    const wchar_t* close = end;
    while (close > begin && close[-1] != L']') --close;
    if (close > begin) {
      // Text after the last "]" is not part of the header.
      const wchar_t* nameBegin = begin + 1;
      const wchar_t* nameEnd = close - 1;
      TrimRange(nameBegin, nameEnd);
      std::wstring name = UpToNul(nameBegin, nameEnd);
      // An empty header is ignored: the profile functions drop it when they save the file,
      // so its pairs belong to the section before it.
      if (!name.empty()) {
        m_bRepeatedSection = !m_seenSections.insert(name).second;
        m_strCurrentSection = std::move(name);
        ++m_nSectionCount;
      }
      return;
    }
  }

  const wchar_t* equals = std::find(begin, end, L'=');
  if (equals == end || m_bRepeatedSection) return;
  const wchar_t* keyBegin = begin;
  const wchar_t* keyEnd = equals;
  const wchar_t* valueBegin = equals + 1;
  const wchar_t* valueEnd = end;
  TrimRange(keyBegin, keyEnd);
  TrimRange(valueBegin, valueEnd);
  if (StoreValue(m_strCurrentSection, UpToNul(keyBegin, keyEnd), UpToNul(valueBegin, valueEnd),
                 false)) {
    ++m_nValueCount;
  }
}

bool CBaseIniReader::GetIntValue(const std::wstring& section, const std::wstring& key, int& value) {
  return LookupInt(section + L"." + key, value);
}

bool CBaseIniReader::GetStringValue(const std::wstring& section, const std::wstring& key,
                                    std::wstring& value) {
  return LookupString(section + L"." + key, value);
}

bool CBaseIniReader::SetIntValue(const std::wstring& section, const std::wstring& key, int value) {
  wchar_t text[16];
  wsprintfW(text, L"%d", value);
  return SetStringValue(section, key, text);
}

bool CBaseIniReader::SetStringValue(const std::wstring& section, const std::wstring& key,
                                    const std::wstring& value) {
  if (m_strFilePath.empty()) return false;
  if (!WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(),
                                  m_strFilePath.c_str())) {
    return false;
  }
  return StoreValue(section, key, value, true);
}

}  // namespace Basalt
