#include "versionserver/QxGetVersion.h"

#include <cstring>
#include <memory>
#include <new>

#include "basalt/UniqueHandle.h"
#include "versionserver/CCheckComponent.h"
#include "versionserver/CGetVersion.h"
#include "versionserver/ComponentLookup.h"

namespace {

// The temporary folder and the temporary description file of one call. Wide, so that a
// temporary folder outside the ANSI code page (a user profile's name is enough) works.
struct TempIniPaths {
  wchar_t folder[kPathBufferChars];
  wchar_t file[kPathBufferChars];
};

template <class Evaluator>
DWORD RunFromIniResource(HMODULE module, UINT resourceId, const char* type, char* output,
                         size_t* size, int* chars) {
  *chars = 0;
  std::unique_ptr<TempIniPaths> paths(new (std::nothrow) TempIniPaths{});
  if (!paths) return ERROR_NOT_ENOUGH_MEMORY;
  const DWORD folderLength = GetTempPathW(kPathBufferChars, paths->folder);
  if (folderLength == 0 || folderLength >= kPathBufferChars ||
      GetTempFileNameW(paths->folder, L"ver", 0, paths->file) == 0) {
    paths->file[0] = L'\0';
  }
  // Declared before the evaluator, so the file outlives its reads and goes on every road.
  const auto removeFile = Basalt::MakeScopeExit([&paths] {
    if (paths->file[0] != L'\0') DeleteFileW(paths->file);
  });
  if (!ExtractIniResource(module, resourceId, type, paths->file)) return ERROR_INVALID_DATA;

  // The evaluation allocates as it goes (folders of dir-ids, lookups): memory that runs out
  // there is a result, not an exception out of the entry point.
  try {
    Evaluator evaluator(paths->file);
    std::unique_ptr<char[]> sectionBuffer(
        new (std::nothrow) char[CRetrieveINI::kSectionBufferBytes]);
    if (!sectionBuffer) return ERROR_OUTOFMEMORY;
    const DWORD code = evaluator.ProcessSections(output, size, std::move(sectionBuffer));
    *chars = evaluator.OutputChars();
    return code;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

using AnsiWorker = DWORD (*)(HMODULE, UINT, const char*, char*, size_t*, int*);

// Bytes that one character of the thread's code page may take.
UINT MaxBytesPerChar() {
  CPINFO info = {};
  return GetCPInfo(CP_THREAD_ACP, &info) && info.MaxCharSize > 0 ? info.MaxCharSize : 4;
}

DWORD RunWide(AnsiWorker worker, HMODULE module, UINT resourceId, const wchar_t* type,
              wchar_t* buffer, DWORD* length) {
  if (length == nullptr) return ERROR_INVALID_PARAMETER;

  std::unique_ptr<char[]> typeText;
  const char* ansiType = reinterpret_cast<const char*>(type);  // a resource number stays one
  if (type != nullptr && !IS_INTRESOURCE(type)) {
    const int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, type, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return ERROR_INVALID_DATA;
    typeText.reset(new (std::nothrow) char[static_cast<size_t>(bytes)]);
    if (!typeText) return ERROR_NOT_ENOUGH_MEMORY;
    WideCharToMultiByte(CP_THREAD_ACP, 0, type, -1, typeText.get(), bytes, nullptr, nullptr);
    ansiType = typeText.get();
  }

  int chars = 0;
  if (buffer == nullptr) {
    *length = 0;
    size_t size = 0;
    const DWORD code = worker(module, resourceId, ansiType, nullptr, &size, &chars);
    *length = static_cast<DWORD>(chars);
    return code;
  }

  // The caller counts characters; the evaluation counts bytes of the code page, where one
  // character may take several.
  const DWORD capacity = *length;
  size_t size = static_cast<size_t>(capacity) * MaxBytesPerChar();
  std::unique_ptr<char[]> text(new (std::nothrow) char[size + 1]);
  if (!text) return ERROR_NOT_ENOUGH_MEMORY;
  text[0] = '\0';
  DWORD code = worker(module, resourceId, ansiType, text.get(), &size, &chars);
  if ((code == 0 || code == 2) && static_cast<DWORD>(chars) > capacity) code = ERROR_MORE_DATA;
  if (code == ERROR_MORE_DATA) {
    if (capacity > 0) buffer[0] = L'\0';
    *length = static_cast<DWORD>(chars);
  } else if (code == 0 || code == 2) {
    *length = static_cast<DWORD>(chars);
    // Every line fits; only the closing line end may not, as with a single-byte code page.
    const int needed = MultiByteToWideChar(CP_THREAD_ACP, 0, text.get(), -1, nullptr, 0);
    const size_t bytes = std::strlen(text.get());
    if (needed > 0 && static_cast<DWORD>(needed) > capacity && bytes > 0) text[bytes - 1] = '\0';
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, text.get(), -1, buffer, static_cast<int>(capacity)) ==
        0) {
      buffer[0] = L'\0';
    }
  }
  return code;
}

}  // namespace

DWORD GetVersionFromIniResource(HMODULE module, UINT resourceId, const char* type, char* output,
                                size_t* size, int* chars) {
  return RunFromIniResource<CGetVersion>(module, resourceId, type, output, size, chars);
}

DWORD CheckComponentsFromIniResource(HMODULE module, UINT resourceId, const char* type,
                                     char* output, size_t* size, int* chars) {
  return RunFromIniResource<CCheckComponent>(module, resourceId, type, output, size, chars);
}

DWORD QxGetVersion(HMODULE module, UINT resourceId, const wchar_t* type, wchar_t* buffer,
                   DWORD* length) {
  return RunWide(&GetVersionFromIniResource, module, resourceId, type, buffer, length);
}

DWORD QxCheckComponents(HMODULE module, UINT resourceId, const wchar_t* type, wchar_t* buffer,
                        DWORD* length) {
  return RunWide(&CheckComponentsFromIniResource, module, resourceId, type, buffer, length);
}

bool ExtractIniResource(HMODULE module, UINT resourceId, const char* type, const wchar_t* file) {
  HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(resourceId), type);
  if (resource == nullptr) return false;
  const DWORD bytes = SizeofResource(module, resource);
  if (bytes == 0) return false;
  HGLOBAL loaded = LoadResource(module, resource);
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr) return false;
  Basalt::UniqueFile out(
      CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) return false;
  DWORD written = 0;
  return WriteFile(out.get(), data, bytes, &written, nullptr) && written == bytes;
}
