#include "versionserver/CRetrieveINI.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "versionserver/ComponentLookup.h"

namespace {

// Windows versions of the section table (its own numbering) and its families.
constexpr DWORD kOsAny = 0, kOsWin98 = 2, kOsWinMe = 3, kOsWin2k = 5, kOsWinXp = 6, kOsVista = 8;
constexpr DWORD kFamilyAny = 0, kFamily9x = 1, kFamilyNt = 2;
// The evaluator's own OS code: Vista, else the code that no section carries.
constexpr DWORD kEvaluatorOsVista = 8, kEvaluatorOsOther = 4;
// The OS code of the version queries for Vista.
constexpr DWORD kVersionCodeVista = 7;

struct SectionEntry {
  const wchar_t* name;
  SectionKind kind;
  DWORD os;
  DWORD family;
  bool win64;  // marks the -win64 sections; nothing reads it
};

// In reading order: all directory IDs are known before the first FILES line.
constexpr SectionEntry kSections[] = {
    {L"DirID", SectionKind::kDirId, kOsAny, kFamilyAny, false},
    {L"DirID-win98", SectionKind::kDirId, kOsWin98, kFamilyAny, false},
    {L"DirID-winme", SectionKind::kDirId, kOsWinMe, kFamilyAny, false},
    {L"DirID-win2k", SectionKind::kDirId, kOsWin2k, kFamilyAny, false},
    {L"DirID-winxp", SectionKind::kDirId, kOsWinXp, kFamilyAny, false},
    {L"DirID-VISTA", SectionKind::kDirId, kOsVista, kFamilyAny, false},
    {L"DirID-all9x", SectionKind::kDirId, kOsAny, kFamily9x, false},
    {L"DirID-allnt", SectionKind::kDirId, kOsAny, kFamilyNt, false},
    {L"DirID-win64", SectionKind::kDirId, kOsAny, kFamilyAny, true},
    {L"FILES", SectionKind::kFiles, kOsAny, kFamilyAny, false},
    {L"FILES-win98", SectionKind::kFiles, kOsWin98, kFamilyAny, false},
    {L"FILES-winme", SectionKind::kFiles, kOsWinMe, kFamilyAny, false},
    {L"FILES-win2k", SectionKind::kFiles, kOsWin2k, kFamilyAny, false},
    {L"FILES-winxp", SectionKind::kFiles, kOsWinXp, kFamilyAny, false},
    {L"FILES-VISTA", SectionKind::kFiles, kOsVista, kFamilyAny, false},
    {L"FILES-all9x", SectionKind::kFiles, kOsAny, kFamily9x, false},
    {L"FILES-allnt", SectionKind::kFiles, kOsAny, kFamilyNt, false},
    {L"FILES-win64", SectionKind::kFiles, kOsAny, kFamilyAny, true},
    {L"COM", SectionKind::kCom, kOsAny, kFamilyAny, false},
    {L"COM-win98", SectionKind::kCom, kOsWin98, kFamilyAny, false},
    {L"COM-winme", SectionKind::kCom, kOsWinMe, kFamilyAny, false},
    {L"COM-win2k", SectionKind::kCom, kOsWin2k, kFamilyAny, false},
    {L"COM-winxp", SectionKind::kCom, kOsWinXp, kFamilyAny, false},
    {L"COM-VISTA", SectionKind::kCom, kOsVista, kFamilyAny, false},
    {L"COM-all9x", SectionKind::kCom, kOsAny, kFamily9x, false},
    {L"COM-allnt", SectionKind::kCom, kOsAny, kFamilyNt, false},
    {L"COM-win64", SectionKind::kCom, kOsAny, kFamilyAny, true},
    {L"SERVICE", SectionKind::kService, kOsAny, kFamilyNt, false},
    {L"SERVICE-win2k", SectionKind::kService, kOsWin2k, kFamilyAny, false},
    {L"SERVICE-winxp", SectionKind::kService, kOsWinXp, kFamilyAny, false},
    {L"SERVICE-VISTA", SectionKind::kService, kOsVista, kFamilyAny, false},
    {L"SERVICE-allnt", SectionKind::kService, kOsAny, kFamilyNt, false},
    {L"SERVICE-win64", SectionKind::kService, kOsAny, kFamilyNt, true},
};
static_assert(sizeof(kSections) / sizeof(kSections[0]) == 33, "the section table has 33 entries");

constexpr DWORD kResultMissing = 2;

}  // namespace

CRetrieveINI::CRetrieveINI(const wchar_t* iniPath)
    : m_pwszIniPath(iniPath),
      m_dwOsCode(GetOsVersionCode() == kVersionCodeVista ? kEvaluatorOsVista : kEvaluatorOsOther) {}

DWORD CRetrieveINI::ProcessSections(char* output, size_t* size,
                                    std::unique_ptr<char[]> sectionBuffer) {
  // Without room, lines are only counted; the scratch byte keeps the text empty.
  char scratch = '\0';
  if (output == nullptr) *size = 0;
  if (*size == 0) output = &scratch;
  std::memset(output, 0, *size);
  m_cbBuffer = *size;

  DWORD result = 0;
  for (const SectionEntry& entry : kSections) {
    const bool osApplies = entry.os == kOsAny || (entry.os == m_dwOsCode && entry.os != kOsVista);
    const bool familyApplies = entry.family == kFamilyAny || entry.family == m_dwOsFamily;
    if (!osApplies || !familyApplies) continue;
    std::memset(sectionBuffer.get(), 0, kSectionBufferBytes);
    if (ReadIniSectionA(entry.name, sectionBuffer.get(), kSectionBufferBytes, m_pwszIniPath) == 0) {
      continue;
    }
    const DWORD sectionResult = ProcessSection(sectionBuffer.get(), entry.kind, output);
    if (sectionResult != 0) result = sectionResult;
  }
  sectionBuffer.reset();

  if (m_cbNeeded == 0) {
    const bool sizing = *size == 0;
    *size = 0;
    return sizing ? ERROR_MORE_DATA : result;
  }
  // A last line that ended exactly at the buffer's end was not written: that too needs more room.
  if (m_cbNeeded >= *size) {
    *size = m_cbNeeded + 1;
    ++m_nOutputChars;
    m_cbNeeded = 0;
    return ERROR_MORE_DATA;
  }
  const size_t written = std::strlen(output);
  if (written + 2 <= *size) output[written] = '\n';
  *size = m_cbNeeded + 1;
  ++m_nOutputChars;
  return result;
}

DWORD CRetrieveINI::EvaluateSection(const char* section, SectionKind kind, char* output,
                                    bool takeBackAnyOfLines) {
  int total = 0;
  int satisfied = 0;
  for (const char* line = section; *line != '\0'; line += std::strlen(line) + 1) {
    const char* text = SkipBlanks(line);
    if (*text == ';') continue;

    const char* equals = FindCharInLine(text, '=');
    char key[kItemBufferBytes] = {};
    int dirId = 0;
    if (kind == SectionKind::kFiles) {
      if (equals == nullptr) continue;
      dirId = std::atoi(line);
    } else {
      if (equals == nullptr) return kResultMissing;
      CopyItemKey(key, sizeof(key), text, equals);
    }

    const char* cursor = equals + 1;
    bool anyOf = false;
    if (const char* afterPlus = SkipBlanksAndMatch(cursor, '+')) {
      anyOf = true;
      cursor = afterPlus;
    }

    const size_t neededBefore = m_cbNeeded;
    const int charsBefore = m_nOutputChars;
    const size_t lengthBefore = std::strlen(output);
    int lineTotal = 0;
    int lineSatisfied = 0;
    for (bool last = false; !last;) {
      bool optional = false;
      if (const char* afterStar = SkipBlanksAndMatch(cursor, '*')) {
        optional = true;
        cursor = afterStar;
      }
      char item[kItemBufferBytes] = {};
      if (const char* comma = FindCharInLine(cursor, ',')) {
        CopyItemKey(item, sizeof(item), cursor, comma);
        cursor = comma + 1;
      } else {
        cursor = SkipBlanks(cursor);
        if (*cursor == '\0') break;
        CopyItemKey(item, sizeof(item), cursor, cursor + std::strlen(cursor));
        last = true;
      }
      ++lineTotal;
      bool found = false;
      switch (kind) {
        case SectionKind::kDirId:
          (void)ResolveDirId(key, item);
          found = true;
          break;
        case SectionKind::kFiles:
          found = ProcessItem(GetDirIdFolder(dirId), nullptr, item, kind, optional, output) == 1;
          break;
        case SectionKind::kCom:
        case SectionKind::kService:
          found = ProcessItem(nullptr, key, item, kind, optional, output) == 1;
          break;
      }
      if (found || optional) ++lineSatisfied;
    }

    if (anyOf && lineSatisfied > 0) {
      lineSatisfied = lineTotal;
      if (takeBackAnyOfLines) {
        const size_t length = std::strlen(output);
        std::memset(output + lengthBefore, 0, length - lengthBefore);
        m_cbNeeded = neededBefore;
        m_nOutputChars = charsBefore;
      }
    }
    total += lineTotal;
    satisfied += lineSatisfied;
  }
  return satisfied == total ? 0 : kResultMissing;
}

void CRetrieveINI::EmitLine(char* output, const char* const* parts, size_t count) {
  size_t bytes = 0;
  for (size_t i = 0; i < count; ++i) {
    bytes += std::strlen(parts[i]);
    m_nOutputChars += CountAnsiChars(parts[i]);
  }
  m_cbNeeded += bytes;
  if (m_cbNeeded >= m_cbBuffer) return;
  size_t length = std::strlen(output);
  if (length + bytes >= m_cbBuffer) return;  // earlier lines were left out: never write past them
  for (size_t i = 0; i < count; ++i) {
    const size_t part = std::strlen(parts[i]);
    std::memcpy(output + length, parts[i], part);
    length += part;
  }
  output[length] = '\0';
}

bool CRetrieveINI::ResolveDirId(const char* key, char* value) {
  CharUpperA(value);
  wchar_t folder[kPathBufferChars] = {};
  if (std::strstr(value, "$REG$") != nullptr) {
    if (!ReadRegistryItem(value, false, folder)) return false;
  } else if (std::strstr(value, "%SYSTEMFOLDER%") != nullptr) {
    const UINT length = GetSystemDirectoryW(folder, kPathBufferChars);
    if (length == 0 || length >= kPathBufferChars) return false;
  } else if (std::strstr(value, "CLSID") != nullptr) {
    const char* clsid = std::strchr(value, '{');
    if (clsid == nullptr || !GetClsidServerPath(clsid, folder)) return false;
    wchar_t* cut = std::wcsrchr(folder, L'/');
    if (cut == nullptr) cut = std::wcsrchr(folder, L'\\');
    if (cut == nullptr) return false;
    *cut = L'\0';
  } else {
    // Expanded wide: a variable may name a folder outside the ANSI code page.
    const DWORD length =
        ExpandEnvironmentStringsW(AnsiToWide(value).c_str(), folder, kPathBufferChars);
    if (length == 0 || length > kPathBufferChars) return false;
  }
  m_dirIdFolders[std::atoi(key)] = folder;
  return true;
}

const wchar_t* CRetrieveINI::GetDirIdFolder(int dirId) const {
  const auto found = m_dirIdFolders.find(dirId);
  return found != m_dirIdFolders.end() ? found->second.c_str() : L".";
}

bool CRetrieveINI::ReadRegistryItem(char* item, bool comSection, wchar_t* out) {
  out[0] = L'\0';
  char* key = std::strstr(item, "KEY=");
  char* name = std::strstr(item, "NAME=");
  // The character before NAME= ends the key path; at the item's start there is none.
  if (key == nullptr || name == nullptr || name == item) return false;
  name[-1] = '\0';
  const char* keyPath = key + 4;
  const char* valueName = name + 5;
  HKEY root = HKEY_LOCAL_MACHINE;
  if (comSection) {
    keyPath = ParseRegistryRoot(keyPath, &root);
    if (_stricmp(valueName, "DEFAULT") == 0) valueName = nullptr;
  }
  const std::wstring valueText = valueName != nullptr ? AnsiToWide(valueName) : std::wstring();
  return ReadRegistryStringW(root, AnsiToWide(keyPath).c_str(),
                             valueName != nullptr ? valueText.c_str() : nullptr, out, comSection);
}

bool CRetrieveINI::ResolveItemPath(const wchar_t* folder, char* item, SectionKind kind,
                                   ItemPath* path, const char** displayName) {
  *displayName = nullptr;
  path->wide[0] = L'\0';
  path->ansi[0] = '\0';
  bool resolved = false;
  switch (kind) {
    case SectionKind::kFiles: {
      if (char* dollar = FindLastCharA(item, '$')) {
        *dollar = '\0';
        *displayName = dollar + 1;
      }
      // The ANSI path is what the output shows and what must fit; the wide one is looked up.
      if (!JoinPath(WideToAnsi(folder).c_str(), item, path->ansi)) return false;
      const std::wstring wide = std::wstring(folder) + L"\\" + FileNameToWide(item);
      if (wide.size() >= kPathBufferChars) return false;
      std::wmemcpy(path->wide, wide.c_str(), wide.size() + 1);
      return true;
    }
    case SectionKind::kCom:
      CharUpperA(item);
      resolved = std::strstr(item, "$REG$") != nullptr ? ReadRegistryItem(item, true, path->wide)
                                                       : GetClsidServerPath(item, path->wide);
      break;
    case SectionKind::kService:
      resolved = GetServiceBinaryPath(item, path->wide);
      break;
    case SectionKind::kDirId:
      return false;
  }
  const std::string ansi = WideToAnsi(path->wide);
  CopyItemKey(path->ansi, kItemBufferBytes, ansi.c_str(), ansi.c_str() + ansi.size());
  return resolved;
}

bool CRetrieveINI::JoinPath(const char* folder, const char* file, char* path) {
  const int length = std::snprintf(path, kItemBufferBytes, "%s\\%s", folder, file);
  return length >= 0 && static_cast<size_t>(length) < kItemBufferBytes;
}
