// Whether a file is the image that a process maps.
#pragma once

#include <windows.h>

// Bounds on what a file makes the comparison read or keep; a file past one of them is refused
// with ERROR_FILE_TOO_LARGE.
constexpr DWORD kMaxImageSections = 96;
constexpr DWORD kMaxImportDescriptors = 4096;
// Import table entries walked over all import and delayed-import tables together.
constexpr DWORD kMaxImportEntries = 1 << 20;
constexpr DWORD kMaxRelocationBytes = 16 * 1024 * 1024;
// Regions the mapping may consist of (the process can split its image by changing protections).
constexpr DWORD kMaxImageRegions = 4096;

// 0 when |file| (opened for reading) holds the PE image that |process| (opened with
// PROCESS_VM_READ and PROCESS_QUERY_INFORMATION) maps at |base|: the mapping is as large as the
// file's image, and the headers and every section the program cannot write are the same in both,
// apart from what the loader changes (the image base field, base-relocated slots, import address
// tables and the control-flow guard slots). ERROR_ACCESS_DENIED when they differ or |base| starts
// no image mapping; ERROR_BAD_EXE_FORMAT when the file is no image that can be compared (a section,
// table or relocated slot outside the image, overlapping sections, relocations of a kind other
// than 32- or 64-bit); ERROR_FILE_TOO_LARGE past one of the bounds above; otherwise the error of a
// failed read. The file is read as hostile: every offset is checked before it is used, and tables
// are read in large pieces. Writable sections are not compared: they change as the program runs.
[[nodiscard]] DWORD MatchMappedImage(HANDLE file, HANDLE process, const void* base);

// The base of the program image of |process| (opened with PROCESS_VM_READ and
// PROCESS_QUERY_LIMITED_INFORMATION), as its process environment block records it; null on
// failure.
[[nodiscard]] const void* ProcessImageBase(HANDLE process);
