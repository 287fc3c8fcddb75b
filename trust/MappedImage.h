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

// MatchMappedImage, where the file's entry point must also lie |entryRva| into the image
// (ERROR_ACCESS_DENIED otherwise).
[[nodiscard]] DWORD MatchProgramImage(HANDLE file, HANDLE process, const void* base,
                                      ULONGLONG entryRva);

// Where |process| (opened with PROCESS_QUERY_INFORMATION and PROCESS_VM_READ) maps its program
// image, from the kernel's record of the image it was created from, which the process cannot
// write: 0 with |*base| the base of the image mapping that holds the recorded entry point and
// |*entryRva| the entry point's offset in it. ERROR_ACCESS_DENIED when the entry point lies in no
// image mapping, or when the process's own record (its process environment block, which it can
// write) names another base; otherwise the error of the failed query. Untouched on failure.
[[nodiscard]] DWORD FindProgramImage(HANDLE process, const void** base, ULONGLONG* entryRva);

// The base of the program image of |process| (opened with PROCESS_VM_READ and
// PROCESS_QUERY_LIMITED_INFORMATION), as its process environment block records it; null on
// failure. The process can write that record.
[[nodiscard]] const void* ProcessImageBase(HANDLE process);
