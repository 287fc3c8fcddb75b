// Closing the control manager's calls, as the host does before it destroys its configuration:
// a call in progress is waited for and every later call is turned away without touching the
// configuration.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

#include "QxCtlTestSupport.h"
#include "basalt/UniqueHandle.h"
#include "etwlogging/LogCapture.h"
#include "src/qxsvchost/QxSvcSubsystemControlManager.h"

namespace {

constexpr wchar_t kStopCalled[] = L"Reduce restart: Calling Hollin StopServices";

// Holds every stop call at its first log line until the test lets it go on.
class HoldingCapture : public ETWLogging::CLogCapture {
 public:
  DWORD Write(const wchar_t* file, const wchar_t* function, int line, ETWLogging::LogLevel level,
              const wchar_t* message) override {
    const DWORD result = CLogCapture::Write(file, function, line, level, message);
    if (message && wcscmp(message, kStopCalled) == 0) {
      SetEvent(inside.get());
      WaitForSingleObject(proceed.get(), 10000);
    }
    return result;
  }
  Basalt::UniqueKernelHandle inside{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  Basalt::UniqueKernelHandle proceed{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

TEST(ControlManagerGateTest, ClosingWaitsForTheCallInProgressAndTurnsLaterCallsAway) {
  qxctltest::ScratchHostConfig config(L"QxCtlGate");
  ASSERT_TRUE(config.ok());
  ASSERT_TRUE(config.UseGroup(L";"));  // no services: a stop succeeds at once
  HoldingCapture log;
  ETWLogging::ScopedLogCapture capture(log);
  ASSERT_TRUE(capture.active());
  IQxSvcSubsystemControlManager* manager = nullptr;
  ASSERT_EQ(S_OK, CQxSvcSubsystemControlManager::CreateInstance(
                      IID_IQxSvcSubsystemControlManager, reinterpret_cast<void**>(&manager)));

  HRESULT first = E_UNEXPECTED;
  std::thread call([&] { first = manager->QxStopSvcSubsystem(nullptr, nullptr); });
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(log.inside.get(), 10000));
  std::atomic<bool> closed{false};
  std::thread close([&] {
    CloseControlManagerCalls();
    closed = true;
  });
  Sleep(200);
  EXPECT_FALSE(closed) << "closed while a call was still working";
  SetEvent(log.proceed.get());
  call.join();
  close.join();
  EXPECT_EQ(S_OK, first);
  EXPECT_TRUE(closed);

  g_bShutdown = 0;
  log.Clear();
  DWORD pid = 0;
  EXPECT_EQ(CO_E_SERVER_STOPPING, manager->QxStopSvcSubsystem(nullptr, &pid));
  EXPECT_EQ(GetCurrentProcessId(), pid);
  EXPECT_EQ(0, g_bShutdown);
  EXPECT_TRUE(log.Records().empty());

  OpenControlManagerCalls();
  EXPECT_EQ(S_OK, manager->QxStopSvcSubsystem(nullptr, nullptr));
  g_bShutdown = 0;
  manager->Release();
}

}  // namespace
