// The contract every hosted subsystem meets: the host obtains this interface through the
// library's secure class factory and calls QxServiceMain on the service's own thread.
#pragma once

#include <unknwn.h>
#include <windows.h>

// Exit code with which a subsystem asks the host to unload its library after QxServiceMain.
inline constexpr DWORD QX_SUBSYSTEM_EXIT_UNLOAD = 0xDEADBABE;

// Slots 0-2 are IUnknown's; the slot order below is the marshalled contract and must not change.
MIDL_INTERFACE("98C36371-A729-44C7-A177-F8D76CE567C7")
IQxSvcSubsystem : public IUnknown {
 public:
  // Slot 3. Runs the whole life of the service and returns when it has stopped. |argc|/|argv|
  // are the Service Control Manager's arguments unchanged (argv[0] is the service name);
  // |exitCode| is 0 on entry. Across apartments only argv[0] travels.
  virtual HRESULT STDMETHODCALLTYPE QxServiceMain(DWORD argc, LPWSTR* argv, DWORD* exitCode) = 0;
};

__CRT_UUID_DECL(IQxSvcSubsystem, 0x98c36371, 0xa729, 0x44c7, 0xa1, 0x77, 0xf8, 0xd7, 0x6c, 0xe5,
                0x67, 0xc7)

inline constexpr IID IID_IQxSvcSubsystem = {
    0x98c36371, 0xa729, 0x44c7, {0xa1, 0x77, 0xf8, 0xd7, 0x6c, 0xe5, 0x67, 0xc7}};
