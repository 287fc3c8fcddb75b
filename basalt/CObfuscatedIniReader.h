// INI reader whose values are stored enciphered and digested, each in two entries: a
// header entry "_" + key and a payload entry under the key itself.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

#include "basalt/CBaseIniReader.h"

namespace Basalt {

// One value as held in memory.
struct IniValueRecord {
  std::wstring value;    // deciphered text, or the file's text when not decoded
  bool decoded = false;  // came from a valid header and payload, or written by us
  uint32_t type = 1;     // 1 string, 4 integer
};

#pragma pack(push, 1)
// Header entry of an obfuscated INI value (written as a structure: hex digits + checksum).
struct ObfuscatedIniValueHeader {
  uint32_t magic;            // kMagic, the bytes "QXRG"
  uint32_t version;          // 1
  uint32_t payloadLength;    // n
  uint32_t type;             // 1 string, 4 integer
  uint32_t flag;             // 1 when written
  unsigned char digest[16];  // MD5 of the n enciphered payload bytes
};
#pragma pack(pop)
static_assert(sizeof(ObfuscatedIniValueHeader) == 36, "header layout is fixed");

class CObfuscatedIniReader : public CBaseIniReader {
 public:
  static constexpr uint32_t kMagic = 0x47525851;
  static constexpr uint32_t kTypeString = 1;
  static constexpr uint32_t kTypeInt = 4;

  CObfuscatedIniReader() = default;
  ~CObfuscatedIniReader() override;

  // Replaces everything held by the values of |path|; header entries are matched with
  // their payload entries and deciphered. False (holding no values) when the load fails.
  [[nodiscard]] bool Load(const std::wstring& path) override;

  // Only decoded values are answered while strict (always, in this system).
  [[nodiscard]] bool LookupInt(const std::wstring& lookupName, int& value) override;
  [[nodiscard]] bool LookupString(const std::wstring& lookupName, std::wstring& value) override;

  // Every key of the section with its value text, decoded or not.
  [[nodiscard]] bool GetSection(const std::wstring& section,
                                std::map<std::wstring, std::wstring>& values) override;

  // Write the value obfuscated (header entry, then payload entry) and update memory.
  // False without a file path, for an empty string, or when a write fails.
  [[nodiscard]] bool SetIntValue(const std::wstring& section, const std::wstring& key,
                                 int value) override;
  [[nodiscard]] bool SetStringValue(const std::wstring& section, const std::wstring& key,
                                    const std::wstring& value) override;

  // Parser's store: header entries are kept aside (false); other pairs become undecoded
  // string records (true). Without |overwrite| an existing key keeps its first value, a
  // header entry included. Names compare as IniNameEqual does.
  bool StoreValue(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                  bool overwrite) override;

  // Record under "Section.Key" (split at the first "."), or null.
  const IniValueRecord* FindValue(const std::wstring& lookupName) const;

  // Sets (section, key) to a decoded record of |type|.
  void UpdateCachedValue(const std::wstring& section, const std::wstring& key,
                         const std::wstring& value, uint32_t type);

  // Enciphers |length| bytes into |output| and fills |header|. 87 when the output is too
  // small, 6000 when enciphering or digesting fails (an empty input included), else 0.
  [[nodiscard]] static DWORD EncodeValue(const unsigned char* plaintext, DWORD length,
                                         uint32_t type, unsigned char* output, DWORD outputSize,
                                         ObfuscatedIniValueHeader* header);

  // Checks |length| enciphered bytes against |header| (13 on mismatch) and, with an output,
  // deciphers them: 234 when the output is too small, 6001 on failure, else 0.
  [[nodiscard]] static DWORD DecodeValue(const unsigned char* ciphertext, DWORD length,
                                         unsigned char* output, DWORD outputSize,
                                         const ObfuscatedIniValueHeader& header);

  // Hexadecimal header text to a header; true only for the magic and version 1.
  [[nodiscard]] static bool ParseHeaderText(const std::wstring& text,
                                            ObfuscatedIniValueHeader* header);

  // Two hex digits per byte into |bytes|; bytes past the end of the text are 0, a pair
  // without a hex digit gives 0. False only when the text turns to white space only.
  [[nodiscard]] static bool HexTextToBytes(const std::wstring& text, unsigned char* bytes,
                                           size_t count);

 private:
  using Section = std::unordered_map<std::wstring, IniValueRecord, IniNameHash, IniNameEqual>;

  void DecodePendingValue(const std::wstring& lookupName, const std::wstring& headerText);
  bool WriteEncoded(const std::wstring& section, const std::wstring& key,
                    const unsigned char* plaintext, DWORD length, uint32_t type);

  std::unordered_map<std::wstring, std::wstring, IniNameHash, IniNameEqual> m_pendingHeaders;
  std::unordered_map<std::wstring, Section, IniNameHash, IniNameEqual> m_sections;
  bool m_bStrict = true;
};

}  // namespace Basalt
