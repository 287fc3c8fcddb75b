// A module that calls into a secure class factory from its own code. The tests load an unsigned
// copy (an untrusted caller) and a signed copy (a trusted caller). Built without sibling calls, so
// the call below is a real call and its return address lies in this module.
#include "tests/trust/securecom/SecureComTestServer.h"

extern "C" HRESULT WINAPI CallerCreateObject(IQxClassFactory* factory, REFIID riid, void** ppv) {
  return factory->CreateObject(riid, ppv);
}

extern "C" HRESULT WINAPI CallerCreateObjectOld(IQxClassFactory_PreComponentization* factory,
                                                REFIID riid, void** ppv) {
  return factory->CreateObject(riid, ppv);
}
