// Lookups behind the component description: registry strings, registered servers, service binaries,
// files and their versions, and the small text scanners of its line grammar. The description's
// text is ANSI; paths are looked up in their wide form.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// Bytes of every path and item buffer: 260 characters and the terminator.
constexpr size_t kItemBufferBytes = MAX_PATH + 1;
// Bytes of a "%d.%d.%d.%d" file version and its terminator.
constexpr size_t kVersionBufferBytes = 24;

// Characters of every wide path buffer: 260 characters and the terminator.
constexpr size_t kPathBufferChars = MAX_PATH + 1;

// Text of the description as the platform's ANSI functions would take it (registry and service
// names: the ANSI code page; file names: the code page of the file functions). Lookups run on
// the wide form, so that folders outside the ANSI code page work.
std::wstring AnsiToWide(const char* text);
std::wstring FileNameToWide(const char* text);
// |text| in the ANSI code page, as the platform's ANSI functions give it; for the output lines,
// which stay ANSI.
std::string WideToAnsi(const wchar_t* text);

// Reads the REG_SZ value |valueName| (null: the unnamed value) of |root|\|subkey| into |out|
// (kPathBufferChars). The 64-bit view is asked for when |wants64BitView| and this is a 32-bit
// process on 64-bit Windows. True only for a non-empty string that fits; |out| is empty otherwise.
[[nodiscard]] bool ReadRegistryStringW(HKEY root, const wchar_t* subkey, const wchar_t* valueName,
                                       wchar_t* out, bool wants64BitView);

// The file of the server registered for |clsid| ("{...}"): InprocServer32, else LocalServer32,
// without quotes and arguments after a quoted path. |out| has kPathBufferChars. True when not
// empty.
[[nodiscard]] bool GetClsidServerPath(const char* clsid, wchar_t* out);

// The binary of service |serviceName| from its configuration, without quotes and arguments after a
// quoted path, into |out| (kPathBufferChars). True when the configuration could be read.
[[nodiscard]] bool GetServiceBinaryPath(const char* serviceName, wchar_t* out);

// Splits a "root\key" path: sets |*root| and returns the key path after the root prefix; a path
// without a known prefix is a path under HKEY_LOCAL_MACHINE and is returned whole.
const char* ParseRegistryRoot(const char* keyPath, HKEY* root);

// True when |pattern| (a path, wildcards allowed) matches at least one file that is not a folder.
bool FileExistsW(const wchar_t* pattern);

// "major.minor.build.revision" of the fixed version information of |path| into |out|
// (kVersionBufferBytes). False, |out| empty, when the file has no readable version resource.
bool GetFileVersionString(const wchar_t* path, char* out);

// The zero-terminated lines of |section| in the description file |iniPath| into |buffer|
// (|bytes|, at least 2), ANSI and cut as GetPrivateProfileSectionA gives them, ending with an
// empty line; the characters written without the last terminator (0 when there is no section).
DWORD ReadIniSectionA(const wchar_t* section, char* buffer, DWORD bytes, const wchar_t* iniPath);

// Skips blanks and tabs; when |wanted| follows, the text after it, else null.
const char* SkipBlanksAndMatch(const char* text, char wanted);
// Skips blanks and tabs.
const char* SkipBlanks(const char* text);
// The first |wanted| in |text|, or null. |wanted| must be an ASCII character.
const char* FindCharInLine(const char* text, char wanted);
// The last |wanted| in |text| that is a character of its own (not the second byte of a
// double-byte character), or null.
char* FindLastCharA(char* text, char wanted);

// Copies [begin, end) into |out| (|outBytes| bytes), cut to fit, always terminated.
void CopyItemKey(char* out, size_t outBytes, const char* begin, const char* end);

// Characters of |text| in the thread's code page (a double-byte character counts once).
int CountAnsiChars(const char* text);

// True only for a 32-bit process on 64-bit Windows.
bool IsWow64();

// The OS code of the version queries; 0 when detection failed or the version is unknown.
DWORD GetOsVersionCode();
