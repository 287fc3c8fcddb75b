// The server's class object through the module's entry points in this (signed) test program: the
// interfaces it answers, the caller check of both its interface tables, object creation and the
// module lock it holds.
#include <gtest/gtest.h>
#include <objbase.h>
#include <wrl/client.h>

#include <string>

#include "QuilletTestSupport.h"
#include "tests/trust/securecom/SecureComTestServer.h"
#include "versionserver/CQxSvcHostVerModule.h"
#include "versionserver/IQxVersion.h"
#include "versionserver/QxSvcHostVerIds.h"

namespace {

using Microsoft::WRL::ComPtr;

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);

std::wstring Caller(const wchar_t* name) {
  return testsupport::WinePath(QX_CALLER_DIR) + L"\\" + name;
}

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class SecureClassFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QxSvcHostVerModule().Init(GetModuleHandleW(nullptr)));
    ASSERT_EQ(S_OK, QuilletDllGetClassObject(CLSID_QxSvcHostVer, IID_PPV_ARGS(&m_factory)));
    m_older = static_cast<CQxSecureClassFactory*>(m_factory.Get());
  }

  ComPtr<IQxClassFactory> m_factory;
  IQxClassFactory_PreComponentization* m_older = nullptr;  // the second table of the same object
};

TEST_F(SecureClassFactoryTest, AnswersOnlyTheSecureFactoryInterface) {
  for (const IID& iid :
       {IID_IClassFactory, IID_IQxClassFactory_PreComponentization, IID_IDispatch}) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, QuilletDllGetClassObject(CLSID_QxSvcHostVer, iid, &out));
    EXPECT_EQ(nullptr, out);
  }
  ComPtr<IUnknown> again;
  ASSERT_EQ(S_OK, QuilletDllGetClassObject(CLSID_QxSvcHostVer, IID_PPV_ARGS(&again)));
  EXPECT_EQ(static_cast<IUnknown*>(m_factory.Get()), again.Get()) << "one cached class object";

  void* out = reinterpret_cast<void*>(1);
  const CLSID other = {
      0x1b1c3b8e, 0x50b5, 0x4b45, {0x9c, 0x4f, 0x0a, 0x52, 0x3e, 0x6a, 0x1d, 0x77}};
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, QuilletDllGetClassObject(other, IID_IUnknown, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, QuilletDllGetClassObject(CLSID_QxSvcHostVer, IID_IUnknown, nullptr));

  ComPtr<IPSFactoryBuffer> proxyStubs;
  EXPECT_EQ(S_OK, QuilletDllGetClassObject(CLSID_QxSvcHostVerPS, IID_PPV_ARGS(&proxyStubs)));
}

TEST_F(SecureClassFactoryTest, ATrustedCallerGetsANewObjectEachTime) {
  for (const bool older : {false, true}) {
    SCOPED_TRACE(older ? "second table" : "first table");
    ComPtr<IQxVersion> first, second;
    for (IQxVersion** out : {first.GetAddressOf(), second.GetAddressOf()}) {
      void** raw = reinterpret_cast<void**>(out);
      ASSERT_EQ(S_OK, older ? m_older->CreateObject(IID_IQxVersion, raw)
                            : m_factory->CreateObject(IID_IQxVersion, raw));
    }
    EXPECT_NE(first.Get(), second.Get());
  }
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, m_factory->CreateObject(IID_IQxSvcHostVersion, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, m_factory->CreateObject(IID_IQxVersion, nullptr));
  EXPECT_EQ(E_POINTER, m_older->CreateObject(IID_IQxVersion, nullptr));
}

// Each table judges the module its call came from: the signed and the unsigned copy of a caller
// DLL call through either table.
TEST_F(SecureClassFactoryTest, EachTableChecksItsOwnCaller) {
  const struct {
    const wchar_t* dll;
    HRESULT expected;
  } callers[] = {{L"SecureComTestCaller_signed.dll", S_OK},
                 {L"SecureComTestCaller.dll", kAccessDenied}};
  for (const auto& caller : callers) {
    Basalt::UniqueModule dll(LoadLibraryW(Caller(caller.dll).c_str()));
    ASSERT_TRUE(dll) << GetLastError();
    const auto create = Export<CallerCreateObjectFn>(dll.get(), kCallerCreateObjectExport);
    const auto createOld = Export<CallerCreateObjectOldFn>(dll.get(), kCallerCreateObjectOldExport);
    for (const bool older : {false, true}) {
      SCOPED_TRACE(testing::Message() << (older ? "second table, " : "first table, ")
                                      << std::string(caller.dll, caller.dll + wcslen(caller.dll)));
      void* out = reinterpret_cast<void*>(1);
      const HRESULT hr = older ? createOld(m_older, IID_IQxVersion, &out)
                               : create(m_factory.Get(), IID_IQxVersion, &out);
      EXPECT_EQ(caller.expected, hr);
      if (SUCCEEDED(hr)) {
        static_cast<IUnknown*>(out)->Release();
      } else {
        EXPECT_EQ(reinterpret_cast<void*>(1), out) << "a refusal leaves the out pointer alone";
      }
    }
  }
}

// The module map's reference keeps nothing loaded; every other reference and every object does.
TEST(SecureClassFactory, ClassObjectReferencesAndObjectsHoldTheModule) {
  ASSERT_TRUE(QxSvcHostVerModule().Init(GetModuleHandleW(nullptr)));
  EXPECT_EQ(S_OK, QuilletDllCanUnloadNow());
  ComPtr<IQxClassFactory> factory;
  ASSERT_EQ(S_OK, QuilletDllGetClassObject(CLSID_QxSvcHostVer, IID_PPV_ARGS(&factory)));
  EXPECT_EQ(1, QxSvcHostVerModule().GetLockCount());
  EXPECT_EQ(S_FALSE, QuilletDllCanUnloadNow());
  EXPECT_EQ(3u, factory->AddRef());
  EXPECT_EQ(1, QxSvcHostVerModule().GetLockCount());
  EXPECT_EQ(2u, factory->Release());

  ComPtr<IQxVersion> version;
  ASSERT_EQ(S_OK, factory->CreateObject(IID_PPV_ARGS(&version)));
  factory.Reset();
  EXPECT_EQ(1, QxSvcHostVerModule().GetLockCount());
  EXPECT_EQ(S_FALSE, QuilletDllCanUnloadNow()) << "an object is alive";
  version.Reset();
  EXPECT_EQ(0, QxSvcHostVerModule().GetLockCount());
  EXPECT_EQ(S_OK, QuilletDllCanUnloadNow());
}

}  // namespace
