#include "CQxSCMInterface.h"

#include <new>

#include "etwlogging/Logging.h"

namespace {
constexpr const wchar_t kLogFile[] = L"QxSCMInterface";
}  // namespace

CQxSCMInterface::~CQxSCMInterface() = default;

bool CQxSCMInterface::AddService(const wchar_t* name, LPSERVICE_MAIN_FUNCTIONW main) {
  static constexpr const wchar_t kFunction[] = L"CQxSCMInterface::AddService";
  if (!main) {
    QXLOG_ERROR(kLogFile, kFunction, L"The service main function pointer is null");
    return false;
  }
  if (!name || !*name) {
    QXLOG_ERROR(kLogFile, kFunction, L"The service name is empty");
    return false;
  }
  try {
    m_services.push_back({name, main});
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool CQxSCMInterface::LoadServicesIntoArray(CQxServiceTable& table) {
  if (m_services.empty()) {
    QXLOG_ERROR(kLogFile, L"CQxSCMInterface::LoadServicesIntoArray",
                L"There are no services to run - add the services first");
    return false;
  }
  try {
    std::vector<std::wstring> names;
    names.reserve(m_services.size());
    for (const ServiceEntry& service : m_services) names.push_back(service.name);
    std::vector<SERVICE_TABLE_ENTRYW> entries;
    entries.reserve(m_services.size() + 1);
    table.m_entries.clear();
    table.m_names = std::move(names);
    // The names are in place for good now: the entries may point into them.
    for (size_t i = 0; i < m_services.size(); ++i) {
      entries.push_back({&table.m_names[i][0], m_services[i].main});
    }
    entries.push_back({nullptr, nullptr});
    table.m_entries = std::move(entries);
  } catch (const std::bad_alloc&) {
    table.m_names.clear();
    table.m_entries.clear();
    return false;
  }
  return true;
}

DWORD CQxSCMInterface::RegisterServicesToSCM() {
  static constexpr const wchar_t kFunction[] = L"CQxSCMInterface::RegisterServicesToSCM";
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"The service process is starting");
  CQxServiceTable table;
  if (!LoadServicesIntoArray(table)) {
    QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction,
          L"Failed to load the services SERVICE_TABLE_ENTRY array");
    return ERROR_INTERNAL_ERROR;
  }
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Starting the service control dispatcher");
  const BOOL ran = StartDispatcher(table.Entries());
  const DWORD error = GetLastError();
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Service control dispatcher returned 0x%08X",
        error);
  if (!ran) {
    QXLOG_ERROR(kLogFile, kFunction, L"StartServiceCtrlDispatcher failed (GLE=0x%08X)", error);
    return error;
  }
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"The service process is stopping");
  return ERROR_SUCCESS;
}

BOOL CQxSCMInterface::StartDispatcher(const SERVICE_TABLE_ENTRYW* table) {
  return StartServiceCtrlDispatcherW(table);
}
