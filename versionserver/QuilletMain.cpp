// Entry points of Quillet.dll; everything they do lives in the server module.
#include <windows.h>

#include "versionserver/CQxSvcHostVerModule.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  return QuilletDllMain(instance, reason, reserved);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return QuilletDllCanUnloadNow(); }

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return QuilletDllGetClassObject(clsid, riid, ppv);
}

extern "C" HRESULT WINAPI DllRegisterServer() { return QuilletDllRegisterServer(); }

extern "C" HRESULT WINAPI DllUnregisterServer() { return QuilletDllUnregisterServer(); }
