// Extraction of "trusted.js" from a cabinet with the system's FDI functions.
#include "trust/CabinetExtract.h"

#include <windows.h>
// These need <windows.h> first.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <shlwapi.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <wchar.h>

#include <memory>
#include <new>
#include <string>

#include "basalt/LibraryUtils.h"
#include "trust/TrustPlatform.h"
#include "trust/TrustedList.h"

namespace {

struct ExtractionContext {
  DWORD extracted;      // 1 when the member was written and closed without error
  char path[MAX_PATH];  // the temporary file
  INT_PTR openFile;     // the member's file while FDI writes it, else -1
  long memberBytes;     // the member's size, as its entry gives it
  long writtenBytes;    // bytes written to the member's file
};

// The extraction that FDI runs on this thread: FDI hands the write and close callbacks
// only the descriptor.
thread_local ExtractionContext* t_extraction = nullptr;

FNALLOC(CabAlloc) { return malloc(cb); }
FNFREE(CabFree) { free(pv); }
FNOPEN(CabOpen) {
  const int fd = _sopen(pszFile, oflag, _SH_DENYNO, pmode);
  return fd;
}
FNREAD(CabRead) { return static_cast<UINT>(_read(static_cast<int>(hf), pv, cb)); }
FNWRITE(CabWrite) {
  const int written = _write(static_cast<int>(hf), pv, cb);
  if (written > 0 && t_extraction != nullptr && t_extraction->openFile == hf) {
    t_extraction->writtenBytes += written;
  }
  return static_cast<UINT>(written);
}
FNCLOSE(CabClose) {
  // On its error road FDI closes the member here: the extraction must not close that
  // number again, which may by then be another thread's file.
  if (t_extraction != nullptr && t_extraction->openFile == hf) t_extraction->openFile = -1;
  return TrustPlatform::CloseCabinetFile(static_cast<int>(hf));
}
FNSEEK(CabSeek) { return _lseek(static_cast<int>(hf), dist, seektype); }

template <typename T>
T ProcAs(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void RemoveExtracted(const char* path) {
  if (path[0] == '\0') return;
  // A member marked read-only must not leave an undeletable file behind.
  SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(path);
}

// Creates "<temp>\truXXXX.js" exclusively (never an existing file, however it got there)
// and removes the placeholder that GetTempFileNameA made. The descriptor, or -1.
INT_PTR CreateMemberFile(ExtractionContext* context) {
  char folder[MAX_PATH];
  const DWORD n = GetTempPathA(MAX_PATH, folder);
  if (n == 0 || n >= MAX_PATH) return -1;
  for (int attempt = 0; attempt < 8; ++attempt) {
    char placeholder[MAX_PATH];
    if (GetTempFileNameA(folder, "trustedjs", 0, placeholder) == 0) return -1;
    char candidate[MAX_PATH];
    lstrcpynA(candidate, placeholder, MAX_PATH);
    PathRemoveExtensionA(candidate);
    if (!PathAddExtensionA(candidate, ".js")) {
      DeleteFileA(placeholder);
      return -1;
    }
    const int fd = _sopen(candidate, _O_BINARY | _O_CREAT | _O_EXCL | _O_TRUNC | _O_WRONLY,
                          _SH_DENYNO, _S_IREAD | _S_IWRITE);
    const int openError = errno;
    DeleteFileA(placeholder);
    if (fd != -1) {
      lstrcpynA(context->path, candidate, MAX_PATH);
      context->openFile = fd;
      return fd;
    }
    if (openError != EEXIST) return -1;
  }
  return -1;
}

FNFDINOTIFY(CabNotify) {
  auto* context = static_cast<ExtractionContext*>(pfdin->pv);
  switch (fdint) {
    case fdintCOPY_FILE:
      if (pfdin->psz1 == nullptr || lstrcmpiA(pfdin->psz1, "trusted.js") != 0) return 0;
      if (static_cast<unsigned long>(pfdin->cb) > kMaxTrustedListMemberBytes) return 0;
      // A second member of that name replaces the first, which must not be left behind.
      RemoveExtracted(context->path);
      context->path[0] = '\0';
      context->extracted = 0;
      context->memberBytes = pfdin->cb;
      context->writtenBytes = 0;
      return CreateMemberFile(context);
    case fdintCLOSE_FILE_INFO: {
      const int closed = TrustPlatform::CloseCabinetFile(static_cast<int>(pfdin->hf));
      context->openFile = -1;
      // The library may also announce the close of a member that the cabinet ends inside
      // (Wine's does): only a member of its full size is extracted.
      context->extracted = closed == 0 && context->writtenBytes == context->memberBytes ? 1 : 0;
      // Read-only is not carried over: the file is deleted after use and its copy must
      // stay replaceable.
      DWORD attributes = pfdin->attribs & 0x27 & ~FILE_ATTRIBUTE_READONLY;
      SetFileAttributesA(context->path, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
      return -1;
    }
    default:
      return 0;
  }
}

}  // namespace

bool ToExactMultiByte(UINT codePage, const wchar_t* text, char* out, int outSize) {
  if (text == nullptr || out == nullptr || outSize <= 0) return false;
  // The flags that report an inexact conversion directly are refused by some code pages
  // (UTF-8 among them): the way back shows it instead.
  const int size = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0 || size > outSize ||
      WideCharToMultiByte(codePage, 0, text, -1, out, outSize, nullptr, nullptr) != size) {
    return false;
  }
  // A way back longer than the text does not fit, a shorter one is not equal.
  const size_t chars = wcslen(text) + 1;
  std::unique_ptr<wchar_t[]> back(new (std::nothrow) wchar_t[chars]);
  return back &&
         MultiByteToWideChar(codePage, 0, out, -1, back.get(), static_cast<int>(chars)) ==
             static_cast<int>(chars) &&
         wmemcmp(back.get(), text, chars) == 0;
}

CCabinetApi::CCabinetApi() {
  // From the system folder only: this code also runs inside client processes, whose own
  // folders come first in the default search order.
  module = Basalt::LoadSystemLibrary(L"Cabinet.dll");
  if (module == nullptr) return;
  fdiCreate = ProcAs<FdiCreateFn>(module, "FDICreate");
  fdiCopy = ProcAs<FdiCopyFn>(module, "FDICopy");
  fdiDestroy = ProcAs<FdiDestroyFn>(module, "FDIDestroy");
  usable = fdiCreate != nullptr && fdiCopy != nullptr && fdiDestroy != nullptr;
}

CCabinetApi::CCabinetApi(FdiCreateFn create, FdiCopyFn copy, FdiDestroyFn destroy)
    : fdiCreate(create), fdiCopy(copy), fdiDestroy(destroy) {
  usable = fdiCreate != nullptr && fdiCopy != nullptr && fdiDestroy != nullptr;
}

CCabinetApi::~CCabinetApi() {
  if (module != nullptr) FreeLibrary(module);
}

DWORD CCabinetApi::ExtractTrustedListFromCabinet(const wchar_t* cabinetPath) const {
  if (!usable || cabinetPath == nullptr || *cabinetPath == L'\0') return 0;
  // A path that the ANSI code page cannot express names no cabinet.
  char ansiPath[MAX_PATH];
  if (!ToExactMultiByte(CP_THREAD_ACP, cabinetPath, ansiPath, MAX_PATH)) return 0;
  char name[MAX_PATH];
  lstrcpynA(name, PathFindFileNameA(ansiPath), MAX_PATH);
  char folder[MAX_PATH];
  lstrcpynA(folder, ansiPath, MAX_PATH);
  PathRemoveFileSpecA(folder);
  const size_t folderLength = strlen(folder);
  if (folderLength + 1 >= MAX_PATH) return 0;
  folder[folderLength] = '\\';
  folder[folderLength + 1] = '\0';

  ERF error = {};
  HFDI fdi = fdiCreate(CabAlloc, CabFree, CabOpen, CabRead, CabWrite, CabClose, CabSeek, cpuUNKNOWN,
                       &error);
  if (fdi == nullptr) return 0;
  ExtractionContext context = {};
  context.openFile = -1;
  t_extraction = &context;
  (void)fdiCopy(fdi, name, folder, 0, CabNotify, nullptr, &context);
  fdiDestroy(fdi);
  t_extraction = nullptr;
  if (context.openFile != -1) {
    // FDI gave up while writing the member and left it open: it is incomplete.
    (void)TrustPlatform::CloseCabinetFile(static_cast<int>(context.openFile));
    context.extracted = 0;
  }

  DWORD result = 0;
  if (context.path[0] != '\0' && PathFileExistsA(context.path)) {
    if (context.extracted == 1) {
      wchar_t widePath[MAX_PATH];
      if (MultiByteToWideChar(CP_THREAD_ACP, 0, context.path, -1, widePath, MAX_PATH) > 0) {
        result = ApplyTrustedListUpdate(widePath) ? 1 : 0;
      }
    }
    RemoveExtracted(context.path);
  }
  return result;
}
