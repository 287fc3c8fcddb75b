// An outside client of a running host's control manager, in a process of its own. Built twice
// from this file: unsigned (client_unsigned/QxCtlClient.exe) and signed by the trusted test signer
// (client_signed/QxCtlClient.exe), so that only the signature tells the two apart.
// Command line: <result file> [stop [<ready event> <go event> <delay ms>]]
// It asks the running class object for IQxClassFactory, creates a control manager through it and,
// with "stop", asks the manager to stop the host's group. Given the events, it sets the ready
// event once it holds the manager, waits (at most 30 s) for the go event and then the delay
// before it calls, so that several clients can call at chosen moments. The result file gets one
// line "class=<hex> create=<hex> stop=<hex> pid=<n> t0=<ms> t1=<ms>" (stop and pid stay 0 when
// the call is not made; t0 and t1 are GetTickCount64 just before and after the call).
#include <objbase.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "contracts/IQxSvcSubsystemControlManager.h"
#include "trust/SecureCom.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const bool stop = argc > 2 && wcscmp(argv[2], L"stop") == 0;
  const bool timed = stop && argc > 5;
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;

  HRESULT classHr = E_FAIL, createHr = E_FAIL, stopHr = S_OK;
  DWORD pid = 0;
  ULONGLONG t0 = 0, t1 = 0;
  IQxClassFactory* factory = nullptr;
  classHr = CoGetClassObject(CLSID_QxSvcSubsystemControlManager, CLSCTX_LOCAL_SERVER, nullptr,
                             IID_IQxClassFactory, reinterpret_cast<void**>(&factory));
  if (SUCCEEDED(classHr)) {
    IQxSvcSubsystemControlManager* manager = nullptr;
    createHr = factory->CreateObject(IID_IQxSvcSubsystemControlManager,
                                     reinterpret_cast<void**>(&manager));
    if (SUCCEEDED(createHr) && manager != nullptr) {
      if (timed) {
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, argv[3]);
        HANDLE go = CreateEventW(nullptr, TRUE, FALSE, argv[4]);
        if (ready) SetEvent(ready);
        if (go) WaitForSingleObject(go, 30000);
        Sleep(static_cast<DWORD>(_wtoi(argv[5])));
        if (go) CloseHandle(go);
        if (ready) CloseHandle(ready);
      }
      t0 = GetTickCount64();
      if (stop) stopHr = manager->QxStopSvcSubsystem(L"client", &pid);
      t1 = GetTickCount64();
      manager->Release();
    }
    factory->Release();
  }
  CoUninitialize();

  FILE* out = _wfopen(argv[1], L"w");
  if (out == nullptr) return 4;
  fprintf(out, "class=%08lx create=%08lx stop=%08lx pid=%lu t0=%llu t1=%llu\n",
          static_cast<unsigned long>(classHr), static_cast<unsigned long>(createHr),
          static_cast<unsigned long>(stopHr), static_cast<unsigned long>(pid), t0, t1);
  fclose(out);
  return 0;
}
