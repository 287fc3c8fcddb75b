#include "versionserver/ComponentLookup.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "basalt/OSInfo.h"
#include "basalt/UniqueHandle.h"

namespace {

// Cuts |text| at its last double quote and drops one leading double quote, so that
// "C:\dir\file.exe" /arg and C:\dir\file.exe both give C:\dir\file.exe; copies into |out|.
void CopyUnquotedPath(char* text, char* out) {
  if (char* quote = std::strrchr(text, '"')) *quote = '\0';
  const char* start = text[0] == '"' ? text + 1 : text;
  CopyItemKey(out, kItemBufferBytes, start, start + std::strlen(start));
}

}  // namespace

bool ReadRegistryStringA(HKEY root, const char* subkey, const char* valueName, char* out,
                         bool wants64BitView) {
  out[0] = '\0';
  REGSAM access = KEY_READ;
  if (wants64BitView && IsWow64()) access |= KEY_WOW64_64KEY;
  Basalt::UniqueHKey key;
  if (RegOpenKeyExA(root, subkey, 0, access, key.put()) != ERROR_SUCCESS) return false;
  // One byte more than a full buffer: stored strings need not be terminated.
  char data[kItemBufferBytes + 1] = {};
  DWORD type = 0;
  DWORD bytes = kItemBufferBytes;
  if (RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(data),
                       &bytes) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  data[bytes < kItemBufferBytes ? bytes : kItemBufferBytes] = '\0';
  const size_t length = std::strlen(data);
  if (length == 0 || length >= kItemBufferBytes) return false;
  std::memcpy(out, data, length + 1);
  return true;
}

bool GetClsidServerPath(const char* clsid, char* out) {
  out[0] = '\0';
  Basalt::UniqueHKey key;
  for (const char* server : {"InprocServer32", "LocalServer32"}) {
    const std::string path = std::string("CLSID\\") + clsid + "\\" + server;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) ==
        ERROR_SUCCESS) {
      break;
    }
  }
  if (!key) return false;
  char data[kItemBufferBytes] = {};
  DWORD type = 0;
  DWORD bytes = kItemBufferBytes - 1;
  if (RegQueryValueExA(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return false;
  }
  data[bytes] = '\0';
  CopyUnquotedPath(data, out);
  return out[0] != '\0';
}

bool GetServiceBinaryPath(const char* serviceName, char* out) {
  out[0] = '\0';
  Basalt::UniqueScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  Basalt::UniqueScHandle service(OpenServiceA(manager.get(), serviceName, SERVICE_QUERY_CONFIG));
  if (!service) return false;
  DWORD needed = 0;
  if (QueryServiceConfigA(service.get(), nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) {
    return false;
  }
  Basalt::UniqueLocalMem memory(LocalAlloc(LPTR, needed));
  if (!memory) return false;
  auto* config = static_cast<QUERY_SERVICE_CONFIGA*>(memory.get());
  if (!QueryServiceConfigA(service.get(), config, needed, &needed)) return false;
  char path[kItemBufferBytes] = {};
  if (config->lpBinaryPathName != nullptr) {
    const char* binary = config->lpBinaryPathName;
    CopyItemKey(path, sizeof(path), binary, binary + std::strlen(binary));
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

bool FileExistsA(const char* pattern) {
  WIN32_FIND_DATAA data;
  Basalt::UniqueFindFile find(FindFirstFileA(pattern, &data));
  if (!find) return false;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return true;
  } while (FindNextFileA(find.get(), &data));
  return false;
}

bool GetFileVersionString(const char* path, char* out) {
  out[0] = '\0';
  DWORD handle = 0;
  const DWORD bytes = GetFileVersionInfoSizeA(path, &handle);
  if (bytes == 0) return false;
  Basalt::UniqueLocalMem block(LocalAlloc(LPTR, bytes));
  if (!block || !GetFileVersionInfoA(path, 0, bytes, block.get())) return false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.get(), "\\", reinterpret_cast<void**>(&info), &length) ||
      info == nullptr || length < sizeof(VS_FIXEDFILEINFO) || info->dwSignature != 0xFEEF04BD) {
    return false;
  }
  std::snprintf(out, kVersionBufferBytes, "%d.%d.%d.%d", HIWORD(info->dwFileVersionMS),
                LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS),
                LOWORD(info->dwFileVersionLS));
  return true;
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
