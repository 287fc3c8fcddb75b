// Ties the interfaces that QxSvcHostVer.idl describes for marshalling to the host's C++
// declarations and to this server's identifiers: same IIDs, same methods with the same parameter
// types (ProxyLayoutCheck.c checks the generated slot numbers). Nothing here is linked.
#include <oaidl.h>
#include <ocidl.h>
#include <windows.h>

#include <type_traits>

#include "contracts/IQxSvcSubsystem.h"
#include "contracts/IQxSvcSubsystemControlManager.h"
#include "versionserver/QxSvcHostVerIds.h"

// The generated declarations under names of their own.
#define IQxSvcSubsystemControlManager Idl_IQxSvcSubsystemControlManager
#define IID_IQxSvcSubsystemControlManager Idl_IID_IQxSvcSubsystemControlManager
#define IQxSvcSubsystem Idl_IQxSvcSubsystem
#define IID_IQxSvcSubsystem Idl_IID_IQxSvcSubsystem
#define IID_IQxSvcHostVersion Idl_IID_IQxSvcHostVersion
#define LIBID_QxSvcHostVerLib Idl_LIBID_QxSvcHostVerLib
#define CLSID_QxSvcHostVer Idl_CLSID_QxSvcHostVer
#include "QxSvcHostVer.h"
#undef IQxSvcSubsystemControlManager
#undef IID_IQxSvcSubsystemControlManager
#undef IQxSvcSubsystem
#undef IID_IQxSvcSubsystem
#undef IID_IQxSvcHostVersion
#undef LIBID_QxSvcHostVerLib
#undef CLSID_QxSvcHostVer

namespace {

constexpr bool SameGuid(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}

// The parameter list of a member function, whatever its class.
template <typename T>
struct Signature;
template <typename C, typename R, typename... A>
struct Signature<R (C::*)(A...)> {
  using type = R(A...);
};
template <typename A, typename B>
constexpr bool kSameSignature =
    std::is_same_v<typename Signature<A>::type, typename Signature<B>::type>;

static_assert(SameGuid(__uuidof(Idl_IQxSvcSubsystemControlManager),
                       IID_IQxSvcSubsystemControlManager),
              "IQxSvcSubsystemControlManager: the IDL and the host disagree on the IID");
static_assert(SameGuid(__uuidof(Idl_IQxSvcSubsystemControlManager),
                       __uuidof(IQxSvcSubsystemControlManager)),
              "IQxSvcSubsystemControlManager: the IDL and the host disagree on the IID");
static_assert(SameGuid(__uuidof(Idl_IQxSvcSubsystem), IID_IQxSvcSubsystem),
              "IQxSvcSubsystem: the IDL and the host disagree on the IID");
static_assert(SameGuid(__uuidof(Idl_IQxSvcSubsystem), __uuidof(IQxSvcSubsystem)),
              "IQxSvcSubsystem: the IDL and the host disagree on the IID");
static_assert(SameGuid(__uuidof(IQxSvcHostVersion), IID_IQxSvcHostVersion),
              "IQxSvcHostVersion: the IDL and the server disagree on the IID");
static_assert(SameGuid(__uuidof(QxSvcHostVer), CLSID_QxSvcHostVer),
              "QxSvcHostVer: the IDL and the server disagree on the class");

static_assert(kSameSignature<decltype(&Idl_IQxSvcSubsystemControlManager::Reserved),
                             decltype(&IQxSvcSubsystemControlManager::Reserved)>,
              "IQxSvcSubsystemControlManager::Reserved differs");
static_assert(kSameSignature<decltype(&Idl_IQxSvcSubsystemControlManager::QxStopSvcSubsystem),
                             decltype(&IQxSvcSubsystemControlManager::QxStopSvcSubsystem)>,
              "IQxSvcSubsystemControlManager::QxStopSvcSubsystem differs");
static_assert(kSameSignature<decltype(&Idl_IQxSvcSubsystem::QxServiceMain),
                             decltype(&IQxSvcSubsystem::QxServiceMain)>,
              "IQxSvcSubsystem::QxServiceMain differs");
// Both derive straight from IUnknown and add nothing but their methods.
static_assert(std::is_base_of_v<IUnknown, IQxSvcSubsystemControlManager> &&
                  std::is_base_of_v<IUnknown, Idl_IQxSvcSubsystemControlManager>,
              "IQxSvcSubsystemControlManager derives from IUnknown");
static_assert(sizeof(Idl_IQxSvcSubsystemControlManager) == sizeof(IQxSvcSubsystemControlManager) &&
                  sizeof(Idl_IQxSvcSubsystem) == sizeof(IQxSvcSubsystem),
              "the interfaces hold only their table pointer");

}  // namespace
