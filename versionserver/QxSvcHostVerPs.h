// The merged proxy/stub code of the three marshalled interfaces (made from QxSvcHostVer.idl).
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// The proxy/stub class factory for the proxy/stub class identifier (the IID of
// IQxSvcHostVersion); CLASS_E_CLASSNOTAVAILABLE for any other class.
HRESULT QxPsDllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
// S_FALSE while the proxy/stub factory is in use, else S_OK.
HRESULT QxPsDllCanUnloadNow(void);
// Registers (or removes) the three interfaces and the proxy/stub class served by |module|.
HRESULT QxPsDllRegisterProxy(HMODULE module);
HRESULT QxPsDllUnregisterProxy(HMODULE module);

#ifdef __cplusplus
}
#endif
