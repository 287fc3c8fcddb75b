#include "basalt/Registry/CObfuscatedRegKey.h"

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "basalt/CRC4Cipher.h"
#include "basalt/MD5.h"

namespace Basalt {
namespace {

constexpr DWORD kFirstReadBytes = 256;

using ByteBuffer = std::unique_ptr<unsigned char[]>;

// Zero-filled buffer, or null when out of memory.
ByteBuffer AllocateBytes(size_t bytes) {
  return ByteBuffer(new (std::nothrow) unsigned char[bytes == 0 ? 1 : bytes]());
}

CRC4Cipher MakeRegistryCipher() {
  return CRC4Cipher(g_CipherKeyTable.entries[CipherKeyTable::kRegistryValues],
                    CipherKeyTable::kKeyLength, 1);
}

// Value name in the thread's ANSI code page; a null name is the default value.
LONG NameToAnsi(LPCWSTR name, std::string& ansi) {
  if (name == nullptr || *name == L'\0') {
    ansi.clear();
    return ERROR_SUCCESS;
  }
  const int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return static_cast<LONG>(GetLastError());
  try {
    ansi.assign(static_cast<size_t>(bytes), '\0');
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  if (WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, &ansi[0], bytes, nullptr, nullptr) <= 0) {
    return static_cast<LONG>(GetLastError());
  }
  ansi.resize(static_cast<size_t>(bytes - 1));
  return ERROR_SUCCESS;
}

// Appends |chars| UTF-16 characters as UTF-8 followed by one 0 byte.
LONG AppendUtf8String(const wchar_t* text, size_t chars, std::string& out) {
  try {
    if (chars > 0) {
      const int length = static_cast<int>(chars);
      const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
      if (bytes <= 0) return static_cast<LONG>(GetLastError());
      const size_t at = out.size();
      out.resize(at + static_cast<size_t>(bytes));
      if (WideCharToMultiByte(CP_UTF8, 0, text, length, &out[at], bytes, nullptr, nullptr) !=
          bytes) {
        return static_cast<LONG>(GetLastError());
      }
    }
    out.push_back('\0');
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  return ERROR_SUCCESS;
}

// REG_SZ payload: the text up to its terminator, but never past |maxChars|.
LONG WideToUtf8String(const wchar_t* text, size_t maxChars, std::string& out) {
  out.clear();
  return AppendUtf8String(text, wcsnlen(text, maxChars), out);
}

// REG_MULTI_SZ payload: each string with its 0 byte, then one more 0 byte. A list that is
// not closed within |maxChars| is closed there.
LONG WideToUtf8MultiString(const wchar_t* text, size_t maxChars, std::string& out) {
  out.clear();
  size_t pos = 0;
  while (pos < maxChars && text[pos] != L'\0') {
    const size_t chars = wcsnlen(text + pos, maxChars - pos);
    const LONG result = AppendUtf8String(text + pos, chars, out);
    if (result != ERROR_SUCCESS) return result;
    pos += chars + 1;
  }
  try {
    out.push_back('\0');
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  return ERROR_SUCCESS;
}

// Length of the 0-terminated string at |text| within |limit| bytes, terminator included;
// 0 when it has no terminator there.
size_t BoundedStringBytes(const unsigned char* text, size_t limit) {
  const void* zero = std::memchr(text, 0, limit);
  return zero == nullptr ? 0
                         : static_cast<size_t>(static_cast<const unsigned char*>(zero) - text) + 1;
}

// UTF-16 characters of |bytes| UTF-8 bytes (terminator included), or 0 with the error.
int Utf8Chars(const unsigned char* text, size_t bytes, LONG& error) {
  const int chars = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(text),
                                        static_cast<int>(bytes), nullptr, 0);
  if (chars <= 0) error = static_cast<LONG>(GetLastError());
  return chars;
}

// Deciphered REG_SZ payload to UTF-16. *pnBytes in: room in bytes; out: bytes written or
// needed. The text must end within the payload.
LONG Utf8ToWideString(const unsigned char* text, DWORD length, void* output, ULONG* pnBytes) {
  if (pnBytes == nullptr) return ERROR_INVALID_PARAMETER;
  const size_t bytes = BoundedStringBytes(text, length);
  if (bytes == 0) return ERROR_INVALID_DATA;

  LONG error = ERROR_SUCCESS;
  const int needed = Utf8Chars(text, bytes, error);
  if (needed <= 0) {
    *pnBytes = 0;
    return error;
  }
  const ULONG room = *pnBytes / 2;
  if (output == nullptr) {
    *pnBytes = static_cast<ULONG>(needed) * 2;
    return ERROR_SUCCESS;
  }
  if (room < static_cast<ULONG>(needed)) {
    *pnBytes = static_cast<ULONG>(needed) * 2;
    return ERROR_MORE_DATA;
  }
  const int written =
      MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(text), static_cast<int>(bytes),
                          static_cast<wchar_t*>(output), needed);
  if (written <= 0) {
    *pnBytes = 0;
    return static_cast<LONG>(GetLastError());
  }
  *pnBytes = static_cast<ULONG>(written) * 2;
  return ERROR_SUCCESS;
}

// Deciphered REG_MULTI_SZ payload to UTF-16, string by string. The needed size is always
// reported; a short output is zero-filled and gives 234. The list must end within the payload.
LONG Utf8ToWideMultiString(const unsigned char* text, DWORD length, void* output, ULONG* pnBytes) {
  if (pnBytes == nullptr) return ERROR_INVALID_PARAMETER;
  const ULONG capacity = *pnBytes;
  wchar_t* cursor = static_cast<wchar_t*>(output);
  long long room = capacity;
  bool isShort = false;
  unsigned long long total = 0;

  size_t pos = 0;
  for (;;) {
    if (pos >= length) return ERROR_INVALID_DATA;
    if (text[pos] == 0) break;
    const size_t bytes = BoundedStringBytes(text + pos, length - pos);
    if (bytes == 0) return ERROR_INVALID_DATA;
    LONG error = ERROR_SUCCESS;
    const int needed = Utf8Chars(text + pos, bytes, error);
    if (needed <= 0) return error;
    total += static_cast<unsigned long long>(needed) * 2;
    if (output != nullptr && !isShort) {
      if (room <= 0 || static_cast<long long>(needed) * 2 > room) {
        isShort = true;
      } else {
        if (MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(text + pos),
                                static_cast<int>(bytes), cursor, needed) != needed) {
          return static_cast<LONG>(GetLastError());
        }
        cursor += needed;
        room -= static_cast<long long>(needed) * 2;
      }
    }
    pos += bytes;
  }
  if (output != nullptr && !isShort) {
    if (room >= 2) {
      *cursor = L'\0';
    } else {
      isShort = true;
    }
  }
  total += 2;
  if (total > MAXDWORD) return ERROR_INVALID_DATA;
  *pnBytes = static_cast<ULONG>(total);
  if (isShort) {
    std::memset(output, 0, capacity);
    return ERROR_MORE_DATA;
  }
  return ERROR_SUCCESS;
}

}  // namespace

LONG CObfuscatedRegKeyImpl::EncodeValue(const unsigned char* payload, DWORD length, DWORD type,
                                        unsigned char* output, DWORD outputSize) {
  CRC4Cipher cipher = MakeRegistryCipher();
  if (output == nullptr ||
      static_cast<unsigned long long>(outputSize) <
          static_cast<unsigned long long>(length) + kObfuscatedRegHeaderBytes) {
    return ERROR_INSUFFICIENT_BUFFER;
  }
  if (!cipher.Encrypt(payload, output + kObfuscatedRegHeaderBytes, length)) return 6000;
  ObfuscatedRegValueHeader header = {};
  header.magic = kObfuscatedRegMagic;
  header.version = 1;
  header.payloadLength = length;
  header.type = type;
  std::memcpy(output, &header, sizeof(header));
  unsigned char digest[16];
  if (ComputeMD5(output, kObfuscatedRegHeaderBytes + static_cast<size_t>(length), digest,
                 sizeof(digest)) != 0) {
    return 6000;
  }
  std::memcpy(output + offsetof(ObfuscatedRegValueHeader, digest), digest, sizeof(digest));
  return ERROR_SUCCESS;
}

LONG CObfuscatedRegKeyImpl::DecodeValue(unsigned char* blob, DWORD blobSize, DWORD* pdwType,
                                        unsigned char* data, DWORD* pnCapacity) {
  CRC4Cipher cipher = MakeRegistryCipher();
  if (blob == nullptr || blobSize < kObfuscatedRegHeaderBytes) return ERROR_INVALID_DATA;

  unsigned char* digestField = blob + offsetof(ObfuscatedRegValueHeader, digest);
  unsigned char saved[16];
  std::memcpy(saved, digestField, sizeof(saved));
  std::memset(digestField, 0, sizeof(saved));
  if (VerifyMD5(blob, blobSize, saved, sizeof(saved)) != 0) return ERROR_INVALID_DATA;

  ObfuscatedRegValueHeader header;
  std::memcpy(&header, blob, sizeof(header));
  if (static_cast<unsigned long long>(header.payloadLength) + kObfuscatedRegHeaderBytes !=
          blobSize ||
      header.magic != kObfuscatedRegMagic) {
    return ERROR_INVALID_DATA;
  }
  if (pdwType != nullptr) *pdwType = header.type;
  if (pnCapacity == nullptr) return ERROR_SUCCESS;
  const DWORD capacity = *pnCapacity;
  *pnCapacity = header.payloadLength;
  if (data == nullptr) return ERROR_SUCCESS;
  if (header.payloadLength > capacity) return ERROR_MORE_DATA;
  return cipher.Decrypt(blob + kObfuscatedRegHeaderBytes, data, header.payloadLength)
             ? ERROR_SUCCESS
             : 6001;
}

LONG CObfuscatedRegKeyImpl::ReadEncodedValue(LPCWSTR pszValueName, unsigned char* data,
                                             DWORD* pnCapacity, DWORD* pdwType) {
  *pdwType = 0;
  std::string name;
  LONG result = NameToAnsi(pszValueName, name);
  if (result != ERROR_SUCCESS) return result;

  DWORD size = kFirstReadBytes;
  ByteBuffer blob = AllocateBytes(size);
  if (!blob) return ERROR_OUTOFMEMORY;
  DWORD registryType = 0;
  result = RegQueryValueExA(GetHandle(), name.c_str(), nullptr, &registryType, blob.get(), &size);
  if (result == ERROR_MORE_DATA) {
    blob = AllocateBytes(size);
    if (!blob) return ERROR_OUTOFMEMORY;
    result = RegQueryValueExA(GetHandle(), name.c_str(), nullptr, &registryType, blob.get(), &size);
  }
  if (result != ERROR_SUCCESS) return result;
  if (registryType != REG_BINARY) return ERROR_INVALID_DATA;
  return DecodeValue(blob.get(), size, pdwType, data, pnCapacity);
}

LONG CObfuscatedRegKeyImpl::QueryValue(LPCWSTR pszValueName, DWORD* pdwType, void* pData,
                                       ULONG* pnBytes) {
  if (pdwType == nullptr && pnBytes == nullptr) return ERROR_INVALID_PARAMETER;

  DWORD length = 0;
  DWORD recordedType = 0;
  LONG result = ReadEncodedValue(pszValueName, nullptr, &length, &recordedType);
  if (pdwType != nullptr) *pdwType = recordedType;
  if (result != ERROR_SUCCESS || pnBytes == nullptr) return result;

  ByteBuffer payload = AllocateBytes(length);
  if (!payload) return ERROR_OUTOFMEMORY;
  result = ReadEncodedValue(pszValueName, payload.get(), &length, &recordedType);
  if (result != ERROR_SUCCESS) return result;

  switch (recordedType) {
    case REG_SZ:
      return Utf8ToWideString(payload.get(), length, pData, pnBytes);
    case REG_MULTI_SZ:
      return Utf8ToWideMultiString(payload.get(), length, pData, pnBytes);
    default:
      if (pData != nullptr) {
        if (length > *pnBytes) {
          result = ERROR_MORE_DATA;
        } else {
          std::memcpy(pData, payload.get(), length);
        }
      }
      *pnBytes = length;
      return result;
  }
}

LONG CObfuscatedRegKeyImpl::SetValue(LPCWSTR pszValueName, DWORD dwType, const void* pValue,
                                     ULONG nBytes) {
  if (pValue == nullptr || nBytes == 0) return ERROR_INVALID_PARAMETER;

  std::string converted;
  const unsigned char* payload = static_cast<const unsigned char*>(pValue);
  DWORD length = nBytes;
  if (dwType == REG_SZ || dwType == REG_MULTI_SZ) {
    const wchar_t* text = static_cast<const wchar_t*>(pValue);
    const LONG result = dwType == REG_SZ ? WideToUtf8String(text, nBytes / 2, converted)
                                         : WideToUtf8MultiString(text, nBytes / 2, converted);
    if (result != ERROR_SUCCESS) return result;
    if (converted.size() > MAXDWORD - kObfuscatedRegHeaderBytes) return ERROR_INVALID_DATA;
    payload = reinterpret_cast<const unsigned char*>(converted.data());
    length = static_cast<DWORD>(converted.size());
  } else if (length > MAXDWORD - kObfuscatedRegHeaderBytes) {
    return ERROR_INVALID_PARAMETER;
  }

  const DWORD blobSize = kObfuscatedRegHeaderBytes + length;
  ByteBuffer blob = AllocateBytes(blobSize);
  if (!blob) return ERROR_NOT_ENOUGH_MEMORY;
  LONG result = EncodeValue(payload, length, dwType, blob.get(), blobSize);
  if (result != ERROR_SUCCESS) return result;

  std::string name;
  result = NameToAnsi(pszValueName, name);
  if (result != ERROR_SUCCESS) return result;
  return RegSetValueExA(GetHandle(), name.c_str(), 0, REG_BINARY, blob.get(), blobSize);
}

CObfuscatedRegKey::CObfuscatedRegKey() : CRegKey(std::make_shared<CObfuscatedRegKeyImpl>()) {}

CObfuscatedRegKey::~CObfuscatedRegKey() = default;

}  // namespace Basalt
