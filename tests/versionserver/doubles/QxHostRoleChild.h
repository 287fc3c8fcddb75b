// What the marshalling tests and their host-role child process share.
#pragma once

#include <windows.h>

// Class object that the child registers beside the control manager's: an IQxClassFactory that
// makes test subsystems without any caller check.
inline constexpr CLSID CLSID_QxTestSubsystemProvider = {
    0x6f1c2a57, 0x3d0e, 0x4b8a, {0x9c, 0x41, 0x27, 0x5e, 0x8d, 0x13, 0xa4, 0x6b}};

// The test subsystem's QxServiceMain sets this exit code when it received argc 3 and the service
// name below as argv[0]; otherwise it sets argc.
inline constexpr wchar_t kQxTestServiceName[] = L"QxTestService";
inline constexpr DWORD kQxTestServiceArgc = 3;
inline constexpr DWORD kQxTestSubsystemSawService = 0xDEADBABE;
