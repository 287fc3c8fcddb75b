// A client process of the caller-check tests, its program file signed
// (SecureComTestProcess_signed.exe) or not (SecureComTestProcess.exe). Command lines:
//   <event name>       waits until that event is set (at most 30 s), then ends with 0;
//   call <event name>  waits for the event, then asks the running class object of
//                      CLSID_SecureComProbe (a local server) for IQxClassFactory and calls its
//                      CreateObject; ends with the first failing HRESULT, or 0.
#include <objbase.h>
#include <windows.h>

#include <cwchar>

#include "tests/trust/securecom/SecureComTestServer.h"

namespace {

HRESULT CallTheRunningClassObject() {
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(init)) return init;
  IQxClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(CLSID_SecureComProbe, CLSCTX_LOCAL_SERVER, nullptr,
                                IID_IQxClassFactory, reinterpret_cast<void**>(&factory));
  if (SUCCEEDED(hr)) {
    IUnknown* object = nullptr;
    hr = factory->CreateObject(IID_IUnknown, reinterpret_cast<void**>(&object));
    if (object != nullptr) object->Release();
    factory->Release();
  }
  CoUninitialize();
  return hr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool call = argc == 3 && wcscmp(argv[1], L"call") == 0;
  if (argc != 2 && !call) return 2;
  HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, argv[argc - 1]);
  if (go == nullptr) return 3;
  const DWORD waited = WaitForSingleObject(go, 30000);
  CloseHandle(go);
  if (waited != WAIT_OBJECT_0) return 4;
  return call ? static_cast<int>(CallTheRunningClassObject()) : 0;
}
