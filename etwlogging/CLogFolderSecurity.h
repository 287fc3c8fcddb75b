// The rights of the folders of the text logs and of the ETL folder, from ProgramData down:
//  - Vendor folder: only checked; one made here takes what ProgramData hands down.
//  - Logs folder (QXLOGS): SYSTEM and Administrators full control, Users read and list,
//    inherited by what is made in it, nothing from above; Users may also make folders in it
//    (only in it: the right is not inherited), whose makers get full control of them and of
//    what is made inside; nobody else may delete or rename what is in it.
//  - Group folder: as the logs folder, so that standard users' processes of a group that SYSTEM
//    made first keep their own module folders in it.
//  - Module folder, where the text logs are written, and the ETL folder: SYSTEM and
//    Administrators full control, Users read and list.
// A process that is SYSTEM or an administrator writes only where nobody else may write: its
// folders are judged by these rules and made with these rights. Any other process keeps the
// folders it made itself: its folders are only checked for reparse points, and its group and
// module folders take what the folder above hands down.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "basalt/HeldFolderChain.h"

namespace ETWLogging {

class CLogFolderSecurity {
 public:
  CLogFolderSecurity() = default;
  CLogFolderSecurity(const CLogFolderSecurity&) = delete;
  CLogFolderSecurity& operator=(const CLogFolderSecurity&) = delete;

  // False with the thread's last error set.
  [[nodiscard]] bool Build();
  // The rules of |vendor| and |logs| below ProgramData, then of each folder of |groups|, then
  // of |module|, for a process that is SYSTEM or an administrator (|trusted|) or not. They
  // point into this object.
  std::vector<Basalt::CFolderRule> Rules(const std::wstring& vendor, const std::wstring& logs,
                                         const std::vector<std::wstring>& groups,
                                         const std::wstring& module, bool trusted);
  // The rules of the folders |names| below ProgramData down to the ETL folder, outermost
  // first, the ETL folder last and the logs folder above it, for the trace controller.
  std::vector<Basalt::CFolderRule> EtlRules(const std::vector<std::wstring>& names);

 private:
  std::unique_ptr<BYTE[]> m_logsAcl;
  std::unique_ptr<BYTE[]> m_protectedAcl;
  BYTE m_administrators[SECURITY_MAX_SID_SIZE] = {};
  SECURITY_DESCRIPTOR m_vendor = {};
  SECURITY_DESCRIPTOR m_logs = {};
  SECURITY_DESCRIPTOR m_module = {};
};

}  // namespace ETWLogging
