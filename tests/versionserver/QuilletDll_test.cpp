// ctest-lock: quillet-registration qxclassfactory-proxy
// Quillet.dll itself: its registration against the prefix's registry, its resources and version,
// its entry points, and serving the shipped description with the other deliverables beside it.
// The real DLL carries the built-in trust tables; the copy in testtrust/ carries the test tables
// and admits this signed test program.
#include <gtest/gtest.h>
#include <windows.h>
// These need <windows.h> first.
#include <oleauto.h>
#include <sddl.h>
#include <wrl/client.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "QuilletTestSupport.h"
#include "tests/support/AllocationFailures.h"
#include "tests/support/FixedFileVersion.h"
#include "trust/SecureCom.h"
#include "versionserver/CQxSvcHostVerModule.h"
#include "versionserver/IQxVersion.h"
#include "versionserver/QxSvcHostVerIds.h"
#include "versionserver/QxSvcHostVerPs.h"
#include "versionserver/resource.h"

namespace {

using Microsoft::WRL::ComPtr;
using quillet_test::Regsvr32;
using testsupport::WinePath;

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);
const wchar_t kClassKey[] = L"CLSID\\{A95B959F-64A9-43E4-A874-C8A77905854A}";
const wchar_t kAppIdKey[] = L"AppID\\{0A78438F-6396-4133-99B1-3CF591AFB157}";
const wchar_t kAppNameKey[] = L"AppID\\Quillet.DLL";
const wchar_t kAppId[] = L"{0A78438F-6396-4133-99B1-3CF591AFB157}";
const wchar_t kLibId[] = L"{3ACF0180-547B-4117-91B7-05E29BFF7B81}";
const wchar_t kProxyStubClsid[] = L"{C8C3A940-EE0E-4BFD-A151-E31A7F05F866}";
const wchar_t* const kMarshalledIids[] = {L"{C8C3A940-EE0E-4BFD-A151-E31A7F05F866}",
                                          L"{FFBF163F-925A-41C4-82A4-0AC6AE77B9D2}",
                                          L"{98C36371-A729-44C7-A177-F8D76CE567C7}"};

const std::wstring kRealDll = WinePath(QX_QUILLET_DLL);
const std::wstring kTestTrustDll = WinePath(QX_QUILLET_TESTTRUST_DLL);

bool KeyExists(const std::wstring& key) {
  Basalt::UniqueHKey opened;
  return RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.put()) == ERROR_SUCCESS;
}

// The string values of a key by name ("" for the default) and the names of its subkeys.
struct KeyContent {
  std::map<std::wstring, std::wstring> values;
  std::set<std::wstring> subkeys;
};

KeyContent ReadKey(const std::wstring& key) {
  KeyContent content;
  Basalt::UniqueHKey opened;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.put()) != ERROR_SUCCESS) {
    return content;
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256] = {};
    wchar_t data[1024] = {};
    DWORD nameChars = 256, bytes = sizeof(data) - sizeof(wchar_t), type = 0;
    if (RegEnumValueW(opened.get(), i, name, &nameChars, nullptr, &type,
                      reinterpret_cast<BYTE*>(data), &bytes) != ERROR_SUCCESS) {
      break;
    }
    content.values[name] = type == REG_SZ ? data : L"<not a string>";
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256] = {};
    if (RegEnumKeyW(opened.get(), i, name, 256) != ERROR_SUCCESS) break;
    content.subkeys.insert(name);
  }
  return content;
}

void ExpectKey(const std::wstring& key, const std::map<std::wstring, std::wstring>& values,
               const std::set<std::wstring>& subkeys) {
  SCOPED_TRACE(testing::Message() << "HKCR\\" << std::string(key.begin(), key.end()));
  const KeyContent content = ReadKey(key);
  EXPECT_EQ(values, content.values);
  EXPECT_EQ(subkeys, content.subkeys);
}

// Whether any entry of the proxy/stub part is registered: an interface key or the proxy/stub
// class.
bool AnyProxyStubEntry() {
  for (const wchar_t* iid : kMarshalledIids) {
    if (KeyExists(std::wstring(L"Interface\\") + iid)) return true;
  }
  return KeyExists(std::wstring(L"CLSID\\") + kProxyStubClsid);
}

TEST(QuilletDll, CarriesTheBuildsVersion) {
  for (const std::wstring& file :
       {kRealDll, kTestTrustDll, WinePath(QX_STANDIN_HOLLIN), WinePath(QX_STANDIN_FENNICK)}) {
    const auto version = testsupport::ReadFixedFileVersion(file);
    ASSERT_TRUE(version.found);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(6, 17)), version.ms);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(0, 140)), version.ls);
  }
}

// The keys and values of the registration script, exactly; the class key is rewritten whole; the
// type library is named but not registered; unregistration leaves AppID and CLSID themselves.
TEST(QuilletDll, RegistersExactlyItsEntriesAndRemovesThemAgain) {
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetKeyValueW(HKEY_CLASSES_ROOT, (std::wstring(kClassKey) + L"\\Stale").c_str(),
                            L"Old", REG_SZ, L"x", 4));
  ASSERT_EQ(0u, Regsvr32(kRealDll, false));
  ExpectKey(kAppIdKey, {{L"", L"Quillet"}}, {});
  ExpectKey(kAppNameKey, {{L"AppID", kAppId}}, {});
  ExpectKey(kClassKey, {{L"", L"CQxSvcHostVer Class"}, {L"AppID", kAppId}},
            {L"InprocServer32", L"TypeLib"});
  ExpectKey(std::wstring(kClassKey) + L"\\InprocServer32",
            {{L"", kRealDll}, {L"ThreadingModel", L"Both"}}, {});
  ExpectKey(std::wstring(kClassKey) + L"\\TypeLib", {{L"", kLibId}}, {});
  EXPECT_FALSE(KeyExists(std::wstring(L"TypeLib\\") + kLibId));
  for (const wchar_t* iid : kMarshalledIids) {
    SCOPED_TRACE(testing::Message() << std::wstring(iid).c_str());
    EXPECT_EQ(kProxyStubClsid,
              ReadKey(std::wstring(L"Interface\\") + iid + L"\\ProxyStubClsid32").values[L""]);
  }
  EXPECT_EQ(kRealDll,
            ReadKey(std::wstring(L"CLSID\\") + kProxyStubClsid + L"\\InprocServer32").values[L""]);

  ASSERT_EQ(0u, Regsvr32(kRealDll, true));
  for (const std::wstring& key :
       {std::wstring(kClassKey), std::wstring(kAppIdKey), std::wstring(kAppNameKey),
        std::wstring(L"CLSID\\") + kProxyStubClsid, std::wstring(L"TypeLib\\") + kLibId}) {
    EXPECT_FALSE(KeyExists(key)) << std::string(key.begin(), key.end());
  }
  for (const wchar_t* iid : kMarshalledIids) {
    EXPECT_FALSE(KeyExists(std::wstring(L"Interface\\") + iid));
  }
  EXPECT_TRUE(KeyExists(L"AppID"));
  EXPECT_TRUE(KeyExists(L"CLSID"));
}

// Loaded fresh: the proxy/stub class answers first; the version class answers only the secure
// factory interface and keeps the DLL while it is held.
TEST(QuilletDll, EntryPointsAnswerTheirClasses) {
  ASSERT_EQ(nullptr, GetModuleHandleW(kRealDll.c_str()));
  Basalt::UniqueModule dll(LoadLibraryW(kRealDll.c_str()));
  ASSERT_TRUE(dll);
  using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  using CanUnloadNowFn = HRESULT(WINAPI*)();
  const auto getClassObject = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(dll.get(), "DllGetClassObject")));
  const auto canUnloadNow = reinterpret_cast<CanUnloadNowFn>(
      reinterpret_cast<void*>(GetProcAddress(dll.get(), "DllCanUnloadNow")));
  ASSERT_NE(nullptr, getClassObject);
  ASSERT_NE(nullptr, canUnloadNow);

  {
    ComPtr<IPSFactoryBuffer> proxyStubs;
    EXPECT_EQ(S_OK, getClassObject(CLSID_QxSvcHostVerPS, IID_PPV_ARGS(&proxyStubs)));
    EXPECT_EQ(S_FALSE, canUnloadNow());
  }
  EXPECT_EQ(S_OK, canUnloadNow());

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, getClassObject(CLSID_QxSvcHostVer, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  ComPtr<IUnknown> factory;
  EXPECT_EQ(S_OK, getClassObject(CLSID_QxSvcHostVer, IID_IQxClassFactory, &factory));
  EXPECT_EQ(S_FALSE, canUnloadNow());
  factory.Reset();
  EXPECT_EQ(S_OK, canUnloadNow());
  const CLSID other = {
      0x1b1c3b8e, 0x50b5, 0x4b45, {0x9c, 0x4f, 0x0a, 0x52, 0x3e, 0x6a, 0x1d, 0x77}};
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(other, IID_IUnknown, &out));
}

// String table 100, the type library (carried, not registered) and the shipped description with
// exactly its three entries.
TEST(QuilletDll, CarriesItsResources) {
  Basalt::UniqueModule dll(LoadLibraryExW(
      kRealDll.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_TRUE(dll);
  wchar_t name[64] = {};
  EXPECT_EQ(12, LoadStringW(dll.get(), IDS_PROJNAME, name, 64));
  EXPECT_STREQ(L"QxSvcHostVer", name);
  EXPECT_NE(nullptr, FindResourceW(dll.get(), MAKEINTRESOURCEW(IDR_QXSVCHOSTVER), L"REGISTRY"));

  ComPtr<ITypeLib> library;
  ASSERT_EQ(S_OK, LoadTypeLibEx(kRealDll.c_str(), REGKIND_NONE, &library));
  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(S_OK, library->GetLibAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(LIBID_QxSvcHostVerLib, attributes->guid));
  EXPECT_EQ(1, attributes->wMajorVerNum);
  EXPECT_EQ(0, attributes->wMinorVerNum);
  library->ReleaseTLibAttr(attributes);
  BSTR libName = nullptr, libHelp = nullptr;
  ASSERT_EQ(S_OK, library->GetDocumentation(-1, &libName, &libHelp, nullptr, nullptr));
  EXPECT_STREQ(L"QxSvcHostVerLib", libName);
  EXPECT_STREQ(L"QxSvcHostVer 1.0 Type Library", libHelp);
  SysFreeString(libName);
  SysFreeString(libHelp);
  const struct {
    const GUID* guid;
    TYPEKIND kind;
    const wchar_t* name;
    const wchar_t* help;
  } types[] = {{&CLSID_QxSvcHostVer, TKIND_COCLASS, L"QxSvcHostVer", L"CQxSvcHostVer Class"},
               {&IID_IQxSvcHostVersion, TKIND_DISPATCH, L"IQxSvcHostVersion",
                L"IQxSvcHostVersion Interface"}};
  for (const auto& type : types) {
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(*type.guid, &info));
    TYPEATTR* typeAttributes = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&typeAttributes));
    EXPECT_EQ(type.kind, typeAttributes->typekind);
    info->ReleaseTypeAttr(typeAttributes);
    BSTR typeName = nullptr, typeHelp = nullptr;
    ASSERT_EQ(S_OK, info->GetDocumentation(MEMBERID_NIL, &typeName, &typeHelp, nullptr, nullptr));
    EXPECT_STREQ(type.name, typeName);
    EXPECT_STREQ(type.help, typeHelp);
    SysFreeString(typeName);
    SysFreeString(typeHelp);
  }
  ComPtr<ITypeInfo> hidden;
  EXPECT_NE(S_OK, library->GetTypeInfoOfGuid(IID_IQxVersion, &hidden));

  // The description: extract it and read every section name it may use.
  HRSRC resource = FindResourceW(dll.get(), MAKEINTRESOURCEW(IDR_COMPONENTS_INI), L"INI");
  ASSERT_NE(nullptr, resource);
  const char* bytes = static_cast<const char*>(LockResource(LoadResource(dll.get(), resource)));
  const std::wstring folder = trust_test::MakeScratchFolder(L"ini");
  const std::wstring ini = folder + L"\\shipped.ini";
  ASSERT_TRUE(
      quillet_test::WriteBytes(ini, std::string(bytes, SizeofResource(dll.get(), resource))));
  std::map<std::wstring, std::vector<std::wstring>> entries;
  for (const wchar_t* base : {L"DirID", L"FILES", L"COM", L"SERVICE"}) {
    for (const wchar_t* suffix : {L"", L"-win98", L"-winme", L"-win2k", L"-winxp", L"-VISTA",
                                  L"-all9x", L"-allnt", L"-win64"}) {
      const std::wstring section = std::wstring(base) + suffix;
      wchar_t text[4096] = {};
      GetPrivateProfileSectionW(section.c_str(), text, 4096, ini.c_str());
      for (const wchar_t* line = text; *line != L'\0'; line += wcslen(line) + 1) {
        if (*line != L';') entries[section].push_back(line);
      }
    }
  }
  trust_test::RemoveTree(folder);
  const std::map<std::wstring, std::vector<std::wstring>> expected = {
      {L"DirID", {L"45000=clsid:{A95B959F-64A9-43E4-A874-C8A77905854A}"}},
      {L"FILES", {L"45000=hollin.exe,fennick.dll"}},
      {L"COM", {L"quillet.dll={A95B959F-64A9-43E4-A874-C8A77905854A}"}},
  };
  EXPECT_EQ(expected, entries);
}

// Registers |dll| for the test and removes the registration again.
class RegisteredServer {
 public:
  explicit RegisteredServer(const std::wstring& dll) : m_dll(dll) {
    m_registered = Regsvr32(dll, false) == 0;
  }
  ~RegisteredServer() {
    CoFreeUnusedLibraries();
    if (m_registered) Regsvr32(m_dll, true);
  }
  bool ok() const { return m_registered; }

 private:
  std::wstring m_dll;
  bool m_registered = false;
};

struct Answer {
  HRESULT hr = E_UNEXPECTED;
  DWORD result = 0xFFFF;
  std::wstring text;
  bool hasText = false;
};

Answer Ask(IQxVersion* version, bool check) {
  Answer answer;
  LPWSTR text = nullptr;
  answer.hr = check ? version->CheckComponents(&text, &answer.result)
                    : version->GetVersion(&text, &answer.result);
  answer.hasText = text != nullptr;
  if (text != nullptr) answer.text = text;
  CoTaskMemFree(text);
  return answer;
}

// Installed beside Hollin.exe and Fennick.dll (the stand-ins) and registered, the server reports
// the three versions; a missing one is listed by the component check. The same in a folder whose
// name the ANSI code page cannot hold (the listed path carries the folder in that code page, as
// every output line does) and in a folder whose name holds a "%", which is registered as it stands.
TEST(QuilletDll, ReportsTheDeliverablesInstalledBesideIt) {
  Basalt::ScopedComApartment apartment(COINIT_MULTITHREADED);
  ASSERT_TRUE(apartment.succeeded());
  ASSERT_FALSE(quillet_test::AnsiHolds(quillet_test::kOutsideAnsiName))
      << "ANSI code page " << GetACP();
  for (const wchar_t* name : {L"install", quillet_test::kOutsideAnsiName, L"100%"}) {
    SCOPED_TRACE(testing::Message() << quillet_test::Ansi(name));
    const std::wstring root = trust_test::MakeScratchFolder(L"install");
    const std::wstring folder = root + L"\\" + name;
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring dll = folder + L"\\Quillet.dll";
    ASSERT_TRUE(quillet_test::CopyInto(kTestTrustDll, dll));
    ASSERT_TRUE(quillet_test::CopyInto(WinePath(QX_STANDIN_HOLLIN), folder + L"\\Hollin.exe"));
    ASSERT_TRUE(quillet_test::CopyInto(WinePath(QX_STANDIN_FENNICK), folder + L"\\Fennick.dll"));
    {
      RegisteredServer server(dll);
      ASSERT_TRUE(server.ok());
      EXPECT_EQ(
          0, _wcsicmp(dll.c_str(),
                      ReadKey(std::wstring(kClassKey) + L"\\InprocServer32").values[L""].c_str()));
      ComPtr<IQxClassFactory> factory;
      ASSERT_EQ(S_OK, CoGetClassObject(CLSID_QxSvcHostVer, CLSCTX_INPROC_SERVER, nullptr,
                                       IID_PPV_ARGS(&factory)));
      ComPtr<IQxVersion> version;
      ASSERT_EQ(S_OK, factory->CreateObject(IID_PPV_ARGS(&version)));

      Answer answer = Ask(version.Get(), false);
      EXPECT_EQ(S_OK, answer.hr);
      EXPECT_EQ(0u, answer.result);
      EXPECT_EQ(L"hollin.exe=17.6.140.0\nfennick.dll=17.6.140.0\nquillet.dll=17.6.140.0\n",
                answer.text);
      answer = Ask(version.Get(), true);
      EXPECT_EQ(S_OK, answer.hr);
      EXPECT_EQ(0u, answer.result);
      EXPECT_FALSE(answer.hasText);

      ASSERT_TRUE(DeleteFileW((folder + L"\\Fennick.dll").c_str()));
      answer = Ask(version.Get(), true);
      EXPECT_EQ(S_OK, answer.hr);
      EXPECT_EQ(2u, answer.result);
      const std::wstring listed =
          quillet_test::FromAnsi(quillet_test::Ansi(folder)) + L"\\fennick.dll\n";
      EXPECT_EQ(0, _wcsicmp(listed.c_str(), answer.text.c_str()))
          << quillet_test::Ansi(answer.text);
      answer = Ask(version.Get(), false);
      EXPECT_EQ(2u, answer.result);
      EXPECT_EQ(L"hollin.exe=17.6.140.0\nquillet.dll=17.6.140.0\n", answer.text);
    }
    trust_test::RemoveTree(root);
  }
}

// The real DLL judges callers with the built-in trust tables; under Wine no file passes them (the
// test signer's root is not built in, and Wine lacks the time-stamp chain policy).
TEST(QuilletDll, TheBuiltInTablesRefuseEveryCallerUnderWine) {
  Basalt::ScopedComApartment apartment(COINIT_MULTITHREADED);
  ASSERT_TRUE(apartment.succeeded());
  RegisteredServer server(kRealDll);
  ASSERT_TRUE(server.ok());
  ComPtr<IQxClassFactory> factory;
  ASSERT_EQ(S_OK, CoGetClassObject(CLSID_QxSvcHostVer, CLSCTX_INPROC_SERVER, nullptr,
                                   IID_PPV_ARGS(&factory)));
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(kAccessDenied, factory->CreateObject(IID_IQxVersion, &out));
  EXPECT_EQ(reinterpret_cast<void*>(1), out);
  ComPtr<IUnknown> classic;
  EXPECT_EQ(E_NOINTERFACE, CoCreateInstance(CLSID_QxSvcHostVer, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_PPV_ARGS(&classic)));
}

// Memory that runs out anywhere in registration or unregistration is E_OUTOFMEMORY from the
// export, never an exception out of it, and a registration that fails so writes no proxy/stub
// entries. This program's module code registers the real DLL.
TEST(QuilletDll, RunningOutOfMemoryInRegistrationIsAResult) {
  Basalt::UniqueModule dll(LoadLibraryW(kRealDll.c_str()));
  ASSERT_TRUE(dll);
  ASSERT_TRUE(QxSvcHostVerModule().Init(dll.get()));
  (void)QxPsDllUnregisterProxy(dll.get());
  ASSERT_FALSE(AnyProxyStubEntry());
  for (const bool registering : {true, false}) {
    for (long allocations = 0;; ++allocations) {
      SCOPED_TRACE(testing::Message()
                   << (registering ? "registering, " : "unregistering, ") << allocations);
      HRESULT hr = E_UNEXPECTED;
      bool thrown = false;
      bool failed = false;
      {
        testsupport::ScopedAllocationFailure failure(allocations);
        try {
          hr = registering ? QuilletDllRegisterServer() : QuilletDllUnregisterServer();
        } catch (...) {
          thrown = true;
        }
        failed = failure.failed();
      }
      EXPECT_FALSE(thrown);
      if (!failed) {
        EXPECT_EQ(S_OK, hr);
        break;
      }
      EXPECT_EQ(E_OUTOFMEMORY, hr);
      // The module part failed: the proxy/stub part is not registered.
      if (registering) {
        EXPECT_FALSE(AnyProxyStubEntry());
      }
    }
    EXPECT_EQ(registering, KeyExists(kClassKey));
  }
}

// A key of the script that cannot be written fails the module part of registration: the export
// returns that failure and registers no proxy/stub entries.
TEST(QuilletDll, AFailingModulePartRegistersNoProxyStubEntries) {
  Basalt::UniqueModule dll(LoadLibraryW(kRealDll.c_str()));
  ASSERT_TRUE(dll);
  ASSERT_TRUE(QxSvcHostVerModule().Init(dll.get()));
  (void)QxSvcHostVerModule().UnregisterServer();
  (void)QxPsDllUnregisterProxy(dll.get());
  ASSERT_FALSE(AnyProxyStubEntry());

  // Readable and removable, but no value or subkey can be written.
  Basalt::UniqueHKey locked;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, kAppNameKey, 0, nullptr, 0,
                                           KEY_READ | WRITE_DAC, nullptr, locked.put(), nullptr));
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:P(A;;KRSDWD;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
  const LONG secured = RegSetKeySecurity(locked.get(), DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  locked.reset();
  const HMODULE module = dll.get();
  const auto cleanup = Basalt::MakeScopeExit([module] {
    (void)QxPsDllUnregisterProxy(module);
    RegDeleteKeyW(HKEY_CLASSES_ROOT, kAppNameKey);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kAppIdKey);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey);
  });

  ASSERT_EQ(ERROR_SUCCESS, secured);

  EXPECT_EQ(E_ACCESSDENIED, QuilletDllRegisterServer());
  EXPECT_FALSE(AnyProxyStubEntry());
  EXPECT_FALSE(KeyExists(kClassKey)) << "the class comes after the application's keys";
}

}  // namespace
