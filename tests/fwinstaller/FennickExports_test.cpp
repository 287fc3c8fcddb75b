// ctest-lock: firewall
// The export boundary: whatever happens inside, an export returns 0 and no exception
// leaves it; a failing string allocation is logged and undoes the COM initialisation.
#include "fwinstaller/FennickExports.h"

#include <stdexcept>
#include <thread>

#include "FwTestSupport.h"
#include "ImportPatch.h"

namespace {

using ETWLogging::kLogError;
using fwtest::FirewallTest;

BSTR WINAPI FailingSysAllocString(const OLECHAR*) { return nullptr; }

// COM state of the calling thread: CO_E_NOTINITIALIZED when it has no apartment.
HRESULT ThreadApartment() {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  return CoGetApartmentType(&type, &qualifier);
}

TEST_F(FirewallTest, GuardCatchesEveryExceptionAndReturnsZero) {
  EXPECT_EQ(0u, Fennick::GuardExport(L"AddSharedSvcToFW", [] { _com_issue_error(E_OUTOFMEMORY); }));
  EXPECT_EQ(0u, Fennick::GuardExport(L"RemoveSharedSvcFromFW", [] { throw std::bad_alloc(); }));
  EXPECT_EQ(0u,
            Fennick::GuardExport(L"AddSharedSvcToFW", [] { throw std::runtime_error("other"); }));

  EXPECT_EQ((std::vector<std::wstring>{
                L"AddSharedSvcToFW: COM error caught, hr = 0x8007000E",
                L"RemoveSharedSvcFromFW: out of memory caught, hr = 0x8007000E",
                L"AddSharedSvcToFW: unexpected exception caught, hr = 0x8000FFFF"}),
            Messages());
  const qxtest::LogLine line =
      log().Find(L"RemoveSharedSvcFromFW: out of memory caught, hr = 0x8007000E");
  EXPECT_EQ(kLogError, line.level);
  EXPECT_EQ(L"RemoveSharedSvcFromFW", line.function);
}

// A string that cannot be allocated throws out of the operation; the export catches it
// after the object has left COM again, and no firewall object stays behind.
TEST_F(FirewallTest, StringAllocationFailureIsCaughtAtTheExport) {
  ASSERT_TRUE(fwdouble::AddRule(ExpectedRule(L"C:\\Seeded\\Hollin.exe")));
  const std::vector<fwdouble::Rule> before = fwdouble::Rules();
  struct Case {
    const wchar_t* exportName;
    UINT (*call)();
  };
  for (const Case c : {Case{L"AddSharedSvcToFW", &Fennick::AddSharedSvcToFWExport},
                       Case{L"RemoveSharedSvcFromFW", &Fennick::RemoveSharedSvcFromFWExport}}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.exportName)));
    log().Clear();
    UINT result = 1;
    HRESULT apartment = S_OK;
    std::thread([&] {
      const fwtest::ScopedImportPatch patch("oleaut32.dll", "SysAllocString",
                                            reinterpret_cast<void*>(&FailingSysAllocString));
      ASSERT_TRUE(patch.ok());
      result = c.call();
      apartment = ThreadApartment();
    }).join();

    EXPECT_EQ(0u, result);
    EXPECT_TRUE(
        log().Has(kLogError, std::wstring(c.exportName) + L": COM error caught, hr = 0x8007000E"));
    EXPECT_EQ(CO_E_NOTINITIALIZED, apartment);
    EXPECT_EQ(before, fwdouble::Rules());
  }
}

// Callers in a single-threaded apartment get nothing done, and still 0.
TEST_F(FirewallTest, ExportsDoNothingForASingleThreadedCaller) {
  ASSERT_TRUE(fwdouble::AddRule(ExpectedRule(L"C:\\Seeded\\Hollin.exe")));
  const std::vector<fwdouble::Rule> before = fwdouble::Rules();
  UINT added = 1;
  UINT removed = 1;
  std::thread([&] {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    added = Fennick::AddSharedSvcToFWExport();
    removed = Fennick::RemoveSharedSvcFromFWExport();
    CoUninitialize();
  }).join();

  EXPECT_EQ(0u, added);
  EXPECT_EQ(0u, removed);
  EXPECT_EQ(before, fwdouble::Rules());
  EXPECT_EQ(2u, log().Count(kLogError,
                            L"CQxWinFirewallInteg::CQxWinFirewallInteg: CoInitialize "
                            L"failed hr = 0x80010106"));
}

}  // namespace
