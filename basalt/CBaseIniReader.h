// Abstract INI file reader and writer: parses lines, hands key/value pairs to a derived
// store, answers typed lookups by section and key and writes values back to the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_set>

namespace Basalt {

// Section and key names compare as the profile functions compare them: ASCII letters
// without regard to case, every other character exactly.
struct IniNameHash {
  size_t operator()(const std::wstring& name) const noexcept;
};
struct IniNameEqual {
  bool operator()(const std::wstring& a, const std::wstring& b) const noexcept;
};

class CBaseIniReader {
 public:
  CBaseIniReader() = default;
  virtual ~CBaseIniReader();
  CBaseIniReader(const CBaseIniReader&) = delete;
  CBaseIniReader& operator=(const CBaseIniReader&) = delete;

  // Reads |path| as the profile functions that write it read it: UTF-16 (either byte order)
  // or UTF-8 after a byte-order mark, else ANSI text; lines end at CR or LF, of any length.
  // False for an empty path (nothing changes) or a file that cannot be opened or read; a
  // missing file keeps |path| as the file path so that a later write creates it, any other
  // failure empties the file path.
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

  // Parses one line of narrow (ANSI) text as ParseWideLine does.
  virtual void ParseLine(const char* line);

  const std::wstring& GetFilePath() const noexcept { return m_strFilePath; }
  const std::wstring& GetCurrentSection() const noexcept { return m_strCurrentSection; }
  uint32_t GetValueCount() const noexcept { return m_nValueCount; }
  uint32_t GetSectionCount() const noexcept { return m_nSectionCount; }

 protected:
  // One line (without its line end, NULs allowed): comment, section header or key=value
  // pair, with white space and 0x1A cut from both ends. A header is "[" up to the last "]";
  // names and values end at a NUL. Pairs of a section whose name came earlier in the file
  // are dropped, as the profile functions read and write only the first such section.
  void ParseWideLine(const wchar_t* text, size_t length);

  std::wstring m_strFilePath;
  std::wstring m_strCurrentSection;
  uint32_t m_nValueCount = 0;
  uint32_t m_nSectionCount = 0;

 private:
  // Sections named so far in the file being loaded; whether the current one repeats one.
  std::unordered_set<std::wstring, IniNameHash, IniNameEqual> m_seenSections;
  bool m_bRepeatedSection = false;
};

}  // namespace Basalt
