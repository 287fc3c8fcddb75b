#include "trust/SecureCom.h"

#include <psapi.h>
#include <rpcdcep.h>
#include <wrl/client.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "basalt/FileUtils.h"
#include "basalt/UniqueHandle.h"
#include "trust/CallerVerdictCache.h"
#include "trust/CodeTrust.h"
#include "trust/HeldFile.h"
#include "trust/MappedImage.h"
#include "trust/TrustPlatform.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD kMaxModules = 4096;
// Long enough for any path the system gives, so that no path is judged by a cut prefix that may
// name some other (trusted) file.
constexpr DWORD kLongPathChars = 32768;

// Reads one pointer from memory that may be unmapped: returns 1 with |*to| set, or 0 when the load
// faulted. A fault at the load instruction is turned by GuardedReadHandler into a jump to the
// recovery label.
extern "C" char qx_guarded_read_load[];
extern "C" char qx_guarded_read_recover[];
extern "C" __attribute__((naked, noinline)) int qx_guarded_read_pointer(const void* const* /*from*/,
                                                                        const void** /*to*/) {
  asm(".globl qx_guarded_read_load\n"
      "qx_guarded_read_load:\n"
      "\tmovq (%rcx), %rax\n"
      "\tmovq %rax, (%rdx)\n"
      "\tmovl $1, %eax\n"
      "\tret\n"
      ".globl qx_guarded_read_recover\n"
      "qx_guarded_read_recover:\n"
      "\txorl %eax, %eax\n"
      "\tret\n");
}

LONG CALLBACK GuardedReadHandler(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION &&
      info->ContextRecord->Rip == reinterpret_cast<DWORD64>(qx_guarded_read_load)) {
    info->ContextRecord->Rip = reinterpret_cast<DWORD64>(qx_guarded_read_recover);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

// The handler is added per read and removed again, so none stays behind when a library that
// links this code is unloaded.
bool ReadPointerGuarded(const void* const* from, const void** to) noexcept {
  PVOID handler = AddVectoredExceptionHandler(1, GuardedReadHandler);
  if (handler == nullptr) return false;
  const bool ok = qx_guarded_read_pointer(from, to) != 0;
  RemoveVectoredExceptionHandler(handler);
  return ok;
}

// A failed call that left no error code must still not read as success.
DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : fallback;
}

// The class object under whichever of the two factory interfaces it answered.
struct SecureClassObject {
  ComPtr<IQxClassFactory> current;
  ComPtr<IQxClassFactory_PreComponentization> older;

  IUnknown* Get() const {
    return current ? static_cast<IUnknown*>(current.Get()) : static_cast<IUnknown*>(older.Get());
  }
  HRESULT CreateObject(REFIID iid, void** out) const {
    return current ? current->CreateObject(iid, out) : older->CreateObject(iid, out);
  }
};

// Asks for IQxClassFactory, then for the older IID; returns the last request's result. A pointer
// handed back with a failure is released.
HRESULT GetSecureClassObject(REFCLSID clsid, DWORD clsContext, SecureClassObject& factory) {
  ComPtr<IQxClassFactory> current;
  HRESULT hr = CoGetClassObject(clsid, clsContext, nullptr, IID_IQxClassFactory, &current);
  if (SUCCEEDED(hr)) {
    factory.current = std::move(current);
    return hr;
  }
  current.Reset();
  ComPtr<IQxClassFactory_PreComponentization> older;
  hr =
      CoGetClassObject(clsid, clsContext, nullptr, IID_IQxClassFactory_PreComponentization, &older);
  if (SUCCEEDED(hr)) factory.older = std::move(older);
  return hr;
}

// The system's libraries that carry COM calls between apartments and processes.
constexpr const wchar_t* kComRelayLibraries[] = {L"ole32.dll", L"combase.dll", L"rpcrt4.dll",
                                                 L"oleaut32.dll"};

// The default value of |key| under HKEY_CLASSES_ROOT (a REG_EXPAND_SZ value expanded), or empty.
std::wstring ClassesRootDefault(const std::wstring& key) {
  DWORD bytes = 0;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, nullptr,
                   &bytes) != ERROR_SUCCESS ||
      bytes < sizeof(wchar_t) || bytes > kLongPathChars * sizeof(wchar_t)) {
    return std::wstring();
  }
  std::wstring value(bytes / sizeof(wchar_t), L'\0');
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, &value[0],
                   &bytes) != ERROR_SUCCESS) {
    return std::wstring();
  }
  value.resize(wcsnlen(value.c_str(), value.size()));
  return value;
}

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  return StringFromGUID2(guid, text, 40) != 0 ? std::wstring(text) : std::wstring();
}

// True when |module| is the in-process server that is registered as the proxy/stub of |iid|.
bool IsRegisteredProxyStub(REFIID iid, HMODULE module) {
  const std::wstring clsidText =
      ClassesRootDefault(L"Interface\\" + GuidText(iid) + L"\\ProxyStubClsid32");
  CLSID clsid = {};
  if (clsidText.empty() || FAILED(CLSIDFromString(clsidText.c_str(), &clsid))) return false;
  const std::wstring server =
      ClassesRootDefault(L"CLSID\\" + GuidText(clsid) + L"\\InprocServer32");
  if (server.empty()) return false;
  if (GetModuleHandleW(server.c_str()) == module) return true;
  // The registered path may name the loaded file in another form.
  std::unique_ptr<wchar_t[]> name(new wchar_t[kLongPathChars]);
  const DWORD length = GetModuleFileNameW(module, name.get(), kLongPathChars);
  if (length == 0 || length >= kLongPathChars) return false;
  const Basalt::UniqueFile loaded(CreateFileW(
      LongPathForm(std::wstring(name.get(), length)).c_str(), FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
  return loaded && Basalt::PathNamesFile(server.c_str(), loaded.get());
}

// Full path of the program file of |process| into |path|; false when it cannot be had.
bool GetProcessImagePath(HANDLE process, std::wstring& path) {
  std::unique_ptr<wchar_t[]> name(new (std::nothrow) wchar_t[kLongPathChars]);
  if (!name) return false;
  DWORD length = kLongPathChars;
  if (!QueryFullProcessImageNameW(process, 0, name.get(), &length) || length == 0) return false;
  path.assign(name.get(), length);
  return true;
}

// The check of VerifyProcessImageSigner; may throw std::bad_alloc.
DWORD VerifyRunningProgram(DWORD processId) {
  Basalt::UniqueKernelHandle process(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
  if (!process) return ERROR_INVALID_PARAMETER;
  // A handle kept elsewhere keeps an ended process openable; it is no longer the client.
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.get(), &exitCode) || exitCode != STILL_ACTIVE) {
    return ERROR_INVALID_PARAMETER;
  }
  std::wstring path;
  if (!GetProcessImagePath(process.get(), path)) return ERROR_INVALID_PARAMETER;

  // A running program may rename its own file (or folder) and put another file at its old path,
  // and every name the system gives for its image may still be the old path. So the file at the
  // path is held, so that nothing on its path can change, its signature is verified through what
  // is held, and it is judged trusted only when it is the image that the process maps, found by
  // the kernel's record of it (the process may write its own). The file is parsed as an image
  // only once its signature holds.
  const void* base = nullptr;
  ULONGLONG entryRva = 0;
  if (FindProgramImage(process.get(), &base, &entryRva) != ERROR_SUCCESS) {
    return ERROR_ACCESS_DENIED;
  }
  // A verdict is kept for as long as the process, its program file and the trusted lists it was
  // made with stay the same. Whatever the path leads to now, a file with the identity of one judged
  // for this process is that file: only a new verdict needs the file held.
  CallerVerdictKey key;
  DWORD verdict = kTrustVerdictNotTrusted;
  {
    const Basalt::UniqueFile named(
        CreateFileW(LongPathForm(path).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    0, nullptr));
    if (named && MakeCallerVerdictKey(process.get(), named.get(), &key) &&
        CallerVerdicts().Find(key, &verdict)) {
      return verdict;
    }
  }
  CHeldFile file;
  if (file.Open(path) != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
  const bool keyed = MakeCallerVerdictKey(process.get(), file.get(), &key);
  // A signature that fails is not kept: the verifier does not tell a bad signature from a read
  // that failed for the moment.
  if (VerifyHeldFileTrust(file.get(), file.Path().c_str()) != kTrustVerdictTrusted) {
    return ERROR_ACCESS_DENIED;
  }
  const DWORD match = MatchProgramImage(file.get(), process.get(), base, entryRva);
  if (match != ERROR_SUCCESS && match != ERROR_ACCESS_DENIED && match != ERROR_BAD_EXE_FORMAT &&
      match != ERROR_FILE_TOO_LARGE) {
    return ERROR_ACCESS_DENIED;  // a failed read or exhausted memory: nothing to keep
  }
  verdict = match == ERROR_SUCCESS ? kTrustVerdictTrusted : kTrustVerdictNotTrusted;
  if (keyed) CallerVerdicts().Store(key, verdict);
  return verdict;
}

// Full path of the module of this process holding |address| into |path|, whole however long;
// 0 when found, else the error.
DWORD FindModulePath(const void* address, std::wstring& path) {
  std::unique_ptr<HMODULE[]> modules(new (std::nothrow) HMODULE[kMaxModules]);
  std::unique_ptr<wchar_t[]> name(new (std::nothrow) wchar_t[kLongPathChars]);
  if (!modules || !name) return ERROR_NOT_ENOUGH_MEMORY;

  Basalt::UniqueKernelHandle process(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId()));
  if (!process) return LastErrorOr(ERROR_ACCESS_DENIED);

  DWORD needed = 0;
  if (!EnumProcessModules(process.get(), modules.get(), kMaxModules * sizeof(HMODULE), &needed)) {
    return LastErrorOr(ERROR_ACCESS_DENIED);
  }
  DWORD count = needed / sizeof(HMODULE);
  if (count > kMaxModules) count = kMaxModules;

  const auto where = reinterpret_cast<ULONG_PTR>(address);
  for (DWORD i = 0; i < count; ++i) {
    MODULEINFO info = {};
    // A module unloaded since the enumeration simply fails here and is passed over.
    if (!GetModuleInformation(process.get(), modules[i], &info, sizeof(info))) continue;
    const auto base = reinterpret_cast<ULONG_PTR>(info.lpBaseOfDll);
    if (where < base || where - base >= info.SizeOfImage) continue;

    // A name that fills the buffer may have been cut.
    const DWORD length =
        GetModuleFileNameExW(process.get(), modules[i], name.get(), kLongPathChars);
    if (length == 0 || length >= kLongPathChars - 1) return ERROR_ACCESS_DENIED;
    try {
      path.assign(name.get(), length);
    } catch (const std::bad_alloc&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
  }
  return ERROR_ACCESS_DENIED;
}

HRESULT CreateThroughFactory(REFCLSID clsid, DWORD clsContext, REFIID iid, void** out,
                             bool checkFactory) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  SecureClassObject factory;
  HRESULT hr = GetSecureClassObject(clsid, clsContext, factory);
  if (FAILED(hr)) return hr;
  if (checkFactory && VerifyCodeAddressSigner(GetObjectCodeAddress(factory.Get())) != 0) {
    return E_ACCESSDENIED;
  }
  hr = factory.CreateObject(iid, out);
  // A failing factory must not leave the caller holding a pointer it would never release.
  if (FAILED(hr)) *out = nullptr;
  return hr;
}

}  // namespace

HRESULT STDMETHODCALLTYPE CQxSecureClassFactory::CreateObject(REFIID riid, void** ppv) {
  // One byte back from the return address lies inside the caller's call instruction, so the
  // address stays in the caller's module even when the call is the module's last instruction.
  const void* caller = static_cast<const char*>(__builtin_return_address(0)) - 1;
  // For a call from another process the return address lies in the marshalling stub inside this
  // process, which says nothing about who called; the call's client process is judged instead.
  if (VerifyCallerSigner(caller, QueryCallClient()) != 0) return E_ACCESSDENIED;
  return CreateObjectUnchecked(riid, ppv);
}

HRESULT SecureCoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext, REFIID iid,
                               void** out, BOOL secure) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!secure) return CoCreateInstance(clsid, outer, clsContext, iid, out);
  return CreateThroughFactory(clsid, clsContext, iid, out, true);
}

HRESULT CreateViaClassFactory(REFCLSID clsid, IUnknown* /*outer*/, DWORD clsContext, REFIID iid,
                              void** out) {
  return CreateThroughFactory(clsid, clsContext, iid, out, false);
}

const void* GetObjectCodeAddress(IUnknown* object) noexcept {
  if (object == nullptr) return nullptr;
  const void* table = nullptr;
  if (!ReadPointerGuarded(reinterpret_cast<const void* const*>(object), &table) ||
      table == nullptr) {
    return nullptr;
  }
  const void* first = nullptr;
  if (!ReadPointerGuarded(static_cast<const void* const*>(table), &first)) return nullptr;
  return first;
}

DWORD VerifyCodeAddressSigner(const void* address) {
  std::wstring path;
  if (address == nullptr || FindModulePath(address, path) != ERROR_SUCCESS) {
    return VerifyModuleFileTrust(nullptr);
  }
  try {
    return VerifyModuleFileTrust(LongPathForm(path).c_str());
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

CallClient QueryCallClient() {
  unsigned long processId = 0;
  // A null binding stands for the call the current thread serves.
  const RPC_STATUS status = I_RpcBindingInqLocalClientPID(nullptr, &processId);
  CallClient client{status, status == RPC_S_OK ? static_cast<DWORD>(processId) : 0};
  if (status == RPC_S_NO_CALL_ACTIVE) {
    const TrustPlatform::ComCallAnswers com = TrustPlatform::QueryComCall();
    client.comContext = com.context;
    client.comCaller = com.caller;
  }
  return client;
}

DWORD VerifyCallerSigner(const void* returnAddress, const CallClient& client) {
  if (client.status == RPC_S_OK && client.processId != GetCurrentProcessId()) {
    return VerifyProcessImageSigner(client.processId);
  }
  if (client.status != RPC_S_OK && client.status != RPC_S_NO_CALL_ACTIVE) {
    return ERROR_ACCESS_DENIED;
  }
  if (client.status == RPC_S_NO_CALL_ACTIVE) {
    // No RPC call on the thread: a direct call, or one that COM dispatched onto this thread (a
    // single-threaded apartment serves calls from its message loop).
    const bool dispatched =
        client.comContext != RPC_E_CALL_COMPLETE && client.comContext != CO_E_NOTINITIALIZED;
    if (dispatched && client.comCaller != S_OK) return ERROR_ACCESS_DENIED;
  }
  // Judged by the code that called. Code that relays COM calls says nothing about who called,
  // wherever COM's answers about the call are missing or wrong.
  if (IsComRelayAddress(returnAddress)) return ERROR_ACCESS_DENIED;
  return VerifyCodeAddressSigner(returnAddress);
}

bool IsComRelayAddress(const void* address) {
  HMODULE module = nullptr;
  if (address == nullptr || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                    GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                                static_cast<LPCWSTR>(address), &module)) {
    return false;
  }
  for (const wchar_t* library : kComRelayLibraries) {
    if (GetModuleHandleW(library) == module) return true;
  }
  try {
    for (const IID* iid : {&IID_IQxClassFactory, &IID_IQxClassFactory_PreComponentization}) {
      if (IsRegisteredProxyStub(*iid, module)) return true;
    }
  } catch (const std::bad_alloc&) {
    // Unknown then: the module's own signature still decides.
  }
  return false;
}

DWORD VerifyProcessImageSigner(DWORD processId) {
  try {
    return VerifyRunningProgram(processId);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

DWORD GetModulePathFromAddress(const void* address, wchar_t* path) {
  if (address == nullptr || path == nullptr) return ERROR_INVALID_PARAMETER;
  std::wstring found;
  const DWORD error = FindModulePath(address, found);
  if (error != ERROR_SUCCESS) return error;
  // Refused rather than cut to a prefix that may name some other (trusted) file.
  if (found.size() >= MAX_PATH) return ERROR_ACCESS_DENIED;
  std::memcpy(path, found.c_str(), (found.size() + 1) * sizeof(wchar_t));
  return ERROR_SUCCESS;
}
