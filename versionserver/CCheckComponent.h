// Evaluator that lists the path of every required component that is missing.
#pragma once

#include "versionserver/CRetrieveINI.h"

class CCheckComponent : public CRetrieveINI {
 public:
  using CRetrieveINI::CRetrieveINI;

 protected:
  DWORD ProcessSection(const char* section, SectionKind kind, char* output) override;
  // 1 when the item's file exists; otherwise 0, and unless |optional| writes "path\n" (an
  // unresolved COM or SERVICE item stands for its own path).
  int ProcessItem(const wchar_t* folder, const char* name, char* item, SectionKind kind,
                  bool optional, char* output) override;
};
