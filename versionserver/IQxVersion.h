// The working interface of the version object (not marshalled, not in the type library).
#pragma once

#include <unknwn.h>
#include <windows.h>

MIDL_INTERFACE("303AEE53-E703-4395-A3FA-63ECF82AAEEC")
IQxVersion : public IUnknown {
 public:
  // Slot 3. "name=version" lines of the components found; |*text| is allocated with
  // CoTaskMemAlloc (the caller frees it) or null when nothing was found; |*result| 0 or 2.
  virtual HRESULT STDMETHODCALLTYPE GetVersion(LPWSTR * text, DWORD * result) = 0;
  // Slot 4. One line per missing required component, with the same conventions.
  virtual HRESULT STDMETHODCALLTYPE CheckComponents(LPWSTR * text, DWORD * result) = 0;
};

__CRT_UUID_DECL(IQxVersion, 0x303aee53, 0xe703, 0x4395, 0xa3, 0xfa, 0x63, 0xec, 0xf8, 0x2a, 0xae,
                0xec)

inline constexpr IID IID_IQxVersion = {
    0x303aee53, 0xe703, 0x4395, {0xa3, 0xfa, 0x63, 0xec, 0xf8, 0x2a, 0xae, 0xec}};
