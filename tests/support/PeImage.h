// A 64-bit PE file read from disk through its headers, for tests of what a build produced.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace testsupport {

struct PeImage {
  std::string bytes;

  const IMAGE_NT_HEADERS64* Headers() const {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
    return reinterpret_cast<const IMAGE_NT_HEADERS64*>(bytes.data() + dos->e_lfanew);
  }
  // The file offset of |rva|, or 0.
  size_t Offset(DWORD rva) const {
    const IMAGE_NT_HEADERS64* nt = Headers();
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
      if (rva >= section->VirtualAddress &&
          rva < section->VirtualAddress + section->SizeOfRawData) {
        return rva - section->VirtualAddress + section->PointerToRawData;
      }
    }
    return 0;
  }
  template <typename T>
  const T* At(DWORD rva) const {
    return reinterpret_cast<const T*>(bytes.data() + Offset(rva));
  }
  const IMAGE_DATA_DIRECTORY& Directory(int index) const {
    return Headers()->OptionalHeader.DataDirectory[index];
  }
  // The names of the libraries the image imports, in table order.
  std::vector<std::string> ImportedLibraries() const {
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY& imports = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (imports.VirtualAddress == 0) return names;
    for (const auto* import = At<IMAGE_IMPORT_DESCRIPTOR>(imports.VirtualAddress);
         import->Name != 0; ++import) {
      names.emplace_back(At<char>(import->Name));
    }
    return names;
  }
  // The imported libraries that are not in the system folder: with library search restricted to
  // that folder, each of them would keep the image from loading.
  std::vector<std::string> ImportsOutsideSystemFolder() const {
    std::vector<std::string> outside;
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    for (const std::string& name : ImportedLibraries()) {
      const std::wstring path =
          std::wstring(system, length) + L"\\" + std::wstring(name.begin(), name.end());
      if (length == 0 || GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        outside.push_back(name);
      }
    }
    return outside;
  }
  // The names the image exports, sorted; |functions| (when given) receives the number of
  // exported functions, names or not.
  std::vector<std::string> ExportedNames(DWORD* functions = nullptr) const {
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY& directory = Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (functions != nullptr) *functions = 0;
    if (directory.VirtualAddress == 0) return names;
    const auto* exports = At<IMAGE_EXPORT_DIRECTORY>(directory.VirtualAddress);
    if (functions != nullptr) *functions = exports->NumberOfFunctions;
    const DWORD* nameRvas = At<DWORD>(exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) names.emplace_back(At<char>(nameRvas[i]));
    std::sort(names.begin(), names.end());
    return names;
  }
  bool Contains(const BYTE* data, size_t size) const {
    return bytes.find(std::string(reinterpret_cast<const char*>(data), size)) != std::string::npos;
  }
};

}  // namespace testsupport
