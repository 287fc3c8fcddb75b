// Entry points that evaluate a component description carried as a resource: the description is
// written to a temporary file of its own for every call and evaluated there.
#pragma once

#include <windows.h>

#include <cstddef>

// "name=version" lines of the described components found (QxGetVersion) or the paths of the
// missing required ones (QxCheckComponents), from resource |resourceId| of type |type| in
// |module|. Two-call protocol: with a null |buffer|, |*length| becomes the characters needed;
// with a buffer of |*length| characters (terminator included) the text is written and |*length|
// is the characters the text needs. Returns
//   0 / 2  the text is valid; 2 when something required is missing;
//   234    no buffer, no output, or the buffer is too small (|*length| is the size needed; a given
//          buffer holds an empty string);
//   87     |length| is null;   8  no memory for the working buffers;
//   13     the resource cannot be found, loaded or written to the temporary file;
//   14     no memory for the section buffer.
// With a buffer, other codes change neither |buffer| nor |*length|; without one, |*length| is 0.
DWORD QxGetVersion(HMODULE module, UINT resourceId, const wchar_t* type, wchar_t* buffer,
                   DWORD* length);
DWORD QxCheckComponents(HMODULE module, UINT resourceId, const wchar_t* type, wchar_t* buffer,
                        DWORD* length);

// The ANSI workers: evaluate into |output| (null: sizing run) of |*size| bytes; |*chars| receives
// the characters of the output. Results as ProcessSections, plus 8, 13 and 14 as above. The
// temporary file is gone when they return.
DWORD GetVersionFromIniResource(HMODULE module, UINT resourceId, const char* type, char* output,
                                size_t* size, int* chars);
DWORD CheckComponentsFromIniResource(HMODULE module, UINT resourceId, const char* type,
                                     char* output, size_t* size, int* chars);

// Writes the bytes of the resource to |file| (created or replaced). False on any failure.
bool ExtractIniResource(HMODULE module, UINT resourceId, const char* type, const wchar_t* file);
