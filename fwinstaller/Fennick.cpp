// Fennick.dll: the installer's entry points. RemoveSvcFromFW is a second export name of
// RemoveSharedSvcFromFW (see Fennick.def).
#include <windows.h>

#include "fwinstaller/FennickExports.h"

extern "C" {

UINT WINAPI AddSharedSvcToFW() { return Fennick::AddSharedSvcToFWExport(); }

UINT WINAPI RemoveSharedSvcFromFW() { return Fennick::RemoveSharedSvcFromFWExport(); }

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

}  // extern "C"
