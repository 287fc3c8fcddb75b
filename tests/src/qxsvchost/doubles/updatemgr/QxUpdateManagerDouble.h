// The update manager as a test makes it appear: the update's global event, and the client
// object's local server registered with the proxy library that marshals its interfaces. What
// the object answers is written under qxdouble::kUpdateClientKey; everything is removed again.
#pragma once

#include <objbase.h>
#include <windows.h>

#include <string>

#include "QxDoublePaths.h"
#include "basalt/UniqueHandle.h"
#include "src/qxsvchost/QxUpdateMgr/include/QxUpdateMgr_Helper.h"
#include "tests/src/qxsvchost/doubles/updatemgr/QxUpdateClientRotDouble.h"
#include "trust/SecureCom.h"

namespace qxdouble {

class UpdateManagerDouble {
 public:
  UpdateManagerDouble() = default;
  ~UpdateManagerDouble() {
    const Registry keys = Keys();
    for (const std::wstring& key :
         {keys.server, keys.proxy, keys.factoryInterface, keys.clientInterface}) {
      RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kUpdateClientKey);
  }
  UpdateManagerDouble(const UpdateManagerDouble&) = delete;
  UpdateManagerDouble& operator=(const UpdateManagerDouble&) = delete;

  // The update's event, as the update manager holds it while an update runs.
  bool UpdateRuns() {
    m_event.reset(CreateEventW(nullptr, TRUE, FALSE, QX_UPDATE_EVENT_STEM L"default"));
    return static_cast<bool>(m_event);
  }
  // The client object's local server, its interfaces marshalled by |proxyLibrary| (a file of
  // the doubles' folder).
  bool RegisterClient(const wchar_t* proxyLibrary) {
    const std::wstring server =
        L"\"" + std::wstring(QX_TEST_DOUBLES_DIR) + L"\\QxUpdateClientRotServer.exe\"";
    const std::wstring proxy = std::wstring(QX_TEST_DOUBLES_DIR) + L"\\" + proxyLibrary;
    const std::wstring proxyClsid = Text(kClsidUpdateClientRotProxy);
    const Registry keys = Keys();
    bool ok = SetClassesString(keys.server + L"\\LocalServer32", nullptr, server) &&
              SetClassesString(keys.proxy + L"\\InprocServer32", nullptr, proxy) &&
              SetClassesString(keys.proxy + L"\\InprocServer32", L"ThreadingModel", L"Both");
    for (const std::wstring& key : {keys.factoryInterface, keys.clientInterface}) {
      ok = ok && SetClassesString(key + L"\\ProxyStubClsid32", nullptr, proxyClsid);
    }
    return ok;
  }
  // What the client object's IsUpdateInstalling does ("Installing", "Hr", "StoreNothing").
  static bool ClientAnswers(const wchar_t* name, DWORD value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kUpdateClientKey, name, REG_DWORD, &value,
                           sizeof(value)) == ERROR_SUCCESS;
  }
  // The server's counts: "Launched", "Calls", "Exited".
  static DWORD ClientCount(const wchar_t* name) {
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    RegGetValueW(HKEY_LOCAL_MACHINE, kUpdateClientKey, name, RRF_RT_REG_DWORD, nullptr, &value,
                 &bytes);
    return value;
  }
  // Waits until every server that was launched has ended, so that the next check starts its
  // own; false when one is still running after |ms|.
  static bool WaitForServersToEnd(DWORD ms = 10000) {
    const ULONGLONG end = GetTickCount64() + ms;
    while (ClientCount(L"Exited") != ClientCount(L"Launched")) {
      if (GetTickCount64() > end) return false;
      Sleep(20);
    }
    return true;
  }

 private:
  struct Registry {
    std::wstring server, proxy, factoryInterface, clientInterface;
  };
  static std::wstring Text(REFGUID guid) {
    wchar_t text[64] = {};
    StringFromGUID2(guid, text, 64);
    return text;
  }
  static Registry Keys() {
    return {L"CLSID\\" + Text(kClsidUpdateClientRot), L"CLSID\\" + Text(kClsidUpdateClientRotProxy),
            L"Interface\\" + Text(IID_IQxClassFactory),
            L"Interface\\" + Text(IID_IQxUpdateClientRot)};
  }
  static bool SetClassesString(const std::wstring& key, const wchar_t* name,
                               const std::wstring& value) {
    return RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
  }

  Basalt::UniqueKernelHandle m_event;
};

}  // namespace qxdouble
