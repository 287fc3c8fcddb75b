/* Forced first include of the generated proxy/stub sources.
 *
 * The generated IID symbols get names of their own, so that a program may link this code beside
 * the host's C++ declarations of the same interfaces. The compiler has no structured exception
 * handling, so the RPC try blocks become plain blocks: an exception inside a proxy is not turned
 * into an error code (calls with valid arguments raise none). mingw declares the IUnknown proxy
 * routines of rpcrt4 for C++ only, and makes REFIID assignable in proxy code only when told. */
#pragma once

#define __WIDL_proxy

#define IID_IQxSvcHostVersion QxPs_IID_IQxSvcHostVersion
#define IID_IQxSvcSubsystemControlManager QxPs_IID_IQxSvcSubsystemControlManager
#define IID_IQxSvcSubsystem QxPs_IID_IQxSvcSubsystem
#define LIBID_QxSvcHostVerLib QxPs_LIBID_QxSvcHostVerLib
#define CLSID_QxSvcHostVer QxPs_CLSID_QxSvcHostVer

#define USE_COMPILER_EXCEPTIONS
#include <rpc.h>
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
#define RpcFinally }
#define RpcEndFinally
#define RpcExceptionCode() 0
#define RpcAbnormalTermination() 0

#include <unknwn.h>
#ifndef __cplusplus
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid,
                                                        void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);
#endif
