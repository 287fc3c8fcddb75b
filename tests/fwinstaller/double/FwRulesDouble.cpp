// Test double of the system's firewall objects: an in-process COM server that the tests
// register under the NetFwPolicy2 and NetFwRule class IDs. It models what the installer
// uses (INetFwPolicy2::get_Rules, INetFwRules::Item/Add/Remove and the rule properties
// the installer sets) and keeps the rules in the store of FwRuleStore.h. Every other
// member returns E_NOTIMPL and is recorded, so tests see calls nobody expected.
#include <netfw.h>
#include <windows.h>

#include <atomic>
#include <new>

#include "FwRuleStore.h"

namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

// Asks the rule objects of this double for their record (no reference is added).
// {6F0E5A1C-3B7D-4C2E-9A41-2D8B7E5F1C63}
constexpr GUID kIidRuleRecord = {
    0x6f0e5a1c, 0x3b7d, 0x4c2e, {0x9a, 0x41, 0x2d, 0x8b, 0x7e, 0x5f, 0x1c, 0x63}};

constexpr LONG kAnyProtocol = 256;  // the header names no "any" protocol

HRESULT NotModelled(const wchar_t* member) {
  fwdouble::RecordUnexpected(member);
  return E_NOTIMPL;
}

#define NOT_MODELLED(Iface, Name, ...)                   \
  HRESULT STDMETHODCALLTYPE Name(__VA_ARGS__) override { \
    return NotModelled(L"" #Iface "::" #Name);           \
  }

// IUnknown with a counted lifetime, and IDispatch left unmodelled.
template <typename Interface>
class DispatchObject : public Interface {
 public:
  DispatchObject() { ++g_objects; }
  virtual ~DispatchObject() { --g_objects; }
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == __uuidof(Interface)) {
      *out = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG refs = --m_refs;
    if (refs == 0) delete this;
    return refs;
  }

  NOT_MODELLED(IDispatch, GetTypeInfoCount, UINT*)
  NOT_MODELLED(IDispatch, GetTypeInfo, UINT, LCID, ITypeInfo**)
  NOT_MODELLED(IDispatch, GetIDsOfNames, REFIID, LPOLESTR*, UINT, LCID, DISPID*)
  NOT_MODELLED(IDispatch, Invoke, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
               UINT*)

 private:
  std::atomic<ULONG> m_refs{1};
};

// Creates |T| with its first reference and hands out |riid|.
template <typename T, typename... Args>
HRESULT CreateObject(REFIID riid, void** out, Args&&... args) {
  T* object = new (std::nothrow) T(std::forward<Args>(args)...);
  if (!object) return E_OUTOFMEMORY;
  const HRESULT hr = object->QueryInterface(riid, out);
  object->Release();
  return hr;
}

// A rule property kept in the record; its put fails when "put_<Property>" is injected.
#define RULE_TEXT(Property, field)                             \
  HRESULT STDMETHODCALLTYPE get_##Property(BSTR* v) override { \
    return GetText(m_record.field, v);                         \
  }                                                            \
  HRESULT STDMETHODCALLTYPE put_##Property(BSTR v) override {  \
    return PutText(L"put_" #Property, m_record.field, v);      \
  }
#define RULE_NUMBER(Property, field, Type, unset)                  \
  HRESULT STDMETHODCALLTYPE get_##Property(Type* v) override {     \
    return GetNumber(m_record.field, static_cast<Type>(unset), v); \
  }                                                                \
  HRESULT STDMETHODCALLTYPE put_##Property(Type v) override {      \
    return PutNumber(L"put_" #Property, m_record.field, v);        \
  }

class FwRule : public DispatchObject<INetFwRule> {
 public:
  FwRule() = default;
  explicit FwRule(const fwdouble::Rule& record) : m_record(record) {}

  const fwdouble::Rule& record() const { return m_record; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out && riid == kIidRuleRecord) {
      *out = this;
      return S_OK;
    }
    return DispatchObject::QueryInterface(riid, out);
  }

  RULE_TEXT(Name, name)
  RULE_TEXT(Description, description)
  RULE_TEXT(ApplicationName, applicationName)
  RULE_TEXT(LocalPorts, localPorts)
  RULE_TEXT(RemotePorts, remotePorts)
  // Unset numbers read as the system's defaults for a new rule.
  RULE_NUMBER(Enabled, enabled, VARIANT_BOOL, VARIANT_FALSE)
  RULE_NUMBER(Action, action, NET_FW_ACTION, NET_FW_ACTION_ALLOW)
  RULE_NUMBER(Profiles, profiles, LONG, NET_FW_PROFILE2_ALL)
  RULE_NUMBER(Protocol, protocol, LONG, kAnyProtocol)

  NOT_MODELLED(INetFwRule, get_ServiceName, BSTR*)
  NOT_MODELLED(INetFwRule, put_ServiceName, BSTR)
  NOT_MODELLED(INetFwRule, get_LocalAddresses, BSTR*)
  NOT_MODELLED(INetFwRule, put_LocalAddresses, BSTR)
  NOT_MODELLED(INetFwRule, get_RemoteAddresses, BSTR*)
  NOT_MODELLED(INetFwRule, put_RemoteAddresses, BSTR)
  NOT_MODELLED(INetFwRule, get_IcmpTypesAndCodes, BSTR*)
  NOT_MODELLED(INetFwRule, put_IcmpTypesAndCodes, BSTR)
  NOT_MODELLED(INetFwRule, get_Direction, NET_FW_RULE_DIRECTION*)
  NOT_MODELLED(INetFwRule, put_Direction, NET_FW_RULE_DIRECTION)
  NOT_MODELLED(INetFwRule, get_Interfaces, VARIANT*)
  NOT_MODELLED(INetFwRule, put_Interfaces, VARIANT)
  NOT_MODELLED(INetFwRule, get_InterfaceTypes, BSTR*)
  NOT_MODELLED(INetFwRule, put_InterfaceTypes, BSTR)
  NOT_MODELLED(INetFwRule, get_Grouping, BSTR*)
  NOT_MODELLED(INetFwRule, put_Grouping, BSTR)
  NOT_MODELLED(INetFwRule, get_EdgeTraversal, VARIANT_BOOL*)
  NOT_MODELLED(INetFwRule, put_EdgeTraversal, VARIANT_BOOL)

 private:
  static HRESULT PutText(const wchar_t* op, std::optional<std::wstring>& field, BSTR v) {
    const HRESULT hr = fwdouble::Failure(op);
    if (FAILED(hr)) return hr;
    field = v ? std::wstring(v, SysStringLen(v)) : std::wstring();
    return S_OK;
  }
  static HRESULT GetText(const std::optional<std::wstring>& field, BSTR* v) {
    if (!v) return E_POINTER;
    *v = nullptr;
    if (!field) return S_OK;
    *v = SysAllocStringLen(field->data(), static_cast<UINT>(field->size()));
    return *v ? S_OK : E_OUTOFMEMORY;
  }
  template <typename T>
  static HRESULT PutNumber(const wchar_t* op, std::optional<LONG>& field, T v) {
    const HRESULT hr = fwdouble::Failure(op);
    if (FAILED(hr)) return hr;
    field = static_cast<LONG>(v);
    return S_OK;
  }
  template <typename T>
  static HRESULT GetNumber(const std::optional<LONG>& field, T unset, T* v) {
    if (!v) return E_POINTER;
    *v = field ? static_cast<T>(*field) : unset;
    return S_OK;
  }

  fwdouble::Rule m_record;
};

class FwRules : public DispatchObject<INetFwRules> {
 public:
  HRESULT STDMETHODCALLTYPE Add(INetFwRule* rule) override {
    const HRESULT hr = fwdouble::Failure(L"Add");
    if (FAILED(hr)) return hr;
    if (!rule) return E_POINTER;
    void* own = nullptr;
    if (FAILED(rule->QueryInterface(kIidRuleRecord, &own))) return E_INVALIDARG;
    const fwdouble::Rule& record = static_cast<FwRule*>(own)->record();
    if (!record.name || record.name->empty()) return E_INVALIDARG;
    return fwdouble::AddRule(record) ? S_OK : E_FAIL;
  }
  // Like the system's firewall: removing a name that no rule has succeeds.
  HRESULT STDMETHODCALLTYPE Remove(BSTR name) override {
    const HRESULT hr = fwdouble::Failure(L"Remove");
    if (FAILED(hr)) return hr;
    fwdouble::RemoveRules(name ? name : L"");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Item(BSTR name, INetFwRule** rule) override {
    if (!rule) return E_POINTER;
    *rule = nullptr;
    const HRESULT hr = fwdouble::Failure(L"Item");
    if (FAILED(hr)) return hr;
    const std::optional<fwdouble::Rule> found = fwdouble::FindRule(name ? name : L"");
    if (!found) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    return CreateObject<FwRule>(__uuidof(INetFwRule), reinterpret_cast<void**>(rule), *found);
  }

  NOT_MODELLED(INetFwRules, get_Count, LONG*)
  NOT_MODELLED(INetFwRules, get__NewEnum, IUnknown**)
};

class FwPolicy2 : public DispatchObject<INetFwPolicy2> {
 public:
  HRESULT STDMETHODCALLTYPE get_Rules(INetFwRules** rules) override {
    if (!rules) return E_POINTER;
    *rules = nullptr;
    const HRESULT hr = fwdouble::Failure(L"get_Rules");
    if (FAILED(hr)) return hr;
    return CreateObject<FwRules>(__uuidof(INetFwRules), reinterpret_cast<void**>(rules));
  }

  NOT_MODELLED(INetFwPolicy2, get_CurrentProfileTypes, LONG*)
  NOT_MODELLED(INetFwPolicy2, get_FirewallEnabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
  NOT_MODELLED(INetFwPolicy2, put_FirewallEnabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
  NOT_MODELLED(INetFwPolicy2, get_ExcludedInterfaces, NET_FW_PROFILE_TYPE2, VARIANT*)
  NOT_MODELLED(INetFwPolicy2, put_ExcludedInterfaces, NET_FW_PROFILE_TYPE2, VARIANT)
  NOT_MODELLED(INetFwPolicy2, get_BlockAllInboundTraffic, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
  NOT_MODELLED(INetFwPolicy2, put_BlockAllInboundTraffic, NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
  NOT_MODELLED(INetFwPolicy2, get_NotificationsDisabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
  NOT_MODELLED(INetFwPolicy2, put_NotificationsDisabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
  NOT_MODELLED(INetFwPolicy2, get_UnicastResponsesToMulticastBroadcastDisabled,
               NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
  NOT_MODELLED(INetFwPolicy2, put_UnicastResponsesToMulticastBroadcastDisabled,
               NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
  NOT_MODELLED(INetFwPolicy2, get_ServiceRestriction, INetFwServiceRestriction**)
  NOT_MODELLED(INetFwPolicy2, EnableRuleGroup, LONG, BSTR, VARIANT_BOOL)
  NOT_MODELLED(INetFwPolicy2, IsRuleGroupEnabled, LONG, BSTR, VARIANT_BOOL*)
  NOT_MODELLED(INetFwPolicy2, RestoreLocalFirewallDefaults)
  NOT_MODELLED(INetFwPolicy2, get_DefaultInboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION*)
  NOT_MODELLED(INetFwPolicy2, put_DefaultInboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION)
  NOT_MODELLED(INetFwPolicy2, get_DefaultOutboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION*)
  NOT_MODELLED(INetFwPolicy2, put_DefaultOutboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION)
  NOT_MODELLED(INetFwPolicy2, get_IsRuleGroupCurrentlyEnabled, BSTR, VARIANT_BOOL*)
  NOT_MODELLED(INetFwPolicy2, get_LocalPolicyModifyState, NET_FW_MODIFY_STATE*)
};

// Class object of |T|; |operation| names its creation for failure injection.
template <typename T>
class ClassFactory : public IClassFactory {
 public:
  explicit constexpr ClassFactory(const wchar_t* operation) : m_operation(operation) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // Static object: its lifetime is the module's.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    const HRESULT hr = fwdouble::Failure(m_operation);
    if (FAILED(hr)) return hr;
    return CreateObject<T>(riid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock ? ++g_locks : --g_locks;
    return S_OK;
  }

 private:
  const wchar_t* m_operation;
};

ClassFactory<FwPolicy2> g_policyFactory(L"CreateNetFwPolicy2");
ClassFactory<FwRule> g_ruleFactory(L"CreateNetFwRule");

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid == __uuidof(NetFwPolicy2)) return g_policyFactory.QueryInterface(riid, out);
  if (clsid == __uuidof(NetFwRule)) return g_ruleFactory.QueryInterface(riid, out);
  return CLASS_E_CLASSNOTAVAILABLE;
}

// S_OK once every object is gone and no lock is held: the tests' leak check.
STDAPI DllCanUnloadNow() { return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE; }
