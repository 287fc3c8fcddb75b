// The version object over this test program's description (resource INI 207): the two-call
// protocol, its results and log lines, allocation failure, the temporary file, double-byte names,
// and the object's interfaces.
#include <gtest/gtest.h>
#include <objbase.h>
#include <wrl/client.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "QuilletTestSupport.h"
#include "etwlogging/LogCapture.h"
#include "tests/support/AllocationFailures.h"
#include "versionserver/CQxSvcHostVerModule.h"
#include "versionserver/QxGetVersion.h"
#include "versionserver/QxSvcHostVerIds.h"
#include "versionserver/QxSvcHostVerImpl.h"

namespace {

using Microsoft::WRL::ComPtr;
using testsupport::WinePath;

// "テスト.dll" in code page 932.
const char kDbcsName[] = "\x83\x65\x83\x58\x83\x67.dll";
const wchar_t kVersion[] = L"17.6.140.0";

std::wstring Wide(const std::string& text, UINT codePage) {
  const int chars = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(chars > 0 ? static_cast<size_t>(chars) : 1, L'\0');
  MultiByteToWideChar(codePage, 0, text.c_str(), -1, &out[0], chars);
  out.resize(out.size() - 1);
  return out;
}

// Makes CoTaskMemAlloc fail while armed, or runs a hook just before it allocates |hookBytes|.
class MallocSpy final : public IMallocSpy {
 public:
  std::function<void()> beforeAlloc;
  SIZE_T hookBytes = 0;
  bool failing = false;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMallocSpy)) {
      *ppv = static_cast<IMallocSpy*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T request) override {
    if (beforeAlloc && request == hookBytes) beforeAlloc();
    return failing ? 0 : request;
  }
  void* STDMETHODCALLTYPE PostAlloc(void* actual) override { return actual; }
  void* STDMETHODCALLTYPE PreFree(void* request, BOOL) override { return request; }
  void STDMETHODCALLTYPE PostFree(BOOL) override {}
  SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T size, void** newRequest,
                                      BOOL) override {
    *newRequest = request;
    return size;
  }
  void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL) override { return actual; }
  void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
  SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T actual, BOOL) override { return actual; }
  void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
  int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  void STDMETHODCALLTYPE PreHeapMinimize() override {}
  void STDMETHODCALLTYPE PostHeapMinimize() override {}
};

// COM may keep a revoked spy until its blocks are freed: it lives as long as the process.
MallocSpy g_spy;

class ScopedMallocSpy {
 public:
  ScopedMallocSpy() { m_registered = SUCCEEDED(CoRegisterMallocSpy(&g_spy)); }
  ~ScopedMallocSpy() {
    g_spy.failing = false;
    g_spy.beforeAlloc = nullptr;
    if (m_registered) CoRevokeMallocSpy();
  }
  bool registered() const { return m_registered; }

 private:
  bool m_registered = false;
};

struct Answer {
  HRESULT hr = E_UNEXPECTED;
  DWORD result = 0xFFFF;
  bool hasText = false;
  std::wstring text;
};

// A folder A (%QXVERTEST_A%, for present.dll) and a folder B (%QXVERTEST_B%, for the file with a
// double-byte name); temporary files go to a folder of their own.
class VersionObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QxSvcHostVerModule().Init(GetModuleHandleW(nullptr)));
    ASSERT_TRUE(m_capture.active());
    ASSERT_EQ(S_OK, CQxSvcHostVer::CreateInstance(nullptr, IID_PPV_ARGS(&m_version)));
  }
  void TearDown() override {
    m_version.Reset();
    for (const auto& folder : {m_a, m_b, m_temp}) trust_test::RemoveTree(folder);
  }

  void PutPresent() const {
    ASSERT_TRUE(quillet_test::CopyInto(WinePath(QX_STANDIN_FENNICK), m_a + L"\\present.dll"));
  }
  // The double-byte file under the name the ANSI file functions give those bytes.
  void PutDbcs() const {
    ASSERT_TRUE(quillet_test::CopyInto(WinePath(QX_STANDIN_FENNICK),
                                       m_b + L"\\" + Wide(kDbcsName, CP_ACP)));
  }
  // How the object reports the double-byte name: in the thread's code page.
  static std::wstring DbcsShown() { return Wide(kDbcsName, CP_THREAD_ACP); }

  Answer Ask(bool check) const {
    Answer answer;
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    answer.hr = check ? m_version->CheckComponents(&text, &answer.result)
                      : m_version->GetVersion(&text, &answer.result);
    answer.hasText = text != nullptr;
    if (text != nullptr && text != reinterpret_cast<LPWSTR>(1)) answer.text = text;
    if (text != reinterpret_cast<LPWSTR>(1)) CoTaskMemFree(text);
    return answer;
  }

  // Whether a line |message| at |level| and |line| of |function| was logged.
  bool Logged(const wchar_t* function, ETWLogging::LogLevel level, int line,
              const std::wstring& message) const {
    for (const auto& r : m_log.Records()) {
      if (r.file == L"QxSvcHostVerImpl" && r.function == function && r.level == level &&
          r.line == line && r.message == message) {
        return true;
      }
    }
    return false;
  }

  const std::wstring m_a = trust_test::MakeScratchFolder(L"a");
  const std::wstring m_b = trust_test::MakeScratchFolder(L"b");
  const std::wstring m_temp = trust_test::MakeScratchFolder(L"tmp");
  quillet_test::ScopedEnvironment m_envA{L"QXVERTEST_A", m_a};
  quillet_test::ScopedEnvironment m_envB{L"QXVERTEST_B", m_b};
  quillet_test::ScopedEnvironment m_tmp{L"TMP", m_temp};
  quillet_test::ScopedEnvironment m_tempVar{L"TEMP", m_temp};
  ETWLogging::CLogCapture m_log;
  ETWLogging::ScopedLogCapture m_capture{m_log};
  ComPtr<IQxVersion> m_version;
};

const wchar_t kGetVersion[] = L"CQxSvcHostVer::GetVersion";
const wchar_t kCheckComponents[] = L"CQxSvcHostVer::CheckComponents";

TEST_F(VersionObjectTest, AnswersWithTheLinesOfTheDescription) {
  PutPresent();
  Answer versions = Ask(false);
  EXPECT_EQ(S_OK, versions.hr);
  EXPECT_EQ(2u, versions.result) << "the double-byte file is missing";
  EXPECT_EQ(std::wstring(L"present.dll=") + kVersion + L"\n", versions.text);
  Answer missing = Ask(true);
  EXPECT_EQ(S_OK, missing.hr);
  EXPECT_EQ(2u, missing.result);
  EXPECT_EQ(m_b + L"\\" + DbcsShown() + L"\n", missing.text);
  EXPECT_TRUE(Logged(kGetVersion, ETWLogging::kLogNormal, 25, L"Starting"));
  EXPECT_TRUE(Logged(kGetVersion, ETWLogging::kLogNormal, 68, L"Complete"));
  EXPECT_TRUE(Logged(kCheckComponents, ETWLogging::kLogNormal, 76, L"Starting"));
  EXPECT_TRUE(Logged(kCheckComponents, ETWLogging::kLogNormal, 119, L"Complete"));

  PutDbcs();
  versions = Ask(false);
  EXPECT_EQ(0u, versions.result);
  EXPECT_EQ(
      std::wstring(L"present.dll=") + kVersion + L"\n" + DbcsShown() + L"=" + kVersion + L"\n",
      versions.text);
  missing = Ask(true);
  EXPECT_EQ(S_OK, missing.hr);
  EXPECT_EQ(0u, missing.result);
  EXPECT_FALSE(missing.hasText) << "nothing is missing";
  EXPECT_TRUE(
      Logged(kCheckComponents, ETWLogging::kLogError, 97, L"No data from QxCheckComponents"));
}

TEST_F(VersionObjectTest, NothingToReportIsSuccessWithoutText) {
  const Answer versions = Ask(false);
  EXPECT_EQ(S_OK, versions.hr);
  EXPECT_EQ(0u, versions.result) << "even though required files are missing";
  EXPECT_FALSE(versions.hasText);
  EXPECT_TRUE(Logged(kGetVersion, ETWLogging::kLogError, 46, L"No data from QxGetVersion"));
}

TEST_F(VersionObjectTest, NullPointersAreRefusedAndNothingIsWritten) {
  for (const bool check : {false, true}) {
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    DWORD result = 77;
    EXPECT_EQ(E_INVALIDARG, check ? m_version->CheckComponents(&text, nullptr)
                                  : m_version->GetVersion(&text, nullptr));
    EXPECT_EQ(reinterpret_cast<LPWSTR>(1), text);
    EXPECT_EQ(E_INVALIDARG, check ? m_version->CheckComponents(nullptr, &result)
                                  : m_version->GetVersion(nullptr, &result));
    EXPECT_EQ(77u, result);
  }
  EXPECT_TRUE(Logged(kGetVersion, ETWLogging::kLogError, 29, L"Invalid Arguments"));
  EXPECT_TRUE(Logged(kCheckComponents, ETWLogging::kLogError, 80, L"Invalid Arguments"));
}

// A failed allocation of the text is a failure, not a success without text.
TEST_F(VersionObjectTest, NoMemoryForTheTextIsOutOfMemory) {
  PutPresent();
  ScopedMallocSpy spy;
  ASSERT_TRUE(spy.registered());
  g_spy.failing = true;
  for (const bool check : {false, true}) {
    const Answer answer = Ask(check);
    EXPECT_EQ(E_OUTOFMEMORY, answer.hr);
    EXPECT_EQ(8u, answer.result);
    EXPECT_FALSE(answer.hasText);
  }
  EXPECT_TRUE(Logged(kGetVersion, ETWLogging::kLogError, 55, L"ERROR_NOT_ENOUGH_MEMORY"));
  EXPECT_TRUE(Logged(kCheckComponents, ETWLogging::kLogError, 106, L"ERROR_NOT_ENOUGH_MEMORY"));
}

TEST_F(VersionObjectTest, FailuresAreReportedWithTheEvaluationsCode) {
  // A file that appears between the two calls makes the text longer than was sized.
  PutDbcs();
  {
    ScopedMallocSpy spy;
    ASSERT_TRUE(spy.registered());
    // The text of the one line: name, "=", version, line end, closing line end and terminator.
    g_spy.hookBytes = (DbcsShown().size() + std::wcslen(kVersion) + 4) * sizeof(wchar_t);
    g_spy.beforeAlloc = [this] { PutPresent(); };
    const Answer answer = Ask(false);
    EXPECT_EQ(E_FAIL, answer.hr);
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), answer.result);
    EXPECT_FALSE(answer.hasText);
  }
  EXPECT_TRUE(Logged(kGetVersion, ETWLogging::kLogError, 64, L"Error '0x000000EA'"));

  // A module without the description.
  ASSERT_TRUE(QxSvcHostVerModule().Init(GetModuleHandleW(L"kernel32.dll")));
  const Answer answer = Ask(true);
  ASSERT_TRUE(QxSvcHostVerModule().Init(GetModuleHandleW(nullptr)));
  EXPECT_EQ(E_FAIL, answer.hr);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), answer.result);
  EXPECT_TRUE(Logged(kCheckComponents, ETWLogging::kLogError, 90, L"Error '0x0000000D'"));
}

// Memory that runs out anywhere in an evaluation gives a result code (8, or 14 for the section
// buffer) or the answer itself, never a wrong answer or an exception out of the entry point; the
// temporary file still goes.
TEST_F(VersionObjectTest, RunningOutOfMemoryAnywhereIsAResult) {
  PutPresent();
  const HMODULE module = GetModuleHandleW(nullptr);
  DWORD expected = 0;
  ASSERT_EQ(static_cast<DWORD>(ERROR_MORE_DATA),
            QxGetVersion(module, IDR_COMPONENTS_INI, L"INI", nullptr, &expected));
  for (long allocations = 0;; ++allocations) {
    SCOPED_TRACE(allocations);
    DWORD length = 0;
    DWORD code = 0;
    bool thrown = false;
    bool failed = false;
    {
      testsupport::ScopedAllocationFailure failure(allocations);
      try {
        code = QxGetVersion(module, IDR_COMPONENTS_INI, L"INI", nullptr, &length);
      } catch (...) {
        thrown = true;
      }
      failed = failure.failed();
    }
    EXPECT_FALSE(thrown);
    EXPECT_EQ(0, quillet_test::CountFiles(m_temp));
    if (code == ERROR_MORE_DATA) {
      EXPECT_EQ(expected, length);
    } else {
      EXPECT_TRUE(failed);
      EXPECT_TRUE(code == ERROR_NOT_ENOUGH_MEMORY || code == ERROR_OUTOFMEMORY) << code;
    }
    if (!failed) break;
  }
}

TEST_F(VersionObjectTest, EveryCallRemovesItsTemporaryFile) {
  const std::function<void()> calls[] = {
      [this] { Ask(false); },  // nothing found
      [this] {
        PutPresent();
        Ask(false);
        Ask(true);
      },
      [this] {
        ScopedMallocSpy spy;
        g_spy.failing = true;
        Ask(false);
      },
      [this] {
        ASSERT_TRUE(QxSvcHostVerModule().Init(GetModuleHandleW(L"kernel32.dll")));
        Ask(false);
        ASSERT_TRUE(QxSvcHostVerModule().Init(GetModuleHandleW(nullptr)));
      },
  };
  for (const auto& call : calls) {
    call();
    EXPECT_EQ(0, quillet_test::CountFiles(m_temp));
  }
}

// A temporary folder whose name the ANSI code page cannot hold (a user profile's name is enough)
// gives the answers of an ASCII one, and the temporary files go from it too.
TEST_F(VersionObjectTest, ATemporaryFolderOutsideTheAnsiCodePageGivesTheSameAnswers) {
  const std::wstring outside = m_temp + L"\\" + quillet_test::kOutsideAnsiName;
  ASSERT_FALSE(quillet_test::AnsiHolds(outside)) << "ANSI code page " << GetACP();
  ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
  PutPresent();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "the double-byte file missing" : "everything present");
    if (round == 1) PutDbcs();
    const Answer versions = Ask(false);
    const Answer missing = Ask(true);
    ASSERT_EQ(S_OK, versions.hr);
    ASSERT_EQ(S_OK, missing.hr);
    quillet_test::ScopedEnvironment tmp(L"TMP", outside);
    quillet_test::ScopedEnvironment temp(L"TEMP", outside);
    for (const bool check : {false, true}) {
      const Answer& expected = check ? missing : versions;
      const Answer answer = Ask(check);
      EXPECT_EQ(expected.hr, answer.hr) << check;
      EXPECT_EQ(expected.result, answer.result) << check;
      EXPECT_EQ(expected.hasText, answer.hasText) << check;
      EXPECT_EQ(expected.text, answer.text) << check;
    }
    EXPECT_EQ(0, quillet_test::CountFiles(outside));
  }
}

// Calls on many threads at once each evaluate with a temporary file of their own.
TEST_F(VersionObjectTest, ConcurrentCallsDoNotShareTheirFiles) {
  PutPresent();
  PutDbcs();
  const Answer expected = Ask(false);
  ASSERT_EQ(S_OK, expected.hr);
  std::vector<int> mismatches(8, 0);
  std::vector<std::thread> threads;
  for (int& mismatch : mismatches) {
    threads.emplace_back([this, &expected, &mismatch] {
      for (int i = 0; i < 10; ++i) {
        const Answer versions = Ask(false);
        const Answer missing = Ask(true);
        if (versions.hr != S_OK || versions.text != expected.text || missing.hr != S_OK ||
            missing.hasText) {
          ++mismatch;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::vector<int>(8, 0), mismatches);
  EXPECT_EQ(0, quillet_test::CountFiles(m_temp));
}

// Under a double-byte code page a name takes more bytes than characters; the text is still
// delivered whole.
TEST_F(VersionObjectTest, DoubleByteNamesRoundTripUnderAJapaneseCodePage) {
  const LCID before = GetThreadLocale();
  ASSERT_TRUE(
      SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT)));
  const auto restore = Basalt::MakeScopeExit([before] { SetThreadLocale(before); });
  if (DbcsShown() != L"\u30c6\u30b9\u30c8.dll") {
    GTEST_SKIP() << "the thread's code page does not follow the thread locale here";
  }
  PutDbcs();
  Answer versions = Ask(false);
  EXPECT_EQ(S_OK, versions.hr);
  EXPECT_EQ(2u, versions.result);
  EXPECT_EQ(std::wstring(L"\u30c6\u30b9\u30c8.dll=") + kVersion + L"\n", versions.text);

  trust_test::RemoveTree(m_b);
  ASSERT_TRUE(CreateDirectoryW(m_b.c_str(), nullptr));
  PutPresent();
  const Answer missing = Ask(true);
  EXPECT_EQ(S_OK, missing.hr);
  EXPECT_EQ(2u, missing.result);
  EXPECT_EQ(m_b + L"\\\u30c6\u30b9\u30c8.dll\n", missing.text);
}

// The wide entry point's two calls: the size includes the closing line end, which the text of
// that size has no room for.
TEST_F(VersionObjectTest, QxGetVersionSizesThenFills) {
  PutPresent();
  const HMODULE module = GetModuleHandleW(nullptr);
  const std::wstring line = std::wstring(L"present.dll=") + kVersion + L"\n";
  DWORD length = 1234;
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA),
            QxGetVersion(module, IDR_COMPONENTS_INI, L"INI", nullptr, &length));
  ASSERT_EQ(line.size() + 1, length);

  const struct {
    DWORD length;
    DWORD code;
    std::wstring text;
  } cases[] = {
      {static_cast<DWORD>(line.size() + 1), 2, line},
      {static_cast<DWORD>(line.size() + 2), 2, line + L"\n"},
      {static_cast<DWORD>(line.size()), ERROR_MORE_DATA, L""},  // no room for the terminator
      {1, ERROR_MORE_DATA, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    std::vector<wchar_t> buffer(c.length + 1, L'#');
    DWORD io = c.length;
    EXPECT_EQ(c.code, QxGetVersion(module, IDR_COMPONENTS_INI, L"INI", buffer.data(), &io));
    EXPECT_EQ(c.text, std::wstring(buffer.data()));
    EXPECT_EQ(line.size() + 1, io);
    EXPECT_EQ(L'#', buffer[c.length]) << "nothing beyond the given length is written";
  }

  wchar_t untouched[4] = L"abc";
  length = 3;
  EXPECT_EQ(87u, QxGetVersion(module, IDR_COMPONENTS_INI, L"INI", untouched, nullptr));
  EXPECT_EQ(13u, QxCheckComponents(module, 4242, L"INI", untouched, &length));
  EXPECT_STREQ(L"abc", untouched);
  EXPECT_EQ(3u, length);
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA),
            QxGetVersion(module, 301, L"INI", nullptr, &length));
  EXPECT_EQ(0u, length) << "a description without lines needs nothing";
}

TEST(VersionObject, AnswersOnlyItsInterfacesAndHoldsTheModule) {
  ASSERT_TRUE(QxSvcHostVerModule().Init(GetModuleHandleW(nullptr)));
  const LONG locks = QxSvcHostVerModule().GetLockCount();
  ComPtr<IUnknown> object;
  ASSERT_EQ(S_OK, CQxSvcHostVer::CreateInstance(nullptr, IID_PPV_ARGS(&object)));
  EXPECT_EQ(locks + 1, QxSvcHostVerModule().GetLockCount());
  ComPtr<IQxVersion> version;
  EXPECT_EQ(S_OK, object.As(&version));
  for (const IID& iid : {IID_IQxSvcHostVersion, IID_IDispatch, IID_IClassFactory}) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(iid, &out));
    EXPECT_EQ(nullptr, out);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, CQxSvcHostVer::CreateInstance(nullptr, iid, &out));
    EXPECT_EQ(nullptr, out);
  }
  EXPECT_EQ(locks + 1, QxSvcHostVerModule().GetLockCount()) << "refused objects are gone";
  object.Reset();
  version.Reset();
  EXPECT_EQ(locks, QxSvcHostVerModule().GetLockCount());
}

// An outer object that counts its references.
class Outer final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  ULONG refs = 1;
};

TEST(VersionObject, CanBeAggregated) {
  Outer outer;
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_NOAGGREGATION, CQxSvcHostVer::CreateInstance(&outer, IID_IQxVersion, &out));
  EXPECT_EQ(nullptr, out);

  IUnknown* inner = nullptr;
  ASSERT_EQ(S_OK,
            CQxSvcHostVer::CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
  IQxVersion* version = nullptr;
  ASSERT_EQ(S_OK, inner->QueryInterface(IID_PPV_ARGS(&version)));
  EXPECT_EQ(2u, outer.refs) << "interfaces of an aggregated object count on the outer object";
  EXPECT_EQ(E_NOINTERFACE, version->QueryInterface(IID_IQxVersion, &out))
      << "and ask the outer object";
  version->Release();
  EXPECT_EQ(1u, outer.refs);
  EXPECT_EQ(0u, inner->Release());
}

}  // namespace
