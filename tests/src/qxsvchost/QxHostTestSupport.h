// Shared pieces of the host tests: a host configuration in a scratch key that stands in for
// HKEY_LOCAL_MACHINE, COM registrations of the test doubles, the doubles' records, a recorder of
// the status calls and a dispatcher that runs service mains on threads of its own.
#pragma once

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QxDoublePaths.h"
#include "basalt/UniqueHandle.h"
#include "src/qxsvchost/CQxSCMInterface.h"
#include "src/qxsvchost/CQxSvcHostConfig.h"
#include "src/qxsvchost/IQxServiceControlApi.h"
#include "tests/src/qxsvchost/doubles/QxDoubleRecords.h"
#include "tests/support/ScratchMachineKey.h"

namespace qxhosttest {

inline std::wstring DoublePath(const wchar_t* file) {
  return std::wstring(QX_TEST_DOUBLES_DIR) + L"\\" + file;
}

// |stem| made unique to this test process.
inline std::wstring UniqueName(const std::wstring& stem) {
  return stem + L"_" + std::to_wstring(GetCurrentProcessId());
}

// A copy of the subsystem double under a name of its own in %TEMP%, so that a test can tell its
// module from every other one. The file stays when it is still loaded at the end.
class DoubleCopy {
 public:
  explicit DoubleCopy(const std::wstring& tag) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    static LONG copies = 0;
    m_path = std::wstring(temp) + UniqueName(L"QxSubsystemDouble_" + tag) + L"_" +
             std::to_wstring(InterlockedIncrement(&copies)) + L".dll";
    m_ok = CopyFileW(DoublePath(L"QxSubsystemDouble.dll").c_str(), m_path.c_str(), FALSE) != FALSE;
  }
  ~DoubleCopy() { DeleteFileW(m_path.c_str()); }
  DoubleCopy(const DoubleCopy&) = delete;
  DoubleCopy& operator=(const DoubleCopy&) = delete;

  bool ok() const { return m_ok; }
  const std::wstring& path() const { return m_path; }
  bool IsLoaded() const { return GetModuleHandleW(m_path.c_str()) != nullptr; }

 private:
  std::wstring m_path;
  bool m_ok = false;
};

// A class registered under HKEY_CLASSES_ROOT\CLSID (a fresh CLSID unless one is given) with
// |server| as its in-process server, and the double's behaviour values beside it; removed again.
class ComRegistration {
 public:
  explicit ComRegistration(const std::wstring& server, const CLSID* fixed = nullptr,
                           bool withInprocKey = true) {
    CLSID clsid = {};
    if (fixed) {
      clsid = *fixed;
    } else if (FAILED(CoCreateGuid(&clsid))) {
      return;
    }
    wchar_t text[64] = {};
    StringFromGUID2(clsid, text, 64);
    m_text = text;
    m_key = L"CLSID\\" + m_text;
    Basalt::UniqueHKey key;
    m_ok = RegCreateKeyExW(HKEY_CLASSES_ROOT, m_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                           key.put(), nullptr) == ERROR_SUCCESS;
    if (m_ok && withInprocKey) {
      const std::wstring inproc = m_key + L"\\InprocServer32";
      m_ok = SetString(inproc.c_str(), nullptr, server) &&
             SetString(inproc.c_str(), L"ThreadingModel", L"Both");
    }
  }
  ~ComRegistration() {
    if (!m_key.empty()) RegDeleteTreeW(HKEY_CLASSES_ROOT, m_key.c_str());
  }
  ComRegistration(const ComRegistration&) = delete;
  ComRegistration& operator=(const ComRegistration&) = delete;

  bool ok() const { return m_ok; }
  const std::wstring& text() const { return m_text; }

  ComRegistration& Dword(const wchar_t* name, DWORD value) {
    m_ok = m_ok && RegSetKeyValueW(HKEY_CLASSES_ROOT, m_key.c_str(), name, REG_DWORD, &value,
                                   sizeof(value)) == ERROR_SUCCESS;
    return *this;
  }
  ComRegistration& Mode(const wchar_t* mode) {
    m_ok = m_ok && SetString(m_key.c_str(), L"Mode", mode);
    return *this;
  }

 private:
  static bool SetString(const wchar_t* key, const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_CLASSES_ROOT, key, name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
  }

  std::wstring m_text;
  std::wstring m_key;
  bool m_ok = false;
};

// HKEY_LOCAL_MACHINE redirected to a scratch key with the host key in it; the configuration
// singleton is destroyed and everything removed afterwards.
class ScratchHost {
 public:
  explicit ScratchHost(const std::wstring& testName) : m_machine(testName) {
    if (!m_machine.ok()) return;
    Basalt::UniqueHKey host;
    m_ok = RegCreateKeyExW(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, host.put(), nullptr) == ERROR_SUCCESS;
  }
  ~ScratchHost() { CQxSvcHostConfig::DestroyInstance(); }
  ScratchHost(const ScratchHost&) = delete;
  ScratchHost& operator=(const ScratchHost&) = delete;

  bool ok() const { return m_ok; }

  static std::wstring GroupKey(const std::wstring& group) {
    return std::wstring(QXSVCHOST_REG_KEY) + L"\\" + group;
  }
  bool HostDword(const wchar_t* name, DWORD value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY, name, REG_DWORD, &value,
                           sizeof(value)) == ERROR_SUCCESS;
  }
  // Group key value |name| (null: the service list) as REG_SZ.
  bool GroupString(const std::wstring& group, const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, GroupKey(group).c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
  }
  bool Exclude(const std::wstring& group, const wchar_t* service) {
    const std::wstring key = GroupKey(group) + L"\\OobeExclusionList";
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), service, REG_SZ, L"", 2) ==
           ERROR_SUCCESS;
  }
  // A DWORD of |key| below the (redirected) machine key; false when it cannot be read.
  static bool ReadDword(const std::wstring& key, const wchar_t* name, DWORD& value) {
    DWORD bytes = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value,
                        &bytes) == ERROR_SUCCESS;
  }
  // Makes a fresh configuration singleton for |group|.
  static bool InitConfig(const std::wstring& group) {
    CQxSvcHostConfig::DestroyInstance();
    CQxSvcHostConfig* config = CQxSvcHostConfig::GetInstance();
    return config && config->Init(group.c_str());
  }

 private:
  testsupport::ScratchMachineKey m_machine;
  bool m_ok = false;
};

// A service group in the real machine key, with IsOobeCheckRequired 0 and the given WSSEnable
// in the host key; the group (or the host key, when this made it) is removed again.
class MachineGroup {
 public:
  MachineGroup(const std::wstring& group, DWORD wssEnable)
      : m_group(group), m_groupKey(ScratchHost::GroupKey(group)) {
    Basalt::UniqueHKey host;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, host.put(), &disposition) != ERROR_SUCCESS) {
      return;
    }
    m_createdHost = disposition == REG_CREATED_NEW_KEY;
    m_ok = SetHostDword(L"IsOobeCheckRequired", 0) && SetHostDword(L"WSSEnable", wssEnable) &&
           SetGroupString(nullptr, L"");
  }
  ~MachineGroup() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_createdHost ? QXSVCHOST_REG_KEY : m_groupKey.c_str());
  }
  MachineGroup(const MachineGroup&) = delete;
  MachineGroup& operator=(const MachineGroup&) = delete;

  bool ok() const { return m_ok; }
  const std::wstring& name() const { return m_group; }
  const std::wstring& key() const { return m_groupKey; }

  // Adds |service| to the list, run by the class |clsid|.
  bool Add(const std::wstring& service, const std::wstring& clsid) {
    m_list += service + L";";
    return SetGroupString(service.c_str(), clsid) && SetGroupString(nullptr, m_list);
  }
  static bool SetHostDword(const wchar_t* name, DWORD value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY, name, REG_DWORD, &value,
                           sizeof(value)) == ERROR_SUCCESS;
  }

 private:
  bool SetGroupString(const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, m_groupKey.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
  }

  std::wstring m_group;
  std::wstring m_groupKey;
  std::wstring m_list;
  bool m_createdHost = false;
  bool m_ok = false;
};

// What the subsystem double recorded for |service| (found is false when it was never called).
struct SubsystemRecord {
  bool found = false;
  std::vector<std::wstring> argv;
  DWORD priority = 0;
  DWORD apartment = 0;
  DWORD calls = 0;
  DWORD returned = 0;
};

inline SubsystemRecord ReadSubsystemRecord(const std::wstring& service) {
  SubsystemRecord r;
  const std::wstring key = std::wstring(qxdouble::kSubsystemRecordsKey) + L"\\" + service;
  if (!ScratchHost::ReadDword(key, L"Calls", r.calls)) return r;
  r.found = true;
  ScratchHost::ReadDword(key, L"Priority", r.priority);
  ScratchHost::ReadDword(key, L"Apartment", r.apartment);
  ScratchHost::ReadDword(key, L"Returned", r.returned);
  wchar_t multi[1024] = {};
  DWORD bytes = sizeof(multi) - 2 * sizeof(wchar_t);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Argv", RRF_RT_REG_MULTI_SZ, nullptr, multi,
                   &bytes) == ERROR_SUCCESS) {
    for (const wchar_t* p = multi; *p; p += wcslen(p) + 1) r.argv.push_back(p);
  }
  return r;
}

// Records the status calls of refused services; every other call is a test failure.
class RecordingStatusApi : public IQxServiceControlApi {
 public:
  struct Report {
    std::wstring name;
    SERVICE_STATUS status;
  };

  std::vector<Report> Reports() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
  }
  // Reports of |name| that say SERVICE_STOPPED.
  int StoppedReports(const std::wstring& name) {
    int n = 0;
    for (const Report& r : Reports()) n += r.name == name && r.status.dwCurrentState == 1;
    return n;
  }

  SC_HANDLE OpenManager(LPCWSTR, LPCWSTR, DWORD) override { return Unexpected<SC_HANDLE>(); }
  SC_HANDLE OpenServiceHandle(SC_HANDLE, LPCWSTR, DWORD) override {
    return Unexpected<SC_HANDLE>();
  }
  BOOL Control(SC_HANDLE, DWORD, SERVICE_STATUS*) override { return Unexpected<BOOL>(); }
  BOOL QueryStatus(SC_HANDLE, SERVICE_STATUS*) override { return Unexpected<BOOL>(); }
  BOOL Close(SC_HANDLE) override { return Unexpected<BOOL>(); }
  void Pause(DWORD) override { ADD_FAILURE() << "unexpected Pause"; }
  SERVICE_STATUS_HANDLE RegisterControlHandler(LPCWSTR name, LPHANDLER_FUNCTION handler) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    EXPECT_NE(nullptr, handler);
    m_handles.push_back(name);
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(m_handles.size());
  }
  BOOL SetStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t index = reinterpret_cast<size_t>(handle);
    if (index == 0 || index > m_handles.size() || !status) {
      ADD_FAILURE() << "status set on an unknown handle";
      return FALSE;
    }
    m_reports.push_back({m_handles[index - 1], *status});
    return TRUE;
  }

 private:
  template <typename T>
  static T Unexpected() {
    ADD_FAILURE() << "unexpected service-control call";
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return T();
  }
  std::mutex m_mutex;
  std::vector<std::wstring> m_handles;
  std::vector<Report> m_reports;
};

// Runs the table's service mains on threads of their own, as the service control manager does
// for a group whose services share a process. |run| decides when each starts (default: all at
// once); the dispatcher returns once every started service main has returned.
class ThreadDispatcher : public CQxSCMInterface {
 public:
  using Plan = std::function<void(ThreadDispatcher&)>;
  explicit ThreadDispatcher(Plan run = Plan()) : m_run(std::move(run)) {}
  ~ThreadDispatcher() override { Join(); }

  BOOL StartDispatcher(const SERVICE_TABLE_ENTRYW* table) override {
    m_table.clear();
    for (const SERVICE_TABLE_ENTRYW* e = table; e && e->lpServiceName; ++e) m_table.push_back(*e);
    if (m_run) {
      m_run(*this);
    } else {
      for (size_t i = 0; i < m_table.size(); ++i) Start(i);
    }
    Join();
    return TRUE;
  }

  size_t Count() const { return m_table.size(); }
  std::wstring Name(size_t index) const { return m_table[index].lpServiceName; }
  // Starts service |index| with argv = { its name, |extra|... }.
  void Start(size_t index, std::vector<std::wstring> extra = {}) {
    const SERVICE_TABLE_ENTRYW entry = m_table[index];
    m_threads.emplace_back([entry, extra] {
      std::vector<std::wstring> args{entry.lpServiceName};
      args.insert(args.end(), extra.begin(), extra.end());
      std::vector<LPWSTR> argv;
      for (std::wstring& a : args) argv.push_back(&a[0]);
      entry.lpServiceProc(static_cast<DWORD>(argv.size()), argv.data());
    });
  }
  void Join() {
    for (std::thread& t : m_threads) t.join();
    m_threads.clear();
  }

 private:
  Plan m_run;
  std::vector<SERVICE_TABLE_ENTRYW> m_table;
  std::vector<std::thread> m_threads;
};

// Waits up to |ms| for the named event (created when missing).
inline bool WaitNamedEvent(const std::wstring& name, DWORD ms) {
  Basalt::UniqueKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  return event && WaitForSingleObject(event.get(), ms) == WAIT_OBJECT_0;
}
inline void SetNamedEvent(const std::wstring& name) {
  Basalt::UniqueKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  if (event) SetEvent(event.get());
}

}  // namespace qxhosttest
