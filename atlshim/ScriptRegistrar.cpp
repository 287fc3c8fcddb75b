#include "atlshim/ScriptRegistrar.h"

#include <climits>
#include <cwctype>

#include "basalt/UniqueHandle.h"

namespace AtlShim {

namespace {

struct Token {
  std::wstring text;
  bool quoted = false;
};

struct ScriptValue {
  std::wstring name;  // empty: the default value
  std::wstring data;
};

enum class KeyFlag { kPlain, kForceRemove, kNoRemove };

struct ScriptKey {
  KeyFlag flag = KeyFlag::kPlain;
  std::wstring name;
  std::vector<ScriptValue> values;
  std::vector<ScriptKey> subkeys;
};

struct ScriptRoot {
  HKEY hkey = nullptr;
  std::vector<ScriptKey> keys;
};

bool IEquals(const std::wstring& a, const wchar_t* b) { return _wcsicmp(a.c_str(), b) == 0; }

HRESULT FromWin32(LONG error) { return HRESULT_FROM_WIN32(static_cast<DWORD>(error)); }

bool IsMissing(LONG error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

using Replacements = std::vector<std::pair<std::wstring, std::wstring>>;

// Replaces %NAME% and %% in |text|; false for an unknown name or a lone %.
bool Substitute(const std::wstring& text, const Replacements& replacements, std::wstring& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'%') {
      out += text[i];
      continue;
    }
    const size_t end = text.find(L'%', i + 1);
    if (end == std::wstring::npos) return false;
    const std::wstring name = text.substr(i + 1, end - i - 1);
    if (name.empty()) {
      out += L'%';
    } else {
      bool found = false;
      for (const auto& r : replacements) {
        if (_wcsicmp(r.first.c_str(), name.c_str()) == 0) {
          out += r.second;
          found = true;
          break;
        }
      }
      if (!found) return false;
    }
    i = end;
  }
  return true;
}

bool Tokenize(const wchar_t* script, const Replacements& replacements, std::vector<Token>& tokens) {
  const wchar_t* p = script;
  for (;;) {
    while (*p != L'\0' && std::iswspace(*p)) ++p;
    if (*p == L'\0') return true;
    Token token;
    std::wstring raw;
    if (*p == L'\'') {
      token.quoted = true;
      for (++p;; ++p) {
        if (*p == L'\0') return false;
        if (*p == L'\'') {
          if (p[1] != L'\'') break;
          ++p;
        }
        raw += *p;
      }
      ++p;
    } else {
      while (*p != L'\0' && !std::iswspace(*p)) raw += *p++;
    }
    if (!Substitute(raw, replacements, token.text)) return false;
    tokens.push_back(std::move(token));
  }
}

class Parser {
 public:
  explicit Parser(const std::vector<Token>& tokens) : m_tokens(tokens) {}

  bool ParseScript(std::vector<ScriptRoot>& roots) {
    while (m_pos < m_tokens.size()) {
      ScriptRoot root;
      if (!ParseRootName(root.hkey) || !Expect(L"{")) return false;
      while (!IsWord(L"}")) {
        ScriptKey key;
        if (!ParseKey(key)) return false;
        root.keys.push_back(std::move(key));
      }
      ++m_pos;
      roots.push_back(std::move(root));
    }
    return true;
  }

 private:
  // An unquoted token equal to |word| (without regard to case) at the current position.
  bool IsWord(const wchar_t* word) const {
    return m_pos < m_tokens.size() && !m_tokens[m_pos].quoted &&
           IEquals(m_tokens[m_pos].text, word);
  }
  bool Expect(const wchar_t* word) {
    if (!IsWord(word)) return false;
    ++m_pos;
    return true;
  }
  bool IsStructural() const { return IsWord(L"{") || IsWord(L"}") || IsWord(L"="); }
  bool ParseName(std::wstring& name) {
    if (m_pos >= m_tokens.size() || IsStructural()) return false;
    name = m_tokens[m_pos++].text;
    return true;
  }
  // '=' 's' <name>
  bool ParseStringAssignment(std::wstring& data) {
    return Expect(L"=") && Expect(L"s") && ParseName(data);
  }

  bool ParseRootName(HKEY& hkey) {
    static const struct {
      const wchar_t* name;
      HKEY hkey;
    } kRoots[] = {
        {L"HKCR", HKEY_CLASSES_ROOT},  {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {L"HKCU", HKEY_CURRENT_USER},  {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {L"HKLM", HKEY_LOCAL_MACHINE}, {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {L"HKU", HKEY_USERS},          {L"HKEY_USERS", HKEY_USERS},
    };
    for (const auto& root : kRoots) {
      if (Expect(root.name)) {
        hkey = root.hkey;
        return true;
      }
    }
    return false;
  }

  bool ParseKey(ScriptKey& key) {
    if (Expect(L"ForceRemove")) {
      key.flag = KeyFlag::kForceRemove;
    } else if (Expect(L"NoRemove")) {
      key.flag = KeyFlag::kNoRemove;
    }
    if (!ParseName(key.name) || key.name.empty()) return false;
    if (IsWord(L"=")) {
      ScriptValue value;
      if (!ParseStringAssignment(value.data)) return false;
      key.values.push_back(std::move(value));
    }
    if (!Expect(L"{")) return true;
    while (!IsWord(L"}")) {
      if (m_pos >= m_tokens.size()) return false;
      if (Expect(L"val")) {
        ScriptValue value;
        if (!ParseName(value.name) || !ParseStringAssignment(value.data)) return false;
        key.values.push_back(std::move(value));
      } else {
        ScriptKey subkey;
        if (!ParseKey(subkey)) return false;
        key.subkeys.push_back(std::move(subkey));
      }
    }
    ++m_pos;
    return true;
  }

  const std::vector<Token>& m_tokens;
  size_t m_pos = 0;
};

HRESULT RegisterKey(HKEY parent, const ScriptKey& script) {
  if (script.flag == KeyFlag::kForceRemove) {
    const LONG deleted = RegDeleteTreeW(parent, script.name.c_str());
    if (deleted != ERROR_SUCCESS && !IsMissing(deleted)) return FromWin32(deleted);
  }
  Basalt::UniqueHKey key;
  LONG result = RegCreateKeyExW(parent, script.name.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                nullptr, key.put(), nullptr);
  if (result != ERROR_SUCCESS) return FromWin32(result);
  for (const ScriptValue& value : script.values) {
    result = RegSetValueExW(key.get(), value.name.empty() ? nullptr : value.name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.data.c_str()),
                            static_cast<DWORD>((value.data.size() + 1) * sizeof(wchar_t)));
    if (result != ERROR_SUCCESS) return FromWin32(result);
  }
  for (const ScriptKey& subkey : script.subkeys) {
    const HRESULT hr = RegisterKey(key.get(), subkey);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT UnregisterKey(HKEY parent, const ScriptKey& script) {
  if (script.flag == KeyFlag::kForceRemove) {
    const LONG deleted = RegDeleteTreeW(parent, script.name.c_str());
    return deleted == ERROR_SUCCESS || IsMissing(deleted) ? S_OK : FromWin32(deleted);
  }
  Basalt::UniqueHKey key;
  LONG result = RegOpenKeyExW(parent, script.name.c_str(), 0, KEY_READ | KEY_WRITE, key.put());
  if (IsMissing(result)) return S_OK;
  if (result != ERROR_SUCCESS) return FromWin32(result);
  for (const ScriptValue& value : script.values) {
    if (value.name.empty()) continue;  // goes with the key
    result = RegDeleteValueW(key.get(), value.name.c_str());
    if (result != ERROR_SUCCESS && !IsMissing(result)) return FromWin32(result);
  }
  for (const ScriptKey& subkey : script.subkeys) {
    const HRESULT hr = UnregisterKey(key.get(), subkey);
    if (FAILED(hr)) return hr;
  }
  if (script.flag == KeyFlag::kNoRemove) return S_OK;
  DWORD subkeys = 0;
  result = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr, nullptr);
  if (result != ERROR_SUCCESS) return FromWin32(result);
  if (subkeys != 0) return S_OK;  // something else still lives below it
  key.reset();
  result = RegDeleteKeyW(parent, script.name.c_str());
  return result == ERROR_SUCCESS || IsMissing(result) ? S_OK : FromWin32(result);
}

}  // namespace

void CScriptRegistrar::AddReplacement(const std::wstring& name, const std::wstring& value) {
  for (auto& r : m_replacements) {
    if (_wcsicmp(r.first.c_str(), name.c_str()) == 0) {
      r.second = value;
      return;
    }
  }
  m_replacements.emplace_back(name, value);
}

HRESULT CScriptRegistrar::StringRegister(const wchar_t* script) const {
  return Apply(script, true);
}

HRESULT CScriptRegistrar::StringUnregister(const wchar_t* script) const {
  return Apply(script, false);
}

HRESULT CScriptRegistrar::ResourceRegister(HMODULE module, UINT id, const wchar_t* type) const {
  return ApplyResource(module, id, type, true);
}

HRESULT CScriptRegistrar::ResourceUnregister(HMODULE module, UINT id, const wchar_t* type) const {
  return ApplyResource(module, id, type, false);
}

HRESULT CScriptRegistrar::Apply(const wchar_t* script, bool registering) const {
  if (script == nullptr) return E_INVALIDARG;
  std::vector<Token> tokens;
  std::vector<ScriptRoot> roots;
  if (!Tokenize(script, m_replacements, tokens) || !Parser(tokens).ParseScript(roots)) {
    return kRegistrarScriptError;
  }
  for (const ScriptRoot& root : roots) {
    for (const ScriptKey& key : root.keys) {
      const HRESULT hr = registering ? RegisterKey(root.hkey, key) : UnregisterKey(root.hkey, key);
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

HRESULT CScriptRegistrar::ApplyResource(HMODULE module, UINT id, const wchar_t* type,
                                        bool registering) const {
  constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND);
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), type);
  if (resource == nullptr) return kNotFound;
  const DWORD bytes = SizeofResource(module, resource);
  HGLOBAL loaded = LoadResource(module, resource);
  const char* data = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (data == nullptr || bytes == 0 || bytes > INT_MAX) return kNotFound;
  const int chars = MultiByteToWideChar(CP_ACP, 0, data, static_cast<int>(bytes), nullptr, 0);
  if (chars <= 0) return kNotFound;
  std::wstring script(static_cast<size_t>(chars), L'\0');
  MultiByteToWideChar(CP_ACP, 0, data, static_cast<int>(bytes), &script[0], chars);
  return Apply(script.c_str(), registering);
}

}  // namespace AtlShim
