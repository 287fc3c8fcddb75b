#include "basalt/OSInfo.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Basalt::OSVersion;
using Basalt::WinOSVersionAPI;
using Basalt::internal::OSInfoProxy;
using Basalt::internal::OSInfoProxyImpl;

constexpr DWORD kNT = VER_PLATFORM_WIN32_NT;
constexpr DWORD k9x = VER_PLATFORM_WIN32_WINDOWS;

// A Windows that answers VerifyVersionInfoW from its fields, as the real call compares.
class FakeVersionAPI : public WinOSVersionAPI {
 public:
  BOOL VerifyVersionInfoW(OSVERSIONINFOEXW* info, DWORD typeMask,
                          DWORDLONG conditionMask) override {
    ++calls;
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW)) return FALSE;
    struct Field {
      DWORD type;
      int shift;
      DWORD actual, wanted;
    } const fields[] = {
        {VER_MINORVERSION, 0, minor, info->dwMinorVersion},
        {VER_PLATFORMID, 9, platform, info->dwPlatformId},
        {VER_SERVICEPACKMAJOR, 15, servicePack, info->wServicePackMajor},
    };
    for (const Field& f : fields) {
      if ((typeMask & f.type) == 0) continue;
      const int condition = static_cast<int>((conditionMask >> f.shift) & 7);
      bool holds = false;
      switch (condition) {
        case VER_EQUAL:
          holds = f.actual == f.wanted;
          break;
        case VER_GREATER:
          holds = f.actual > f.wanted;
          break;
        case VER_GREATER_EQUAL:
          holds = f.actual >= f.wanted;
          break;
        case VER_LESS:
          holds = f.actual < f.wanted;
          break;
        case VER_LESS_EQUAL:
          holds = f.actual <= f.wanted;
          break;
      }
      if (!holds) return FALSE;
    }
    return TRUE;
  }
  DWORD platform = kNT;
  DWORD minor = 0;
  DWORD servicePack = 0;
  int calls = 0;
};

// Detection state whose kernel32 ProductVersion is a text of the test's choosing.
class FakeImpl : public OSInfoProxyImpl {
 public:
  FakeImpl() : OSInfoProxyImpl(nullptr) {}
  bool ReadProductVersion(DWORD (&version)[4]) override {
    ++reads;
    if (delayMs != 0) Sleep(delayMs);
    if (throws) throw std::runtime_error("unreadable");
    return ParseProductVersion(productVersion, version);
  }
  std::wstring productVersion;
  std::atomic<int> reads{0};
  bool throws = false;
  DWORD delayMs = 0;
};

class TestProxy : public OSInfoProxy<FakeVersionAPI> {
 public:
  explicit TestProxy(std::shared_ptr<FakeImpl> impl)
      : OSInfoProxy<FakeVersionAPI>(impl), impl_(*impl) {}
  FakeVersionAPI& api() { return m_api; }
  FakeImpl& impl() { return impl_; }
  uint32_t onceState() const { return m_impl->m_dwOnceState.load(); }

 private:
  FakeImpl& impl_;
};

struct ClassifyCase {
  const wchar_t* productVersion;
  DWORD platform;
  DWORD actualMinor;  // what VerifyVersionInfoW answers for the minor version (9x search)
  WORD actualServicePack;
  unsigned code;  // 0: detection fails
  unsigned family;
  OSVersion version;
  bool versionResult;
  DWORD product[4];
};

const ClassifyCase kClassifyCases[] = {
    {L"10.0.19041.1", kNT, 0, 0, 11, 1, {10, 0, 0}, true, {10, 0, 19041, 1}},
    {L"10.0.18362.1 (WinBuild.160101.0800)", kNT, 0, 0, 11, 1, {10, 0, 0}, true, {10, 0, 18362, 1}},
    {L" 10. 0", kNT, 0, 0, 11, 1, {10, 0, 0}, true, {10, 0, 0, 0}},
    {L"6.1.7601.17514", kNT, 0, 1, 8, 1, {6, 1, 1}, true, {6, 1, 7601, 17514}},
    {L"6.1.7601.17514", kNT, 0, 0, 8, 1, {6, 1, 0}, true, {6, 1, 7601, 17514}},
    {L"6.0.6002", kNT, 0, 2, 7, 1, {6, 0, 2}, true, {6, 0, 6002, 0}},
    {L"6.0.6002", kNT, 0, 3, 7, 1, {6, 0, 0}, true, {6, 0, 6002, 0}},
    {L"6", kNT, 0, 0, 7, 1, {6, 0, 0}, true, {6, 0, 0, 0}},
    {L"6.2.9200", kNT, 0, 1, 9, 1, {6, 2, 0}, true, {6, 2, 9200, 0}},
    {L"6.3.9600", kNT, 0, 0, 10, 1, {6, 3, 0}, true, {6, 3, 9600, 0}},
    {L"6.4", kNT, 0, 0, 10, 1, {6, 4, 0}, true, {6, 4, 0, 0}},
    {L"5.0.2195", kNT, 0, 4, 4, 0, {5, 0, 4}, true, {5, 0, 2195, 0}},
    {L"5.0.2195", kNT, 0, 5, 4, 0, {5, 0, 0}, true, {5, 0, 2195, 0}},
    {L"5.1.2600", kNT, 0, 3, 6, 1, {5, 1, 3}, true, {5, 1, 2600, 0}},
    {L"5.2.3790", kNT, 0, 2, 6, 1, {5, 2, 2}, true, {5, 2, 3790, 0}},
    {L"4.0.1381", kNT, 0, 6, 3, 0, {4, 0, 0}, true, {4, 0, 1381, 0}},
    {L"1.2.3.4.x", kNT, 0, 0, 3, 0, {1, 2, 0}, true, {1, 2, 3, 4}},
    {L"11.0", kNT, 0, 0, 12, 1, {11, 0, 0}, false, {11, 0, 0, 0}},
    {L"7.1", kNT, 0, 0, 12, 1, {7, 1, 0}, false, {7, 1, 0, 0}},
    {L"4294967295.0", kNT, 0, 0, 12, 1, {4294967295u, 0, 0}, false, {4294967295u, 0, 0, 0}},
    // Windows 9x: the minor version comes from VerifyVersionInfoW, not from the text.
    {L"4.0.950", k9x, 0, 0, 1, 0, {4, 0, 0}, true, {4, 0, 950, 0}},
    {L"4.10.2222", k9x, 10, 0, 2, 0, {4, 10, 0}, true, {4, 10, 2222, 0}},
    {L"4.10.2222", k9x, 89, 0, 2, 0, {4, 89, 0}, true, {4, 10, 2222, 0}},
    {L"4.90.3000", k9x, 90, 0, 5, 0, {4, 90, 0}, true, {4, 90, 3000, 0}},
    {L"4.90.3000", k9x, 99, 0, 5, 0, {4, 99, 0}, true, {4, 90, 3000, 0}},
    // Failed detections.
    {L"", kNT, 0, 0, 0, 2, {}, false, {}},
    {L"10..0", kNT, 0, 0, 0, 2, {}, false, {}},
    {L"10.0.", kNT, 0, 0, 0, 2, {}, false, {}},
    {L".10", kNT, 0, 0, 0, 2, {}, false, {}},
    {L"10.x", kNT, 0, 0, 0, 2, {}, false, {}},
    {L"-1.0", kNT, 0, 0, 0, 2, {}, false, {}},
    {L"4294967296.0", kNT, 0, 0, 0, 2, {}, false, {}},
    {L"10.0", 0, 0, 0, 0, 2, {}, false, {}},      // neither NT nor 9x
    {L"4.10", k9x, 150, 0, 0, 2, {}, false, {}},  // minor beyond the search
};

TEST(OSInfoClassification, TableThroughTheVirtualSlots) {
  for (const ClassifyCase& c : kClassifyCases) {
    SCOPED_TRACE(::testing::Message()
                 << "ProductVersion \"" << c.productVersion << "\" platform " << c.platform
                 << " minor " << c.actualMinor << " sp " << c.actualServicePack);
    auto impl = std::make_shared<FakeImpl>();
    impl->productVersion = c.productVersion;
    TestProxy testProxy(impl);
    testProxy.api().platform = c.platform;
    testProxy.api().minor = c.actualMinor;
    testProxy.api().servicePack = c.actualServicePack;
    OSInfoProxy<FakeVersionAPI>& proxy = testProxy;

    EXPECT_EQ(proxy.GetOSCode(), c.code);
    EXPECT_EQ(proxy.GetOSFamily(), c.family);
    OSVersion version = {7, 7, 7};
    EXPECT_EQ(proxy.GetOSVersion(version), c.versionResult);
    EXPECT_EQ(version.dwMajor, c.version.dwMajor);
    EXPECT_EQ(version.dwMinor, c.version.dwMinor);
    EXPECT_EQ(version.wServicePackMajor, c.version.wServicePackMajor);
    unsigned code = 7, family = 7;
    EXPECT_EQ(proxy.GetOSCodeAndFamily(code, family), c.code != 0);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(family, c.family);
    DWORD product[4] = {7, 7, 7, 7};
    EXPECT_EQ(proxy.GetProductVersion(product), c.code != 0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(product[i], c.product[i]) << "part " << i;
    // A success is remembered; a failure is retried by each of the five queries.
    EXPECT_EQ(testProxy.impl().reads.load(), c.code != 0 ? 1 : 5);
    EXPECT_EQ(testProxy.onceState(), c.code != 0 ? 2u : 0u);
  }
}

TEST(OSInfoDetection, FailedDetectionIsRetriedUntilItSucceeds) {
  auto impl = std::make_shared<FakeImpl>();
  TestProxy proxy(impl);
  EXPECT_EQ(proxy.GetOSCode(), 0u);
  EXPECT_EQ(proxy.GetOSFamily(), 2u);
  EXPECT_EQ(impl->reads.load(), 2);
  impl->productVersion = L"10.0.1";
  EXPECT_EQ(proxy.GetOSCode(), 11u);
  EXPECT_EQ(proxy.GetOSFamily(), 1u);
  impl->productVersion = L"6.1";
  EXPECT_EQ(proxy.GetOSCode(), 11u);
  EXPECT_EQ(impl->reads.load(), 3);
}

TEST(OSInfoDetection, ThrowingReadDoesNotLeaveDetectionRunning) {
  auto impl = std::make_shared<FakeImpl>();
  impl->productVersion = L"10.0";
  impl->throws = true;
  TestProxy proxy(impl);
  EXPECT_EQ(proxy.GetOSCode(), 0u);
  EXPECT_EQ(proxy.onceState(), 0u);
  impl->throws = false;
  EXPECT_EQ(proxy.GetOSCode(), 11u);
  EXPECT_EQ(proxy.onceState(), 2u);
}

TEST(OSInfoDetection, ConcurrentQueriesDetectOnce) {
  auto impl = std::make_shared<FakeImpl>();
  impl->productVersion = L"10.0.18362";
  impl->delayMs = 50;
  TestProxy proxy(impl);
  std::atomic<int> elevens{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      if (proxy.GetOSCode() == 11u) ++elevens;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(elevens.load(), 8);
  EXPECT_EQ(impl->reads.load(), 1);
}

TEST(OSInfoDetection, PlatformIsAskedEachTime) {
  auto impl = std::make_shared<FakeImpl>();
  TestProxy proxy(impl);
  EXPECT_TRUE(proxy.IsWinNT());
  proxy.api().platform = k9x;
  EXPECT_FALSE(proxy.IsWinNT());
  EXPECT_EQ(proxy.api().calls, 2);
  EXPECT_EQ(impl->reads.load(), 0) << "the platform test needs no detection";
}

TEST(OSInfoHelpers, RunOnceLeavesStateByOutcome) {
  std::atomic<uint32_t> state{0};
  int runs = 0;
  Basalt::internal::RunOnce(state, [&] { return ++runs, false; });
  EXPECT_EQ(state.load(), 0u);
  EXPECT_THROW(Basalt::internal::RunOnce(state, [&]() -> bool { throw std::runtime_error("x"); }),
               std::runtime_error);
  EXPECT_EQ(state.load(), 0u);
  Basalt::internal::RunOnce(state, [&] { return ++runs, true; });
  Basalt::internal::RunOnce(state, [&] { return ++runs, true; });
  EXPECT_EQ(state.load(), 2u);
  EXPECT_EQ(runs, 2);
}

TEST(OSInfoHelpers, FindVersionNumberFindsEveryMinorWithFewProbes) {
  for (DWORD actual = 0; actual < 200; ++actual) {
    if (actual >= 100 && actual < 104) continue;  // between the limit and its multiple of 8
    int probes = 0;
    DWORD result = 12345;
    Basalt::internal::FindVersionNumber(result, 100, [&](DWORD value, BYTE condition) {
      ++probes;
      return condition == VER_LESS ? actual < value : actual == value;
    });
    EXPECT_EQ(result, actual < 100 ? actual : 100u) << actual;
    EXPECT_LE(probes, 16) << actual;
  }
}

TEST(OSInfoHelpers, SplitString) {
  using List = std::vector<std::wstring>;
  struct Case {
    const wchar_t* text;
    bool dropEmpty;
    List parts;
  } const cases[] = {
      {L"", false, {}},
      {L"", true, {}},
      {L"10", false, {L"10"}},
      {L"10.0.18362", false, {L"10", L"0", L"18362"}},
      {L".a..b.", false, {L"", L"a", L"", L"b", L""}},
      {L".a..b.", true, {L"a", L"b"}},
      {L".", false, {L"", L""}},
      {L".", true, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Basalt::SplitString(c.text, L'.', c.dropEmpty), c.parts)
        << "\"" << c.text << "\" drop " << c.dropEmpty;
  }
}

TEST(OSInfoReal, WineSaysWindows10) {
  Basalt::OSInfo info;
  EXPECT_EQ(info.GetOSCode(), static_cast<unsigned>(Basalt::kOSWin10));
  EXPECT_EQ(info.GetOSFamily(), 1u);
  OSVersion version = {};
  EXPECT_TRUE(info.GetOSVersion(version));
  EXPECT_EQ(version.dwMajor, 10u);
  EXPECT_EQ(version.dwMinor, 0u);
  EXPECT_EQ(version.wServicePackMajor, 0u);
  DWORD product[4] = {};
  ASSERT_TRUE(info.GetProductVersion(product));
  EXPECT_EQ(product[0], 10u);
  EXPECT_EQ(product[1], 0u);
  EXPECT_EQ(product[2], 18362u);
  EXPECT_TRUE(info.IsWinNT());
  EXPECT_FALSE(info.IsWow64()) << "a 64-bit process";
  EXPECT_FALSE(OSInfoProxyImpl::IsWow64());

  // The platform test through the real call agrees with RtlGetVersion's view.
  using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
  const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  ASSERT_NE(rtlGetVersion, nullptr);
  OSVERSIONINFOW rtl = {};
  rtl.dwOSVersionInfoSize = sizeof(rtl);
  ASSERT_EQ(rtlGetVersion(&rtl), 0);
  EXPECT_EQ(rtl.dwMajorVersion, 10u);
  EXPECT_EQ(rtl.dwBuildNumber, 18362u);
}

}  // namespace
