// ctest-lock: quillet-registration controlmanager-class qxclassfactory-proxy
// The host's interfaces called from another process through the proxy/stub code that registering
// Quillet.dll installs. A child process plays the running host; the secure factory interface that
// an outside client also needs is marshalled by a signed test-only proxy/stub DLL. The child's
// class object is machine-wide: tests that look for that class take the same lock.
#include <gtest/gtest.h>
#include <objbase.h>
#include <wrl/client.h>

#include <string>

#include "QuilletTestSupport.h"
#include "contracts/IQxSvcSubsystem.h"
#include "contracts/IQxSvcSubsystemControlManager.h"
#include "tests/versionserver/doubles/QxHostRoleChild.h"
#include "trust/SecureCom.h"

namespace {

using Microsoft::WRL::ComPtr;
using quillet_test::Regsvr32;
using testsupport::WinePath;

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);

// A running host-role child: started with two events, ended by the second.
class HostRole {
 public:
  explicit HostRole(const char* exe) {
    const std::wstring tag =
        std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++s_count);
    const std::wstring readyName = L"QxHostRoleReady-" + tag;
    const std::wstring doneName = L"QxHostRoleDone-" + tag;
    m_ready.reset(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    m_done.reset(CreateEventW(nullptr, TRUE, FALSE, doneName.c_str()));
    if (!m_ready || !m_done ||
        !quillet_test::StartProcess(L"\"" + WinePath(exe) + L"\" " + readyName + L" " + doneName,
                                    m_process, &m_pid)) {
      return;
    }
    const HANDLE waits[] = {m_ready.get(), m_process.get()};
    m_running = WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
  }
  ~HostRole() {
    if (m_done) SetEvent(m_done.get());
    if (m_process) WaitForSingleObject(m_process.get(), 30000);
  }
  HostRole(const HostRole&) = delete;
  HostRole& operator=(const HostRole&) = delete;

  bool running() const { return m_running; }
  DWORD pid() const { return m_pid; }

 private:
  static inline int s_count = 0;
  Basalt::UniqueEvent m_ready, m_done;
  Basalt::UniqueKernelHandle m_process;
  DWORD m_pid = 0;
  bool m_running = false;
};

// Registers Quillet.dll (the host's interfaces) and the test proxy/stub of IQxClassFactory.
class MarshallingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_apartment.succeeded());
    ASSERT_EQ(0u, Regsvr32(m_quillet, false));
    ASSERT_EQ(0u, Regsvr32(m_factoryProxy, false));
  }
  void TearDown() override {
    Regsvr32(m_factoryProxy, true);
    Regsvr32(m_quillet, true);
  }

  // An object of the running class |clsid| of another process, made through its secure factory.
  template <typename Interface>
  static HRESULT CreateThroughFactory(REFCLSID clsid, ComPtr<Interface>& object) {
    ComPtr<IQxClassFactory> factory;
    const HRESULT hr =
        CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_PPV_ARGS(&factory));
    return FAILED(hr) ? hr : factory->CreateObject(IID_PPV_ARGS(&object));
  }

  Basalt::ScopedComApartment m_apartment{COINIT_MULTITHREADED};
  const std::wstring m_quillet = WinePath(QX_QUILLET_DLL);
  const std::wstring m_factoryProxy = WinePath(QX_CLASSFACTORY_PS);
};

TEST_F(MarshallingTest, TheControlManagerAnswersAnotherProcess) {
  HostRole host(QX_HOSTROLE_TEST);
  ASSERT_TRUE(host.running());
  ComPtr<IQxSvcSubsystemControlManager> manager;
  ASSERT_EQ(S_OK, CreateThroughFactory(CLSID_QxSvcSubsystemControlManager, manager));
  EXPECT_EQ(E_NOTIMPL, manager->Reserved(L"any text"));
  EXPECT_EQ(E_NOTIMPL, manager->Reserved(nullptr));
  DWORD processId = 0;
  EXPECT_EQ(S_OK, manager->QxStopSvcSubsystem(nullptr, &processId));
  EXPECT_EQ(host.pid(), processId);
  processId = 0;
  EXPECT_EQ(S_OK, manager->QxStopSvcSubsystem(L"reason", &processId));
  EXPECT_EQ(host.pid(), processId);
}

// A call whose server has gone returns the RPC failure as its result; the client goes on.
TEST_F(MarshallingTest, ACallToAHostThatHasEndedFailsWithoutRaising) {
  ComPtr<IQxSvcSubsystemControlManager> manager;
  {
    HostRole host(QX_HOSTROLE_TEST);
    ASSERT_TRUE(host.running());
    ASSERT_EQ(S_OK, CreateThroughFactory(CLSID_QxSvcSubsystemControlManager, manager));
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(FAILED(manager->Reserved(L"x")));
    DWORD processId = 7;
    EXPECT_TRUE(FAILED(manager->QxStopSvcSubsystem(nullptr, &processId)));
  }
}

// Across processes argc travels as a number and argv as the one string argv[0].
TEST_F(MarshallingTest, TheSubsystemCallCarriesTheServiceName) {
  HostRole host(QX_HOSTROLE_TEST);
  ASSERT_TRUE(host.running());
  ComPtr<IQxSvcSubsystem> subsystem;
  ASSERT_EQ(S_OK, CreateThroughFactory(CLSID_QxTestSubsystemProvider, subsystem));
  wchar_t name[] = L"QxTestService";
  wchar_t first[] = L"-first";
  wchar_t second[] = L"-second";
  LPWSTR argv[] = {name, first, second};
  DWORD exitCode = 0;
  EXPECT_EQ(S_OK, subsystem->QxServiceMain(kQxTestServiceArgc, argv, &exitCode));
  EXPECT_EQ(kQxTestSubsystemSawService, exitCode);
}

// The host's factory judges the process that a call from another process comes from, not the
// stub in the host that relays it: this test program is signed by the test signer, which the test
// trust tables trust and the built-in ones do not.
TEST_F(MarshallingTest, TheBuiltInTrustTablesRefuseATestSignedClient) {
  HostRole host(QX_HOSTROLE_REAL);
  ASSERT_TRUE(host.running());
  ComPtr<IQxSvcSubsystemControlManager> manager;
  EXPECT_EQ(kAccessDenied, CreateThroughFactory(CLSID_QxSvcSubsystemControlManager, manager));
  EXPECT_EQ(nullptr, manager.Get());
}

}  // namespace
