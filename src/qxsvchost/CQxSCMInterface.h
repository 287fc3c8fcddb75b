// The group's services with their service-main functions, handed to the service control
// dispatcher as one table.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A dispatcher table: one entry per service in insertion order, then (null, null). Owns the names
// its entries point at, so it must outlive the dispatcher that reads it.
class CQxServiceTable {
 public:
  CQxServiceTable() = default;
  CQxServiceTable(const CQxServiceTable&) = delete;
  CQxServiceTable& operator=(const CQxServiceTable&) = delete;

  // The entries, terminator included; null while the table is empty.
  const SERVICE_TABLE_ENTRYW* Entries() const {
    return m_entries.empty() ? nullptr : m_entries.data();
  }
  // Number of entries, terminator included (0 while empty).
  size_t Size() const { return m_entries.size(); }

 private:
  friend class CQxSCMInterface;
  std::vector<std::wstring> m_names;
  std::vector<SERVICE_TABLE_ENTRYW> m_entries;
};

class CQxSCMInterface {
 public:
  CQxSCMInterface() = default;
  virtual ~CQxSCMInterface();
  CQxSCMInterface(const CQxSCMInterface&) = delete;
  CQxSCMInterface& operator=(const CQxSCMInterface&) = delete;

  // Appends a copy of |name| with |main|. False (list unchanged) for a null main function, a
  // null or empty name, or when memory runs out. Duplicates are not detected.
  [[nodiscard]] bool AddService(const wchar_t* name, LPSERVICE_MAIN_FUNCTIONW main);

  // Rebuilds |table| from the list. False (table untouched) when the list is empty.
  [[nodiscard]] bool LoadServicesIntoArray(CQxServiceTable& table);

  // Builds the table and runs StartDispatcher on it; blocks while the dispatcher runs. 0 when it
  // ran and returned, 1359 for an empty list (the dispatcher is not started), else the
  // dispatcher's last-error value.
  DWORD RegisterServicesToSCM();

  // StartServiceCtrlDispatcherW(|table|). A replacement may run the service mains itself; it must
  // return only after every one of them has returned, with the last error set when it fails.
  virtual BOOL StartDispatcher(const SERVICE_TABLE_ENTRYW* table);

 private:
  struct ServiceEntry {
    std::wstring name;
    LPSERVICE_MAIN_FUNCTIONW main;
  };
  std::vector<ServiceEntry> m_services;
};
