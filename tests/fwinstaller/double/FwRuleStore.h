// Where the firewall double keeps its rules, its injected failures and the calls it does
// not model: under HKEY_CURRENT_USER, so the state outlives the double's DLL and the test
// reads it back with plain registry calls. Shared by the double and the tests.
#pragma once

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"

namespace fwdouble {

constexpr wchar_t kStoreKey[] = L"Software\\HollinTests\\FirewallDouble";
constexpr wchar_t kRulesKey[] = L"Software\\HollinTests\\FirewallDouble\\Rules";
constexpr wchar_t kFailuresKey[] = L"Software\\HollinTests\\FirewallDouble\\Failures";
constexpr wchar_t kUnexpectedKey[] = L"Software\\HollinTests\\FirewallDouble\\Unexpected";

// One rule as the firewall holds it; a property nobody set is empty.
struct Rule {
  std::optional<std::wstring> name, description, applicationName, localPorts, remotePorts;
  std::optional<LONG> enabled, action, profiles, protocol;

  bool operator==(const Rule& o) const {
    return name == o.name && description == o.description && applicationName == o.applicationName &&
           localPorts == o.localPorts && remotePorts == o.remotePorts && enabled == o.enabled &&
           action == o.action && profiles == o.profiles && protocol == o.protocol;
  }
};

namespace detail {

struct TextField {
  const wchar_t* value;
  std::optional<std::wstring> Rule::*field;
};
struct NumberField {
  const wchar_t* value;
  std::optional<LONG> Rule::*field;
};
constexpr TextField kTextFields[] = {{L"Name", &Rule::name},
                                     {L"Description", &Rule::description},
                                     {L"ApplicationName", &Rule::applicationName},
                                     {L"LocalPorts", &Rule::localPorts},
                                     {L"RemotePorts", &Rule::remotePorts}};
constexpr NumberField kNumberFields[] = {{L"Enabled", &Rule::enabled},
                                         {L"Action", &Rule::action},
                                         {L"Profiles", &Rule::profiles},
                                         {L"Protocol", &Rule::protocol}};

inline Basalt::UniqueHKey CreateKey(const wchar_t* path) {
  Basalt::UniqueHKey key;
  RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                  nullptr);
  return key;
}

inline std::optional<DWORD> ReadDword(HKEY key, const wchar_t* name) {
  DWORD value = 0;
  DWORD bytes = sizeof(value);
  if (RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) != ERROR_SUCCESS)
    return std::nullopt;
  return value;
}

inline std::optional<std::wstring> ReadText(HKEY key, const wchar_t* name) {
  wchar_t text[4096] = {};
  DWORD bytes = sizeof(text) - sizeof(wchar_t);
  if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &bytes) !=
      ERROR_SUCCESS)
    return std::nullopt;
  return std::wstring(text);
}

inline void WriteDword(HKEY key, const wchar_t* name, DWORD value) {
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

inline bool SameName(const std::optional<std::wstring>& a, const wchar_t* b) {
  return a && CompareStringOrdinal(a->c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

// Subkey names of the rules, in the order they were added.
inline std::vector<std::wstring> RuleKeys() {
  std::vector<std::wstring> names;
  Basalt::UniqueHKey rules;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRulesKey, 0, KEY_READ, rules.put()) != ERROR_SUCCESS)
    return names;
  wchar_t name[64];
  for (DWORD i = 0;; ++i) {
    DWORD chars = 64;
    if (RegEnumKeyExW(rules.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace detail

// Forgets every rule, failure and recorded call.
inline void Reset() { RegDeleteTreeW(HKEY_CURRENT_USER, kStoreKey); }

// Every rule, in the order they were added.
inline std::vector<Rule> Rules() {
  std::vector<Rule> rules;
  for (const std::wstring& keyName : detail::RuleKeys()) {
    Basalt::UniqueHKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, (std::wstring(kRulesKey) + L"\\" + keyName).c_str(), 0,
                      KEY_READ, key.put()) != ERROR_SUCCESS)
      continue;
    Rule rule;
    for (const auto& f : detail::kTextFields) rule.*f.field = detail::ReadText(key.get(), f.value);
    for (const auto& f : detail::kNumberFields) {
      if (const auto value = detail::ReadDword(key.get(), f.value))
        rule.*f.field = static_cast<LONG>(*value);
    }
    rules.push_back(rule);
  }
  return rules;
}

// The first rule named |name| (case-insensitive), as the firewall's lookup by name finds it.
inline std::optional<Rule> FindRule(const wchar_t* name) {
  for (const Rule& rule : Rules()) {
    if (detail::SameName(rule.name, name)) return rule;
  }
  return std::nullopt;
}

// Appends |rule|; rules with the same name may coexist, as in the real firewall.
inline bool AddRule(const Rule& rule) {
  Basalt::UniqueHKey rules = detail::CreateKey(kRulesKey);
  if (!rules) return false;
  const DWORD id = detail::ReadDword(rules.get(), L"NextId").value_or(1);
  detail::WriteDword(rules.get(), L"NextId", id + 1);
  std::wstring keyName = std::to_wstring(id);
  keyName.insert(0, keyName.size() < 8 ? 8 - keyName.size() : 0, L'0');  // sorts as added
  Basalt::UniqueHKey key;
  if (RegCreateKeyExW(rules.get(), keyName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      key.put(), nullptr) != ERROR_SUCCESS)
    return false;
  for (const auto& f : detail::kTextFields) {
    const std::optional<std::wstring>& text = rule.*f.field;
    if (text)
      RegSetValueExW(key.get(), f.value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text->c_str()),
                     static_cast<DWORD>((text->size() + 1) * sizeof(wchar_t)));
  }
  for (const auto& f : detail::kNumberFields) {
    if (rule.*f.field) detail::WriteDword(key.get(), f.value, static_cast<DWORD>(*(rule.*f.field)));
  }
  return true;
}

// Removes every rule named |name| (case-insensitive); the number removed.
inline size_t RemoveRules(const wchar_t* name) {
  size_t removed = 0;
  for (const std::wstring& keyName : detail::RuleKeys()) {
    const std::wstring path = std::wstring(kRulesKey) + L"\\" + keyName;
    Basalt::UniqueHKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
      continue;
    const bool match = detail::SameName(detail::ReadText(key.get(), L"Name"), name);
    key.reset();
    if (match && RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str()) == ERROR_SUCCESS) ++removed;
  }
  return removed;
}

// Makes member or creation |operation| (e.g. L"Add", L"put_Name", L"CreateNetFwRule")
// fail with |hr| until Reset.
inline void SetFailure(const wchar_t* operation, HRESULT hr) {
  Basalt::UniqueHKey key = detail::CreateKey(kFailuresKey);
  if (key) detail::WriteDword(key.get(), operation, static_cast<DWORD>(hr));
}

// The failure injected for |operation|, S_OK when none.
inline HRESULT Failure(const wchar_t* operation) {
  Basalt::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kFailuresKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return S_OK;
  return static_cast<HRESULT>(detail::ReadDword(key.get(), operation).value_or(S_OK));
}

// Records a call of a member the double does not model.
inline void RecordUnexpected(const wchar_t* member) {
  Basalt::UniqueHKey key = detail::CreateKey(kUnexpectedKey);
  if (key)
    detail::WriteDword(key.get(), member, detail::ReadDword(key.get(), member).value_or(0) + 1);
}

// Members called that the double does not model.
inline std::vector<std::wstring> UnexpectedCalls() {
  std::vector<std::wstring> members;
  Basalt::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kUnexpectedKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return members;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD chars = 256;
    if (RegEnumValueW(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    members.push_back(name);
  }
  return members;
}

}  // namespace fwdouble
