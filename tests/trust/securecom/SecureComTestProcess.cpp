// A client process of the caller-check tests, its program file signed
// (SecureComTestProcess_signed.exe) or not (SecureComTestProcess.exe). Command line:
//   [option ...] <event name>
// It waits until that event is set (at most 30 s), then ends with 0, or with the first failing
// HRESULT of its calls. Options, in the order they are given:
//   call           at once, asks the running class object of CLSID_SecureComProbe (a local server)
//                  for IQxClassFactory, and after the event calls its CreateObject;
//   twice:<file>   the same, twice (once when the first fails), and writes the time of each call
//                  in microseconds to <file> ("<first> <second>");
//   swap:<file>    at once, renames its own program file to <name>.old and copies <file> to its
//                  path;
//   record:<file>  at once, maps <file> as an image, relocates it as the loader would and records
//                  that mapping as its own image base in its process environment block;
//   reserve:<hex>  at once, commits zero-filled memory from its image base + <hex> on, up to
//                  4 GiB past its base (where a hostile image claims to go on).
// Setup failures end it with 2 to 9. Built with SECURECOM_BULK_BYTES, it carries that many bytes of
// read-only data (SecureComLargeProcess.exe: a large client).
#include <objbase.h>
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "tests/trust/securecom/SecureComTestServer.h"

#ifdef SECURECOM_BULK_BYTES
extern "C" __attribute__((used)) const unsigned char securecom_bulk[SECURECOM_BULK_BYTES] = {1};
#endif

namespace {

// The running class object of CLSID_SecureComProbe, asked for before anything else is done (a
// process that records another image as its own may no longer get through COM's set-up).
class Factory {
 public:
  HRESULT Get() {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) return hr;
    m_initialized = true;
    return CoGetClassObject(CLSID_SecureComProbe, CLSCTX_LOCAL_SERVER, nullptr, IID_IQxClassFactory,
                            reinterpret_cast<void**>(&m_factory));
  }
  ~Factory() {
    if (m_factory != nullptr) m_factory->Release();
    if (m_initialized) CoUninitialize();
  }

  // The time of the call in microseconds in |*micros|.
  HRESULT CreateObject(LONGLONG* micros) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    IUnknown* object = nullptr;
    const HRESULT hr = m_factory->CreateObject(IID_IUnknown, reinterpret_cast<void**>(&object));
    QueryPerformanceCounter(&end);
    if (object != nullptr) object->Release();
    *micros = (end.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart;
    return hr;
  }

 private:
  bool m_initialized = false;
  IQxClassFactory* m_factory = nullptr;
};

bool Swap(const std::wstring& with) {
  wchar_t self[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  return MoveFileExW(self, (std::wstring(self) + L".old").c_str(), 0) &&
         CopyFileW(with.c_str(), self, FALSE);
}

// Applies the base relocations of the image mapped at |view|, as the loader would have.
bool Relocate(BYTE* view) {
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(
      view + reinterpret_cast<IMAGE_DOS_HEADER*>(view)->e_lfanew);
  const ULONGLONG delta = reinterpret_cast<ULONG_PTR>(view) - nt->OptionalHeader.ImageBase;
  const IMAGE_DATA_DIRECTORY& relocations =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
  if (delta == 0 || relocations.Size == 0) return true;
  DWORD old = 0;
  if (!VirtualProtect(view, nt->OptionalHeader.SizeOfImage, PAGE_READWRITE, &old)) return false;
  for (DWORD at = 0; at + 8 <= relocations.Size;) {
    const auto* block =
        reinterpret_cast<IMAGE_BASE_RELOCATION*>(view + relocations.VirtualAddress + at);
    if (block->SizeOfBlock < 8) break;
    const auto* entries = reinterpret_cast<const WORD*>(block + 1);
    for (DWORD i = 0; i < (block->SizeOfBlock - 8) / 2; ++i) {
      if (entries[i] >> 12 == IMAGE_REL_BASED_DIR64) {
        *reinterpret_cast<ULONGLONG*>(view + block->VirtualAddress + (entries[i] & 0xFFF)) += delta;
      }
    }
    at += block->SizeOfBlock;
  }
  return true;
}

void** g_recorded = nullptr;
void* g_ownBase = nullptr;

bool Record(const std::wstring& file) {
  HANDLE opened = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_EXECUTE, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return false;
  HANDLE section =
      CreateFileMappingW(opened, nullptr, PAGE_EXECUTE_READ | SEC_IMAGE, 0, 0, nullptr);
  CloseHandle(opened);
  if (section == nullptr) return false;
  void* view = MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_EXECUTE, 0, 0, 0);
  CloseHandle(section);
  if (view == nullptr || !Relocate(static_cast<BYTE*>(view))) return false;
  PROCESS_BASIC_INFORMATION basic = {};
  if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof(basic),
                                nullptr) != 0) {
    return false;
  }
  g_recorded = reinterpret_cast<void**>(reinterpret_cast<BYTE*>(basic.PebBaseAddress) + 0x10);
  g_ownBase = *g_recorded;
  *g_recorded = view;
  return true;
}

// Puts the process's own image back in its record once the calls are made: the system's own
// code at the end of a process (and of the threads COM made) reads it.
void Unrecord() {
  if (g_recorded != nullptr) *g_recorded = g_ownBase;
}

bool Reserve(const std::wstring& offset) {
  const ULONGLONG from = wcstoull(offset.c_str(), nullptr, 16);
  const ULONG_PTR base = reinterpret_cast<ULONG_PTR>(GetModuleHandleW(nullptr));
  constexpr ULONGLONG kGranule = 64 * 1024;
  const ULONGLONG start = from / kGranule * kGranule;
  const ULONGLONG end = 0x100000000ull + kGranule;
  return from < end && VirtualAlloc(reinterpret_cast<void*>(base + start), end - start,
                                    MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  int calls = 0;
  std::wstring timings;
  for (int i = 1; i + 1 < argc; ++i) {
    if (wcscmp(argv[i], L"call") == 0) calls = 1;
    if (wcsncmp(argv[i], L"twice:", 6) == 0) calls = 2;
  }
  Factory factory;
  if (calls > 0) {
    const HRESULT hr = factory.Get();
    if (FAILED(hr)) return static_cast<int>(hr);
  }
  for (int i = 1; i + 1 < argc; ++i) {
    const std::wstring option = argv[i];
    const size_t colon = option.find(L':');
    const std::wstring name = option.substr(0, colon);
    const std::wstring value = colon == std::wstring::npos ? L"" : option.substr(colon + 1);
    if (name == L"call") {
    } else if (name == L"twice") {
      timings = value;
    } else if (name == L"swap") {
      if (!Swap(value)) return 5;
    } else if (name == L"record") {
      if (!Record(value)) return 6;
    } else if (name == L"reserve") {
      if (!Reserve(value)) return 7;
    } else {
      return 2;
    }
  }
  HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, argv[argc - 1]);
  if (go == nullptr) return 3;
  const DWORD waited = WaitForSingleObject(go, 30000);
  CloseHandle(go);
  if (waited != WAIT_OBJECT_0) return 4;
  LONGLONG micros[2] = {0, 0};
  HRESULT result = S_OK;
  for (int i = 0; i < calls && SUCCEEDED(result); ++i) result = factory.CreateObject(&micros[i]);
  Unrecord();
  if (!timings.empty()) {
    FILE* out = _wfopen(timings.c_str(), L"w");
    if (out == nullptr) return 8;
    fprintf(out, "%lld %lld\n", micros[0], micros[1]);
    fclose(out);
  }
  return static_cast<int>(result);
}
