/* Forced first include of the generated proxy/stub sources.
 *
 * The generated IID symbols get names of their own, so that a program may link this code beside
 * the host's C++ declarations of the same interfaces. mingw declares the IUnknown proxy routines
 * of rpcrt4 for C++ only, and makes REFIID assignable in proxy code only when told. The generated
 * exception frames come from ndrshim/wine/exception.h. */
#pragma once

#define __WIDL_proxy

#define IID_IQxSvcHostVersion QxPs_IID_IQxSvcHostVersion
#define IID_IQxSvcSubsystemControlManager QxPs_IID_IQxSvcSubsystemControlManager
#define IID_IQxSvcSubsystem QxPs_IID_IQxSvcSubsystem
#define LIBID_QxSvcHostVerLib QxPs_LIBID_QxSvcHostVerLib
#define CLSID_QxSvcHostVer QxPs_CLSID_QxSvcHostVer

#include <unknwn.h>
#ifndef __cplusplus
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid,
                                                        void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);
#endif
