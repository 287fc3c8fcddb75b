// Verified loading of the code-validation library and the interface it hands out.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <memory>

// One load: what the caller asked for and what was found.
struct VerifiedLibraryLoad {
  const wchar_t* library = nullptr;  // name or full path, as given
  HMODULE besideModule = nullptr;    // its folder is the last place looked; null: the exe
  std::unique_ptr<wchar_t[]> path;   // the candidate's full path, as verified and loaded (heap)
  HMODULE module = nullptr;          // the loaded library, or null
};

// Finds |library| (install folder, else current folder, else beside |besideModule|),
// verifies its signature, loads it and asks its "NotComDllGetInterface" export for
// |interfaceName|. 0 with |*out| set on success; otherwise a system or verification
// error (87 for a null argument or a name of 260 characters or more). The library is
// released again before returning; the interface stays usable.
[[nodiscard]] DWORD NotComDllGetInterface(const wchar_t* library, const char* interfaceName,
                                          void** out, HMODULE besideModule);

// Finds and verifies |record->library| and hands the candidate to LoadLibraryExW by the
// same full path, held unchanged from the check to the load. 0 when a verified file was
// handed over (record->module may still be null); else the error.
[[nodiscard]] DWORD LoadVerifiedLibrary(VerifiedLibraryLoad* record);

// The code-validation component's install folder ("szInstallDir32" when |use32|, else
// "szInstallDir64") + "\" + |name| in |buffer| of |capacity| characters, always
// terminated. False when the key or value cannot be read.
[[nodiscard]] bool GetBaseFrameInstallDir(bool use32, const wchar_t* name, wchar_t* buffer,
                                          DWORD capacity);

// Verifies |path| with WinVerifyTrust (no UI, no revocation checks, cache-only URL
// retrieval) and releases the verification state. The WinVerifyTrust result.
[[nodiscard]] LONG VerifyLibraryFileSignature(const wchar_t* path);
