// ctest-lock: trusted-list
// The built-in tables and the Windows binding of the platform calls, as deliverables have
// them, exercised under the test prefix (with the test roots installed).
#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "SignedFile.h"
#include "TrustFixturePaths.h"
#include "basalt/CryptOwners.h"
#include "basalt/UniqueHandle.h"
#include "trust/CodeTrust.h"
#include "trust/TrustPlatform.h"
#include "trust/TrustTables.h"
#include "trust/TrustedList.h"

namespace {

std::wstring Fixture(const wchar_t* name) { return std::wstring(TRUST_FIXTURE_DIR) + L"\\" + name; }

bool RunningUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(BuiltInBinding, TablesHoldTheBuiltInSignersAndRootsOnly) {
  const char* const roots[] = {
      "afe5d244a8d1194230ff479fe2f897bbcd7a8cb4", "02faf3e291435468607857694df5e45b68851868",
      "742c3192e607e424eb4549542be1bbc53e6174e2", "4eb6d578499b1ccf5f581ead56be3d9b6744a5e5",
      "b1bc968bd4f49d622aa89a81f2150152a41d829c", "2b8f1b57330dbba2d07a6c51f70ee90ddab9ad8e"};
  ASSERT_EQ(TrustedThumbprintCount, 6u);
  for (DWORD i = 0; i < TrustedThumbprintCount; ++i) {
    char hex[41] = {};
    for (int b = 0; b < 20; ++b) wsprintfA(hex + 2 * b, "%02x", TrustedThumbprints[i][b]);
    EXPECT_STREQ(hex, roots[i]) << i;
  }
  EXPECT_EQ(TrustedRefusedSerials[0], nullptr);
  std::vector<std::wstring> names;
  for (const wchar_t* const* p = TrustedSignerNames; *p != nullptr; ++p) names.push_back(*p);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Parvo Corporation", L"Telvan, Inc.", L"Telvan, LLC",
                                              L"Telvan, LLC."}));
  EXPECT_EQ(kBuiltInTrustedListVersion, 7u);
  // No list signer is configured in this build: no list file is ever accepted.
  static const BYTE zero[20] = {};
  EXPECT_EQ(memcmp(TrustedListSignerThumbprint, zero, 20), 0);
  EXPECT_FALSE(VerifyTrustedListSignature(Fixture(L"list_v9.js").c_str()));
}

TEST(BuiltInBinding, TestRootIsNotTrustedByTheBuiltInTables) {
  // Signed by "Telvan, LLC" under the test root, which this prefix trusts but which is
  // none of the built-in roots.
  EXPECT_EQ(VerifyModuleFileTrust(Fixture(L"good.dll").c_str()), 5u);
  EXPECT_EQ(VerifyModuleFileTrust(Fixture(L"unsigned.dll").c_str()), 5u);
  EXPECT_EQ(VerifyModuleFileTrust(L""), 87u);
}

TEST(BuiltInBinding, InstalledListUsesTheDefaultPath) {
  EXPECT_EQ(TrustPlatform::InstalledTrustedListPath(), nullptr);
  wchar_t windows[MAX_PATH] = {};
  ASSERT_NE(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
  PathStripToRootW(windows);
  const std::wstring expected =
      std::wstring(windows) + L"Program Files\\Common Files\\Telvan\\Platform\\Core\\trusted.js";
  EXPECT_EQ(CompareStringOrdinal(GetInstalledTrustedList().GetPath().c_str(), -1, expected.c_str(),
                                 -1, TRUE),
            CSTR_EQUAL)
      << GetInstalledTrustedList().GetPath();
}

TEST(BuiltInBinding, AuthenticodeTimestampPolicy) {
  const trust_test::SignedFile file = trust_test::OpenSigned(Fixture(L"good.dll"));
  ASSERT_NE(file.store, nullptr);
  PCCERT_CONTEXT certificate = CertEnumCertificatesInStore(file.store, nullptr);
  ASSERT_NE(certificate, nullptr);
  UniqueCertContext certificateOwner(certificate);
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof(para);
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  ASSERT_TRUE(CertGetCertificateChain(nullptr, certificate, nullptr, file.store, &para, 0, nullptr,
                                      &chain));
  UniqueCertChain chainOwner(chain);
  const DWORD result = TrustPlatform::VerifyAuthenticodeTimestampPolicy(chain);
  if (RunningUnderWine()) {
    EXPECT_NE(result, 0u) << "Wine has started to implement CERT_CHAIN_POLICY_AUTHENTICODE_TS";
  } else {
    EXPECT_EQ(result, 0u) << std::hex << result;
  }
}

TEST(BuiltInBinding, LegacyCountersignature) {
  const trust_test::SignedFile file = trust_test::OpenSigned(Fixture(L"expired_legacy.dll"));
  ASSERT_NE(file.message, nullptr);
  FILETIME time = {1, 1};
  ASSERT_EQ(GetCounterSignatureTime(file.message, 0, &time), 0u);
  const SYSTEMTIME stampTime = {2010, 6, 2, 1, 0, 0, 0, 0};
  FILETIME june2010 = {};
  ASSERT_TRUE(SystemTimeToFileTime(&stampTime, &june2010));
  if (RunningUnderWine()) {
    // The countersignature cannot be verified there: its time is not taken.
    EXPECT_EQ(time.dwLowDateTime | time.dwHighDateTime, 0u)
        << "Wine has started to implement CryptMsgVerifyCountersignatureEncodedEx";
  } else {
    EXPECT_EQ(CompareFileTime(&time, &june2010), 0);
  }
}

TEST(BuiltInBinding, ScriptSignatureOfAList) {
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  const bool found =
      TrustPlatform::QueryScriptSignature(Fixture(L"list_v9.js").c_str(), &store, &message);
  UniqueCertStore storeOwner(store);
  UniqueCryptMsg messageOwner(message);
  const LONG trust = TrustPlatform::VerifyScriptFileTrust(Fixture(L"list_v9.js").c_str());
  // The test lists are not signed the Windows way: neither Wine nor Windows sees a
  // script signature in them.
  EXPECT_FALSE(found);
  EXPECT_NE(trust, 0);
}

// What COM answers on a thread that serves no call, and on a single-threaded apartment's thread
// while it serves a call from another apartment of this process.
TEST(BuiltInBinding, ComCallQueries) {
  const TrustPlatform::ComCallAnswers none = TrustPlatform::QueryComCall();
  EXPECT_EQ(none.context, RPC_E_CALL_COMPLETE);

  // A class factory whose CreateInstance records the answers on the thread that serves it.
  struct Recorder : IClassFactory {
    TrustPlatform::ComCallAnswers answers = {E_FAIL, E_FAIL};
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
      if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = nullptr;
        return E_NOINTERFACE;
      }
      *ppv = this;
      return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** ppv) override {
      answers = TrustPlatform::QueryComCall();
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
  };
  struct Apartment {
    Recorder recorder;
    IStream* stream = nullptr;
    Basalt::UniqueEvent ready{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    Basalt::UniqueEvent stop{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  } sta;
  ASSERT_TRUE(sta.ready && sta.stop);
  const auto serve = [](void* param) -> DWORD {
    auto* a = static_cast<Apartment*>(param);
    Basalt::ScopedComApartment apartment(COINIT_APARTMENTTHREADED);
    if (FAILED(
            CoMarshalInterThreadInterfaceInStream(IID_IClassFactory, &a->recorder, &a->stream))) {
      a->stream = nullptr;
    }
    SetEvent(a->ready.get());
    HANDLE stop = a->stop.get();
    while (MsgWaitForMultipleObjects(1, &stop, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    return 0;
  };
  Basalt::UniqueKernelHandle thread(CreateThread(nullptr, 0, serve, &sta, 0, nullptr));
  ASSERT_TRUE(thread);
  WaitForSingleObject(sta.ready.get(), INFINITE);
  {
    Basalt::ScopedComApartment apartment(COINIT_MULTITHREADED);
    IClassFactory* proxy = nullptr;
    ASSERT_NE(sta.stream, nullptr);
    ASSERT_EQ(CoGetInterfaceAndReleaseStream(sta.stream, IID_IClassFactory,
                                             reinterpret_cast<void**>(&proxy)),
              S_OK);
    void* object = nullptr;
    EXPECT_EQ(proxy->CreateInstance(nullptr, IID_IUnknown, &object), E_NOINTERFACE);
    proxy->Release();
  }
  SetEvent(sta.stop.get());
  WaitForSingleObject(thread.get(), INFINITE);
  if (RunningUnderWine()) {
    EXPECT_EQ(sta.recorder.answers.context, RPC_E_CALL_COMPLETE)
        << "Wine has started to report COM call contexts";
    EXPECT_EQ(sta.recorder.answers.caller, E_NOTIMPL)
        << "Wine has started to implement CoGetCallerTID";
  } else {
    EXPECT_EQ(sta.recorder.answers.context, S_OK);
    EXPECT_EQ(sta.recorder.answers.caller, S_OK);
  }
}

}  // namespace
