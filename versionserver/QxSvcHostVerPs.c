/* Entry points of the merged proxy/stub code. */
#include "versionserver/QxSvcHostVerPs.h"

#include <rpcproxy.h>

extern const ExtendedProxyFileInfo QxSvcHostVer_ProxyFileInfo;

static const ProxyFileInfo* kProxyFileList[] = {&QxSvcHostVer_ProxyFileInfo, NULL};

/* The proxy/stub class identifier: the IID of IQxSvcHostVersion. */
static const CLSID kProxyStubClsid = {
    0xc8c3a940, 0xee0e, 0x4bfd, {0xa1, 0x51, 0xe3, 0x1a, 0x7f, 0x05, 0xf8, 0x66}};

static CStdPSFactoryBuffer g_psFactory;

/* The stub releases that the generated tables name; they keep the factory's count. */
ULONG WINAPI CStdStubBuffer_Release(IRpcStubBuffer* This) {
  return NdrCStdStubBuffer_Release(This, (IPSFactoryBuffer*)&g_psFactory);
}

ULONG WINAPI CStdStubBuffer2_Release(IRpcStubBuffer* This) {
  return NdrCStdStubBuffer2_Release(This, (IPSFactoryBuffer*)&g_psFactory);
}

HRESULT QxPsDllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return NdrDllGetClassObject(clsid, riid, ppv, kProxyFileList, &kProxyStubClsid, &g_psFactory);
}

HRESULT QxPsDllCanUnloadNow(void) { return NdrDllCanUnloadNow(&g_psFactory); }

HRESULT QxPsDllRegisterProxy(HMODULE module) {
  return NdrDllRegisterProxy(module, kProxyFileList, &kProxyStubClsid);
}

HRESULT QxPsDllUnregisterProxy(HMODULE module) {
  return NdrDllUnregisterProxy(module, kProxyFileList, &kProxyStubClsid);
}
