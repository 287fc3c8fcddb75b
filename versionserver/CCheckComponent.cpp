#include "versionserver/CCheckComponent.h"

#include <cstring>

#include "versionserver/ComponentLookup.h"

DWORD CCheckComponent::ProcessSection(const char* section, SectionKind kind, char* output) {
  return EvaluateSection(section, kind, output, true);
}

int CCheckComponent::ProcessItem(const char* folderOrName, char* item, SectionKind kind,
                                 bool optional, char* output) {
  char path[kItemBufferBytes] = {};
  const char* displayName = nullptr;
  const bool resolved = ResolveItemPath(folderOrName, item, kind, path, &displayName);
  if (kind != SectionKind::kFiles && path[0] == '\0') {
    CopyItemKey(path, sizeof(path), item, item + std::strlen(item));
  }
  // A FILES path that was cut is missing whatever the cut path names.
  if ((resolved || kind != SectionKind::kFiles) && FileExistsA(path)) return 1;
  if (!optional) {
    const char* const parts[] = {path, "\n"};
    EmitLine(output, parts, 2);
  }
  return 0;
}
