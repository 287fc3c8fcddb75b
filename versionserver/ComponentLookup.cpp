#include "versionserver/ComponentLookup.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "basalt/OSInfo.h"
#include "basalt/UniqueHandle.h"

namespace {

// Cuts |text| at its last double quote and drops one leading double quote, so that
// "C:\dir\file.exe" /arg and C:\dir\file.exe both give C:\dir\file.exe; copies into |out|
// (kPathBufferChars), cut to fit.
void CopyUnquotedPath(wchar_t* text, wchar_t* out) {
  if (wchar_t* quote = std::wcsrchr(text, L'"')) *quote = L'\0';
  const wchar_t* start = text[0] == L'"' ? text + 1 : text;
  size_t length = std::wcslen(start);
  if (length >= kPathBufferChars) length = kPathBufferChars - 1;
  std::wmemcpy(out, start, length);
  out[length] = L'\0';
}

std::wstring ToWide(const char* text, UINT codePage) {
  const int chars = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (chars <= 1) return std::wstring();
  std::wstring out(static_cast<size_t>(chars), L'\0');
  MultiByteToWideChar(codePage, 0, text, -1, &out[0], chars);
  out.resize(static_cast<size_t>(chars) - 1);
  return out;
}

// |chars| characters of |text| (terminators included) in the ANSI code page.
std::string ToAnsi(const wchar_t* text, int chars) {
  if (chars <= 0) return std::string();
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, chars, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, chars, &out[0], bytes, nullptr, nullptr);
  return out;
}

}  // namespace

std::wstring AnsiToWide(const char* text) { return ToWide(text, CP_ACP); }

std::wstring FileNameToWide(const char* text) {
  return ToWide(text, AreFileApisANSI() ? CP_ACP : CP_OEMCP);
}

std::string WideToAnsi(const wchar_t* text) {
  return ToAnsi(text, static_cast<int>(std::wcslen(text)));
}

bool ReadRegistryStringW(HKEY root, const wchar_t* subkey, const wchar_t* valueName, wchar_t* out,
                         bool wants64BitView) {
  out[0] = L'\0';
  REGSAM access = KEY_READ;
  if (wants64BitView && IsWow64()) access |= KEY_WOW64_64KEY;
  Basalt::UniqueHKey key;
  if (RegOpenKeyExW(root, subkey, 0, access, key.put()) != ERROR_SUCCESS) return false;
  // One character more than a full buffer: stored strings need not be terminated.
  wchar_t data[kPathBufferChars + 1] = {};
  DWORD type = 0;
  DWORD bytes = kPathBufferChars * sizeof(wchar_t);
  if (RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(data),
                       &bytes) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  const size_t stored = bytes / sizeof(wchar_t);
  data[stored < kPathBufferChars ? stored : kPathBufferChars] = L'\0';
  const size_t length = std::wcslen(data);
  if (length == 0 || length >= kPathBufferChars) return false;
  std::wmemcpy(out, data, length + 1);
  return true;
}

bool GetClsidServerPath(const char* clsid, wchar_t* out) {
  out[0] = L'\0';
  Basalt::UniqueHKey key;
  const std::wstring clsidText = AnsiToWide(clsid);
  for (const wchar_t* server : {L"InprocServer32", L"LocalServer32"}) {
    const std::wstring path = L"CLSID\\" + clsidText + L"\\" + server;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) ==
        ERROR_SUCCESS) {
      break;
    }
  }
  if (!key) return false;
  wchar_t data[kPathBufferChars] = {};
  DWORD type = 0;
  DWORD bytes = (kPathBufferChars - 1) * sizeof(wchar_t);
  if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return false;
  }
  data[bytes / sizeof(wchar_t)] = L'\0';
  CopyUnquotedPath(data, out);
  return out[0] != L'\0';
}

bool GetServiceBinaryPath(const char* serviceName, wchar_t* out) {
  out[0] = L'\0';
  Basalt::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  Basalt::UniqueScHandle service(
      OpenServiceW(manager.get(), AnsiToWide(serviceName).c_str(), SERVICE_QUERY_CONFIG));
  if (!service) return false;
  DWORD needed = 0;
  if (QueryServiceConfigW(service.get(), nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) {
    return false;
  }
  Basalt::UniqueLocalMem memory(LocalAlloc(LPTR, needed));
  if (!memory) return false;
  auto* config = static_cast<QUERY_SERVICE_CONFIGW*>(memory.get());
  if (!QueryServiceConfigW(service.get(), config, needed, &needed)) return false;
  wchar_t path[kPathBufferChars] = {};
  if (config->lpBinaryPathName != nullptr) {
    size_t length = std::wcslen(config->lpBinaryPathName);
    if (length >= kPathBufferChars) length = kPathBufferChars - 1;
    std::wmemcpy(path, config->lpBinaryPathName, length);
  }
  CopyUnquotedPath(path, out);
  return true;
}

const char* ParseRegistryRoot(const char* keyPath, HKEY* root) {
  static const struct {
    const char* prefix;
    HKEY root;
  } kPrefixes[] = {
      {"HKCR\\", HKEY_CLASSES_ROOT},   {"HKEY_CLASSES_ROOT\\", HKEY_CLASSES_ROOT},
      {"HKCU\\", HKEY_CURRENT_USER},   {"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER},
      {"HKCC\\", HKEY_CURRENT_CONFIG}, {"HKEY_CURRENT_CONFIG\\", HKEY_CURRENT_CONFIG},
      {"HKLM\\", HKEY_LOCAL_MACHINE},  {"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE},
      {"HKU\\", HKEY_USERS},           {"HKEY_USERS\\", HKEY_USERS},
  };
  for (const auto& p : kPrefixes) {
    const size_t length = std::strlen(p.prefix);
    if (_strnicmp(keyPath, p.prefix, length) == 0) {
      *root = p.root;
      return keyPath + length;
    }
  }
  *root = HKEY_LOCAL_MACHINE;
  return keyPath;
}

bool FileExistsW(const wchar_t* pattern) {
  WIN32_FIND_DATAW data;
  Basalt::UniqueFindFile find(FindFirstFileW(pattern, &data));
  if (!find) return false;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return true;
  } while (FindNextFileW(find.get(), &data));
  return false;
}

bool GetFileVersionString(const wchar_t* path, char* out) {
  out[0] = '\0';
  DWORD handle = 0;
  const DWORD bytes = GetFileVersionInfoSizeW(path, &handle);
  if (bytes == 0) return false;
  Basalt::UniqueLocalMem block(LocalAlloc(LPTR, bytes));
  if (!block || !GetFileVersionInfoW(path, 0, bytes, block.get())) return false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.get(), L"\\", reinterpret_cast<void**>(&info), &length) ||
      info == nullptr || length < sizeof(VS_FIXEDFILEINFO) || info->dwSignature != 0xFEEF04BD) {
    return false;
  }
  std::snprintf(out, kVersionBufferBytes, "%d.%d.%d.%d", HIWORD(info->dwFileVersionMS),
                LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS),
                LOWORD(info->dwFileVersionLS));
  return true;
}

DWORD ReadIniSectionA(const wchar_t* section, char* buffer, DWORD bytes, const wchar_t* iniPath) {
  buffer[0] = buffer[1] = '\0';
  // Room for every byte of the ANSI buffer as a character of its own, as the ANSI function reads.
  std::wstring text(static_cast<size_t>(bytes) * 2, L'\0');
  const DWORD chars =
      GetPrivateProfileSectionW(section, &text[0], static_cast<DWORD>(text.size()), iniPath);
  if (chars == 0) return 0;
  const std::string lines = ToAnsi(text.c_str(), static_cast<int>(chars));
  if (lines.empty()) return 0;
  // |lines| ends with the last line's terminator; the empty line after it needs one byte more.
  if (lines.size() >= bytes) {
    // Cut as the ANSI function cuts: the last two bytes end the text.
    std::memcpy(buffer, lines.data(), bytes - 2);
    buffer[bytes - 2] = buffer[bytes - 1] = '\0';
    return bytes - 2;
  }
  std::memcpy(buffer, lines.data(), lines.size());
  buffer[lines.size()] = '\0';
  return static_cast<DWORD>(lines.size());
}

const char* SkipBlanks(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  return text;
}

const char* SkipBlanksAndMatch(const char* text, char wanted) {
  text = SkipBlanks(text);
  return *text == wanted ? text + 1 : nullptr;
}

const char* FindCharInLine(const char* text, char wanted) { return std::strchr(text, wanted); }

char* FindLastCharA(char* text, char wanted) {
  char* last = nullptr;
  for (char* p = text; *p != '\0'; p = CharNextExA(CP_ACP, p, 0)) {
    if (*p == wanted) last = p;
  }
  return last;
}

void CopyItemKey(char* out, size_t outBytes, const char* begin, const char* end) {
  if (outBytes == 0) return;
  size_t length = static_cast<size_t>(end - begin);
  if (length >= outBytes) length = outBytes - 1;
  std::memcpy(out, begin, length);
  out[length] = '\0';
}

int CountAnsiChars(const char* text) {
  const size_t bytes = std::strlen(text);
  if (bytes == 0) return 0;
  const int chars =
      MultiByteToWideChar(CP_THREAD_ACP, 0, text, static_cast<int>(bytes), nullptr, 0);
  return chars > 0 ? chars : static_cast<int>(bytes);
}

bool IsWow64() { return Basalt::OSInfo().IsWow64(); }

DWORD GetOsVersionCode() {
  const unsigned code = Basalt::OSInfo().GetOSCode();
  return code == Basalt::kOSUnknownNT ? 0 : code;
}
