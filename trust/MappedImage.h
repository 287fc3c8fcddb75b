// Whether a file is the image that a process maps.
#pragma once

#include <windows.h>

// 0 when |file| (opened for reading) holds the PE image that |process| (opened with
// PROCESS_VM_READ and PROCESS_QUERY_INFORMATION) maps at |base|: the headers and every
// section the program cannot write are the same in both, apart from what the loader changes (the
// image base field, base-relocated slots, import address tables and the control-flow guard slots).
// ERROR_ACCESS_DENIED when they differ or |base| starts no image mapping; ERROR_BAD_EXE_FORMAT when
// the file is no image that can be compared (including relocations of a kind other than 32- or
// 64-bit); otherwise the error of a failed read. Writable sections are not compared: they change as
// the program runs.
[[nodiscard]] DWORD MatchMappedImage(HANDLE file, HANDLE process, const void* base);

// The base of the program image of |process| (opened with PROCESS_VM_READ and
// PROCESS_QUERY_LIMITED_INFORMATION), as its process environment block records it; null on
// failure.
[[nodiscard]] const void* ProcessImageBase(HANDLE process);
