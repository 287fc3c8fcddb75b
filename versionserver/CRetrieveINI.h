// Evaluation of a component description (an INI file): walks the fixed table of sections, resolves
// directory IDs and counts the output lines that the evaluators write.
#pragma once

#include <windows.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include "versionserver/ComponentLookup.h"

// Kind of a description section.
enum class SectionKind { kDirId = 0, kFiles = 1, kCom = 2, kService = 3 };

// Base of the two evaluators; one object per evaluation, made on the description's path.
class CRetrieveINI {
 public:
  // Bytes of the buffer that receives one section.
  static constexpr DWORD kSectionBufferBytes = 5120;

  // |iniPath| is not owned and must outlive the object.
  explicit CRetrieveINI(const wchar_t* iniPath);
  CRetrieveINI(const CRetrieveINI&) = delete;
  CRetrieveINI& operator=(const CRetrieveINI&) = delete;
  virtual ~CRetrieveINI() = default;

  // Evaluates every section that applies into |output| (null for a sizing run) of |*size| bytes,
  // reading each through |sectionBuffer| (kSectionBufferBytes; freed here). 0 when every required
  // item is there, 2 when one is missing, 234 when there is no output or it does not fit below
  // |*size| (then |*size| is the size needed). On 0 and 2 |*size| is the size needed, or 0 when
  // nothing was written. Output that does not fit is still counted (OutputChars()).
  DWORD ProcessSections(char* output, size_t* size, std::unique_ptr<char[]> sectionBuffer);

  // Characters of the output so far, the closing line end included once ProcessSections is done.
  int OutputChars() const { return m_nOutputChars; }

  // Resolves the folder that |value| names (upper-cased in place) and stores it for the dir-id
  // |key|, replacing an earlier one. False, nothing stored, when it cannot be resolved.
  bool ResolveDirId(const char* key, char* value);

  // The folder stored for |dirId|, or "." when there is none.
  const wchar_t* GetDirIdFolder(int dirId) const;

 protected:
  // Evaluates one section's zero-terminated lines (|section| ends with an empty line): 0 or 2.
  virtual DWORD ProcessSection(const char* section, SectionKind kind, char* output) = 0;

  // Checks one item; 1 when it was found. |folder| is the dir-id's folder for FILES items (else
  // null), |name| the line's key (display name) for COM and SERVICE items (else null). |item| may
  // be changed in place.
  virtual int ProcessItem(const wchar_t* folder, const char* name, char* item, SectionKind kind,
                          bool optional, char* output) = 0;

  // The line grammar shared by both evaluators. With |takeBackAnyOfLines|, a "+" line that is
  // satisfied removes what its items wrote.
  DWORD EvaluateSection(const char* section, SectionKind kind, char* output,
                        bool takeBackAnyOfLines);

  // Counts a line of |count| |parts| and appends it when it then still fits below the buffer
  // length (with its terminator).
  void EmitLine(char* output, const char* const* parts, size_t count);

  // The file an item names: |wide| is what is looked up, |ansi| (the same path in the ANSI code
  // page) what the output lines show.
  struct ItemPath {
    wchar_t wide[kPathBufferChars];
    char ansi[kItemBufferBytes];
  };

  // Reads the string a "$REG$...KEY=<path>...NAME=<value>" item names (upper case) into |out|
  // (kPathBufferChars). In COM sections the path may start with a root and the value name
  // DEFAULT reads the unnamed value; elsewhere the path is below HKEY_LOCAL_MACHINE.
  static bool ReadRegistryItem(char* item, bool comSection, wchar_t* out);

  // The file an item names, into |path|; false when it cannot be resolved or a FILES path does not
  // fit (its ANSI form is then cut). For FILES items, |*displayName| is the text after the last
  // "$" (which is cut off), else null.
  static bool ResolveItemPath(const wchar_t* folder, char* item, SectionKind kind, ItemPath* path,
                              const char** displayName);

  // Builds "|folder|\|file|" into |path| (kItemBufferBytes, cut to fit); false when it was cut.
  static bool JoinPath(const char* folder, const char* file, char* path);

  size_t m_cbNeeded = 0;   // bytes of the output lines so far
  size_t m_cbBuffer = 0;   // bytes of the output buffer (0 for a sizing run)
  int m_nOutputChars = 0;  // characters of the output so far
  const wchar_t* m_pwszIniPath;
  std::map<int, std::wstring> m_dirIdFolders;
  DWORD m_dwOsCode;
  DWORD m_dwOsFamily = 2;
};
