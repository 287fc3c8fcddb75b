// Extraction of a "trusted.js" member from a cabinet, offered to the installed list.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <fdi.h>

// The system cabinet library ("Cabinet.dll", from the system folder) and its three FDI
// entry points.
class CCabinetApi {
 public:
  // Loads the library; the object is usable only when all three entry points exist.
  CCabinetApi();
  ~CCabinetApi();
  CCabinetApi(const CCabinetApi&) = delete;
  CCabinetApi& operator=(const CCabinetApi&) = delete;

  bool IsUsable() const { return usable; }

  // Extracts the member "trusted.js" (any letter case) of the cabinet at |cabinetPath|
  // into a temporary file, offers it to ApplyTrustedListUpdate and deletes it. Returns
  // that result (non-zero: the installed list was replaced), or 0 when nothing was
  // extracted or applied.
  [[nodiscard]] DWORD ExtractTrustedListFromCabinet(const wchar_t* cabinetPath) const;

 protected:
  using FdiCreateFn = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE,
                                        PFNSEEK, int, PERF);
  using FdiCopyFn = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
  using FdiDestroyFn = BOOL(DIAMONDAPI*)(HFDI);

  // Uses the given entry points of a stand-in for the library; nothing is loaded or freed.
  CCabinetApi(FdiCreateFn create, FdiCopyFn copy, FdiDestroyFn destroy);

 private:
  HMODULE module = nullptr;
  FdiCreateFn fdiCreate = nullptr;
  FdiCopyFn fdiCopy = nullptr;
  FdiDestroyFn fdiDestroy = nullptr;
  bool usable = false;
};

// |text| in code page |codePage| into |out| (|outSize| bytes, terminator included): false
// when it does not fit or does not convert exactly (a character without equivalent, or
// one replaced by a look-alike).
[[nodiscard]] bool ToExactMultiByte(UINT codePage, const wchar_t* text, char* out, int outSize);

// Largest member accepted as a trusted list; larger members are skipped.
constexpr unsigned long kMaxTrustedListMemberBytes = 4ul * 1024 * 1024;
