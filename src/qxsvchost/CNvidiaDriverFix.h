// Enables four privileges in the host process's token for the life of the host, so that every
// hosted subsystem runs with them, and puts the token's privilege list back afterwards.
#pragma once

#include <windows.h>

#include <memory>

class CNvidiaDriverFix {
 public:
  // Saves the token's privilege list and, with |enable|, enables SeIncreaseBasePriorityPrivilege,
  // SeIncreaseQuotaPrivilege, SeProfileSingleProcessPrivilege and SeUndockPrivilege. Failures
  // are logged; without a saved list nothing is enabled.
  explicit CNvidiaDriverFix(bool enable);
  // Writes the saved list back (each privilege with its saved attributes), if one was saved.
  ~CNvidiaDriverFix();
  CNvidiaDriverFix(const CNvidiaDriverFix&) = delete;
  CNvidiaDriverFix& operator=(const CNvidiaDriverFix&) = delete;

  // The process token with TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY into |token| (owned by the
  // caller); false (logged) when it cannot be opened.
  static bool OpenCurrentProcessToken(HANDLE& token);
  // Replaces the saved list with |token|'s current one; false (logged) leaves nothing saved
  // once the old list has been let go.
  bool SaveCurrentPrivilegesFromToken(HANDLE token);
  // Enables the four privileges in |token|, each tried; true when every one was set.
  static bool SetPrivilegesForToken(HANDLE token);
  // Enables |name| in |token|. True also when the token does not hold the privilege (the system
  // then changes nothing and says ERROR_NOT_ALL_ASSIGNED).
  static bool SetPrivilegeByName(HANDLE token, const wchar_t* name);
  // Writes the saved list back to the process token; false when nothing is saved or it fails.
  bool RestoreSavedPrivileges();

  // The saved list, or null.
  const TOKEN_PRIVILEGES* SavedPrivileges() const {
    return reinterpret_cast<const TOKEN_PRIVILEGES*>(m_saved.get());
  }

 private:
  std::unique_ptr<BYTE[]> m_saved;
};
