// Registry change monitor: one callback per change on a thread of its own.
#include "tracecontrol/Registry/monitored_reg_key.h"

#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "basalt/Logging/CLogger.h"
#include "basalt/UniqueHandle.h"

namespace {

bool WaitFor(const std::atomic<int>& value, int expected, DWORD ms = 5000) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (value.load() < expected && GetTickCount64() < end) Sleep(10);
  return value.load() >= expected;
}

struct LogLine {
  DWORD level;
  std::wstring file, function, message;
  int line;
};

class CaptureHandler : public Basalt::ILoggingHandler {
 public:
  void Handle(DWORD level, const wchar_t* file, const wchar_t* function, int line,
              const wchar_t* message) override {
    std::lock_guard<std::mutex> lock(m_lock);
    m_lines.push_back({level, file, function, message, line});
  }
  std::vector<LogLine> Lines() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lines;
  }

 private:
  std::mutex m_lock;
  std::vector<LogLine> m_lines;
};

class MonitoredKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = L"Software\\HollinTests\\monitor-" + std::to_wstring(GetCurrentProcessId());
    RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    ASSERT_EQ(0, RegCreateKeyW(HKEY_CURRENT_USER, (path + L"\\Provider").c_str(), sub.put()));
    ASSERT_EQ(0u, Basalt::RegisterLoggingHandler(&capture));
  }
  void TearDown() override {
    (void)Basalt::UnregisterLoggingHandler(&capture);
    sub.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
  }
  void Change(DWORD value) {
    ASSERT_EQ(0, RegSetKeyValueW(HKEY_CURRENT_USER, (path + L"\\Provider").c_str(), L"Severity",
                                 REG_DWORD, &value, sizeof(value)));
  }
  // Changes the value until |calls| reaches |expected|: a change made before the monitor has
  // asked for its next notification (right after a callback) is not reported by itself.
  bool ChangeUntil(const std::atomic<int>& calls, int expected) {
    for (int attempt = 0; attempt < 50; ++attempt) {
      Change(++m_value);
      if (WaitFor(calls, expected, 100)) return true;
    }
    return false;
  }
  // Starts watching with a callback that counts its calls and holds the first one: it
  // signals |inCallback| and waits for |proceed|.
  bool StartHoldingTheFirstCall(Basalt::monitored_reg_key& monitor, std::atomic<int>& calls) {
    return monitor.start(
        [&] {
          if (++calls == 1) {
            SetEvent(inCallback.get());
            WaitForSingleObject(proceed.get(), 5000);
          }
        },
        true, filter);
  }
  bool Open(Basalt::monitored_reg_key& monitor) {
    return monitor.open(HKEY_CURRENT_USER, path.c_str(), KEY_READ) == ERROR_SUCCESS;
  }

  std::wstring path;
  Basalt::UniqueHKey sub;
  CaptureHandler capture;
  const DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
  Basalt::UniqueEvent inCallback{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  Basalt::UniqueEvent proceed{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

 private:
  DWORD m_value = 100;
};

TEST_F(MonitoredKeyTest, StartNeedsAnOpenKeyAndACallback) {
  Basalt::monitored_reg_key monitor;
  EXPECT_TRUE(monitor.stop());  // idle
  EXPECT_FALSE(monitor.start([] {}, true, filter));
  ASSERT_TRUE(Open(monitor));
  EXPECT_FALSE(monitor.start(nullptr, true, filter));
  EXPECT_TRUE(monitor.stop());
}

TEST_F(MonitoredKeyTest, AChangeInASubkeyRunsTheCallback) {
  Basalt::monitored_reg_key monitor;
  ASSERT_TRUE(Open(monitor));
  std::atomic<int> calls{0};
  ASSERT_TRUE(monitor.start([&] { ++calls; }, true, filter));
  Change(1);
  EXPECT_TRUE(WaitFor(calls, 1));
  EXPECT_TRUE(ChangeUntil(calls, 2));
  EXPECT_TRUE(monitor.stop());
  Change(3);
  Sleep(200);
  EXPECT_EQ(2, calls.load());
}

// The notification is asked for again only after the callback: a change made while it runs
// is seen together with the next change.
TEST_F(MonitoredKeyTest, AChangeDuringTheCallbackIsSeenAtTheNextChange) {
  Basalt::monitored_reg_key monitor;
  ASSERT_TRUE(Open(monitor));
  std::atomic<int> calls{0};
  ASSERT_TRUE(StartHoldingTheFirstCall(monitor, calls));
  Change(1);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inCallback.get(), 5000));
  Change(2);
  SetEvent(proceed.get());
  Sleep(300);
  EXPECT_EQ(1, calls.load());
  Change(3);
  EXPECT_TRUE(WaitFor(calls, 2));
}

// The key goes while the callback runs: the renewed request fails, the thread ends and says
// why, and later changes at that path are not seen.
TEST_F(MonitoredKeyTest, DeletingTheKeyEndsTheWatch) {
  Basalt::monitored_reg_key monitor;
  ASSERT_TRUE(Open(monitor));
  std::atomic<int> calls{0};
  ASSERT_TRUE(StartHoldingTheFirstCall(monitor, calls));
  Change(1);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inCallback.get(), 5000));
  sub.reset();
  ASSERT_EQ(0, RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str()));
  SetEvent(proceed.get());
  Sleep(300);
  ASSERT_EQ(0, RegCreateKeyW(HKEY_CURRENT_USER, (path + L"\\Provider").c_str(), sub.put()));
  Change(2);
  Sleep(300);
  EXPECT_EQ(1, calls.load());
  const auto lines = capture.Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(2u, lines[0].level);
  EXPECT_EQ(L"Registry\\monitored_reg_key", lines[0].file);
  EXPECT_EQ(L"Basalt::monitored_reg_key::registry_callback_thread", lines[0].function);
  EXPECT_NE(std::wstring::npos, lines[0].message.find(L"Cannot request a registry change"));
}

TEST_F(MonitoredKeyTest, ExceptionsOfTheCallbackAreLoggedAndTheWatchGoesOn) {
  Basalt::monitored_reg_key monitor;
  ASSERT_TRUE(Open(monitor));
  std::atomic<int> calls{0};
  ASSERT_TRUE(monitor.start(
      [&] {
        const int call = ++calls;
        if (call == 1) throw std::runtime_error("settings unreadable");
        if (call == 2) throw 42;
      },
      true, filter));
  for (int call = 1; call <= 3; ++call) ASSERT_TRUE(ChangeUntil(calls, call));
  EXPECT_TRUE(monitor.stop());
  const auto lines = capture.Lines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(183, lines[0].line);
  EXPECT_EQ(
      L"STL exception caught while invoking registry key monitor callback: "
      L"settings unreadable.",
      lines[0].message);
  EXPECT_EQ(187, lines[1].line);
  EXPECT_EQ(L"Unexpected exception caught while invoking registry key monitor callback.",
            lines[1].message);
  EXPECT_EQ(2u, lines[1].level);
}

}  // namespace
