// Registry key whose values are stored enciphered and digested: each value is a REG_BINARY
// blob of a 32-byte header ("QXRG", version, payload length, value type, MD5) and the
// enciphered payload. Strings are kept as UTF-8; names go through the ANSI code page.
#pragma once

#include <windows.h>

#include <cstdint>

#include "basalt/Registry/CRegKey.h"

namespace Basalt {

// Header of an obfuscated registry value; the payload follows it.
#pragma pack(push, 1)
struct ObfuscatedRegValueHeader {
  uint32_t magic;            // kObfuscatedRegMagic, the bytes "QXRG"
  uint32_t version;          // 1
  uint32_t payloadLength;    // n; the value is exactly 32 + n bytes
  uint32_t type;             // registry type as given by the writer
  unsigned char digest[16];  // MD5 of the whole value with this field zeroed
};
#pragma pack(pop)
static_assert(sizeof(ObfuscatedRegValueHeader) == 32, "header layout is fixed");

constexpr uint32_t kObfuscatedRegMagic = 0x47525851;
constexpr DWORD kObfuscatedRegHeaderBytes = 32;

// Implementation that stores every value obfuscated. Only the raw read and write are
// replaced; the typed operations of CRegKeyImpl reach them virtually.
class CObfuscatedRegKeyImpl : public internal::CRegKeyImpl {
 public:
  // Reads and deciphers the value. The type is the one recorded in the blob; for REG_SZ and
  // REG_MULTI_SZ data and *pnBytes are UTF-16 bytes, terminators included. 87 without both
  // pdwType and pnBytes; 13 for a plain, damaged or truncated value; 234 (needed size stored)
  // for a short buffer; 6001 when deciphering fails; 14 when out of memory.
  [[nodiscard]] LONG QueryValue(LPCWSTR pszValueName, DWORD* pdwType, void* pData,
                                ULONG* pnBytes) override;

  // Writes the value as an obfuscated REG_BINARY blob. REG_SZ is read up to its terminator
  // or nBytes / 2 characters, REG_MULTI_SZ up to its final empty string or nBytes / 2
  // characters. 87 for no data or 0 bytes; 8 when out of memory; 6000 when enciphering fails.
  [[nodiscard]] LONG SetValue(LPCWSTR pszValueName, DWORD dwType, const void* pValue,
                              ULONG nBytes) override;

  // Builds the blob of |length| payload bytes into |output|: 122 when |outputSize| is below
  // 32 + length, 6000 when enciphering or digesting fails (length 0 included), else 0.
  [[nodiscard]] static LONG EncodeValue(const unsigned char* payload, DWORD length, DWORD type,
                                        unsigned char* output, DWORD outputSize);

  // Checks |blob| (its digest field is zeroed on the way) and deciphers its payload into
  // |data| when given. *pdwType gets the recorded type; *pnCapacity (when given) gets n.
  // 13 for a short, damaged or foreign blob, 234 when n exceeds the capacity, 6001 when
  // deciphering fails.
  [[nodiscard]] static LONG DecodeValue(unsigned char* blob, DWORD blobSize, DWORD* pdwType,
                                        unsigned char* data, DWORD* pnCapacity);

 private:
  LONG ReadEncodedValue(LPCWSTR pszValueName, unsigned char* data, DWORD* pnCapacity,
                        DWORD* pdwType);
};

// Registry key with obfuscated values; otherwise a CRegKey.
class CObfuscatedRegKey : public CRegKey {
 public:
  // Holds a new CObfuscatedRegKeyImpl.
  CObfuscatedRegKey();
  ~CObfuscatedRegKey() override;
};

}  // namespace Basalt
