// Applies a registration script to the registry, so that the script a server carries stays the one
// place that says what it registers.
//
// Grammar (tokens are separated by white space; a name is a bare word or a '...' string in which
// '' stands for one quote; %NAME% in any token is replaced, %% gives %):
//   script := root*
//   root   := HKCR | HKEY_CLASSES_ROOT | HKCU | HKEY_CURRENT_USER | HKLM | HKEY_LOCAL_MACHINE
//             | HKU | HKEY_USERS, followed by '{' key* '}'
//   key    := [ForceRemove | NoRemove] name ['=' 's' name] ['{' (key | value)* '}']
//   value  := 'val' name '=' 's' name
// Keywords compare without regard to case.
//
// Registration creates every key and sets its default and named string values; a ForceRemove key
// is deleted with everything below it before it is written. Unregistration deletes a ForceRemove
// key whole; a plain key loses the values the script names and is deleted once nothing is left
// below it; a NoRemove key is never deleted. Keys that are already gone are not an error.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace AtlShim {

// The script does not follow the grammar or names an unknown replacement.
inline constexpr HRESULT kRegistrarScriptError = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

class CScriptRegistrar {
 public:
  // Adds or replaces the text that %|name|% stands for.
  void AddReplacement(const std::wstring& name, const std::wstring& value);

  // Applies |script|. kRegistrarScriptError for a bad script (nothing is written then); otherwise
  // S_OK or the HRESULT of the first registry call that failed.
  [[nodiscard]] HRESULT StringRegister(const wchar_t* script) const;
  [[nodiscard]] HRESULT StringUnregister(const wchar_t* script) const;

  // The same for a script carried as resource |id| of type |type| in |module| (ANSI text).
  // HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND) when it cannot be found or read.
  [[nodiscard]] HRESULT ResourceRegister(HMODULE module, UINT id, const wchar_t* type) const;
  [[nodiscard]] HRESULT ResourceUnregister(HMODULE module, UINT id, const wchar_t* type) const;

 private:
  HRESULT Apply(const wchar_t* script, bool registering) const;
  HRESULT ApplyResource(HMODULE module, UINT id, const wchar_t* type, bool registering) const;

  std::vector<std::pair<std::wstring, std::wstring>> m_replacements;
};

}  // namespace AtlShim
