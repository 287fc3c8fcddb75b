// The rights of the folders from ProgramData down to the ETL folder. The ETL folder: SYSTEM
// and Administrators full control, Users read and list, inherited by what is made in it,
// nothing from above. The folder above it, where the text logs live: the same, and Users may
// also make folders in it (only in it: the right is not inherited), whose makers get full
// control of them and what is made inside; nobody else may delete or rename what is in it.
// The folders above those are the vendor's: they are only checked, and a folder made there
// takes the rights that ProgramData hands down.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "basalt/HeldFolderChain.h"

namespace ETWLogging {

class CEtlFolderSecurity {
 public:
  CEtlFolderSecurity() = default;
  CEtlFolderSecurity(const CEtlFolderSecurity&) = delete;
  CEtlFolderSecurity& operator=(const CEtlFolderSecurity&) = delete;

  // False with the thread's last error set.
  [[nodiscard]] bool Build();
  // The rules of the folders |names| below ProgramData, outermost first, the ETL folder
  // last. They point into this object.
  std::vector<Basalt::CFolderRule> Rules(const std::vector<std::wstring>& names);

 private:
  std::unique_ptr<BYTE[]> m_etlAcl;
  std::unique_ptr<BYTE[]> m_logsAcl;
  BYTE m_administrators[SECURITY_MAX_SID_SIZE] = {};
  SECURITY_DESCRIPTOR m_etl = {};
  SECURITY_DESCRIPTOR m_logs = {};
  SECURITY_DESCRIPTOR m_vendor = {};
};

}  // namespace ETWLogging
