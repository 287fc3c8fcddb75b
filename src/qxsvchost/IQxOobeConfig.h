// The first-run (OOBE) configuration object, an in-process server installed by another product:
// the host asks it whether the group's services may run yet.
#pragma once

#include <unknwn.h>
#include <windows.h>

// Slots 0-2 are IUnknown's.
MIDL_INTERFACE("4D7EEFF6-CDE2-4980-A37B-858FEA7E8D65")
IQxOobeConfig : public IUnknown {
 public:
  // Slot 3. |state| -1: the OOBE service has enabled all services; any other state: disabled.
  // |error| not 0: the object could not answer (the HRESULT is only informative).
  virtual HRESULT STDMETHODCALLTYPE GetServiceEnabledState(SHORT * state, DWORD * error) = 0;
};

__CRT_UUID_DECL(IQxOobeConfig, 0x4d7eeff6, 0xcde2, 0x4980, 0xa3, 0x7b, 0x85, 0x8f, 0xea, 0x7e, 0x8d,
                0x65)

inline constexpr IID IID_IQxOobeConfig = {
    0x4d7eeff6, 0xcde2, 0x4980, {0xa3, 0x7b, 0x85, 0x8f, 0xea, 0x7e, 0x8d, 0x65}};
inline constexpr CLSID CLSID_QxOobeConfig = {
    0x0f352565, 0xfd06, 0x467a, {0xa9, 0x71, 0x59, 0x5d, 0x03, 0x38, 0x86, 0x58}};
