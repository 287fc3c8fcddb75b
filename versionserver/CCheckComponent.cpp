#include "versionserver/CCheckComponent.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "versionserver/ComponentLookup.h"

DWORD CCheckComponent::ProcessSection(const char* section, SectionKind kind, char* output) {
  return EvaluateSection(section, kind, output, true);
}

int CCheckComponent::ProcessItem(const wchar_t* folder, const char* /*name*/, char* item,
                                 SectionKind kind, bool optional, char* output) {
  ItemPath path;
  const char* displayName = nullptr;
  const bool resolved = ResolveItemPath(folder, item, kind, &path, &displayName);
  if (kind != SectionKind::kFiles && path.ansi[0] == '\0') {
    CopyItemKey(path.ansi, sizeof(path.ansi), item, item + std::strlen(item));
    const std::wstring wide = FileNameToWide(item);
    const size_t length = wide.size() < kPathBufferChars ? wide.size() : kPathBufferChars - 1;
    std::wmemcpy(path.wide, wide.c_str(), length);
    path.wide[length] = L'\0';
  }
  // A FILES path that was cut is missing whatever the cut path names.
  if ((resolved || kind != SectionKind::kFiles) && FileExistsW(path.wide)) return 1;
  if (!optional) {
    const char* const parts[] = {path.ansi, "\n"};
    EmitLine(output, parts, 2);
  }
  return 0;
}
