#include "FakeFolderSecurity.h"

#include <sddl.h>

#include <algorithm>

namespace foldertest {
namespace {

constexpr SECURITY_INFORMATION kOwnerAndDacl =
    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
constexpr wchar_t kCreatorOwner[] = L"S-1-3-0";

std::wstring SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"";
  std::wstring result = text;
  LocalFree(text);
  return result;
}

struct Entry {
  BYTE type;
  BYTE flags;
  ACCESS_MASK mask;
  std::wstring sid;
};

struct Parsed {
  std::wstring owner;
  bool daclPresent = false;
  bool isProtected = false;
  std::vector<Entry> entries;
};

Parsed Parse(const std::vector<BYTE>& descriptor) {
  Parsed parsed;
  if (descriptor.empty()) return parsed;
  auto* sd = const_cast<BYTE*>(descriptor.data());
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (GetSecurityDescriptorOwner(sd, &owner, &defaulted) && owner != nullptr) {
    parsed.owner = SidText(owner);
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityDescriptorControl(sd, &control, &revision)) {
    parsed.isProtected = (control & SE_DACL_PROTECTED) != 0;
  }
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present) return parsed;
  parsed.daclPresent = dacl != nullptr;  // a null DACL counts as none: anyone may do anything
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) break;
    parsed.entries.push_back(
        {ace->Header.AceType, ace->Header.AceFlags, ace->Mask, SidText(&ace->SidStart)});
  }
  return parsed;
}

std::vector<BYTE> Build(const Parsed& parsed) {
  std::wstring sddl = L"O:" + parsed.owner + L"D:" + (parsed.isProtected ? L"P" : L"");
  for (const Entry& entry : parsed.entries) {
    wchar_t mask[16];
    wsprintfW(mask, L"0x%lx", entry.mask);
    std::wstring flags;
    if (entry.flags & OBJECT_INHERIT_ACE) flags += L"OI";
    if (entry.flags & CONTAINER_INHERIT_ACE) flags += L"CI";
    if (entry.flags & NO_PROPAGATE_INHERIT_ACE) flags += L"NP";
    if (entry.flags & INHERIT_ONLY_ACE) flags += L"IO";
    if (entry.flags & INHERITED_ACE) flags += L"ID";
    sddl += L"(" + std::wstring(entry.type == ACCESS_DENIED_ACE_TYPE ? L"D" : L"A") + L";" + flags +
            L";" + mask + L";;;" + entry.sid + L")";
  }
  return FromSddl(sddl.c_str());
}

ACCESS_MASK Mapped(ACCESS_MASK mask) {
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  MapGenericMask(&mask, &mapping);
  return mask;
}

bool Holds(const CModelToken& token, const std::wstring& sid) {
  return sid == token.user ||
         std::find(token.groups.begin(), token.groups.end(), sid) != token.groups.end();
}

std::wstring ParentOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

}  // namespace

CModelToken StandardUser() {
  return {L"S-1-5-21-1-2-3-1001", {L"S-1-5-32-545", L"S-1-1-0", L"S-1-5-11", L"S-1-5-4"}};
}

CModelToken System() { return {L"S-1-5-18", {L"S-1-5-32-544", L"S-1-1-0", L"S-1-5-11"}}; }

ACCESS_MASK Granted(const std::vector<BYTE>& descriptor, const CModelToken& token) {
  const Parsed parsed = Parse(descriptor);
  if (!parsed.daclPresent) return FILE_ALL_ACCESS;
  ACCESS_MASK granted = 0;
  ACCESS_MASK denied = 0;
  if (!parsed.owner.empty() && Holds(token, parsed.owner)) granted |= READ_CONTROL | WRITE_DAC;
  for (const Entry& entry : parsed.entries) {
    if ((entry.flags & INHERIT_ONLY_ACE) != 0 || !Holds(token, entry.sid)) continue;
    const ACCESS_MASK mask = Mapped(entry.mask);
    if (entry.type == ACCESS_ALLOWED_ACE_TYPE) {
      granted |= mask & ~denied;
    } else if (entry.type == ACCESS_DENIED_ACE_TYPE) {
      denied |= mask & ~granted;
    }
  }
  return granted;
}

std::vector<BYTE> Inherited(const std::vector<BYTE>& parent, const CModelToken& creator,
                            bool container) {
  const Parsed from = Parse(parent);
  Parsed child;
  child.owner = creator.user;
  child.daclPresent = true;
  for (const Entry& entry : from.entries) {
    const bool objectInherit = (entry.flags & OBJECT_INHERIT_ACE) != 0;
    const bool containerInherit = (entry.flags & CONTAINER_INHERIT_ACE) != 0;
    const bool noPropagate = (entry.flags & NO_PROPAGATE_INHERIT_ACE) != 0;
    const bool creatorOwner = entry.sid == kCreatorOwner;
    if (!container) {
      if (!objectInherit) continue;
      child.entries.push_back(
          {entry.type, INHERITED_ACE, entry.mask, creatorOwner ? creator.user : entry.sid});
      continue;
    }
    if (!containerInherit) {
      // Passed on to the files below only.
      if (objectInherit && !noPropagate) {
        child.entries.push_back(
            {entry.type, static_cast<BYTE>(OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE),
             entry.mask, entry.sid});
      }
      continue;
    }
    // In effect on the new folder: for the maker in place of CREATOR OWNER.
    child.entries.push_back(
        {entry.type, INHERITED_ACE, entry.mask, creatorOwner ? creator.user : entry.sid});
    // And passed on, unless it stops here. CREATOR OWNER stays for what is made below.
    if (!noPropagate) {
      child.entries.push_back(
          {entry.type,
           static_cast<BYTE>((entry.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) |
                             INHERIT_ONLY_ACE | INHERITED_ACE),
           entry.mask, entry.sid});
    }
  }
  return Build(child);
}

std::vector<BYTE> FromSddl(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ULONG bytes = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            &bytes)) {
    return {};
  }
  std::vector<BYTE> result(static_cast<BYTE*>(descriptor), static_cast<BYTE*>(descriptor) + bytes);
  LocalFree(descriptor);
  return result;
}

std::wstring ToSddl(const std::vector<BYTE>& descriptor) {
  if (descriptor.empty()) return L"";
  LPWSTR text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
          const_cast<BYTE*>(descriptor.data()), SDDL_REVISION_1, kOwnerAndDacl, &text, nullptr)) {
    return L"";
  }
  std::wstring result = text;
  LocalFree(text);
  return result;
}

// --- The calls ----------------------------------------------------------------------------

bool CFakeFolderSecurity::KeyOf(HANDLE file, Key& key) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file, &info)) return false;
  key = Key(info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow);
  return true;
}

bool CFakeFolderSecurity::KeyOfPath(const std::wstring& path, Key& key) {
  const Basalt::UniqueFile file(CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file && KeyOf(file.get(), key);
}

std::vector<BYTE> CFakeFolderSecurity::ReadKey(HANDLE file) {
  Key key;
  if (KeyOf(file, key)) {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto it = m_records.find(key);
    if (it != m_records.end()) return it->second;
  }
  std::vector<BYTE> real;
  (void)CFolderSecurityCalls::Read(file, real);
  return real;
}

DWORD CFakeFolderSecurity::Read(HANDLE folder, std::vector<BYTE>& descriptor) {
  std::vector<BYTE> found = ReadKey(folder);
  if (found.empty()) return ERROR_INVALID_SECURITY_DESCR;
  descriptor = std::move(found);
  return ERROR_SUCCESS;
}

DWORD CFakeFolderSecurity::WriteDacl(HANDLE folder, PSECURITY_DESCRIPTOR descriptor) {
  ++daclWrites;
  if (writeError != 0) return writeError;
  Key key;
  if (!KeyOf(folder, key)) return GetLastError();
  const DWORD length = GetSecurityDescriptorLength(descriptor);
  std::vector<BYTE> given;
  DWORD bytes = 0;
  (void)MakeSelfRelativeSD(descriptor, nullptr, &bytes);
  given.resize(bytes != 0 ? bytes : length);
  if (bytes == 0 || !MakeSelfRelativeSD(descriptor, given.data(), &bytes)) {
    given.assign(static_cast<BYTE*>(descriptor), static_cast<BYTE*>(descriptor) + length);
  }
  Parsed now = Parse(ReadKey(folder));
  const Parsed wanted = Parse(given);
  now.daclPresent = wanted.daclPresent;
  now.isProtected = wanted.isProtected;
  now.entries = wanted.entries;
  std::lock_guard<std::mutex> lock(m_lock);
  m_records[key] = Build(now);
  return ERROR_SUCCESS;
}

DWORD CFakeFolderSecurity::Create(HANDLE parent, const std::wstring& name,
                                  PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK access,
                                  Basalt::UniqueFile& folder) {
  Basalt::UniqueFile made;
  const DWORD created = CFolderSecurityCalls::Create(parent, name, descriptor, access, made);
  if (created != ERROR_SUCCESS) return created;
  Parsed record = Parse(Inherited(ReadKey(parent), creator, true));
  if (descriptor != nullptr) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner != nullptr) {
      record.owner = SidText(owner);
    }
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present) {
      SECURITY_DESCRIPTOR_CONTROL control = 0;
      DWORD revision = 0;
      (void)GetSecurityDescriptorControl(descriptor, &control, &revision);
      // Only the given entries: the folders made here carry protected DACLs.
      record.entries.clear();
      record.isProtected = (control & SE_DACL_PROTECTED) != 0;
      record.daclPresent = dacl != nullptr;
      for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) break;
        record.entries.push_back(
            {ace->Header.AceType, ace->Header.AceFlags, ace->Mask, SidText(&ace->SidStart)});
      }
    }
  }
  Key key;
  if (KeyOf(made.get(), key)) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_records[key] = Build(record);
  }
  folder = std::move(made);
  return ERROR_SUCCESS;
}

bool CFakeFolderSecurity::Set(const std::wstring& path, const wchar_t* sddl) {
  std::vector<BYTE> descriptor = FromSddl(sddl);
  Key key;
  if (descriptor.empty() || !KeyOfPath(path, key)) return false;
  std::lock_guard<std::mutex> lock(m_lock);
  m_records[key] = std::move(descriptor);
  return true;
}

std::vector<BYTE> CFakeFolderSecurity::Get(const std::wstring& path) {
  const Basalt::UniqueFile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                            nullptr));
  return file ? ReadKey(file.get()) : std::vector<BYTE>();
}

void CFakeFolderSecurity::Reset() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_records.clear();
  daclWrites = 0;
  writeError = 0;
}

// --- The user ---------------------------------------------------------------------------

ACCESS_MASK CFakeFolderSecurity::RightsOf(const CModelToken& token, const std::wstring& path) {
  return Granted(Get(path), token);
}

DWORD CFakeFolderSecurity::OpenAs(const CModelToken& token, const std::wstring& path,
                                  ACCESS_MASK desired, DWORD share, Basalt::UniqueFile& handle,
                                  ACCESS_MASK& granted) {
  const ACCESS_MASK rights = RightsOf(token, path);
  const ACCESS_MASK wanted = Mapped(desired & ~MAXIMUM_ALLOWED);
  if ((wanted & ~rights) != 0) return ERROR_ACCESS_DENIED;
  // The real handle lists the folder (rights that take part in sharing) and no more.
  Basalt::UniqueFile opened(
      CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL, share,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!opened) return GetLastError();
  handle = std::move(opened);
  granted = (desired & MAXIMUM_ALLOWED) != 0 ? rights : wanted;
  return ERROR_SUCCESS;
}

DWORD CFakeFolderSecurity::MakeFolderAs(const CModelToken& token, const std::wstring& folder,
                                        const std::wstring& name) {
  const std::vector<BYTE> parent = Get(folder);
  if ((Granted(parent, token) & FILE_ADD_SUBDIRECTORY) == 0) return ERROR_ACCESS_DENIED;
  const std::wstring path = folder + L"\\" + name;
  if (!CreateDirectoryW(path.c_str(), nullptr)) return GetLastError();
  return Set(path, ToSddl(Inherited(parent, token, true)).c_str()) ? ERROR_SUCCESS
                                                                   : ERROR_INVALID_SECURITY_DESCR;
}

DWORD CFakeFolderSecurity::MakeFileAs(const CModelToken& token, const std::wstring& folder,
                                      const std::wstring& name) {
  const std::vector<BYTE> parent = Get(folder);
  if ((Granted(parent, token) & FILE_ADD_FILE) == 0) return ERROR_ACCESS_DENIED;
  const std::wstring path = folder + L"\\" + name;
  const Basalt::UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  if (!file) return GetLastError();
  return Set(path, ToSddl(Inherited(parent, token, false)).c_str()) ? ERROR_SUCCESS
                                                                    : ERROR_INVALID_SECURITY_DESCR;
}

bool CFakeFolderSecurity::MayRemove(const CModelToken& token, const std::wstring& path) {
  return (RightsOf(token, path) & DELETE) != 0 ||
         (RightsOf(token, ParentOf(path)) & FILE_DELETE_CHILD) != 0;
}

}  // namespace foldertest
