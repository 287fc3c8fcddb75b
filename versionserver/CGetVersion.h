// Evaluator that lists "name=version" for every described component it finds.
#pragma once

#include "versionserver/CRetrieveINI.h"

class CGetVersion : public CRetrieveINI {
 public:
  using CRetrieveINI::CRetrieveINI;

 protected:
  DWORD ProcessSection(const char* section, SectionKind kind, char* output) override;
  // 1 when the item's file exists; then, when it has a version and a path with a folder, writes
  // "name=version\n" (name: the display name, the file name, or the line's key).
  int ProcessItem(const wchar_t* folder, const char* name, char* item, SectionKind kind,
                  bool optional, char* output) override;
};
