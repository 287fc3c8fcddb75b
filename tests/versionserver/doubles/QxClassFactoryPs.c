/* Test-only proxy/stub DLL of IQxClassFactory (its proxy/stub class is the interface's IID). */
#include <rpcproxy.h>

extern const ExtendedProxyFileInfo QxClassFactoryPs_ProxyFileInfo;

static const ProxyFileInfo* kProxyFileList[] = {&QxClassFactoryPs_ProxyFileInfo, NULL};
static const CLSID kProxyStubClsid = {
    0xfd542581, 0x722e, 0x45be, {0xbe, 0xd4, 0x62, 0xa1, 0xbe, 0x46, 0xaf, 0x03}};
static CStdPSFactoryBuffer g_psFactory;
static HMODULE g_module;

ULONG WINAPI CStdStubBuffer_Release(IRpcStubBuffer* This) {
  return NdrCStdStubBuffer_Release(This, (IPSFactoryBuffer*)&g_psFactory);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) g_module = instance;
  return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return NdrDllGetClassObject(clsid, riid, ppv, kProxyFileList, &kProxyStubClsid, &g_psFactory);
}

HRESULT WINAPI DllCanUnloadNow(void) { return NdrDllCanUnloadNow(&g_psFactory); }

HRESULT WINAPI DllRegisterServer(void) {
  return NdrDllRegisterProxy(g_module, kProxyFileList, &kProxyStubClsid);
}

HRESULT WINAPI DllUnregisterServer(void) {
  return NdrDllUnregisterProxy(g_module, kProxyFileList, &kProxyStubClsid);
}
