// A chain of folders below a folder the system keeps (ProgramData), each opened or created
// inside the one above through its handle, never along a path, and held open without delete
// sharing so that nobody moves or replaces it meanwhile. A folder that is not a real folder
// (a reparse point) is refused; one that a non-administrator made or could write, or that
// shuts SYSTEM out, is never adopted: it is moved aside within its parent and made anew.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"

namespace Basalt {

// A reparse point was met where a real file or folder had to be (4395,
// ERROR_REPARSE_POINT_ENCOUNTERED).
constexpr DWORD kReparsePointMet = 4395;

// The security calls of a folder chain, real by default. Test programs put a fake in their
// place, since Wine keeps no file security.
class CFolderSecurityCalls {
 public:
  virtual ~CFolderSecurityCalls() = default;
  // The owner and DACL of |folder| (opened with READ_CONTROL) as a self-relative
  // descriptor: 0 or the error (|descriptor| left alone).
  [[nodiscard]] virtual DWORD Read(HANDLE folder, std::vector<BYTE>& descriptor);
  // Sets the DACL of |folder| itself (opened with WRITE_DAC) from |descriptor|: 0 or the
  // error.
  [[nodiscard]] virtual DWORD WriteDacl(HANDLE folder, PSECURITY_DESCRIPTOR descriptor);
  // Creates the folder |name| in |parent| with |descriptor| (null: the defaults), failing
  // with 183 when anything has that name, and opens it with |access|, sharing reading and
  // writing only: 0 with |folder| set, or the error (|folder| left alone).
  [[nodiscard]] virtual DWORD Create(HANDLE parent, const std::wstring& name,
                                     PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK access,
                                     UniqueFile& folder);

  static CFolderSecurityCalls& Real();
};

// What one folder of a chain must be.
struct CFolderRule {
  std::wstring name;  // one name, no path
  // Owner and DACL of a folder made anew. When it carries a DACL, an adopted folder whose
  // DACL differs is given that DACL; without one, an adopted folder keeps its own and a new
  // folder inherits from its parent.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  // The rights (on the folder itself) that SIDs other than SYSTEM and Administrators may
  // hold; a folder that gives anyone more is moved aside.
  ACCESS_MASK othersMay = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
  // False for a caller that is no administrator and keeps the folders it made itself: the
  // folder's owner and DACL are neither read nor weighed, nothing in its way is moved aside,
  // and it is held with kListedAccess only (all such a caller may have on a folder it did not
  // make). Reparse points are refused all the same.
  bool judged = true;
};

// How a folder's owner and DACL measure against its rule.
enum class CFolderVerdict {
  kAdopt,      // trusted owner, nobody else may do more than the rule allows, same DACL
  kPutRights,  // as kAdopt, but its DACL is not the rule's
  kSetAside,   // owned or writable by someone else, or SYSTEM is shut out
};

// The verdict for |descriptor| (self-relative or absolute). SYSTEM and Administrators are
// trusted, and |self| (may be null: the account of the caller, when it is an administrator).
// Only entries that apply to the folder itself count; another's rights are those of every
// allowing entry (denials are not weighed for them); SYSTEM must be granted full control
// by the entries in order, as its token would be (SYSTEM, Administrators, Everyone,
// Authenticated Users).
[[nodiscard]] CFolderVerdict JudgeFolderSecurity(PSECURITY_DESCRIPTOR descriptor,
                                                 const CFolderRule& rule, PSID self);

// The account of the calling thread's token (its impersonation token, else the process's)
// when that token is SYSTEM or a member of Administrators; false otherwise. |sid| holds
// SECURITY_MAX_SID_SIZE bytes.
[[nodiscard]] bool TrustedSelf(BYTE* sid);

// Renames |file| (opened with DELETE) to |name| inside |folder|, replacing nothing: 0, 183
// when the name is taken, or the platform's error.
[[nodiscard]] DWORD RenameInFolder(HANDLE file, HANDLE folder, const std::wstring& name);
// The same, replacing a file of that name (not a folder): 0 or the platform's error.
[[nodiscard]] DWORD ReplaceInFolder(HANDLE file, HANDLE folder, const std::wstring& name);

// What an Open did, or where it stopped.
struct CFolderChainReport {
  enum class Step {
    kNone,      // every folder is held
    kRoot,      // the root cannot be opened
    kOpen,      // a folder cannot be opened (error)
    kNotPlain,  // a reparse point stands there (4395)
    kSecurity,  // the owner and DACL cannot be read
    kSetAside,  // a folder that had to go cannot be moved aside
    kCreate,    // a folder cannot be made (183: something appeared in its place)
    kRights,    // an adopted folder's DACL cannot be set
  };
  Step step = Step::kNone;
  DWORD error = ERROR_SUCCESS;
  std::wstring path;  // the folder of the step
  struct SetAside {
    std::wstring path;     // where the folder stood
    std::wstring newName;  // its name in the same parent now
  };
  std::vector<SetAside> setAside;  // in the order they were moved, also before a failure

  // What stood in the way at the step, naming its folder ("... is a reparse point", "Cannot
  // create ...").
  std::wstring Reason() const;
};

class CHeldFolderChain {
 public:
  // The folders are held with these rights: their owner and DACL, their listing, making
  // files and folders in them, and their attributes (Windows asks for those to tell a
  // reparse point or the folder's identity from its handle).
  static constexpr ACCESS_MASK kHeldAccess = READ_CONTROL | WRITE_DAC | FILE_LIST_DIRECTORY |
                                             FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY |
                                             FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  // Folders whose rule is not judged: enough to hold them and name what is in them.
  static constexpr ACCESS_MASK kListedAccess =
      FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

  explicit CHeldFolderChain(CFolderSecurityCalls& calls = CFolderSecurityCalls::Real())
      : m_calls(calls) {}
  CHeldFolderChain(const CHeldFolderChain&) = delete;
  CHeldFolderChain& operator=(const CHeldFolderChain&) = delete;

  // Lets go of what was held, then opens the folder |root| by path (a folder the system
  // keeps; followed as it is) and each folder of |rules| inside the one above:
  //  - missing: made with the rule's descriptor;
  //  - a reparse point, seen on the handle or by the path (Wine shows it by path only):
  //    refused;
  //  - a file, or a folder that JudgeFolderSecurity sets aside (or that cannot be opened for
  //    lack of access): renamed within its parent to "<name>.set-aside-<time>" and made
  //    anew, SeBackup and SeRestore enabled on this thread for those steps only;
  //  - else adopted, given the rule's DACL where it differs;
  //  - with a rule that is not judged: adopted as it is, or made; anything else in its way
  //    fails the step.
  // 0 with every folder held until Release, destruction or the next Open; else the error of
  // the step that |report| names, and nothing held.
  [[nodiscard]] DWORD Open(const std::wstring& root, const std::vector<CFolderRule>& rules,
                           CFolderChainReport& report);
  void Release();

  size_t Count() const noexcept { return m_folders.size(); }
  // The handle and the path of the folder |index| of the rules (root not counted).
  HANDLE Folder(size_t index) const { return m_folders[index].get(); }
  const std::wstring& Path(size_t index) const { return m_paths[index]; }
  // True when |path| opens now to the last folder held (same volume and file ID).
  [[nodiscard]] bool PathLeadsToLast(const std::wstring& path) const;

 private:
  DWORD OpenOne(HANDLE parent, const std::wstring& path, const CFolderRule& rule, PSID self,
                UniqueFile& folder, CFolderChainReport& report);
  DWORD OpenOnce(HANDLE parent, const std::wstring& path, const CFolderRule& rule, PSID self,
                 UniqueFile& folder, CFolderChainReport& report);
  DWORD SetAsideAndCreate(HANDLE parent, const std::wstring& path, const CFolderRule& rule,
                          const BY_HANDLE_FILE_INFORMATION* judged, UniqueFile& folder,
                          CFolderChainReport& report);

  CFolderSecurityCalls& m_calls;
  std::vector<UniqueFile> m_folders;
  std::vector<std::wstring> m_paths;
};

}  // namespace Basalt
