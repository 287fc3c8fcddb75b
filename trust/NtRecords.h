// The few ntdll calls and records of the trust code that mingw's headers lack, declared as
// far as this code reads them.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <winternl.h>

#include <cstddef>

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE folder, HANDLE event, PVOID apcRoutine,
                                               PVOID apcContext, PIO_STATUS_BLOCK io, PVOID buffer,
                                               ULONG length,
                                               FILE_INFORMATION_CLASS informationClass,
                                               BOOLEAN returnSingleEntry, PUNICODE_STRING name,
                                               BOOLEAN restartScan);

// What NtQueryInformationProcess(ProcessImageInformation) tells of the image section that a
// process was created from: the kernel's record, which the process cannot write.
struct ProcessImageRecord {
  void* transferAddress;  // the entry point of the image where the process maps it
  ULONG zeroBits;
  SIZE_T maximumStackSize;
  SIZE_T committedStackSize;
  ULONG subSystemType;
  ULONG subSystemVersion;
  ULONG operatingSystemVersion;
  USHORT imageCharacteristics;
  USHORT dllCharacteristics;
  USHORT machine;
  BOOLEAN imageContainsCode;
  UCHAR imageFlags;
  ULONG loaderFlags;
  ULONG imageFileSize;
  ULONG checkSum;
};
static_assert(sizeof(ProcessImageRecord) == 64, "image record of 64 bytes");

// Offset of the image base address in a 64-bit process environment block.
constexpr size_t kPebImageBaseOffset = 0x10;
