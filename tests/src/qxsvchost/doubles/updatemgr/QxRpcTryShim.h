/* Forced into the generated proxy code: g++ has no __try, so the RPC try blocks become plain
   blocks (an RPC exception inside a proxy is then not caught); and the C headers do not declare
   the IUnknown proxies that the proxy tables point at. */
#pragma once

#include <objbase.h>
#include <rpc.h>

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid,
                                                        void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

#undef RpcTryExcept
#undef RpcExcept
#undef RpcEndExcept
#undef RpcTryFinally
#undef RpcFinally
#undef RpcEndFinally
#undef RpcExceptionCode
#undef RpcAbnormalTermination

#define RpcTryExcept {
#define RpcExcept(expr) \
  }                     \
  if (0) {
#define RpcEndExcept }
#define RpcTryFinally {
#define RpcFinally \
  }                \
  {
#define RpcEndFinally }
#define RpcExceptionCode() 0
#define RpcAbnormalTermination() 0
