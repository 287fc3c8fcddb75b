// Abstract INI file reader and writer: parses lines, hands key/value pairs to a derived
// store, answers typed lookups by section and key and writes values back to the file.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace Basalt {

class CBaseIniReader {
 public:
  CBaseIniReader() = default;
  virtual ~CBaseIniReader();
  CBaseIniReader(const CBaseIniReader&) = delete;
  CBaseIniReader& operator=(const CBaseIniReader&) = delete;

  // Reads |path| line by line through ParseLine. False for an empty path (nothing changes)
  // or a file that cannot be opened; a missing file keeps |path| as the file path so that
  // a later write creates it, any other open failure empties the file path.
  [[nodiscard]] virtual bool Load(const std::wstring& path);

  // Looks up section + "." + key through LookupInt / LookupString.
  [[nodiscard]] virtual bool GetIntValue(const std::wstring& section, const std::wstring& key,
                                         int& value);
  [[nodiscard]] virtual bool GetStringValue(const std::wstring& section, const std::wstring& key,
                                            std::wstring& value);

  // Value under a lookup name ("Section.Key"); false (out untouched) when unknown.
  [[nodiscard]] virtual bool LookupInt(const std::wstring& lookupName, int& value) = 0;
  [[nodiscard]] virtual bool LookupString(const std::wstring& lookupName, std::wstring& value) = 0;

  // Every key and value of one section into |values|; false when the section is unknown.
  [[nodiscard]] virtual bool GetSection(const std::wstring& section,
                                        std::map<std::wstring, std::wstring>& values) = 0;

  // Writes the integer as "%d" text through SetStringValue (virtual).
  [[nodiscard]] virtual bool SetIntValue(const std::wstring& section, const std::wstring& key,
                                         int value);

  // Writes the value into the file, then updates the loaded values. False without a file
  // path or when the write fails.
  [[nodiscard]] virtual bool SetStringValue(const std::wstring& section, const std::wstring& key,
                                            const std::wstring& value);

  // Keeps |value| under (section, key); true when the pair was taken as a value. Without
  // |overwrite| an existing key keeps its first value.
  virtual bool StoreValue(const std::wstring& section, const std::wstring& key,
                          const std::wstring& value, bool overwrite) = 0;

  // Parses one piece of narrow (ANSI) text: comment, section header or key=value pair.
  virtual void ParseLine(const char* line);

  const std::wstring& GetFilePath() const noexcept { return m_strFilePath; }
  const std::wstring& GetCurrentSection() const noexcept { return m_strCurrentSection; }
  uint32_t GetValueCount() const noexcept { return m_nValueCount; }
  uint32_t GetSectionCount() const noexcept { return m_nSectionCount; }

 protected:
  std::wstring m_strFilePath;
  std::wstring m_strCurrentSection;
  uint32_t m_nValueCount = 0;
  uint32_t m_nSectionCount = 0;
};

}  // namespace Basalt
