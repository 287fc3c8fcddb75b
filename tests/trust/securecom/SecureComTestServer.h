// Classes, interface and exports shared by the secure COM tests and their two test DLLs.
#pragma once

#include <unknwn.h>
#include <windows.h>

#include "trust/SecureCom.h"

// Class objects answer IQxClassFactory and IQxClassFactory_PreComponentization; IClassFactory too,
// so that CoCreateInstance works on it.
inline constexpr CLSID CLSID_SecureComProbe = {
    0x64bb7daa, 0x9c2b, 0x422c, {0xb8, 0x92, 0xa1, 0x0a, 0xed, 0x23, 0x32, 0x74}};
// The class object answers only IQxClassFactory_PreComponentization.
inline constexpr CLSID CLSID_SecureComProbeOld = {
    0x7723d453, 0x4b62, 0x4429, {0xab, 0xd6, 0xe9, 0x24, 0xf4, 0x44, 0xa0, 0x21}};
// No class object: E_NOINTERFACE for IQxClassFactory, CLASS_E_CLASSNOTAVAILABLE for the older IID.
inline constexpr CLSID CLSID_SecureComNone = {
    0x5d730aaf, 0x72b4, 0x4ac1, {0x98, 0x34, 0xfd, 0x52, 0x90, 0xb8, 0xb3, 0xff}};
// The class object's first table entry lies on an unreadable page; the rest of its table works.
inline constexpr CLSID CLSID_SecureComUnreadable = {
    0x52b426ba, 0x6ece, 0x4e5e, {0x88, 0xbf, 0xc8, 0x73, 0xbd, 0x33, 0x69, 0x3f}};

MIDL_INTERFACE("E2D5A162-2BFB-4FE1-A697-A10431275E32")
ISecureComProbe : public IUnknown {
 public:
  // Which class made the object.
  virtual HRESULT STDMETHODCALLTYPE GetClass(CLSID * clsid) = 0;
};
__CRT_UUID_DECL(ISecureComProbe, 0xe2d5a162, 0x2bfb, 0x4fe1, 0xa6, 0x97, 0xa1, 0x04, 0x31, 0x27,
                0x5e, 0x32)
inline constexpr IID IID_ISecureComProbe = {
    0xe2d5a162, 0x2bfb, 0x4fe1, {0xa6, 0x97, 0xa1, 0x04, 0x31, 0x27, 0x5e, 0x32}};

// What the server has done since it was loaded.
struct SecureComStats {
  LONG created;        // objects made by CreateObjectUnchecked or IClassFactory
  LONG liveFactories;  // class objects not yet released
  LONG liveObjects;    // probe objects not yet released
};

// Exports of the server DLL.
using SecureComServerStatsFn = void(WINAPI*)(SecureComStats* stats);
inline constexpr char kSecureComServerStatsExport[] = "SecureComServerStats";
// Has the server's caller check get |context| and |caller| from its COM call queries on the thread
// |threadId| (0: on none), in place of what COM answers (trust_test::AnswerComCallsOnThread).
using SecureComServerAnswerComCallsFn = void(WINAPI*)(DWORD threadId, HRESULT context,
                                                      HRESULT caller);
inline constexpr char kSecureComServerAnswerComCallsExport[] = "SecureComServerAnswerComCalls";

// Exports of the caller DLL: each calls CreateObject through the named interface from its own code.
using CallerCreateObjectFn = HRESULT(WINAPI*)(IQxClassFactory* factory, REFIID riid, void** ppv);
using CallerCreateObjectOldFn = HRESULT(WINAPI*)(IQxClassFactory_PreComponentization* factory,
                                                 REFIID riid, void** ppv);
inline constexpr char kCallerCreateObjectExport[] = "CallerCreateObject";
inline constexpr char kCallerCreateObjectOldExport[] = "CallerCreateObjectOld";
