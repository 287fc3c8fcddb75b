#include "versionserver/CGetVersion.h"

#include "versionserver/ComponentLookup.h"

DWORD CGetVersion::ProcessSection(const char* section, SectionKind kind, char* output) {
  return EvaluateSection(section, kind, output, false);
}

int CGetVersion::ProcessItem(const wchar_t* folder, const char* name, char* item, SectionKind kind,
                             bool /*optional*/, char* output) {
  ItemPath path;
  const char* displayName = nullptr;
  if (!ResolveItemPath(folder, item, kind, &path, &displayName) || !FileExistsW(path.wide)) {
    return 0;
  }
  char version[kVersionBufferBytes] = {};
  if (!GetFileVersionString(path.wide, version)) return 1;
  char* separator = FindLastCharA(path.ansi, '\\');
  if (separator == nullptr) separator = FindLastCharA(path.ansi, '/');
  if (separator == nullptr) return 1;
  const char* shown = name;
  if (kind == SectionKind::kFiles) shown = displayName != nullptr ? displayName : separator + 1;
  const char* const parts[] = {shown, "=", version, "\n"};
  EmitLine(output, parts, 4);
  return 1;
}
