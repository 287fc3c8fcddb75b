// ctest-lock: firewall
// Wine's own firewall objects, called once to show what they do: they can be created and
// take every setting, but cannot look a rule up, so an add ends at the lookup; a remove
// is reported as done.
#include "FwTestSupport.h"
#include "fwinstaller/CQxWinFirewallInteg.h"

namespace {

using ETWLogging::kLogError;
using ETWLogging::kLogNormal;

class WineFirewallTest : public ::testing::Test {
 protected:
  testsupport::ScratchMachineKey m_machine{L"fennick-wine"};
  fwtest::InstallFolder m_folder{m_machine};
  qxtest::ScopedLogCapture m_capture;
};

TEST_F(WineFirewallTest, AddStopsAtTheLookupAndRemoveSucceeds) {
  Basalt::UniqueHKey server;
  wchar_t path[MAX_PATH] = {};
  DWORD bytes = sizeof(path) - sizeof(wchar_t);
  ASSERT_EQ(
      ERROR_SUCCESS,
      RegOpenKeyExW(
          HKEY_CLASSES_ROOT,
          (L"CLSID\\" + fwtest::GuidText(__uuidof(NetFwPolicy2)) + L"\\InprocServer32").c_str(), 0,
          KEY_READ, server.put()));
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(server.get(), nullptr, nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(path), &bytes));
  ASSERT_EQ(0, _wcsicmp(L"C:\\windows\\system32\\hnetcfg.dll", path));

  {
    CQxWinFirewallInteg firewall;
    EXPECT_FALSE(firewall.AddSharedSvcToFW());
  }
  EXPECT_EQ(L"AddSharedSvcToFW:INetFwRules->Item failed", m_capture.log().Lines().back().message);
  EXPECT_EQ(kLogError, m_capture.log().Lines().back().level);

  {
    CQxWinFirewallInteg firewall;
    EXPECT_TRUE(firewall.RemoveSharedSvcFromFW());
  }
  EXPECT_TRUE(
      m_capture.log().Has(kLogNormal, L"RemoveSharedSvcFromFW : Rule Removed Successfully"));
}

}  // namespace
