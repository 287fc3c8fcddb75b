#include "versionserver/CRetrieveINI.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
  const char* name;
  SectionKind kind;
  DWORD os;
  DWORD family;
  bool win64;  // marks the -win64 sections; nothing reads it
};

// In reading order: all directory IDs are known before the first FILES line.
constexpr SectionEntry kSections[] = {
    {"DirID", SectionKind::kDirId, kOsAny, kFamilyAny, false},
    {"DirID-win98", SectionKind::kDirId, kOsWin98, kFamilyAny, false},
    {"DirID-winme", SectionKind::kDirId, kOsWinMe, kFamilyAny, false},
    {"DirID-win2k", SectionKind::kDirId, kOsWin2k, kFamilyAny, false},
    {"DirID-winxp", SectionKind::kDirId, kOsWinXp, kFamilyAny, false},
    {"DirID-VISTA", SectionKind::kDirId, kOsVista, kFamilyAny, false},
    {"DirID-all9x", SectionKind::kDirId, kOsAny, kFamily9x, false},
    {"DirID-allnt", SectionKind::kDirId, kOsAny, kFamilyNt, false},
    {"DirID-win64", SectionKind::kDirId, kOsAny, kFamilyAny, true},
    {"FILES", SectionKind::kFiles, kOsAny, kFamilyAny, false},
    {"FILES-win98", SectionKind::kFiles, kOsWin98, kFamilyAny, false},
    {"FILES-winme", SectionKind::kFiles, kOsWinMe, kFamilyAny, false},
    {"FILES-win2k", SectionKind::kFiles, kOsWin2k, kFamilyAny, false},
    {"FILES-winxp", SectionKind::kFiles, kOsWinXp, kFamilyAny, false},
    {"FILES-VISTA", SectionKind::kFiles, kOsVista, kFamilyAny, false},
    {"FILES-all9x", SectionKind::kFiles, kOsAny, kFamily9x, false},
    {"FILES-allnt", SectionKind::kFiles, kOsAny, kFamilyNt, false},
    {"FILES-win64", SectionKind::kFiles, kOsAny, kFamilyAny, true},
    {"COM", SectionKind::kCom, kOsAny, kFamilyAny, false},
    {"COM-win98", SectionKind::kCom, kOsWin98, kFamilyAny, false},
    {"COM-winme", SectionKind::kCom, kOsWinMe, kFamilyAny, false},
    {"COM-win2k", SectionKind::kCom, kOsWin2k, kFamilyAny, false},
    {"COM-winxp", SectionKind::kCom, kOsWinXp, kFamilyAny, false},
    {"COM-VISTA", SectionKind::kCom, kOsVista, kFamilyAny, false},
    {"COM-all9x", SectionKind::kCom, kOsAny, kFamily9x, false},
    {"COM-allnt", SectionKind::kCom, kOsAny, kFamilyNt, false},
    {"COM-win64", SectionKind::kCom, kOsAny, kFamilyAny, true},
    {"SERVICE", SectionKind::kService, kOsAny, kFamilyNt, false},
    {"SERVICE-win2k", SectionKind::kService, kOsWin2k, kFamilyAny, false},
    {"SERVICE-winxp", SectionKind::kService, kOsWinXp, kFamilyAny, false},
    {"SERVICE-VISTA", SectionKind::kService, kOsVista, kFamilyAny, false},
    {"SERVICE-allnt", SectionKind::kService, kOsAny, kFamilyNt, false},
    {"SERVICE-win64", SectionKind::kService, kOsAny, kFamilyNt, true},
};
static_assert(sizeof(kSections) / sizeof(kSections[0]) == 33, "the section table has 33 entries");

constexpr DWORD kResultMissing = 2;

}  // namespace

CRetrieveINI::CRetrieveINI(const char* iniPath)
    : m_pszIniPath(iniPath),
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
    if (GetPrivateProfileSectionA(entry.name, sectionBuffer.get(), kSectionBufferBytes,
                                  m_pszIniPath) == 0) {
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
          found = ProcessItem(GetDirIdFolder(dirId), item, kind, optional, output) == 1;
          break;
        case SectionKind::kCom:
        case SectionKind::kService:
          found = ProcessItem(key, item, kind, optional, output) == 1;
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
  char folder[kItemBufferBytes] = {};
  if (std::strstr(value, "$REG$") != nullptr) {
    if (!ReadRegistryItem(value, false, folder)) return false;
  } else if (std::strstr(value, "%SYSTEMFOLDER%") != nullptr) {
    const UINT length = GetSystemDirectoryA(folder, kItemBufferBytes);
    if (length == 0 || length >= kItemBufferBytes) return false;
  } else if (std::strstr(value, "CLSID") != nullptr) {
    const char* clsid = std::strchr(value, '{');
    if (clsid == nullptr || !GetClsidServerPath(clsid, folder)) return false;
    char* cut = FindLastCharA(folder, '/');
    if (cut == nullptr) cut = FindLastCharA(folder, '\\');
    if (cut == nullptr) return false;
    *cut = '\0';
  } else {
    const DWORD length = ExpandEnvironmentStringsA(value, folder, kItemBufferBytes);
    if (length == 0 || length > kItemBufferBytes) return false;
  }
  m_dirIdFolders[std::atoi(key)] = folder;
  return true;
}

const char* CRetrieveINI::GetDirIdFolder(int dirId) const {
  const auto found = m_dirIdFolders.find(dirId);
  return found != m_dirIdFolders.end() ? found->second.c_str() : ".";
}

bool CRetrieveINI::ReadRegistryItem(char* item, bool comSection, char* out) {
  out[0] = '\0';
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
  return ReadRegistryStringA(root, keyPath, valueName, out, comSection);
}

bool CRetrieveINI::ResolveItemPath(const char* folder, char* item, SectionKind kind, char* path,
                                   const char** displayName) {
  *displayName = nullptr;
  path[0] = '\0';
  switch (kind) {
    case SectionKind::kFiles:
      if (char* dollar = FindLastCharA(item, '$')) {
        *dollar = '\0';
        *displayName = dollar + 1;
      }
      return JoinPath(folder, item, path);
    case SectionKind::kCom:
      CharUpperA(item);
      if (std::strstr(item, "$REG$") != nullptr) return ReadRegistryItem(item, true, path);
      return GetClsidServerPath(item, path);
    case SectionKind::kService:
      return GetServiceBinaryPath(item, path);
    case SectionKind::kDirId:
      break;
  }
  return false;
}

bool CRetrieveINI::JoinPath(const char* folder, const char* file, char* path) {
  const int length = std::snprintf(path, kItemBufferBytes, "%s\\%s", folder, file);
  return length >= 0 && static_cast<size_t>(length) < kItemBufferBytes;
}
