// The rights of the folders that hold the trace files: SYSTEM and Administrators full control,
// Users read and list, all inherited by files and folders made in them; nothing inherited
// from ProgramData, where every user may create files and folders.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

namespace ETWLogging {

class CEtlFolderSecurity {
 public:
  CEtlFolderSecurity() = default;
  CEtlFolderSecurity(const CEtlFolderSecurity&) = delete;
  CEtlFolderSecurity& operator=(const CEtlFolderSecurity&) = delete;

  // False with the thread's last error set.
  [[nodiscard]] bool Build();
  // For a folder made now: the protected DACL, the owner left to the system.
  SECURITY_ATTRIBUTES* Attributes() { return &m_attributes; }
  // For a folder put right: the protected DACL and BUILTIN\Administrators as owner.
  PSECURITY_DESCRIPTOR OwnedDescriptor() { return &m_owned; }
  // True when |descriptor| names SYSTEM or Administrators as owner and carries exactly the
  // protected DACL.
  [[nodiscard]] bool IsMetBy(PSECURITY_DESCRIPTOR descriptor) const;

 private:
  std::unique_ptr<BYTE[]> m_acl;
  BYTE m_administrators[SECURITY_MAX_SID_SIZE] = {};
  SECURITY_DESCRIPTOR m_descriptor = {};
  SECURITY_DESCRIPTOR m_owned = {};
  SECURITY_ATTRIBUTES m_attributes = {};
};

}  // namespace ETWLogging
