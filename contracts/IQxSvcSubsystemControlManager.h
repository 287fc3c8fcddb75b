// Interface through which an outside client asks the running host to stop its group's services,
// and the class that the host registers for it.
#pragma once

#include <unknwn.h>
#include <windows.h>

// Slots 0-2 are IUnknown's; the slot order below is the marshalled contract and must not change.
MIDL_INTERFACE("FFBF163F-925A-41C4-82A4-0AC6AE77B9D2")
IQxSvcSubsystemControlManager : public IUnknown {
 public:
  // Slot 3. Always E_NOTIMPL; |text| ([in, unique, string], may be null) is not read.
  virtual HRESULT STDMETHODCALLTYPE Reserved(LPCWSTR text) = 0;
  // Slot 4. Stops the host's group services; |text| ([in, unique, string], may be null) is not
  // read, |processId| ([out], may be null) receives the host's process id before anything else.
  virtual HRESULT STDMETHODCALLTYPE QxStopSvcSubsystem(LPCWSTR text, DWORD * processId) = 0;
};

__CRT_UUID_DECL(IQxSvcSubsystemControlManager, 0xffbf163f, 0x925a, 0x41c4, 0x82, 0xa4, 0x0a, 0xc6,
                0xae, 0x77, 0xb9, 0xd2)

inline constexpr IID IID_IQxSvcSubsystemControlManager = {
    0xffbf163f, 0x925a, 0x41c4, {0x82, 0xa4, 0x0a, 0xc6, 0xae, 0x77, 0xb9, 0xd2}};

// The class object that a running host registers as a local server.
inline constexpr CLSID CLSID_QxSvcSubsystemControlManager = {
    0x050813ae, 0x50a9, 0x44c9, {0x84, 0x98, 0x14, 0xde, 0x61, 0xe6, 0x0d, 0x23}};
