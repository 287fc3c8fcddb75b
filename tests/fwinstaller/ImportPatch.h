// Replaces one imported function of the running program for the life of the object, to
// make a platform call fail where no real condition can be arranged.
#pragma once

#include <windows.h>

#include <cstring>

namespace fwtest {

class ScopedImportPatch {
 public:
  // Patches |function| of |dll| (names compared as the import table holds them, the DLL
  // name without case) in the program's own import table.
  ScopedImportPatch(const char* dll, const char* function, void* replacement) {
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         d->Name; ++d) {
      if (_stricmp(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
      auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
      auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
      for (; names->u1.AddressOfData; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        const auto* byName =
            reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
        if (strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
        m_slot = reinterpret_cast<void**>(&slots->u1.Function);
        m_original = Swap(replacement);
        return;
      }
    }
  }
  ~ScopedImportPatch() {
    if (m_slot) Swap(m_original);
  }
  ScopedImportPatch(const ScopedImportPatch&) = delete;
  ScopedImportPatch& operator=(const ScopedImportPatch&) = delete;

  // False when the program does not import the function.
  bool ok() const { return m_slot != nullptr; }

 private:
  void* Swap(void* value) {
    DWORD protection = 0;
    VirtualProtect(m_slot, sizeof(void*), PAGE_READWRITE, &protection);
    void* previous = *m_slot;
    *m_slot = value;
    VirtualProtect(m_slot, sizeof(void*), protection, &protection);
    return previous;
  }

  void** m_slot = nullptr;
  void* m_original = nullptr;
};

}  // namespace fwtest
