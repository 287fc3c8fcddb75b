// Process-wide configuration of the service host: the group's services, their
// subsystem CLSIDs, the OOBE exclusion list, serial loading and working-set settings.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "CRegistryStore.h"
#include "WSSConfig.h"

// Host key under HKEY_LOCAL_MACHINE; group keys are "<host key>\<group>".
#define QXSVCHOST_REG_KEY L"SOFTWARE\\Telvan\\Platform\\QxSvcHost"

class CQxSvcHostConfig : public CRegistryStore {
 public:
  CQxSvcHostConfig();
  ~CQxSvcHostConfig() override;
  CQxSvcHostConfig(const CQxSvcHostConfig&) = delete;
  CQxSvcHostConfig& operator=(const CQxSvcHostConfig&) = delete;

  // The process-wide object, created (uninitialised) on first use; null only when
  // allocation failed. Not synchronised: first call on the main thread.
  static CQxSvcHostConfig* GetInstance();
  // Deletes the process-wide object, if any; the next GetInstance makes a fresh one.
  static void DestroyInstance();

  // Reads the host key and the group's settings. False for an empty group name or a host
  // key that cannot be opened (nothing changes then).
  [[nodiscard]] bool Init(const wchar_t* groupName);
  // Forgets the group name and exclusion list; keeps the WSSConfig words. Always true.
  bool DeInit();

  // Copies the group name; true when it is not empty.
  [[nodiscard]] bool GetGroupName(std::wstring& groupName);
  // Service names of the group's default value, split at ';', ':' and ','. |services| is
  // emptied once the group key opens. True also for an empty list.
  [[nodiscard]] bool GetServices(std::vector<std::wstring>& services);
  // CLSID text registered for |serviceName| in the group key; false when uninitialised or
  // not read.
  [[nodiscard]] bool GetSvcCLSID(const wchar_t* serviceName, std::wstring& clsid);
  // Copies the working-set record; false (record untouched) before Init.
  [[nodiscard]] bool GetWSSValues(WSSConfig& config);
  // The serial-loading switch when initialised, else false.
  bool GetForceSerialLoads();
  // Exact, case-sensitive match against the (lower-case) exclusion entries.
  bool IsInOobeExclusionList(const wchar_t* serviceName);
  // Stores the low 32 bits of |limit| as the group's "WSSOptimalBucketUpperLimit",
  // creating the group key when missing (the host key must exist).
  [[nodiscard]] bool SetGroupOptimalBucketUpperLimit(SIZE_T limit);
  // Reads "IsOobeCheckRequired" of the host key; |value| is changed only on success.
  [[nodiscard]] bool GetIsOobeCheckRequired(DWORD& value);
  // Writes "IsOobeCheckRequired" of the host key (the key must exist).
  [[nodiscard]] bool SetIsOobeCheckRequired(const DWORD& value);

 private:
  void LoadWorkingSetValues(HKEY hostKey);
  bool LoadOobeExclusionList();
  std::wstring GroupKeyPath() const;

  bool m_bInitialized = false;
  std::wstring m_strGroupName;
  WSSConfig m_wssConfig = {};
  std::vector<std::wstring> m_oobeExclusionList;
  bool m_bForceSerialLoads = true;
};
