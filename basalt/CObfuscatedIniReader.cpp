#include "basalt/CObfuscatedIniReader.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <vector>

#include "basalt/CRC4Cipher.h"
#include "basalt/MD5.h"

namespace Basalt {
namespace {

constexpr size_t kHeaderTextChars = 2 * sizeof(ObfuscatedIniValueHeader) + 2;
constexpr wchar_t kHeaderTextPrefix[] = L"51585247";

bool IsIniSpace(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

CRC4Cipher MakeIniCipher() {
  return CRC4Cipher(g_CipherKeyTable.entries[CipherKeyTable::kIniValues],
                    CipherKeyTable::kKeyLength, 1);
}

bool WideToAnsi(const std::wstring& text, std::vector<char>& out) {
  if (text.empty()) {
    out.clear();
    return true;
  }
  const int length = static_cast<int>(text.size());
  const int bytes =
      WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return false;
  out.assign(static_cast<size_t>(bytes), '\0');
  return WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), length, out.data(), bytes, nullptr,
                             nullptr) == bytes;
}

bool AnsiToWide(const unsigned char* text, size_t length, std::wstring& out) {
  if (length == 0) {
    out.clear();
    return true;
  }
  const char* narrow = reinterpret_cast<const char*>(text);
  const int chars =
      MultiByteToWideChar(CP_THREAD_ACP, 0, narrow, static_cast<int>(length), nullptr, 0);
  if (chars <= 0) return false;
  std::wstring wide(static_cast<size_t>(chars), L'\0');
  if (MultiByteToWideChar(CP_THREAD_ACP, 0, narrow, static_cast<int>(length), &wide[0], chars) !=
      chars) {
    return false;
  }
  out.swap(wide);
  return true;
}

// Record under "Section.Key", split at the first "."; a name without "." addresses the empty
// key of the empty section.
template <typename Sections>
auto FindRecord(Sections& sections, const std::wstring& lookupName)
    -> decltype(&sections.begin()->second.begin()->second) {
  std::wstring section;
  std::wstring key;
  const size_t dot = lookupName.find(L'.');
  if (dot != std::wstring::npos) {
    section = lookupName.substr(0, dot);
    key = lookupName.substr(dot + 1);
  }
  const auto foundSection = sections.find(section);
  if (foundSection == sections.end()) return nullptr;
  const auto foundKey = foundSection->second.find(key);
  if (foundKey == foundSection->second.end()) return nullptr;
  return &foundKey->second;
}

}  // namespace

CObfuscatedIniReader::~CObfuscatedIniReader() {
  m_pendingHeaders.clear();
  m_sections.clear();
}

bool CObfuscatedIniReader::StoreValue(const std::wstring& section, const std::wstring& key,
                                      const std::wstring& value, bool overwrite) {
  const bool underscored = !key.empty() && key[0] == L'_';
  const std::wstring headerName = underscored ? section + L"." + key.substr(1) : std::wstring();
  if (!overwrite) {
    // The first of two equal keys wins, a header entry as much as a payload: the profile
    // functions that write the file update the first.
    const auto found = m_sections.find(section);
    if (found != m_sections.end() && found->second.count(key) != 0) return false;
    if (underscored && m_pendingHeaders.count(headerName) != 0) return false;
  }

  if (underscored && value.size() == kHeaderTextChars &&
      value.compare(0, 8, kHeaderTextPrefix) == 0) {
    m_pendingHeaders[headerName] = value;
    return false;
  }

  IniValueRecord& record = m_sections[section][key];
  record.value = value;
  record.decoded = false;
  record.type = kTypeString;
  return true;
}

bool CObfuscatedIniReader::Load(const std::wstring& path) {
  m_pendingHeaders.clear();
  m_sections.clear();
  if (!CBaseIniReader::Load(path)) {
    m_pendingHeaders.clear();
    m_sections.clear();
    return false;
  }
  for (const auto& pending : m_pendingHeaders) DecodePendingValue(pending.first, pending.second);
  m_pendingHeaders.clear();
  return true;
}

const IniValueRecord* CObfuscatedIniReader::FindValue(const std::wstring& lookupName) const {
  return FindRecord(m_sections, lookupName);
}

bool CObfuscatedIniReader::LookupString(const std::wstring& lookupName, std::wstring& value) {
  const IniValueRecord* record = FindValue(lookupName);
  if (record == nullptr || (m_bStrict && !record->decoded)) return false;
  value = record->value;
  return true;
}

bool CObfuscatedIniReader::LookupInt(const std::wstring& lookupName, int& value) {
  std::wstring text;
  if (!LookupString(lookupName, text)) return false;
  value = static_cast<int>(std::wcstol(text.c_str(), nullptr, 10));
  return true;
}

bool CObfuscatedIniReader::GetSection(const std::wstring& section,
                                      std::map<std::wstring, std::wstring>& values) {
  const auto found = m_sections.find(section);
  if (found == m_sections.end()) return false;
  for (const auto& entry : found->second) values[entry.first] = entry.second.value;
  return true;
}

bool CObfuscatedIniReader::WriteEncoded(const std::wstring& section, const std::wstring& key,
                                        const unsigned char* plaintext, DWORD length,
                                        uint32_t type) {
  std::vector<unsigned char> payload(length);
  ObfuscatedIniValueHeader header = {};
  if (EncodeValue(plaintext, length, type, payload.data(), length, &header) != 0) return false;
  const std::wstring headerKey = L"_" + key;
  if (!WritePrivateProfileStructW(section.c_str(), headerKey.c_str(), &header, sizeof(header),
                                  m_strFilePath.c_str())) {
    return false;
  }
  return WritePrivateProfileStructW(section.c_str(), key.c_str(), payload.data(), length,
                                    m_strFilePath.c_str()) != FALSE;
}

bool CObfuscatedIniReader::SetStringValue(const std::wstring& section, const std::wstring& key,
                                          const std::wstring& value) {
  // Like SetIntValue: without a file there is nowhere to write to.
  if (m_strFilePath.empty()) return false;
  std::vector<char> text;
  if (!WideToAnsi(value, text)) return false;
  if (!WriteEncoded(section, key, reinterpret_cast<const unsigned char*>(text.data()),
                    static_cast<DWORD>(text.size()), kTypeString)) {
    return false;
  }
  UpdateCachedValue(section, key, value, kTypeString);
  return true;
}

bool CObfuscatedIniReader::SetIntValue(const std::wstring& section, const std::wstring& key,
                                       int value) {
  if (m_strFilePath.empty()) return false;
  unsigned char bytes[4];
  const uint32_t raw = static_cast<uint32_t>(value);
  for (int n = 0; n < 4; ++n) bytes[n] = static_cast<unsigned char>(raw >> (8 * n));
  if (!WriteEncoded(section, key, bytes, sizeof(bytes), kTypeInt)) return false;
  wchar_t text[16];
  wsprintfW(text, L"%d", value);
  UpdateCachedValue(section, key, text, kTypeInt);
  return true;
}

void CObfuscatedIniReader::UpdateCachedValue(const std::wstring& section, const std::wstring& key,
                                             const std::wstring& value, uint32_t type) {
  IniValueRecord& record = m_sections[section][key];
  record.value = value;
  record.decoded = true;
  record.type = type;
}

DWORD CObfuscatedIniReader::EncodeValue(const unsigned char* plaintext, DWORD length, uint32_t type,
                                        unsigned char* output, DWORD outputSize,
                                        ObfuscatedIniValueHeader* header) {
  if (outputSize < length) return ERROR_INVALID_PARAMETER;
  if (header == nullptr) return ERROR_INVALID_PARAMETER;
  CRC4Cipher cipher = MakeIniCipher();
  if (!cipher.Encrypt(plaintext, output, length)) return 6000;
  ObfuscatedIniValueHeader made = {};
  made.magic = kMagic;
  made.version = 1;
  made.payloadLength = length;
  made.type = type;
  made.flag = 1;
  if (ComputeMD5(output, length, made.digest, sizeof(made.digest)) != 0) return 6000;
  *header = made;
  return ERROR_SUCCESS;
}

DWORD CObfuscatedIniReader::DecodeValue(const unsigned char* ciphertext, DWORD length,
                                        unsigned char* output, DWORD outputSize,
                                        const ObfuscatedIniValueHeader& header) {
  if (VerifyMD5(ciphertext, length, header.digest, sizeof(header.digest)) != 0 ||
      length != header.payloadLength || header.magic != kMagic) {
    return ERROR_INVALID_DATA;
  }
  if (output == nullptr) return ERROR_SUCCESS;
  if (outputSize < header.payloadLength) return ERROR_MORE_DATA;
  CRC4Cipher cipher = MakeIniCipher();
  return cipher.Decrypt(ciphertext, output, length) ? ERROR_SUCCESS : 6001;
}

bool CObfuscatedIniReader::ParseHeaderText(const std::wstring& text,
                                           ObfuscatedIniValueHeader* header) {
  ObfuscatedIniValueHeader parsed;
  if (!HexTextToBytes(text, reinterpret_cast<unsigned char*>(&parsed), sizeof(parsed))) {
    return false;
  }
  if (parsed.magic != kMagic || parsed.version != 1) return false;
  *header = parsed;
  return true;
}

bool CObfuscatedIniReader::HexTextToBytes(const std::wstring& text, unsigned char* bytes,
                                          size_t count) {
  // Every byte gets a value, also those past a short text.
  std::memset(bytes, 0, count);
  const size_t length = text.size();
  for (size_t i = 0; i < count; ++i) {
    const size_t pos = 2 * i;
    if (pos >= length) return true;
    size_t rest = pos;
    while (rest < length && IsIniSpace(text[rest])) ++rest;
    if (rest == length) return false;
    // Only the two characters of this byte's pair are read, never past the text.
    int value = 0;
    for (size_t k = pos; k < pos + 2 && k < length; ++k) {
      const int digit = HexDigit(text[k]);
      if (digit < 0) break;
      value = value * 16 + digit;
    }
    bytes[i] = static_cast<unsigned char>(value);
  }
  return true;
}

void CObfuscatedIniReader::DecodePendingValue(const std::wstring& lookupName,
                                              const std::wstring& headerText) {
  IniValueRecord* record = FindRecord(m_sections, lookupName);
  if (record == nullptr) return;

  ObfuscatedIniValueHeader header;
  if (!ParseHeaderText(headerText, &header) || header.flag == 0) return;

  if (header.type == kTypeString) {
    // A payload text of 2n + 2 characters holds n bytes; an empty one holds none.
    const size_t chars = record->value.size();
    const size_t length = chars > 0 ? (chars - 1) / 2 : 0;
    if (length == 0 || length > MAXDWORD) return;
    std::vector<unsigned char> ciphertext(length);
    std::vector<unsigned char> plaintext(length);
    if (!HexTextToBytes(record->value, ciphertext.data(), length)) return;
    if (DecodeValue(ciphertext.data(), static_cast<DWORD>(length), plaintext.data(),
                    static_cast<DWORD>(length), header) != ERROR_SUCCESS) {
      return;
    }
    std::wstring text;
    if (!AnsiToWide(plaintext.data(), length, text)) return;
    record->value = text;
    record->decoded = true;
    record->type = kTypeString;
  } else if (header.type == kTypeInt) {
    unsigned char ciphertext[4];
    unsigned char plaintext[4];
    if (!HexTextToBytes(record->value, ciphertext, sizeof(ciphertext))) return;
    if (DecodeValue(ciphertext, sizeof(ciphertext), plaintext, sizeof(plaintext), header) !=
        ERROR_SUCCESS) {
      return;
    }
    const int32_t value = static_cast<int32_t>(
        static_cast<uint32_t>(plaintext[0]) | (static_cast<uint32_t>(plaintext[1]) << 8) |
        (static_cast<uint32_t>(plaintext[2]) << 16) | (static_cast<uint32_t>(plaintext[3]) << 24));
    wchar_t text[16];
    wsprintfW(text, L"%d", value);
    record->value = text;
    record->decoded = true;
    record->type = kTypeInt;
  }
}

}  // namespace Basalt
