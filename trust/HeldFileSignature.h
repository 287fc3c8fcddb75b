// The embedded Authenticode signature of a PE file, read through a handle open on it.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <wincrypt.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "basalt/CryptOwners.h"
#include "basalt/EmbeddedSignature.h"

// The certificate table entry type of a PKCS #7 signature (WIN_CERT_TYPE_PKCS_SIGNED_DATA).
inline constexpr WORD kCertificateTypePkcsSignedData = 2;
// A certificate table larger than this is not read.
inline constexpr DWORD kMaxCertificateTableBytes = 4 * 1024 * 1024;

namespace held_signature {

inline bool ReadAt(HANDLE file, ULONGLONG offset, void* to, DWORD size) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  return ReadFile(file, to, size, &read, &at) && read == size;
}

// The length of the DER element at the start of |data| (definite lengths only), or 0.
inline size_t DerLength(const BYTE* data, size_t size) {
  if (size < 2) return 0;
  size_t length = data[1];
  size_t header = 2;
  if ((length & 0x80) != 0) {
    const size_t bytes = length & 0x7F;
    if (bytes == 0 || bytes > 4 || size < 2 + bytes) return 0;
    length = 0;
    for (size_t i = 0; i < bytes; ++i) length = length << 8 | data[2 + i];
    header += bytes;
  }
  return length <= size - header ? header + length : 0;
}

}  // namespace held_signature

// The PKCS #7 signature of the first entry of the certificate table of the PE file open as
// |file|, read through that handle, in |der| (without the table's padding). False when the file
// has no such entry, the table lies outside the file or is larger than kMaxCertificateTableBytes,
// or it cannot be read.
[[nodiscard]] inline bool ReadHeldFileCertificate(HANDLE file, std::string& der) {
  using held_signature::ReadAt;
  LARGE_INTEGER size = {};
  IMAGE_DOS_HEADER dos = {};
  if (!GetFileSizeEx(file, &size) || !ReadAt(file, 0, &dos, sizeof(dos)) ||
      dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0) {
    return false;
  }
  const ULONGLONG optional = ULONGLONG(dos.e_lfanew) + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
  DWORD signature = 0;
  WORD magic = 0;
  if (!ReadAt(file, dos.e_lfanew, &signature, sizeof(signature)) ||
      signature != IMAGE_NT_SIGNATURE || !ReadAt(file, optional, &magic, sizeof(magic))) {
    return false;
  }
  size_t countAt = 0, directoriesAt = 0;
  if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
    countAt = offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes);
    directoriesAt = offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
  } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
    countAt = offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes);
    directoriesAt = offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
  } else {
    return false;
  }
  DWORD count = 0;
  IMAGE_DATA_DIRECTORY table = {};  // its address is a file offset
  if (!ReadAt(file, optional + countAt, &count, sizeof(count)) ||
      count <= IMAGE_DIRECTORY_ENTRY_SECURITY ||
      !ReadAt(file, optional + directoriesAt + IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(table),
              &table, sizeof(table))) {
    return false;
  }
  constexpr DWORD kEntryHeader = 8;  // WIN_CERTIFICATE: length, revision, type
  if (table.VirtualAddress == 0 || table.Size <= kEntryHeader ||
      table.Size > kMaxCertificateTableBytes ||
      ULONGLONG{table.VirtualAddress} + table.Size > static_cast<ULONGLONG>(size.QuadPart)) {
    return false;
  }
  DWORD length = 0;
  WORD header[2] = {};  // revision, type
  if (!ReadAt(file, table.VirtualAddress, &length, sizeof(length)) ||
      !ReadAt(file, table.VirtualAddress + 4, header, sizeof(header)) ||
      header[1] != kCertificateTypePkcsSignedData || length <= kEntryHeader ||
      length > table.Size) {
    return false;
  }
  try {
    der.assign(length - kEntryHeader, '\0');
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!ReadAt(file, ULONGLONG{table.VirtualAddress} + kEntryHeader, &der[0],
              static_cast<DWORD>(der.size()))) {
    return false;
  }
  const size_t whole =
      held_signature::DerLength(reinterpret_cast<const BYTE*>(der.data()), der.size());
  if (whole == 0) return false;
  der.resize(whole);
  return true;
}

// The embedded signature of the PE file open as |file|, read through that handle and decoded as
// one message with every signer (as DecodeEmbeddedSignature decodes a file by its path). False
// when there is none or it cannot be read.
[[nodiscard]] inline bool DecodeHeldFileSignature(HANDLE file, EmbeddedSignature* out) noexcept {
  constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  std::string der;
  if (!ReadHeldFileCertificate(file, der)) return false;
  UniqueCryptMsg message(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
  if (!message || !CryptMsgUpdate(message.get(), reinterpret_cast<const BYTE*>(der.data()),
                                  static_cast<DWORD>(der.size()), TRUE)) {
    return false;
  }
  UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message.get()));
  DWORD count = 0;
  DWORD countSize = sizeof(count);
  if (!store || !CryptMsgGetParam(message.get(), CMSG_SIGNER_COUNT_PARAM, 0, &count, &countSize)) {
    return false;
  }
  return out->Add(std::move(message), std::move(store), 0, count);
}
