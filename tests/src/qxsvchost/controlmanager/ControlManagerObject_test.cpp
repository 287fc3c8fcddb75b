// ctest-lock: controlmanager-class
// The control-manager object and its class object: the interfaces each answers, the fixed
// counting of the class object, creation results, the caller check, and the registration with
// COM (in this process's multithreaded apartment).
#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdlib>
#include <new>

#include "QxCtlTestSupport.h"
#include "basalt/UniqueHandle.h"
#include "etwlogging/LogCapture.h"
#include "src/qxsvchost/CoQxSvcSubsystemControlManagerClassFactory.h"
#include "src/qxsvchost/QxSvcSubsystemControlManager.h"

// Counts the live objects made with the non-throwing new while a test asks for it, so that a
// failed creation can be shown to leave nothing allocated.
namespace {
thread_local bool t_counting = false;
thread_local long t_live = 0;
}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  void* p = std::malloc(size ? size : 1);
  if (p && t_counting) ++t_live;
  return p;
}
void operator delete(void* p) noexcept {
  if (p && t_counting) --t_live;
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

using Microsoft::WRL::ComPtr;

constexpr HRESULT kNoInterface = static_cast<HRESULT>(0x80004002);
constexpr HRESULT kNotImpl = static_cast<HRESULT>(0x80004001);
constexpr HRESULT kInvalidArg = static_cast<HRESULT>(0x80070057);
constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);

// IIDs that neither object offers.
const IID kForeignIids[] = {IID_IDispatch, IID_IClassFactory,
                            IID_IQxClassFactory_PreComponentization, IID_IMarshal};

class LiveCount {
 public:
  LiveCount() {
    t_live = 0;
    t_counting = true;
  }
  ~LiveCount() { t_counting = false; }
  long live() const { return t_live; }
};

TEST(ControlManagerObject, CreateInstanceGivesTheTwoInterfacesWithCountOne) {
  for (const IID& iid : {IID_IUnknown, IID_IQxSvcSubsystemControlManager}) {
    void* raw = nullptr;
    {
      LiveCount count;
      ASSERT_EQ(S_OK, CQxSvcSubsystemControlManager::CreateInstance(iid, &raw));
      EXPECT_EQ(1, count.live());
    }
    ASSERT_NE(nullptr, raw);
    auto* manager = static_cast<IQxSvcSubsystemControlManager*>(raw);
    EXPECT_EQ(2u, manager->AddRef());
    EXPECT_EQ(1u, manager->Release());

    void* same = nullptr;
    EXPECT_EQ(S_OK, manager->QueryInterface(IID_IUnknown, &same));
    EXPECT_EQ(raw, same);
    EXPECT_EQ(S_OK, manager->QueryInterface(IID_IQxSvcSubsystemControlManager, &same));
    EXPECT_EQ(raw, same);
    EXPECT_EQ(2u, manager->Release());
    EXPECT_EQ(1u, manager->Release());
    EXPECT_EQ(0u, manager->Release());
  }
}

TEST(ControlManagerObject, ForeignInterfacesAreRefusedAndLeaveNothingAllocated) {
  EXPECT_EQ(kInvalidArg, CQxSvcSubsystemControlManager::CreateInstance(
                             IID_IQxSvcSubsystemControlManager, nullptr));
  for (const IID& iid : kForeignIids) {
    void* raw = reinterpret_cast<void*>(1);
    LiveCount count;
    EXPECT_EQ(kNoInterface, CQxSvcSubsystemControlManager::CreateInstance(iid, &raw));
    EXPECT_EQ(nullptr, raw);
    EXPECT_EQ(0, count.live());
  }

  ComPtr<IQxSvcSubsystemControlManager> manager;
  ASSERT_EQ(S_OK, CQxSvcSubsystemControlManager::CreateInstance(IID_IQxSvcSubsystemControlManager,
                                                                &manager));
  for (const IID& iid : kForeignIids) {
    void* raw = reinterpret_cast<void*>(1);
    EXPECT_EQ(kNoInterface, manager->QueryInterface(iid, &raw));
    EXPECT_EQ(nullptr, raw);
  }
}

TEST(ControlManagerObject, ReservedIsNotImplementedAndAReleasedObjectStaysUsable) {
  IQxSvcSubsystemControlManager* manager = nullptr;
  ASSERT_EQ(S_OK, CQxSvcSubsystemControlManager::CreateInstance(
                      IID_IQxSvcSubsystemControlManager, reinterpret_cast<void**>(&manager)));
  EXPECT_EQ(0u, manager->Release());
  // Nothing freed it: every call still works and the count goes on from 0.
  EXPECT_EQ(kNotImpl, manager->Reserved(nullptr));
  EXPECT_EQ(kNotImpl, manager->Reserved(L"any text"));
  EXPECT_EQ(1u, manager->AddRef());
  EXPECT_EQ(0u, manager->Release());
  EXPECT_EQ(static_cast<ULONG>(-1), manager->Release());
}

// Entry |slot| of |object|'s table of operations, called the way a proxy's stub calls it.
template <typename Fn>
Fn Slot(void* object, int slot) {
  return reinterpret_cast<Fn>((*static_cast<void***>(object))[slot]);
}

TEST(ControlManagerObject, SlotsAreInTheMarshalledOrder) {
  qxctltest::ScratchHostConfig config(L"QxCtlSlots");
  ASSERT_TRUE(config.ok());
  ASSERT_TRUE(config.UseGroup(L""));  // an empty group: the stop touches no service
  IQxSvcSubsystemControlManager* manager = nullptr;
  ASSERT_EQ(S_OK, CQxSvcSubsystemControlManager::CreateInstance(
                      IID_IQxSvcSubsystemControlManager, reinterpret_cast<void**>(&manager)));
  using ReservedFn = HRESULT(STDMETHODCALLTYPE*)(void*, LPCWSTR);
  using StopFn = HRESULT(STDMETHODCALLTYPE*)(void*, LPCWSTR, DWORD*);
  EXPECT_EQ(kNotImpl, Slot<ReservedFn>(manager, 3)(manager, L"x"));
  DWORD pid = 0;
  EXPECT_EQ(S_OK, Slot<StopFn>(manager, 4)(manager, nullptr, &pid));
  EXPECT_EQ(GetCurrentProcessId(), pid);

  CoQxSvcSubsystemControlManagerClassFactory factory;
  IQxClassFactory* primary = &factory;
  using CreateFn = HRESULT(STDMETHODCALLTYPE*)(void*, REFIID, void**);
  void* raw = reinterpret_cast<void*>(1);
  EXPECT_EQ(kAccessDenied, Slot<CreateFn>(primary, 3)(primary, IID_IUnknown, &raw));
  EXPECT_EQ(S_OK, Slot<CreateFn>(primary, 4)(primary, IID_IUnknown, &raw));
  static_cast<IUnknown*>(raw)->Release();
}

TEST(ControlManagerClassObject, AnswersOnlyIUnknownAndIQxClassFactoryAndCountsNothing) {
  CoQxSvcSubsystemControlManagerClassFactory factory;
  IQxClassFactory* primary = &factory;
  IQxClassFactory_PreComponentization* second = &factory;

  for (IUnknown* entry : {static_cast<IUnknown*>(primary), static_cast<IUnknown*>(second)}) {
    for (const IID& iid : {IID_IUnknown, IID_IQxClassFactory}) {
      void* raw = nullptr;
      EXPECT_EQ(S_OK, entry->QueryInterface(iid, &raw));
      EXPECT_EQ(static_cast<void*>(primary), raw);
    }
    for (const IID& iid : kForeignIids) {
      void* raw = reinterpret_cast<void*>(1);
      EXPECT_EQ(kNoInterface, entry->QueryInterface(iid, &raw));
      EXPECT_EQ(nullptr, raw);
    }
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(2u, entry->AddRef());
      EXPECT_EQ(1u, entry->Release());
      EXPECT_EQ(1u, entry->Release());
    }
  }
}

TEST(ControlManagerClassObject, CreatesControlManagersAndRefusesAnUntrustedCaller) {
  CoQxSvcSubsystemControlManagerClassFactory factory;
  ComPtr<IQxSvcSubsystemControlManager> first, second;
  ASSERT_EQ(S_OK, factory.CreateObjectUnchecked(IID_IQxSvcSubsystemControlManager, &first));
  ASSERT_EQ(S_OK, factory.CreateObjectUnchecked(IID_IQxSvcSubsystemControlManager, &second));
  EXPECT_NE(first.Get(), second.Get());
  void* raw = reinterpret_cast<void*>(1);
  EXPECT_EQ(kNoInterface, factory.CreateObjectUnchecked(IID_IDispatch, &raw));
  EXPECT_EQ(nullptr, raw);

  // This test program is not signed: the caller check turns it away, through either interface.
  IQxClassFactory* primary = &factory;
  IQxClassFactory_PreComponentization* other = &factory;
  void* untouched = reinterpret_cast<void*>(1);
  EXPECT_EQ(kAccessDenied, primary->CreateObject(IID_IQxSvcSubsystemControlManager, &untouched));
  EXPECT_EQ(kAccessDenied, other->CreateObject(IID_IQxSvcSubsystemControlManager, &untouched));
  EXPECT_EQ(reinterpret_cast<void*>(1), untouched);
}

class ControlManagerRegistration : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(apartment_.succeeded());
    ASSERT_TRUE(capture_.active());
  }

  static HRESULT GetRegistered(void** out) {
    return CoGetClassObject(CLSID_QxSvcSubsystemControlManager, CLSCTX_LOCAL_SERVER, nullptr,
                            IID_IQxClassFactory, out);
  }
  bool Logged(ETWLogging::LogLevel level, const wchar_t* text) {
    for (const auto& r : log_.Records()) {
      if (r.level == level && r.message == text &&
          r.function == L"CoQxSvcSubsystemControlManagerClassFactory::RegisterClassObject" &&
          r.file == L"QxSvcSubsystemControlManager") {
        return true;
      }
    }
    return false;
  }

  Basalt::ScopedComApartment apartment_{COINIT_MULTITHREADED};
  ETWLogging::CLogCapture log_;
  ETWLogging::ScopedLogCapture capture_{log_};
};

TEST_F(ControlManagerRegistration, RegisteredUntilRevokedOrDestroyed) {
  void* raw = nullptr;
  ASSERT_NE(S_OK, GetRegistered(&raw));
  {
    CoQxSvcSubsystemControlManagerClassFactory factory;
    ASSERT_EQ(S_OK, factory.RegisterClassObject());
    EXPECT_TRUE(Logged(ETWLogging::kLogInformation, L"CoRegisterClassObject succeeded"));
    ASSERT_EQ(S_OK, GetRegistered(&raw));
    EXPECT_EQ(static_cast<void*>(static_cast<IQxClassFactory*>(&factory)), raw);

    EXPECT_EQ(S_OK, factory.RevokeClassObject());
    EXPECT_NE(S_OK, GetRegistered(&raw));
    EXPECT_EQ(S_OK, factory.RevokeClassObject());

    // Registered twice without a revoke: the destructor must still leave nothing registered.
    ASSERT_EQ(S_OK, factory.RegisterClassObject());
    ASSERT_EQ(S_OK, factory.RegisterClassObject());
    ASSERT_EQ(S_OK, GetRegistered(&raw));
  }
  EXPECT_NE(S_OK, GetRegistered(&raw));
}

// No apartment exists in the process here (the fixture above leaves none behind).
TEST(ControlManagerRegistrationFailure, OutsideAnApartmentIsLoggedAndNothingIsRegistered) {
  ETWLogging::CLogCapture log;
  ETWLogging::ScopedLogCapture capture(log);
  ASSERT_TRUE(capture.active());
  HRESULT hr = S_OK;
  {
    CoQxSvcSubsystemControlManagerClassFactory factory;
    hr = factory.RegisterClassObject();
  }
  auto Logged = [&log](ETWLogging::LogLevel level, const wchar_t* text) {
    for (const auto& r : log.Records()) {
      if (r.level == level && r.message == text &&
          r.function == L"CoQxSvcSubsystemControlManagerClassFactory::RegisterClassObject") {
        return true;
      }
    }
    return false;
  };
  EXPECT_EQ(static_cast<HRESULT>(0x800401F0), hr);  // CO_E_NOTINITIALIZED
  EXPECT_TRUE(Logged(ETWLogging::kLogError, L"CoRegisterClassObject failed with error 800401f0"));
  EXPECT_FALSE(Logged(ETWLogging::kLogInformation, L"CoRegisterClassObject succeeded"));
}

}  // namespace
