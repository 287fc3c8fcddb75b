// ctest-lock: com-registration qxclassfactory-proxy
// Secure COM creation and the caller check of secure class factories, with real modules: this
// test exe is signed (a trusted caller, like the host), the test server and caller DLLs and a
// waiting program (the client process of a call) exist as an unsigned and a signed copy each.
#include "trust/SecureCom.h"

#include <gtest/gtest.h>
#include <psapi.h>
#include <wrl/client.h>

#include <cstring>
#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"
#include "tests/support/TestPrograms.h"
#include "tests/trust/securecom/SecureComTestServer.h"
#include "trust/CodeTrust.h"

using Microsoft::WRL::ComPtr;
using testsupport::Regsvr32;

namespace {

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);

std::wstring ExeFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

std::wstring Fixture(const wchar_t* name) { return ExeFolder() + name; }

const std::wstring kServerUnsigned = Fixture(L"SecureComTestServer.dll");
const std::wstring kServerSigned = Fixture(L"SecureComTestServer_signed.dll");
const std::wstring kCallerUnsigned = Fixture(L"SecureComTestCaller.dll");
const std::wstring kCallerSigned = Fixture(L"SecureComTestCaller_signed.dll");
const std::wstring kProcessUnsigned = Fixture(L"SecureComTestProcess.exe");
const std::wstring kProcessSigned = Fixture(L"SecureComTestProcess_signed.exe");

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::wstring ClsidKey(REFCLSID clsid) {
  wchar_t text[40] = {};
  StringFromGUID2(clsid, text, 40);
  return std::wstring(L"CLSID\\") + text;
}

// Registers the test server's classes under HKEY_CLASSES_ROOT for one test and removes them.
class SecureComTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(apartment_.succeeded()); }
  void TearDown() override {
    for (const auto& key : registered_) RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  }

  void Register(REFCLSID clsid, const std::wstring& server) {
    const std::wstring key = ClsidKey(clsid);
    registered_.push_back(key);
    Basalt::UniqueHKey inproc;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_CLASSES_ROOT, (key + L"\\InprocServer32").c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, inproc.put(), nullptr));
    const auto set = [&](const wchar_t* name, const std::wstring& value) {
      return RegSetValueExW(inproc.get(), name, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    };
    ASSERT_EQ(ERROR_SUCCESS, set(nullptr, server));
    ASSERT_EQ(ERROR_SUCCESS, set(L"ThreadingModel", L"Both"));
  }

  void RegisterAll(const std::wstring& server) {
    for (const CLSID* clsid : {&CLSID_SecureComProbe, &CLSID_SecureComProbeOld,
                               &CLSID_SecureComNone, &CLSID_SecureComUnreadable}) {
      Register(*clsid, server);
    }
  }

  // Counters of a server copy that COM has loaded.
  // All zero while the copy is not loaded.
  static SecureComStats Stats(const std::wstring& server) {
    SecureComStats stats = {0, 0, 0};
    HMODULE module = GetModuleHandleW(server.c_str());
    if (module != nullptr) {
      Export<SecureComServerStatsFn>(module, kSecureComServerStatsExport)(&stats);
    }
    return stats;
  }

  static void ExpectProbeOf(IUnknown* object, REFCLSID clsid) {
    ASSERT_NE(nullptr, object);
    ComPtr<ISecureComProbe> probe;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_PPV_ARGS(&probe)));
    CLSID made = {};
    ASSERT_EQ(S_OK, probe->GetClass(&made));
    EXPECT_TRUE(IsEqualCLSID(clsid, made));
  }

  Basalt::ScopedComApartment apartment_{COINIT_MULTITHREADED};
  std::vector<std::wstring> registered_;
};

TEST(SecureComFixtures, TrustVerdictsOfTheTestModules) {
  wchar_t exe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  EXPECT_EQ(0u, VerifyModuleFileTrust(exe)) << "the test exe must be signed by a trusted signer";
  EXPECT_EQ(0u, VerifyModuleFileTrust(kServerSigned.c_str()));
  EXPECT_EQ(0u, VerifyModuleFileTrust(kCallerSigned.c_str()));
  EXPECT_EQ(5u, VerifyModuleFileTrust(kServerUnsigned.c_str()));
  EXPECT_EQ(5u, VerifyModuleFileTrust(kCallerUnsigned.c_str()));
  EXPECT_EQ(0u, VerifyModuleFileTrust(kProcessSigned.c_str()));
  EXPECT_EQ(5u, VerifyModuleFileTrust(kProcessUnsigned.c_str()));
}

// ---- Module of a code address ----

TEST(GetModulePathFromAddress, FindsTheModuleHoldingAnAddress) {
  wchar_t exe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  wchar_t path[MAX_PATH] = L"untouched";
  ASSERT_EQ(0u, GetModulePathFromAddress(reinterpret_cast<const void*>(&ExeFolder), path));
  EXPECT_EQ(0, _wcsicmp(exe, path));

  ASSERT_EQ(0u, GetModulePathFromAddress(reinterpret_cast<const void*>(&GetTickCount), path));
  const std::wstring kernel(path);
  EXPECT_EQ(0, _wcsicmp(L"\\kernel32.dll", kernel.substr(kernel.size() - 13).c_str())) << kernel;
}

TEST(GetModulePathFromAddress, RefusesBadArgumentsAndForeignAddressesLeavingPathUntouched) {
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
  ASSERT_NE(nullptr, page);
  const auto free = Basalt::MakeScopeExit([&] { VirtualFree(page, 0, MEM_RELEASE); });
  wchar_t path[MAX_PATH] = L"untouched";

  EXPECT_EQ(87u, GetModulePathFromAddress(nullptr, path));
  EXPECT_EQ(87u, GetModulePathFromAddress(reinterpret_cast<const void*>(&ExeFolder), nullptr));
  EXPECT_EQ(5u, GetModulePathFromAddress(page, path));
  EXPECT_STREQ(L"untouched", path);
}

// ---- Guarded read of a table of operations ----

TEST(GetObjectCodeAddress, ReadsTheFirstEntryAndSurvivesUnreadableObjects) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  void* noAccess = VirtualAlloc(nullptr, si.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
  void* released = VirtualAlloc(nullptr, si.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  ASSERT_NE(nullptr, noAccess);
  ASSERT_NE(nullptr, released);
  ASSERT_TRUE(VirtualFree(released, 0, MEM_RELEASE));
  const auto free = Basalt::MakeScopeExit([&] { VirtualFree(noAccess, 0, MEM_RELEASE); });

  const void* table[] = {reinterpret_cast<const void*>(&ExeFolder)};
  const void* good[] = {table};
  const void* nullTable[] = {nullptr};
  const void* tableNoAccess[] = {noAccess};
  const void* tableReleased[] = {released};
  const void* tableNonCanonical[] = {reinterpret_cast<const void*>(0x8000000000000000ull)};

  struct Case {
    const char* what;
    const void* object;
    const void* expected;
  } const cases[] = {
      {"readable", good, table[0]},
      {"null object", nullptr, nullptr},
      {"null table", nullTable, nullptr},
      {"object on a no-access page", noAccess, nullptr},
      {"object in released memory", released, nullptr},
      {"table on a no-access page", tableNoAccess, nullptr},
      {"table in released memory", tableReleased, nullptr},
      {"table at a non-canonical address", tableNonCanonical, nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, GetObjectCodeAddress(static_cast<IUnknown*>(const_cast<void*>(c.object))))
        << c.what;
  }
}

// A load that faults on purpose, and where a handler of the test resumes after it.
extern "C" char securecom_test_fault[];
extern "C" char securecom_test_resume[];
extern "C" __attribute__((naked, noinline)) void* securecom_test_load(const void* /*from*/) {
  asm(".globl securecom_test_fault\n"
      "securecom_test_fault:\n"
      "\tmovq (%rcx), %rax\n"
      "\tret\n"
      ".globl securecom_test_resume\n"
      "securecom_test_resume:\n"
      "\txorl %eax, %eax\n"
      "\tret\n");
}

LONG g_foreignFaults = 0;

LONG CALLBACK ForeignFaultHandler(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION &&
      info->ContextRecord->Rip == reinterpret_cast<DWORD64>(securecom_test_fault)) {
    InterlockedIncrement(&g_foreignFaults);
    info->ContextRecord->Rip = reinterpret_cast<DWORD64>(securecom_test_resume);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

// Guarded reads on several threads at once, while another thread faults outside the guard: the
// readers get their answers and the other fault still reaches the handler that expects it.
TEST(GetObjectCodeAddress, GuardsConcurrentReadersAndPassesOtherFaultsOn) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  void* noAccess = VirtualAlloc(nullptr, si.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(nullptr, noAccess);
  const auto free = Basalt::MakeScopeExit([&] { VirtualFree(noAccess, 0, MEM_RELEASE); });
  PVOID handler = AddVectoredExceptionHandler(0, ForeignFaultHandler);
  ASSERT_NE(nullptr, handler);
  const auto remove = Basalt::MakeScopeExit([&] { RemoveVectoredExceptionHandler(handler); });

  const void* table[] = {reinterpret_cast<const void*>(&ExeFolder)};
  const void* good[] = {table};
  struct Work {
    const void* good;
    void* bad;
    const void* expected;
    volatile LONG stop;
    LONG failures;
  } work = {good, noAccess, table[0], 0, 0};
  const auto read = [](void* param) -> DWORD {
    auto* w = static_cast<Work*>(param);
    while (w->stop == 0) {
      if (GetObjectCodeAddress(static_cast<IUnknown*>(w->bad)) != nullptr ||
          GetObjectCodeAddress(static_cast<IUnknown*>(const_cast<void*>(w->good))) != w->expected) {
        InterlockedIncrement(&w->failures);
      }
    }
    return 0;
  };
  HANDLE threads[4];
  for (HANDLE& t : threads) {
    t = CreateThread(nullptr, 0, read, &work, 0, nullptr);
    ASSERT_NE(nullptr, t);
  }
  constexpr LONG kFaults = 500;
  for (LONG i = 0; i < kFaults; ++i) EXPECT_EQ(nullptr, securecom_test_load(noAccess));
  work.stop = 1;
  WaitForMultipleObjects(4, threads, TRUE, INFINITE);
  for (HANDLE t : threads) CloseHandle(t);
  EXPECT_EQ(0, work.failures);
  EXPECT_EQ(kFaults, g_foreignFaults);
}

// ---- Trust of a code address ----

TEST(VerifyCodeAddressSigner, GivesTheVerdictOfTheModuleHoldingTheAddress) {
  Basalt::UniqueModule callerSigned(LoadLibraryW(kCallerSigned.c_str()));
  Basalt::UniqueModule callerUnsigned(LoadLibraryW(kCallerUnsigned.c_str()));
  ASSERT_TRUE(callerSigned);
  ASSERT_TRUE(callerUnsigned);
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
  ASSERT_NE(nullptr, page);
  const auto free = Basalt::MakeScopeExit([&] { VirtualFree(page, 0, MEM_RELEASE); });

  EXPECT_EQ(0u, VerifyCodeAddressSigner(reinterpret_cast<const void*>(
                    GetProcAddress(callerSigned.get(), kCallerCreateObjectExport))));
  EXPECT_EQ(5u, VerifyCodeAddressSigner(reinterpret_cast<const void*>(
                    GetProcAddress(callerUnsigned.get(), kCallerCreateObjectExport))));
  EXPECT_EQ(87u, VerifyCodeAddressSigner(page));
  EXPECT_EQ(87u, VerifyCodeAddressSigner(nullptr));
}

// A module whose path is longer than a path buffer is refused, rather than judged by the first
// 259 characters of its path, which here name a trusted file.
TEST(VerifyCodeAddressSigner, RefusesAModuleWhosePathIsCutToATrustedFile) {
  wchar_t temp[MAX_PATH] = {};
  ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
  const std::wstring name = L"\\SecureComTestCaller.dll";
  std::wstring folder = std::wstring(temp) + L"securecom-long-";
  folder.append(MAX_PATH - 1 - folder.size() - name.size(), L'p');
  const std::wstring trusted = folder + name;  // 259 characters: the cut-off path
  const std::wstring untrusted = trusted + L".untrusted.dll";
  ASSERT_EQ(static_cast<size_t>(MAX_PATH - 1), trusted.size());
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  const auto cleanup = Basalt::MakeScopeExit([&] {
    DeleteFileW(untrusted.c_str());
    DeleteFileW(trusted.c_str());
    RemoveDirectoryW(folder.c_str());
  });
  ASSERT_TRUE(CopyFileW(kCallerSigned.c_str(), trusted.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(kCallerUnsigned.c_str(), untrusted.c_str(), FALSE));
  ASSERT_EQ(0u, VerifyModuleFileTrust(trusted.c_str()));

  Basalt::UniqueModule module(LoadLibraryW(untrusted.c_str()));
  ASSERT_TRUE(module);
  const void* code =
      reinterpret_cast<const void*>(GetProcAddress(module.get(), kCallerCreateObjectExport));
  wchar_t path[MAX_PATH] = L"untouched";
  EXPECT_EQ(5u, GetModulePathFromAddress(code, path));
  EXPECT_STREQ(L"untouched", path);
  EXPECT_EQ(87u, VerifyCodeAddressSigner(code));
}

// ---- Caller check of the factory side ----

enum class Caller { kThisExe, kSignedDll, kUnsignedDll, kGeneratedCode };

struct CallerCase {
  const char* what;
  Caller caller;
  bool older;  // through IQxClassFactory_PreComponentization
  HRESULT expected;
};

class CallerCheckTest : public SecureComTest, public ::testing::WithParamInterface<CallerCase> {};

// Machine code that calls slot 3 of the interface in rcx with rdx and r8 passed on, from memory
// that belongs to no module.
HRESULT CallFromGeneratedCode(void* iface, REFIID riid, void** ppv) {
  static const unsigned char kCode[] = {
      0x48, 0x83, 0xEC, 0x28,  // sub rsp, 40
      0x48, 0x8B, 0x01,        // mov rax, [rcx]
      0xFF, 0x50, 0x18,        // call [rax + 24]
      0x48, 0x83, 0xC4, 0x28,  // add rsp, 40
      0xC3,                    // ret
  };
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
  if (page == nullptr) return E_OUTOFMEMORY;
  std::memcpy(page, kCode, sizeof(kCode));
  FlushInstructionCache(GetCurrentProcess(), page, sizeof(kCode));
  using Thunk = HRESULT (*)(void*, REFIID, void**);
  const HRESULT hr = reinterpret_cast<Thunk>(page)(iface, riid, ppv);
  VirtualFree(page, 0, MEM_RELEASE);
  return hr;
}

TEST_P(CallerCheckTest, AdmitsOnlyCallersInTrustedModules) {
  const CallerCase& c = GetParam();
  Register(CLSID_SecureComProbe, kServerSigned);
  ComPtr<IQxClassFactory> factory;
  ASSERT_EQ(S_OK, CoGetClassObject(CLSID_SecureComProbe, CLSCTX_INPROC_SERVER, nullptr,
                                   IID_PPV_ARGS(&factory)));
  ComPtr<IQxClassFactory_PreComponentization> older;
  ASSERT_EQ(S_OK, factory.As(&older));
  void* iface = c.older ? static_cast<void*>(older.Get()) : static_cast<void*>(factory.Get());

  Basalt::UniqueModule dll(
      LoadLibraryW((c.caller == Caller::kSignedDll ? kCallerSigned : kCallerUnsigned).c_str()));
  ASSERT_TRUE(dll);
  const LONG createdBefore = Stats(kServerSigned).created;

  void* sentinel = reinterpret_cast<void*>(0x1234);
  void* out = sentinel;
  HRESULT hr = E_FAIL;
  switch (c.caller) {
    case Caller::kThisExe:
      hr = c.older ? older->CreateObject(IID_IUnknown, &out)
                   : factory->CreateObject(IID_IUnknown, &out);
      break;
    case Caller::kSignedDll:
    case Caller::kUnsignedDll:
      hr = c.older ? Export<CallerCreateObjectOldFn>(dll.get(), kCallerCreateObjectOldExport)(
                         older.Get(), IID_IUnknown, &out)
                   : Export<CallerCreateObjectFn>(dll.get(), kCallerCreateObjectExport)(
                         factory.Get(), IID_IUnknown, &out);
      break;
    case Caller::kGeneratedCode:
      hr = CallFromGeneratedCode(iface, IID_IUnknown, &out);
      break;
  }
  EXPECT_EQ(c.expected, hr);
  if (SUCCEEDED(c.expected)) {
    ExpectProbeOf(static_cast<IUnknown*>(out), CLSID_SecureComProbe);
    static_cast<IUnknown*>(out)->Release();
    EXPECT_EQ(createdBefore + 1, Stats(kServerSigned).created);
  } else {
    EXPECT_EQ(sentinel, out) << "a refusal leaves the out pointer untouched";
    EXPECT_EQ(createdBefore, Stats(kServerSigned).created);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Callers, CallerCheckTest,
    ::testing::Values(CallerCase{"ThisSignedExe", Caller::kThisExe, false, S_OK},
                      CallerCase{"ThisSignedExeOlder", Caller::kThisExe, true, S_OK},
                      CallerCase{"SignedDll", Caller::kSignedDll, false, S_OK},
                      CallerCase{"SignedDllOlder", Caller::kSignedDll, true, S_OK},
                      CallerCase{"UnsignedDll", Caller::kUnsignedDll, false, kAccessDenied},
                      CallerCase{"UnsignedDllOlder", Caller::kUnsignedDll, true, kAccessDenied},
                      CallerCase{"GeneratedCode", Caller::kGeneratedCode, false, kAccessDenied},
                      CallerCase{"GeneratedCodeOlder", Caller::kGeneratedCode, true,
                                 kAccessDenied}),
    [](const ::testing::TestParamInfo<CallerCase>& info) { return std::string(info.param.what); });

// ---- Caller check of a call from another process ----

// A running copy of the waiting program; it ends when this goes.
class WaitingProcess {
 public:
  explicit WaitingProcess(const std::wstring& program) {
    static LONG count = 0;
    const std::wstring name = L"SecureComTestProcessDone-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(InterlockedIncrement(&count));
    m_done.reset(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    std::wstring command = L"\"" + program + L"\" " + name;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!m_done || !CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &info)) {
      return;
    }
    CloseHandle(info.hThread);
    m_process.reset(info.hProcess);
    m_pid = info.dwProcessId;
  }
  ~WaitingProcess() { End(); }
  WaitingProcess(const WaitingProcess&) = delete;
  WaitingProcess& operator=(const WaitingProcess&) = delete;

  DWORD pid() const { return m_pid; }
  // Lets the program end and waits for it; its ID then names no process of ours.
  void End() {
    if (!m_process) return;
    SetEvent(m_done.get());
    WaitForSingleObject(m_process.get(), 30000);
    m_process.reset();
  }

 private:
  Basalt::UniqueEvent m_done;
  Basalt::UniqueKernelHandle m_process;
  DWORD m_pid = 0;
};

// The clients both tests name: a signed and an unsigned program that run, and a signed one that
// has ended again.
struct ClientProcesses {
  WaitingProcess signedOne{kProcessSigned};
  WaitingProcess unsignedOne{kProcessUnsigned};
  WaitingProcess ended{kProcessSigned};
  // True when all three started; ends the third.
  bool Ready() {
    if (signedOne.pid() == 0 || unsignedOne.pid() == 0 || ended.pid() == 0) return false;
    ended.End();
    return true;
  }
};

TEST(VerifyProcessImageSigner, GivesTheVerdictOfTheProcesssProgramFile) {
  ClientProcesses clients;
  ASSERT_TRUE(clients.Ready());

  struct Case {
    const char* what;
    DWORD pid;
    DWORD expected;
  } const cases[] = {
      {"this signed test program", GetCurrentProcessId(), 0},
      {"a signed program", clients.signedOne.pid(), 0},
      {"an unsigned program", clients.unsignedOne.pid(), 5},
      {"no process", 0, 87},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, VerifyProcessImageSigner(c.pid)) << c.what;
  // The ID of a process that has ended names nothing, or some other process of the prefix (none
  // of which is signed by a trusted signer).
  EXPECT_NE(0u, VerifyProcessImageSigner(clients.ended.pid()));
}

TEST(QueryCallClient, AThreadThatServesNoCallHasNoClient) {
  const CallClient client = QueryCallClient();
  EXPECT_EQ(RPC_S_NO_CALL_ACTIVE, client.status);
  EXPECT_EQ(0u, client.processId);
}

// Which of the two is judged: the module at the return address or the client process.
TEST(VerifyCallerSigner, JudgesTheClientOfACallFromAnotherProcessAndElseTheCallingModule) {
  Basalt::UniqueModule callerSigned(LoadLibraryW(kCallerSigned.c_str()));
  Basalt::UniqueModule callerUnsigned(LoadLibraryW(kCallerUnsigned.c_str()));
  ASSERT_TRUE(callerSigned);
  ASSERT_TRUE(callerUnsigned);
  const void* trustedCode =
      reinterpret_cast<const void*>(GetProcAddress(callerSigned.get(), kCallerCreateObjectExport));
  const void* untrustedCode = reinterpret_cast<const void*>(
      GetProcAddress(callerUnsigned.get(), kCallerCreateObjectExport));
  ClientProcesses clients;
  ASSERT_TRUE(clients.Ready());
  const DWORD self = GetCurrentProcessId();

  struct Case {
    const char* what;
    CallClient client;
    const void* code;
    bool admitted;
  } const cases[] = {
      {"no call, trusted module", {RPC_S_NO_CALL_ACTIVE, 0}, trustedCode, true},
      {"no call, untrusted module", {RPC_S_NO_CALL_ACTIVE, 0}, untrustedCode, false},
      {"another apartment of this process, trusted module", {RPC_S_OK, self}, trustedCode, true},
      {"another apartment of this process, untrusted module",
       {RPC_S_OK, self},
       untrustedCode,
       false},
      {"signed client through an untrusted module",
       {RPC_S_OK, clients.signedOne.pid()},
       untrustedCode,
       true},
      {"unsigned client through a trusted module",
       {RPC_S_OK, clients.unsignedOne.pid()},
       trustedCode,
       false},
      {"client that has ended", {RPC_S_OK, clients.ended.pid()}, trustedCode, false},
      {"client of another machine", {RPC_S_INVALID_BINDING, 0}, trustedCode, false},
      {"lookup that failed", {RPC_S_OUT_OF_MEMORY, 0}, trustedCode, false},
  };
  for (const Case& c : cases) {
    const DWORD verdict = VerifyCallerSigner(c.code, c.client);
    if (c.admitted) {
      EXPECT_EQ(0u, verdict) << c.what;
    } else {
      EXPECT_NE(0u, verdict) << c.what;
    }
  }
  // An unnamed client is refused as not trusted.
  EXPECT_EQ(5u, VerifyCallerSigner(trustedCode, CallClient{RPC_S_INVALID_BINDING, 0}));
}

// A call from another apartment of this process reaches the factory through the proxy/stub of
// IQxClassFactory, on a thread that serves the call: it is judged by the stub's module as before,
// not as a call of this (signed) process. So the outcome follows the stub's signature.
class ApartmentCallTest : public SecureComTest {
 protected:
  void TearDown() override {
    if (!registeredPs_.empty()) Regsvr32(registeredPs_, true);
    SecureComTest::TearDown();
  }
  void UseProxyStub(const std::wstring& dll) {
    ASSERT_EQ(0u, Regsvr32(dll, false));
    registeredPs_ = dll;
  }

  // CreateObject on the class object of this (multithreaded) apartment, called from a
  // single-threaded apartment of this process through the marshalled interface.
  static HRESULT CreateFromAnotherApartment(IQxClassFactory* factory) {
    struct Work {
      IStream* stream;
      HRESULT hr;
    } work = {nullptr, E_FAIL};
    HRESULT hr = CoMarshalInterThreadInterfaceInStream(IID_IQxClassFactory, factory, &work.stream);
    if (FAILED(hr)) return hr;
    const auto call = [](void* param) -> DWORD {
      auto* w = static_cast<Work*>(param);
      Basalt::ScopedComApartment apartment(COINIT_APARTMENTTHREADED);
      ComPtr<IQxClassFactory> proxy;
      w->hr = CoGetInterfaceAndReleaseStream(w->stream, IID_PPV_ARGS(&proxy));
      if (FAILED(w->hr)) return 0;
      ComPtr<IUnknown> object;
      w->hr = proxy->CreateObject(IID_PPV_ARGS(&object));
      return 0;
    };
    Basalt::UniqueKernelHandle thread(CreateThread(nullptr, 0, call, &work, 0, nullptr));
    if (!thread) return E_FAIL;
    WaitForSingleObject(thread.get(), INFINITE);
    return work.hr;
  }

  std::wstring registeredPs_;
};

TEST_F(ApartmentCallTest, IsJudgedByTheStubsModuleAsBefore) {
  const std::wstring psSigned = testsupport::WinePath(SECURECOM_FACTORY_PS_SIGNED);
  const std::wstring psUnsigned = testsupport::WinePath(SECURECOM_FACTORY_PS_UNSIGNED);
  ASSERT_EQ(0u, VerifyModuleFileTrust(psSigned.c_str()));
  ASSERT_EQ(5u, VerifyModuleFileTrust(psUnsigned.c_str()));
  Register(CLSID_SecureComProbe, kServerSigned);
  ComPtr<IQxClassFactory> factory;
  ASSERT_EQ(S_OK, CoGetClassObject(CLSID_SecureComProbe, CLSCTX_INPROC_SERVER, nullptr,
                                   IID_PPV_ARGS(&factory)));

  struct Case {
    const std::wstring* ps;
    HRESULT expected;
  } const cases[] = {{&psSigned, S_OK}, {&psUnsigned, kAccessDenied}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(*c.ps));
    UseProxyStub(*c.ps);
    const LONG createdBefore = Stats(kServerSigned).created;
    EXPECT_EQ(c.expected, CreateFromAnotherApartment(factory.Get()));
    EXPECT_EQ(createdBefore + (SUCCEEDED(c.expected) ? 1 : 0), Stats(kServerSigned).created);
    ASSERT_EQ(0u, Regsvr32(*c.ps, true));
    registeredPs_.clear();
  }
}

// ---- Creation through a secure class factory ----

TEST_F(SecureComTest, NullOutIsRefusedOnEveryRoad) {
  RegisterAll(kServerSigned);
  const SecureComStats before = Stats(kServerSigned);
  EXPECT_EQ(E_POINTER, SecureCoCreateInstance(CLSID_SecureComProbe, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_IUnknown, nullptr, TRUE));
  EXPECT_EQ(E_POINTER, SecureCoCreateInstance(CLSID_SecureComProbe, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_IUnknown, nullptr, FALSE));
  EXPECT_EQ(E_POINTER, CreateViaClassFactory(CLSID_SecureComProbe, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_IUnknown, nullptr));
  EXPECT_EQ(before.created, Stats(kServerSigned).created);
}

TEST_F(SecureComTest, UnsecureRoadIsCoCreateInstanceAsGiven) {
  RegisterAll(kServerUnsigned);
  ComPtr<IUnknown> object;
  // An untrusted server is fine here: nothing is checked.
  ASSERT_EQ(S_OK, SecureCoCreateInstance(CLSID_SecureComProbe, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_PPV_ARGS(&object), FALSE));
  ExpectProbeOf(object.Get(), CLSID_SecureComProbe);

  // The outer unknown reaches the class (which refuses aggregation) and the result comes back.
  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(CLASS_E_NOAGGREGATION,
            SecureCoCreateInstance(CLSID_SecureComProbe, object.Get(), CLSCTX_INPROC_SERVER,
                                   IID_IUnknown, &out, FALSE));
  EXPECT_EQ(nullptr, out);
  const CLSID unregistered = {
      0x5b9e7320, 0xe0b7, 0x4393, {0x88, 0x32, 0x7c, 0x61, 0x15, 0xbf, 0xc4, 0x06}};
  EXPECT_EQ(REGDB_E_CLASSNOTREG, SecureCoCreateInstance(unregistered, nullptr, CLSCTX_INPROC_SERVER,
                                                        IID_IUnknown, &out, FALSE));
  // The class context is passed on: the class has no local server.
  void* direct = nullptr;
  const HRESULT expected =
      CoCreateInstance(CLSID_SecureComProbe, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &direct);
  ASSERT_TRUE(FAILED(expected));
  EXPECT_EQ(expected, SecureCoCreateInstance(CLSID_SecureComProbe, nullptr, CLSCTX_LOCAL_SERVER,
                                             IID_IUnknown, &out, FALSE));
}

TEST_F(SecureComTest, UntrustedServerIsRefusedAndItsFactoryReleased) {
  RegisterAll(kServerUnsigned);
  const SecureComStats before = Stats(kServerUnsigned);
  for (const CLSID* clsid : {&CLSID_SecureComProbe, &CLSID_SecureComProbeOld}) {
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(kAccessDenied, SecureCoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER,
                                                    IID_IUnknown, &out, TRUE));
    EXPECT_EQ(nullptr, out);
  }
  const SecureComStats stats = Stats(kServerUnsigned);
  EXPECT_EQ(before.created, stats.created) << "CreateObject must not be called";
  EXPECT_EQ(0, stats.liveFactories);
}

TEST_F(SecureComTest, TrustedServerCreatesThroughEitherFactoryInterface) {
  RegisterAll(kServerSigned);
  const SecureComStats before = Stats(kServerSigned);
  for (const CLSID* clsid : {&CLSID_SecureComProbe, &CLSID_SecureComProbeOld}) {
    ComPtr<ISecureComProbe> probe;
    ASSERT_EQ(S_OK, SecureCoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_PPV_ARGS(&probe), TRUE));
    ExpectProbeOf(probe.Get(), *clsid);
  }
  const SecureComStats stats = Stats(kServerSigned);
  EXPECT_EQ(before.created + 2, stats.created);
  EXPECT_EQ(0, stats.liveObjects);
  EXPECT_EQ(0, stats.liveFactories);

  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(E_NOINTERFACE, SecureCoCreateInstance(CLSID_SecureComProbe, nullptr,
                                                  CLSCTX_INPROC_SERVER, IID_IDispatch, &out, TRUE));
  EXPECT_EQ(nullptr, out);
}

TEST_F(SecureComTest, FactoryWithUnreadableTableIsRefusedWithoutACrash) {
  RegisterAll(kServerSigned);
  const SecureComStats before = Stats(kServerSigned);
  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(kAccessDenied, SecureCoCreateInstance(CLSID_SecureComUnreadable, nullptr,
                                                  CLSCTX_INPROC_SERVER, IID_IUnknown, &out, TRUE));
  EXPECT_EQ(nullptr, out);
  const SecureComStats stats = Stats(kServerSigned);
  EXPECT_EQ(before.created, stats.created) << "CreateObject must not be called";
  EXPECT_EQ(0, stats.liveFactories);
}

TEST_F(SecureComTest, BothFactoryRequestsFailingGiveTheSecondResult) {
  RegisterAll(kServerSigned);
  const CLSID unregistered = {
      0x5b9e7320, 0xe0b7, 0x4393, {0x88, 0x32, 0x7c, 0x61, 0x15, 0xbf, 0xc4, 0x06}};
  struct Case {
    const CLSID* clsid;
    HRESULT expected;
  } const cases[] = {{&CLSID_SecureComNone, CLASS_E_CLASSNOTAVAILABLE},
                     {&unregistered, REGDB_E_CLASSNOTREG}};
  for (const Case& c : cases) {
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(c.expected, SecureCoCreateInstance(*c.clsid, nullptr, CLSCTX_INPROC_SERVER,
                                                 IID_IUnknown, &out, TRUE));
    EXPECT_EQ(nullptr, out);
    out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(c.expected,
              CreateViaClassFactory(*c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
  }
}

TEST_F(SecureComTest, CreateViaClassFactorySkipsTheServerCheck) {
  RegisterAll(kServerUnsigned);
  for (const CLSID* clsid : {&CLSID_SecureComProbe, &CLSID_SecureComProbeOld}) {
    ComPtr<ISecureComProbe> probe;
    ASSERT_EQ(S_OK,
              CreateViaClassFactory(*clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&probe)));
    ExpectProbeOf(probe.Get(), *clsid);
  }
  EXPECT_EQ(0, Stats(kServerUnsigned).liveFactories);
}

}  // namespace
