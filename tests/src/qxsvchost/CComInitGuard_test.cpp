// The COM apartment guard, and the access-violation guard it and the proxy run foreign code under.
#include "src/qxsvchost/CComInitGuard.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <thread>

#include "src/qxsvchost/QxAccessViolationGuard.h"

namespace {

APTTYPE Apartment() {
  APTTYPE type = APTTYPE_CURRENT;
  APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
  return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) ? type : APTTYPE_CURRENT;
}

TEST(CComInitGuardTest, JoinsAndLeavesTheApartmentOnce) {
  std::thread([] {
    {
      CComInitGuard guard;
      EXPECT_EQ(E_UNEXPECTED, guard.hr());
      guard.Initialize(COINIT_MULTITHREADED);
      EXPECT_EQ(S_OK, guard.hr());
      EXPECT_TRUE(guard.IsInitialized());
      EXPECT_EQ(APTTYPE_MTA, Apartment());
      guard.Initialize(COINIT_MULTITHREADED);  // nothing: already initialised
      EXPECT_EQ(S_OK, guard.hr());
      guard.Uninitialize();
      EXPECT_FALSE(guard.IsInitialized());
      EXPECT_EQ(S_OK, guard.hr());
      EXPECT_EQ(APTTYPE_CURRENT, Apartment());
    }
    EXPECT_EQ(APTTYPE_CURRENT, Apartment());
  }).join();
}

TEST(CComInitGuardTest, ARefusedApartmentIsNotLeftAndAnAcceptedOneIsLeftOnce) {
  std::thread([] {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    {
      CComInitGuard refused;
      refused.Initialize(COINIT_MULTITHREADED);
      EXPECT_EQ(RPC_E_CHANGED_MODE, refused.hr());
      EXPECT_FALSE(refused.IsInitialized());
      CComInitGuard again;
      again.Initialize(COINIT_APARTMENTTHREADED);
      EXPECT_EQ(S_FALSE, again.hr());
      EXPECT_TRUE(again.IsInitialized());
    }
    // Each guard undid only what it did: the thread's own apartment is still there.
    const APTTYPE left = Apartment();
    EXPECT_TRUE(left == APTTYPE_STA || left == APTTYPE_MAINSTA) << left;
    CoUninitialize();
  }).join();
}

constexpr DWORD kOtherException = 0xE0514801;

void Fault(void*) {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

TEST(AccessViolationGuardTest, CatchesAnAccessViolationAndNothingElse) {
  int value = 0;
  EXPECT_TRUE(RunWithAccessViolationGuard([&] { value = 42; }));
  EXPECT_EQ(42, value);
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(CallWithAccessViolationGuard(&Fault, nullptr));

  // A handler further in has the first say: the inner guard takes the fault, the outer sees a
  // normal return.
  bool innerCaught = false;
  EXPECT_TRUE(RunWithAccessViolationGuard(
      [&] { innerCaught = !CallWithAccessViolationGuard(&Fault, nullptr); }));
  EXPECT_TRUE(innerCaught);

  // C++ exceptions pass through the guard.
  EXPECT_THROW(RunWithAccessViolationGuard([] { throw 7; }), int);

  // Other exceptions pass through too: the process's last-chance filter sees this one and lets
  // the raising code go on.
  static int filterCalls = 0;
  const LPTOP_LEVEL_EXCEPTION_FILTER previous =
      SetUnhandledExceptionFilter([](EXCEPTION_POINTERS* info) -> LONG {
        if (info->ExceptionRecord->ExceptionCode != kOtherException)
          return EXCEPTION_CONTINUE_SEARCH;
        ++filterCalls;
        return EXCEPTION_CONTINUE_EXECUTION;
      });
  const bool returned =
      RunWithAccessViolationGuard([] { RaiseException(kOtherException, 0, 0, nullptr); });
  SetUnhandledExceptionFilter(previous);
  EXPECT_TRUE(returned);
  EXPECT_EQ(1, filterCalls);
}

}  // namespace
