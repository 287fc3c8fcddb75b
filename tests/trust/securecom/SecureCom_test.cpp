// ctest-lock: com-registration qxclassfactory-proxy
// Secure COM creation and the caller check of secure class factories, with real modules: this
// test exe is signed (a trusted caller, like the host), the test server and caller DLLs and a
// client program (the client process of a call) exist as an unsigned and a signed copy each.
#include "trust/SecureCom.h"

#include <gtest/gtest.h>
#include <psapi.h>
#include <winternl.h>
#include <wrl/client.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "TrustTestSupport.h"
#include "basalt/UniqueHandle.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestPrograms.h"
#include "tests/trust/securecom/SecureComClients.h"
#include "tests/trust/securecom/SecureComTestServer.h"
#include "trust/CodeTrust.h"
#include "trust/HeldFile.h"

using Microsoft::WRL::ComPtr;
using testsupport::Regsvr32;

namespace {

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);

using securecom_test::ClientProcess;
using testsupport::ExeFolder;

std::wstring Fixture(const wchar_t* name) { return ExeFolder() + name; }

const std::wstring kServerUnsigned = Fixture(L"SecureComTestServer.dll");
const std::wstring kServerSigned = Fixture(L"SecureComTestServer_signed.dll");
const std::wstring kCallerUnsigned = Fixture(L"SecureComTestCaller.dll");
const std::wstring kCallerSigned = Fixture(L"SecureComTestCaller_signed.dll");
const std::wstring kProcessUnsigned = Fixture(L"SecureComTestProcess.exe");
const std::wstring kProcessSigned = Fixture(L"SecureComTestProcess_signed.exe");
// The same program with 32 MiB of read-only data.
const std::wstring kLargeUnsigned = Fixture(L"SecureComLargeProcess.exe");
const std::wstring kLargeSigned = Fixture(L"SecureComLargeProcess_signed.exe");

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

// A module whose path is longer than a path buffer is judged by its whole path, never by the first
// 259 characters of it, which here name a trusted file.
TEST(VerifyCodeAddressSigner, JudgesAModuleByItsWholePathHoweverLong) {
  wchar_t temp[MAX_PATH] = {};
  ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
  const std::wstring name = L"\\SecureComTestCaller.dll";
  std::wstring folder = std::wstring(temp) + L"securecom-long-";
  folder.append(MAX_PATH - 1 - folder.size() - name.size(), L'p');
  const std::wstring cut = folder + name;  // 259 characters: the cut-off path
  const std::wstring untrusted = cut + L".untrusted.dll";
  const std::wstring trusted = cut + L".trusted.dll";
  ASSERT_EQ(static_cast<size_t>(MAX_PATH - 1), cut.size());
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  const auto cleanup = Basalt::MakeScopeExit([&] {
    for (const std::wstring* file : {&untrusted, &trusted, &cut}) DeleteFileW(file->c_str());
    RemoveDirectoryW(folder.c_str());
  });
  ASSERT_TRUE(CopyFileW(kCallerSigned.c_str(), cut.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(kCallerUnsigned.c_str(), untrusted.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(kCallerSigned.c_str(), trusted.c_str(), FALSE));
  ASSERT_EQ(0u, VerifyModuleFileTrust(cut.c_str()));

  struct Case {
    const std::wstring* module;
    DWORD expected;
  } const cases[] = {{&untrusted, 5}, {&trusted, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(*c.module));
    Basalt::UniqueModule module(LoadLibraryW(c.module->c_str()));
    ASSERT_TRUE(module);
    const void* code =
        reinterpret_cast<const void*>(GetProcAddress(module.get(), kCallerCreateObjectExport));
    EXPECT_EQ(c.expected, VerifyCodeAddressSigner(code));
    // The path buffer of the module lookup holds no such path.
    wchar_t path[MAX_PATH] = L"untouched";
    EXPECT_EQ(5u, GetModulePathFromAddress(code, path));
    EXPECT_STREQ(L"untouched", path);
  }
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

// The clients both tests name: a signed and an unsigned program that run, and a signed one that
// has ended again.
struct ClientProcesses {
  ClientProcess signedOne{kProcessSigned, false};
  ClientProcess unsignedOne{kProcessUnsigned, false};
  ClientProcess ended{kProcessSigned, false};
  // True when all three started; ends the third.
  bool Ready() {
    if (signedOne.pid() == 0 || unsignedOne.pid() == 0 || ended.pid() == 0) return false;
    ended.Finish();
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

// A scratch folder holding the client program, unsigned or signed, at
// <root>\client[\<two levels of padding>]\SecureComTestProcess.exe, and beside it <root>\decoy laid
// out the same with the signed program: a folder that an untrusted client can swap in for its own.
class ClientFolders {
 public:
  ClientFolders(bool signedClient, bool longPath)
      : ClientFolders(signedClient ? kProcessSigned : kProcessUnsigned, longPath) {}
  // The same with a copy of |program| as the client.
  ClientFolders(const std::wstring& program, bool longPath)
      : m_root(trust_test::MakeScratchFolder(L"securecom-client")),
        m_sub(longPath ? L"\\" + std::wstring(150, L'p') + L"\\" + std::wstring(150, L'q') : L"") {
    for (std::wstring folder : {Folder(), m_root + L"\\decoy"}) {
      m_ok = m_ok && CreateDirectoryW(folder.c_str(), nullptr);
      for (const wchar_t level : {L'p', L'q'}) {
        if (!longPath) break;
        folder += L"\\" + std::wstring(150, level);
        m_ok = m_ok && CreateDirectoryW(LongPathForm(folder).c_str(), nullptr);
      }
    }
    m_ok = m_ok && CopyFileW(program.c_str(), LongPathForm(Program()).c_str(), FALSE) &&
           CopyFileW(kProcessSigned.c_str(), LongPathForm(Decoy()).c_str(), FALSE);
  }
  ~ClientFolders() { trust_test::RemoveTree(LongPathForm(m_root)); }
  ClientFolders(const ClientFolders&) = delete;
  ClientFolders& operator=(const ClientFolders&) = delete;

  bool ok() const { return m_ok; }
  std::wstring Folder() const { return m_root + L"\\client"; }
  std::wstring Program() const { return Folder() + m_sub + L"\\SecureComTestProcess.exe"; }
  std::wstring Decoy() const { return m_root + L"\\decoy" + m_sub + L"\\SecureComTestProcess.exe"; }

  // The running client renames its program file and puts the trusted program at its old path.
  bool ReplaceFile() const {
    return MoveFileExW(LongPathForm(Program()).c_str(), LongPathForm(Program() + L".old").c_str(),
                       0) &&
           CopyFileW(kProcessSigned.c_str(), LongPathForm(Program()).c_str(), FALSE);
  }
  // The client's folder is renamed away and the decoy folder put in its place; with |back| the
  // other way round again.
  bool SwapFolder(bool back = false) const {
    const std::wstring client = Folder(), decoy = m_root + L"\\decoy", away = m_root + L"\\away";
    return back ? MoveFileExW(client.c_str(), decoy.c_str(), 0) &&
                      MoveFileExW(away.c_str(), client.c_str(), 0)
                : MoveFileExW(client.c_str(), away.c_str(), 0) &&
                      MoveFileExW(decoy.c_str(), client.c_str(), 0);
  }

 private:
  std::wstring m_root, m_sub;
  bool m_ok = true;
};

// A second actor swaps an untrusted client's folder for one holding a trusted program just as the
// verification of the program file begins, and back again as it ends, so that the checks before
// and after it would see the client's own file: the folder is held for the check, the swap fails
// and the client is refused.
TEST(VerifyProcessImageSigner, AFolderSwapDuringTheVerificationFails) {
  ClientFolders folders(false, false);
  ASSERT_TRUE(folders.ok());
  ClientProcess client(folders.Program(), false);
  ASSERT_NE(0u, client.pid());
  bool swapped = false;
  DWORD error = 0;
  trust_test::AroundNextProgramFileCheck(
      [&] {
        swapped = folders.SwapFolder();
        error = swapped ? 0 : GetLastError();
      },
      [&] {
        if (swapped) {
          EXPECT_TRUE(folders.SwapFolder(true));
        }
      });
  EXPECT_EQ(5u, VerifyProcessImageSigner(client.pid()));
  EXPECT_FALSE(swapped);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), error);
  trust_test::AroundNextProgramFileCheck(nullptr, nullptr);
}

TEST(QueryCallClient, AThreadThatServesNoCallHasNoClient) {
  const CallClient client = QueryCallClient();
  EXPECT_EQ(RPC_S_NO_CALL_ACTIVE, client.status);
  EXPECT_EQ(0u, client.processId);
  EXPECT_EQ(RPC_E_CALL_COMPLETE, client.comContext);
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
  constexpr RPC_STATUS kNoRpc = RPC_S_NO_CALL_ACTIVE;

  struct Case {
    const char* what;
    CallClient client;
    const void* code;
    DWORD expected;
  } const cases[] = {
      {"no call, trusted module", {kNoRpc, 0}, trustedCode, 0},
      {"no call, untrusted module", {kNoRpc, 0}, untrustedCode, 5},
      // As Wine's COM answers on every thread.
      {"no call context, trusted module",
       {kNoRpc, 0, RPC_E_CALL_COMPLETE, E_NOTIMPL},
       trustedCode,
       0},
      {"no COM on the thread, untrusted module",
       {kNoRpc, 0, CO_E_NOTINITIALIZED, E_NOTIMPL},
       untrustedCode,
       5},
      {"another apartment of this process, trusted module", {RPC_S_OK, self}, trustedCode, 0},
      {"another apartment of this process, untrusted module", {RPC_S_OK, self}, untrustedCode, 5},
      // A single-threaded apartment serves a COM call where no RPC call is active.
      {"COM call from this process, trusted stub", {kNoRpc, 0, S_OK, S_OK}, trustedCode, 0},
      {"COM call from this process, untrusted stub", {kNoRpc, 0, S_OK, S_OK}, untrustedCode, 5},
      {"COM call from another process, trusted stub", {kNoRpc, 0, S_OK, S_FALSE}, trustedCode, 5},
      {"COM call whose caller is unknown", {kNoRpc, 0, S_OK, E_FAIL}, trustedCode, 5},
      {"signed client through an untrusted module",
       {RPC_S_OK, clients.signedOne.pid()},
       untrustedCode,
       0},
      {"unsigned client through a trusted module",
       {RPC_S_OK, clients.unsignedOne.pid()},
       trustedCode,
       5},
      {"client that has ended", {RPC_S_OK, clients.ended.pid()}, trustedCode, 87},
      {"client of another machine", {RPC_S_INVALID_BINDING, 0}, trustedCode, 5},
      {"lookup that failed", {RPC_S_OUT_OF_MEMORY, 0}, trustedCode, 5},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, VerifyCallerSigner(c.code, c.client)) << c.what;
}

// A call from another apartment of this process reaches the factory through the proxy/stub of
// IQxClassFactory, on a thread that serves the call, with its return address in the stub: code
// that relays COM calls names no caller, so the call is refused whatever the stub's signature.
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

TEST_F(ApartmentCallTest, IsRefusedWhateverTheStubsSignature) {
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
  } const cases[] = {{&psSigned, kAccessDenied}, {&psUnsigned, kAccessDenied}};
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

// The code that relays COM calls: the system's COM and RPC libraries, and the proxy/stub library
// while it is registered for the factory interface (signed, so its own signature would admit it).
TEST_F(ApartmentCallTest, TheSystemsComLibrariesAndTheRegisteredProxyStubRelayCalls) {
  const std::wstring psSigned = testsupport::WinePath(SECURECOM_FACTORY_PS_SIGNED);
  Basalt::UniqueModule ps(LoadLibraryW(psSigned.c_str()));
  Basalt::UniqueModule callerSigned(LoadLibraryW(kCallerSigned.c_str()));
  ASSERT_TRUE(ps && callerSigned);
  const void* stub = reinterpret_cast<const void*>(GetProcAddress(ps.get(), "DllGetClassObject"));
  const void* ole = reinterpret_cast<const void*>(&CoGetClassObject);
  const void* rpc = reinterpret_cast<const void*>(
      GetProcAddress(GetModuleHandleW(L"rpcrt4.dll"), "NdrStubCall2"));
  const void* trusted =
      reinterpret_cast<const void*>(GetProcAddress(callerSigned.get(), kCallerCreateObjectExport));
  ASSERT_TRUE(stub && rpc && trusted);
  ASSERT_EQ(0u, VerifyCodeAddressSigner(stub));
  const CallClient direct{RPC_S_NO_CALL_ACTIVE, 0};

  EXPECT_FALSE(IsComRelayAddress(stub)) << "not registered";
  EXPECT_EQ(0u, VerifyCallerSigner(stub, direct));
  UseProxyStub(psSigned);
  struct Case {
    const char* what;
    const void* code;
    bool relays;
  } const cases[] = {
      {"the registered proxy/stub", stub, true},
      {"ole32", ole, true},
      {"rpcrt4", rpc, true},
      {"a signed library", trusted, false},
      {"this program", reinterpret_cast<const void*>(&ExeFolder), false},
      {"no module", nullptr, false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.relays, IsComRelayAddress(c.code)) << c.what;
  EXPECT_EQ(5u, VerifyCallerSigner(stub, direct));
  EXPECT_EQ(5u, VerifyCallerSigner(stub, CallClient{RPC_S_OK, GetCurrentProcessId()}));
  EXPECT_EQ(0u, VerifyCallerSigner(trusted, direct));
}

// The signed test server's class object, registered with COM as a running local server, called by
// client programs in processes of their own through the signed proxy/stub of IQxClassFactory: the
// stub is trusted, so the outcome follows the judgement of the client.
class RunningClassObjectTest : public ApartmentCallTest {
 protected:
  void SetUp() override {
    ApartmentCallTest::SetUp();
    UseProxyStub(testsupport::WinePath(SECURECOM_FACTORY_PS_SIGNED));
    Register(CLSID_SecureComProbe, kServerSigned);
  }

  // Runs a client program (with |options|) that calls the running class object once |prepare|
  // has run; the HRESULT of its call.
  template <typename Prepare>
  static DWORD RunClient(const std::wstring& program, Prepare prepare,
                         const std::wstring& options = L"") {
    ClientProcess client(program, true, options);
    if (client.pid() == 0) return 0xFFFFFFFF;
    if (!prepare()) return 0xFFFFFFFE;
    return client.Finish();
  }
  static DWORD RunClient(const std::wstring& program) {
    return RunClient(program, [] { return true; });
  }

  // Registers the class object from this thread's (multithreaded) apartment.
  void RegisterHere() {
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_SecureComProbe, CLSCTX_INPROC_SERVER, nullptr,
                                     IID_PPV_ARGS(&factory_)));
    ASSERT_EQ(S_OK, CoRegisterClassObject(CLSID_SecureComProbe, factory_.Get(), CLSCTX_LOCAL_SERVER,
                                          REGCLS_MULTIPLEUSE, &cookie_));
  }
  void TearDown() override {
    if (cookie_ != 0) CoRevokeClassObject(cookie_);
    factory_.Reset();
    ApartmentCallTest::TearDown();
  }

  ComPtr<IQxClassFactory> factory_;
  DWORD cookie_ = 0;
};

enum class Change { kNone, kFileReplaced, kFolderSwapped };

struct RunningClientCase {
  const char* what;
  bool signedClient;
  bool longPath;
  Change change;  // made after the client started, before it calls
  HRESULT expected;
};

void PrintTo(const RunningClientCase& c, std::ostream* os) { *os << c.what; }

class RunningClientTest : public RunningClassObjectTest,
                          public ::testing::WithParamInterface<RunningClientCase> {};

// The program file judged is the image that the client process runs, whatever its path names by
// the time it calls, and however long that path is.
TEST_P(RunningClientTest, IsJudgedByTheImageItRuns) {
  const RunningClientCase& c = GetParam();
  RegisterHere();
  ClientFolders folders(c.signedClient, c.longPath);
  ASSERT_TRUE(folders.ok());
  ASSERT_EQ(c.longPath, folders.Program().size() >= MAX_PATH);
  const LONG createdBefore = Stats(kServerSigned).created;
  const DWORD result = RunClient(folders.Program(), [&] {
    switch (c.change) {
      case Change::kNone:
        return true;
      case Change::kFileReplaced:
        return folders.ReplaceFile();
      case Change::kFolderSwapped:
        return folders.SwapFolder();
    }
    return false;
  });
  EXPECT_EQ(c.expected, static_cast<HRESULT>(result));
  EXPECT_EQ(createdBefore + (c.expected == S_OK ? 1 : 0), Stats(kServerSigned).created);
}

INSTANTIATE_TEST_SUITE_P(
    Clients, RunningClientTest,
    ::testing::Values(
        RunningClientCase{"TrustedAsItself", true, false, Change::kNone, 0},
        RunningClientCase{"UntrustedAsItself", false, false, Change::kNone, kAccessDenied},
        RunningClientCase{"UntrustedThatPutATrustedFileInItsPlace", false, false,
                          Change::kFileReplaced, kAccessDenied},
        RunningClientCase{"UntrustedWhoseFolderWasSwappedForATrustedOne", false, false,
                          Change::kFolderSwapped, kAccessDenied},
        RunningClientCase{"TrustedAtALongPath", true, true, Change::kNone, 0},
        RunningClientCase{"UntrustedAtALongPath", false, true, Change::kNone, kAccessDenied},
        RunningClientCase{"UntrustedAtALongPathThatPutATrustedFileInItsPlace", false, true,
                          Change::kFileReplaced, kAccessDenied}),
    [](const ::testing::TestParamInfo<RunningClientCase>& info) {
      return std::string(info.param.what);
    });

// Clients that would crash, stall or fool the check: each is refused within a bound, and the
// host answers a signed client afterwards.
struct HostileClientCase {
  const char* what;
  const std::wstring* program;  // the client
  // The client's options, given its folders.
  std::wstring (*options)(const ClientFolders& folders);
};

void PrintTo(const HostileClientCase& c, std::ostream* os) { *os << c.what; }

class HostileClientTest : public RunningClassObjectTest,
                          public ::testing::WithParamInterface<HostileClientCase> {};

TEST_P(HostileClientTest, IsRefusedWithinABoundAndTheHostAnswersOthers) {
  const HostileClientCase& c = GetParam();
  RegisterHere();
  ClientFolders folders(*c.program, false);
  ASSERT_TRUE(folders.ok());
  const LONG createdBefore = Stats(kServerSigned).created;
  const ULONGLONG start = GetTickCount64();
  const DWORD result = RunClient(
      folders.Program(), [] { return true; }, c.options(folders));
  const ULONGLONG took = GetTickCount64() - start;
  EXPECT_EQ(kAccessDenied, static_cast<HRESULT>(result));
  EXPECT_EQ(createdBefore, Stats(kServerSigned).created);
  // Generous against a loaded machine; what the bounds keep out takes far longer.
  EXPECT_LT(took, 20000u);
  EXPECT_EQ(S_OK, static_cast<HRESULT>(RunClient(kProcessSigned))) << "a signed client afterwards";
}

const HostileClientCase kHostileClients[] = {
    // It renames its file, puts a trusted copy at its path, maps that copy as an image and records
    // the copy as its own image.
    {"UntrustedThatRecordsATrustedCopyAsItsImage", &kProcessUnsigned,
     [](const ClientFolders& folders) {
       return L"swap:" + kProcessSigned + L" record:" + folders.Program();
     }},
    // Its own record of its image must agree with the kernel's.
    {"TrustedThatRecordsACopyOfItselfAsItsImage", &kProcessSigned,
     [](const ClientFolders& folders) { return L"record:" + folders.Decoy(); }},
    // A signed file at its path whose relocations are read (its image base lies over the running
    // client's), with a slot whose end wraps around 32 bits.
    {"UntrustedWithATrustedFileWhoseRelocationWrapsInItsPlace", &kProcessUnsigned,
     [](const ClientFolders&) { return L"swap:" + Fixture(L"hostile_wrapped_relocation.exe"); }},
    // A signed file at its path with two import descriptors sharing a table of 1.5 million entries,
    // beside a large client whose image it matches in size and entry point.
    {"UntrustedWithATrustedFileWhoseImportsShareAHugeTableInItsPlace", &kLargeUnsigned,
     [](const ClientFolders&) { return L"swap:" + Fixture(L"hostile_shared_imports.exe"); }},
};

INSTANTIATE_TEST_SUITE_P(Clients, HostileClientTest, ::testing::ValuesIn(kHostileClients),
                         [](const ::testing::TestParamInfo<HostileClientCase>& info) {
                           return std::string(info.param.what);
                         });

// The times in microseconds of the calls of a client run with the option "twice:<file>".
struct CallTimes {
  long long first = -1;
  long long second = -1;
};
CallTimes ReadCallTimes(const std::wstring& file) {
  CallTimes times;
  const std::string text = trust_test::ReadFileBytes(file);
  if (sscanf(text.c_str(), "%lld %lld", &times.first, &times.second) != 2) return CallTimes();
  return times;
}

// A client as deep in folders as a held file may be is answered within a bound, signed or not,
// and a signed one's second call is answered without holding its folders again; one folder deeper
// it is refused before anything on its path is opened.
TEST_F(RunningClassObjectTest, AClientDeepInFoldersIsAnsweredWithinABound) {
  RegisterHere();
  const std::wstring root = trust_test::MakeScratchFolder(L"deepclient");
  wchar_t full[MAX_PATH] = {};
  ASSERT_NE(0u, GetFullPathNameW(root.c_str(), MAX_PATH, full, nullptr));
  size_t depth = 1;  // folders below the drive's root
  for (const wchar_t* c = full + 3; *c != L'\0'; ++c) depth += *c == L'\\' ? 1 : 0;
  std::wstring deepest = full;
  for (; depth < kMaxHeldFolders; ++depth) {
    deepest += L"\\d";
    ASSERT_TRUE(CreateDirectoryW(LongPathForm(deepest).c_str(), nullptr)) << depth;
  }
  const std::wstring deeper = deepest + L"\\d";
  ASSERT_TRUE(CreateDirectoryW(LongPathForm(deeper).c_str(), nullptr));
  const auto cleanup = Basalt::MakeScopeExit([&] { trust_test::RemoveTree(LongPathForm(root)); });
  struct Case {
    const char* what;
    const std::wstring* program;
    std::wstring at;
    HRESULT expected;
  } const cases[] = {
      {"signed, as deep as allowed", &kProcessSigned, deepest + L"\\signed.exe", S_OK},
      {"unsigned, as deep as allowed", &kProcessUnsigned, deepest + L"\\unsigned.exe",
       kAccessDenied},
      {"signed, one folder deeper", &kProcessSigned, deeper + L"\\signed.exe", kAccessDenied},
  };
  const std::wstring times = root + L"\\times.txt";
  for (const Case& c : cases) {
    ASSERT_TRUE(CopyFileW(c.program->c_str(), LongPathForm(c.at).c_str(), FALSE)) << c.what;
    const LONG createdBefore = Stats(kServerSigned).created;
    const ULONGLONG start = GetTickCount64();
    ClientProcess client(c.at, false, L"twice:" + times);
    EXPECT_EQ(c.expected, static_cast<HRESULT>(client.Finish())) << c.what;
    // Generous against a loaded machine.
    EXPECT_LT(GetTickCount64() - start, 20000u) << c.what;
    EXPECT_EQ(createdBefore + (c.expected == S_OK ? 2 : 0), Stats(kServerSigned).created);
    const CallTimes took = ReadCallTimes(times);
    if (c.expected == S_OK) {
      EXPECT_LT(took.second * 4, took.first) << took.first << " then " << took.second << " us";
    }
  }
}

// A large signed client pays for its check once: its second call is answered from the verdict
// kept for it, in a fraction of the first call's time. A large unsigned one is refused before its
// image is read, in a small fraction of the time a signed one's first call takes.
TEST_F(RunningClassObjectTest, ALargeClientPaysForItsCheckOnce) {
  RegisterHere();
  const std::wstring folder = trust_test::MakeScratchFolder(L"largeclient");
  const std::wstring signedTimes = folder + L"\\signed.txt";
  const std::wstring unsignedTimes = folder + L"\\unsigned.txt";
  ClientProcess signedClient(kLargeSigned, false, L"twice:" + signedTimes);
  ClientProcess unsignedClient(kLargeUnsigned, false, L"twice:" + unsignedTimes);
  ASSERT_TRUE(signedClient.pid() != 0 && unsignedClient.pid() != 0);
  EXPECT_EQ(S_OK, static_cast<HRESULT>(signedClient.Finish()));
  EXPECT_EQ(kAccessDenied, static_cast<HRESULT>(unsignedClient.Finish()));
  const CallTimes large = ReadCallTimes(signedTimes);
  const CallTimes refused = ReadCallTimes(unsignedTimes);
  ASSERT_GT(large.first, 0);
  ASSERT_GE(refused.first, 0);
  EXPECT_LT(large.second * 4, large.first) << large.first << " then " << large.second << " us";
  EXPECT_LT(refused.first * 10, large.first)
      << refused.first << " against " << large.first << " us";
  trust_test::RemoveTree(folder);
}

// A class object registered from a single-threaded apartment serves calls from other processes
// on that apartment's thread, where no RPC call is active and the return address lies in the
// stub: such a call is refused unless its client can be named. Wine's COM reports no call context
// there: with |asWindows| that thread's queries are answered as Windows answers them for a call
// from another process, otherwise Wine's own answers stand (as if the call were direct) and the
// stub at the return address refuses it; the RPC lookup is Wine's own, and names no client there.
class StaServedCallTest : public RunningClassObjectTest,
                          public ::testing::WithParamInterface<bool> {};

TEST_P(StaServedCallTest, ACallThatAnStaServesFromAnotherProcessIsRefusedUnnamed) {
  const bool asWindows = GetParam();
  struct Apartment {
    Basalt::UniqueEvent registered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    Basalt::UniqueEvent stop{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    SecureComServerAnswerComCallsFn answer;
    bool asWindows;
    HRESULT hr = E_FAIL;
  } sta;
  sta.asWindows = asWindows;
  ASSERT_TRUE(sta.registered && sta.stop);
  // The caller check runs in the server library, with the test binding linked into it.
  Basalt::UniqueModule server(LoadLibraryW(kServerSigned.c_str()));
  ASSERT_TRUE(server);
  sta.answer =
      Export<SecureComServerAnswerComCallsFn>(server.get(), kSecureComServerAnswerComCallsExport);
  ASSERT_NE(nullptr, sta.answer);
  const auto serve = [](void* param) -> DWORD {
    auto* a = static_cast<Apartment*>(param);
    Basalt::ScopedComApartment apartment(COINIT_APARTMENTTHREADED);
    ComPtr<IQxClassFactory> factory;
    DWORD cookie = 0;
    a->hr = CoGetClassObject(CLSID_SecureComProbe, CLSCTX_INPROC_SERVER, nullptr,
                             IID_PPV_ARGS(&factory));
    if (SUCCEEDED(a->hr)) {
      a->hr = CoRegisterClassObject(CLSID_SecureComProbe, factory.Get(), CLSCTX_LOCAL_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie);
    }
    if (a->asWindows) a->answer(GetCurrentThreadId(), S_OK, S_FALSE);
    SetEvent(a->registered.get());
    HANDLE stop = a->stop.get();
    while (MsgWaitForMultipleObjects(1, &stop, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    a->answer(0, S_OK, S_OK);
    if (cookie != 0) CoRevokeClassObject(cookie);
    return 0;
  };
  Basalt::UniqueKernelHandle thread(CreateThread(nullptr, 0, serve, &sta, 0, nullptr));
  ASSERT_TRUE(thread);
  const auto join = Basalt::MakeScopeExit([&] {
    SetEvent(sta.stop.get());
    WaitForSingleObject(thread.get(), INFINITE);
  });
  WaitForSingleObject(sta.registered.get(), INFINITE);
  ASSERT_EQ(S_OK, sta.hr);

  const LONG createdBefore = Stats(kServerSigned).created;
  EXPECT_EQ(kAccessDenied, static_cast<HRESULT>(RunClient(kProcessUnsigned))) << "untrusted";
  EXPECT_EQ(kAccessDenied, static_cast<HRESULT>(RunClient(kProcessSigned))) << "trusted";
  EXPECT_EQ(createdBefore, Stats(kServerSigned).created);
}

INSTANTIATE_TEST_SUITE_P(Answers, StaServedCallTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "AsWindows" : "AsWine");
                         });

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
