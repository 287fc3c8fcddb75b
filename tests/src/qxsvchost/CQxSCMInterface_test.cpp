// The dispatcher table: what is accepted, the table handed to the dispatcher, and the results of
// a run.
#include "src/qxsvchost/CQxSCMInterface.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "QxTestLogCapture.h"

namespace {

using ETWLogging::kLogError;
using ETWLogging::kLogNormal;

void WINAPI MainA(DWORD, LPWSTR*) {}
void WINAPI MainB(DWORD, LPWSTR*) {}

// Records the table it is given and answers as told.
class RecordingDispatcher : public CQxSCMInterface {
 public:
  BOOL StartDispatcher(const SERVICE_TABLE_ENTRYW* table) override {
    ++calls;
    for (const SERVICE_TABLE_ENTRYW* e = table;; ++e) {
      seen.push_back({e->lpServiceName ? e->lpServiceName : L"(null)", e->lpServiceProc});
      if (!e->lpServiceName && !e->lpServiceProc) break;
    }
    SetLastError(error);
    return result;
  }
  struct Entry {
    std::wstring name;
    LPSERVICE_MAIN_FUNCTIONW main;
  };
  std::vector<Entry> seen;
  int calls = 0;
  BOOL result = TRUE;
  DWORD error = 0;
};

TEST(CQxSCMInterfaceTest, RefusesNamelessOrMainlessServicesAndKeepsTheListAsItWas) {
  qxtest::ScopedLogCapture capture;
  RecordingDispatcher table;
  EXPECT_FALSE(table.AddService(L"QxA", nullptr));
  EXPECT_FALSE(table.AddService(L"", &MainA));
  EXPECT_FALSE(table.AddService(nullptr, &MainA));
  EXPECT_EQ(1u, capture.log().Count(kLogError, L"The service main function pointer is null"));
  EXPECT_EQ(2u, capture.log().Count(kLogError, L"The service name is empty"));

  CQxServiceTable loaded;
  EXPECT_FALSE(table.LoadServicesIntoArray(loaded));
  EXPECT_EQ(0u, loaded.Size());
  EXPECT_TRUE(
      capture.log().Has(kLogError, L"There are no services to run - add the services first"));

  // An empty list never reaches the dispatcher.
  EXPECT_EQ(1359u, table.RegisterServicesToSCM());
  EXPECT_EQ(0, table.calls);
  EXPECT_TRUE(
      capture.log().Has(kLogNormal, L"Failed to load the services SERVICE_TABLE_ENTRY array"));
}

TEST(CQxSCMInterfaceTest, HandsTheDispatcherCopiesInInsertionOrderEndingInOneEmptyEntry) {
  qxtest::ScopedLogCapture capture;
  RecordingDispatcher table;
  std::wstring name = L"QxFirst";
  ASSERT_TRUE(table.AddService(name.c_str(), &MainA));
  name = L"QxChanged";  // the list holds its own copy
  ASSERT_TRUE(table.AddService(L"QxSecond", &MainB));
  ASSERT_TRUE(table.AddService(L"QxFirst", &MainB));  // duplicates are not looked for

  table.error = 0x1234;
  EXPECT_EQ(0u, table.RegisterServicesToSCM());
  ASSERT_EQ(4u, table.seen.size());
  EXPECT_EQ(L"QxFirst", table.seen[0].name);
  EXPECT_EQ(&MainA, table.seen[0].main);
  EXPECT_EQ(L"QxSecond", table.seen[1].name);
  EXPECT_EQ(L"QxFirst", table.seen[2].name);
  EXPECT_EQ(&MainB, table.seen[2].main);
  EXPECT_EQ(L"(null)", table.seen[3].name);
  EXPECT_EQ(nullptr, table.seen[3].main);
  // The last error after the dispatcher is logged, not its BOOL.
  EXPECT_TRUE(capture.log().Has(kLogNormal, L"Service control dispatcher returned 0x00001234"));
  EXPECT_TRUE(capture.log().Has(kLogNormal, L"The service process is stopping"));
}

TEST(CQxSCMInterfaceTest, AFailedDispatcherGivesItsLastError) {
  qxtest::ScopedLogCapture capture;
  RecordingDispatcher table;
  ASSERT_TRUE(table.AddService(L"QxOnly", &MainA));
  table.result = FALSE;
  table.error = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
  EXPECT_EQ(1063u, table.RegisterServicesToSCM());
  EXPECT_TRUE(capture.log().Has(kLogError, L"StartServiceCtrlDispatcher failed (GLE=0x00000427)"));
  EXPECT_FALSE(capture.log().Has(kLogNormal, L"The service process is stopping"));
}

}  // namespace
