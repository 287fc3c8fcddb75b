// Folder security for tests, since Wine keeps none (it turns a DACL into mode bits and names
// its user as every owner): the owner and DACL of each folder are kept by the folder's
// identity (volume and file index), so they go with the folder when it is renamed and a new
// folder of the same name starts afresh. A folder with no record shows what Wine reports.
//
// Beside it, a model of the access check that Windows makes when a handle is opened (the
// entries in order, the owner's implicit READ_CONTROL and WRITE_DAC, generic rights mapped
// for files) and of the inheritance that gives a new folder or file its DACL (CREATOR OWNER
// replaced by the maker, inherit-only and no-propagate flags), with which a test plays a
// standard user: what that user may open, make, delete or rename, and the handles it opened
// earlier, which keep what they were granted whatever the folder's rights become.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "basalt/HeldFolderChain.h"
#include "basalt/UniqueHandle.h"

namespace foldertest {

// A token of the model: its user and groups, as SID strings.
struct CModelToken {
  std::wstring user;
  std::vector<std::wstring> groups;
};
// A standard user (S-1-5-21-1-2-3-1001, Users, Everyone, Authenticated Users, Interactive).
CModelToken StandardUser();
// LocalSystem (SYSTEM, Administrators, Everyone, Authenticated Users).
CModelToken System();

// The rights Windows grants |token| on an object with |descriptor| (self-relative).
ACCESS_MASK Granted(const std::vector<BYTE>& descriptor, const CModelToken& token);
// The owner and DACL that a folder (|container|) or file made by |creator| without a
// descriptor gets inside a folder with |parent|.
std::vector<BYTE> Inherited(const std::vector<BYTE>& parent, const CModelToken& creator,
                            bool container);
// Self-relative owner and DACL from SDDL; empty when it does not parse.
std::vector<BYTE> FromSddl(const wchar_t* sddl);
// The owner and DACL as SDDL.
std::wstring ToSddl(const std::vector<BYTE>& descriptor);

class CFakeFolderSecurity : public Basalt::CFolderSecurityCalls {
 public:
  DWORD Read(HANDLE folder, std::vector<BYTE>& descriptor) override;
  // Keeps the owner, takes the DACL; counted. |writeError| fails it instead.
  DWORD WriteDacl(HANDLE folder, PSECURITY_DESCRIPTOR descriptor) override;
  // Creates the folder for real and records its owner (the descriptor's, else the maker's,
  // |creator|) and DACL (the descriptor's, else inherited from the parent).
  DWORD Create(HANDLE parent, const std::wstring& name, PSECURITY_DESCRIPTOR descriptor,
               ACCESS_MASK access, Basalt::UniqueFile& folder) override;

  // The record of the folder now at |path|: set from SDDL (false when the folder cannot be
  // opened or the text does not parse), read (what Read would give), as SDDL.
  bool Set(const std::wstring& path, const wchar_t* sddl);
  std::vector<BYTE> Get(const std::wstring& path);
  std::wstring Sddl(const std::wstring& path) { return ToSddl(Get(path)); }
  void Reset();

  // --- A user of the model, acting on real folders ---
  // Opens |path| as |token| would, for |desired| (MAXIMUM_ALLOWED: whatever is granted),
  // with |share|: 5 when the model refuses, else the real open's result; |granted| is what
  // the handle holds from then on.
  DWORD OpenAs(const CModelToken& token, const std::wstring& path, ACCESS_MASK desired, DWORD share,
               Basalt::UniqueFile& handle, ACCESS_MASK& granted);
  // Makes the folder or file |name| in |folder| as |token| would (FILE_ADD_SUBDIRECTORY or
  // FILE_ADD_FILE there): 0, 5, or the real call's error. The new one gets the inherited
  // owner and DACL.
  DWORD MakeFolderAs(const CModelToken& token, const std::wstring& folder,
                     const std::wstring& name);
  DWORD MakeFileAs(const CModelToken& token, const std::wstring& folder, const std::wstring& name);
  // Whether |token| may delete or rename |path| (DELETE on it or FILE_DELETE_CHILD on the
  // folder above), by the model only.
  bool MayRemove(const CModelToken& token, const std::wstring& path);
  // The rights |token| would be granted on |path| now.
  ACCESS_MASK RightsOf(const CModelToken& token, const std::wstring& path);

  // Who makes the folders that Create makes: the process under test.
  CModelToken creator = System();
  int daclWrites = 0;
  DWORD writeError = 0;

 private:
  using Key = std::tuple<DWORD, DWORD, DWORD>;
  static bool KeyOf(HANDLE file, Key& key);
  bool KeyOfPath(const std::wstring& path, Key& key);
  std::vector<BYTE> ReadKey(HANDLE file);

  std::mutex m_lock;
  std::map<Key, std::vector<BYTE>> m_records;
};

}  // namespace foldertest
