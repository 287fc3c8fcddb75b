#include "versionserver/CGetVersion.h"

#include "versionserver/ComponentLookup.h"

DWORD CGetVersion::ProcessSection(const char* section, SectionKind kind, char* output) {
  return EvaluateSection(section, kind, output, false);
}

int CGetVersion::ProcessItem(const char* folderOrName, char* item, SectionKind kind,
                             bool /*optional*/, char* output) {
  char path[kItemBufferBytes] = {};
  const char* displayName = nullptr;
  if (!ResolveItemPath(folderOrName, item, kind, path, &displayName) || !FileExistsA(path)) {
    return 0;
  }
  char version[kVersionBufferBytes] = {};
  if (!GetFileVersionString(path, version)) return 1;
  char* separator = FindLastCharA(path, '\\');
  if (separator == nullptr) separator = FindLastCharA(path, '/');
  if (separator == nullptr) return 1;
  const char* name = folderOrName;
  if (kind == SectionKind::kFiles) name = displayName != nullptr ? displayName : separator + 1;
  const char* const parts[] = {name, "=", version, "\n"};
  EmitLine(output, parts, 4);
  return 1;
}
