#include "basalt/CBaseIniReader.h"

#include <share.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

namespace Basalt {
namespace {

constexpr size_t kLineBufferBytes = 1024;

bool IsIniSpace(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

std::wstring Trim(const std::wstring& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsIniSpace(text[begin])) ++begin;
  while (end > begin && IsIniSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::wstring AnsiToWide(const char* text) {
  const int chars = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
  if (chars <= 1) return std::wstring();
  std::wstring wide(static_cast<size_t>(chars), L'\0');
  const int written = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, &wide[0], chars);
  wide.resize(written > 0 ? static_cast<size_t>(written - 1) : 0);
  return wide;
}

}  // namespace

CBaseIniReader::~CBaseIniReader() = default;

bool CBaseIniReader::Load(const std::wstring& path) {
  if (path.empty()) return false;
  m_strFilePath = path;

  FILE* file = _wfsopen(path.c_str(), L"rt", _SH_DENYWR);
  if (file == nullptr) {
    // A missing file keeps its path so that a later write creates it.
    if (errno != ENOENT) m_strFilePath.clear();
    return false;
  }
  char line[kLineBufferBytes];
  while (std::fgets(line, static_cast<int>(sizeof(line)), file) != nullptr) ParseLine(line);
  std::fclose(file);
  return true;
}

void CBaseIniReader::ParseLine(const char* line) {
  if (line == nullptr) return;
  const std::wstring text = Trim(AnsiToWide(line));
  if (text.empty() || text[0] == L';') return;

  if (text.size() >= 2 && text.front() == L'[' && text.back() == L']') {
    const std::wstring name = Trim(text.substr(1, text.size() - 2));
    if (!name.empty()) {
      m_strCurrentSection = name;
      ++m_nSectionCount;
    }
    return;
  }

  const size_t equals = text.find(L'=');
  if (equals == std::wstring::npos) return;
  const std::wstring key = Trim(text.substr(0, equals));
  const std::wstring value = Trim(text.substr(equals + 1));
  if (StoreValue(m_strCurrentSection, key, value, false)) ++m_nValueCount;
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
