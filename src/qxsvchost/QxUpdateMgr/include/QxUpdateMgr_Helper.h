// Helper of the product's update manager, compiled into its clients: whether an update is running
// or waiting for a restart, cancelling it, and the reader of the update manager's protected
// registry values.
#pragma once

#include <oleauto.h>
#include <unknwn.h>
#include <windows.h>

#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "basalt/Registry/CObfuscatedRegKey.h"
#include "basalt/UniqueHandle.h"
#include "etwlogging/Logging.h"
#include "trust/SecureCom.h"

// The update manager's client object, a local server: slot 3 stores nonzero while an update is
// being installed.
MIDL_INTERFACE("58BB54E8-773C-47FB-AFB9-51E644BAE02D")
IQxUpdateClientRot : public IUnknown {
 public:
  virtual HRESULT STDMETHODCALLTYPE IsUpdateInstalling(LONG * result) = 0;
};
__CRT_UUID_DECL(IQxUpdateClientRot, 0x58bb54e8, 0x773c, 0x47fb, 0xaf, 0xb9, 0x51, 0xe6, 0x44, 0xba,
                0xe0, 0x2d)

// The update manager's agent, an in-process server: only slot 8 is used.
MIDL_INTERFACE("3BFC1A9F-B39C-4B72-A121-42B0AE000374")
IQxUpdateAgent : public IUnknown {
 public:
  virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;
  virtual HRESULT STDMETHODCALLTYPE Cancel(BSTR updateName) = 0;
};
__CRT_UUID_DECL(IQxUpdateAgent, 0x3bfc1a9f, 0xb39c, 0x4b72, 0xa1, 0x21, 0x42, 0xb0, 0xae, 0x00,
                0x03, 0x74)

inline constexpr CLSID CLSID_QxUpdateClientRot = {
    0x6525b2dd, 0x4e96, 0x4bac, {0x90, 0x05, 0x59, 0xd4, 0xce, 0x17, 0xbc, 0x75}};
inline constexpr IID IID_IQxUpdateClientRot = {
    0x58bb54e8, 0x773c, 0x47fb, {0xaf, 0xb9, 0x51, 0xe6, 0x44, 0xba, 0xe0, 0x2d}};
inline constexpr CLSID CLSID_QxUpdateAgent = {
    0xda32c9c5, 0x1147, 0x402a, {0xa1, 0x27, 0xe0, 0xe1, 0x69, 0xe9, 0xe9, 0xb4}};
inline constexpr IID IID_IQxUpdateAgent = {
    0x3bfc1a9f, 0xb39c, 0x4b72, {0xa1, 0x21, 0x42, 0xb0, 0xae, 0x00, 0x03, 0x74}};

// Stem of the event that exists while an update runs; the update name follows it directly.
#define QX_UPDATE_EVENT_STEM L"Global\\{834C46D9-6762-4FF9-8279-2C04C8B1162C}"
#define QX_UPDMGR_REG_KEY L"SOFTWARE\\Telvan\\UPDMGR"
#define QX_UPDMGR_VOLATILE_KEY L"SOFTWARE\\Telvan\\Volatile"

// Flags of ReadProtectedRegistryValue.
constexpr DWORD kQxProtectedValueTagged = 0x1;
constexpr DWORD kQxProtectedValue32BitView = 0x8;
constexpr DWORD kQxProtectedValue64BitView = 0x10;

namespace qx_updmgr_detail {

constexpr const wchar_t kLogFile[] = L"QxUpdateMgr_Helper";
constexpr DWORD kFirstTaggedRead = 500;

using Bytes = std::unique_ptr<unsigned char[]>;

// printf-style into |out| of |count| characters, cut off there and always terminated.
inline void FormatBounded(wchar_t* out, size_t count, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  (void)_vsnwprintf(out, count - 1, format, args);
  va_end(args);
  out[count - 1] = L'\0';
}

// Zero-filled buffer of |bytes| (at least 1), or null when out of memory.
inline Bytes Allocate(size_t bytes) {
  return Bytes(new (std::nothrow) unsigned char[bytes == 0 ? 1 : bytes]());
}

// |text| in the thread's ANSI code page; empty for null or empty text. 14 without memory.
inline LONG ToAnsi(LPCWSTR text, std::string& ansi) {
  ansi.clear();
  if (!text || !*text) return ERROR_SUCCESS;
  const int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return static_cast<LONG>(GetLastError());
  try {
    ansi.assign(static_cast<size_t>(bytes), '\0');
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  if (WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, &ansi[0], bytes, nullptr, nullptr) <= 0) {
    return static_cast<LONG>(GetLastError());
  }
  ansi.resize(static_cast<size_t>(bytes - 1));
  return ERROR_SUCCESS;
}

// UTF-16 characters of the ANSI string at |text| (|bytes| long, no terminator counted), or 0 with
// |error| set; an empty string needs 0.
inline int AnsiChars(const unsigned char* text, size_t bytes, LONG& error) {
  if (bytes == 0) return 0;
  const int chars = MultiByteToWideChar(CP_THREAD_ACP, 0, reinterpret_cast<const char*>(text),
                                        static_cast<int>(bytes), nullptr, 0);
  if (chars <= 0) error = static_cast<LONG>(GetLastError());
  return chars;
}

// Length of the string at |text| within |limit| bytes, terminator not counted; |limit| when it
// has no terminator there (it then ends at the limit).
inline size_t StringBytes(const unsigned char* text, size_t limit) {
  const void* zero = std::memchr(text, 0, limit);
  return zero ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - text) : limit;
}

// An ANSI REG_SZ of |length| bytes to UTF-16 with its terminator. *bytes in: room; out: bytes
// written or needed. 234 for a short output (the needed size stored); without an output only the
// size is stored.
inline LONG AnsiToWideString(const unsigned char* text, DWORD length, void* output, DWORD* bytes) {
  if (!bytes) return ERROR_INVALID_PARAMETER;
  const size_t ansi = StringBytes(text, length);
  LONG error = ERROR_SUCCESS;
  const int chars = AnsiChars(text, ansi, error);
  if (ansi != 0 && chars <= 0) return error;
  const unsigned long long needed = (static_cast<unsigned long long>(chars) + 1) * 2;
  if (needed > MAXDWORD) return ERROR_INVALID_DATA;
  const DWORD room = *bytes;
  *bytes = static_cast<DWORD>(needed);
  if (!output) return ERROR_SUCCESS;
  if (room < needed) return ERROR_MORE_DATA;
  wchar_t* out = static_cast<wchar_t*>(output);
  if (chars > 0 && MultiByteToWideChar(CP_THREAD_ACP, 0, reinterpret_cast<const char*>(text),
                                       static_cast<int>(ansi), out, chars) != chars) {
    *bytes = 0;
    return static_cast<LONG>(GetLastError());
  }
  out[chars] = L'\0';
  return ERROR_SUCCESS;
}

// An ANSI REG_MULTI_SZ of |length| bytes to UTF-16, string by string, with the final empty
// string. The needed size is always stored; a short output is zero-filled and gives 234.
inline LONG AnsiToWideMultiString(const unsigned char* text, DWORD length, void* output,
                                  DWORD* bytes) {
  if (!bytes) return ERROR_INVALID_PARAMETER;
  const DWORD capacity = *bytes;
  wchar_t* cursor = static_cast<wchar_t*>(output);
  unsigned long long room = capacity;
  unsigned long long total = 0;
  bool isShort = false;
  for (size_t pos = 0; pos < length && text[pos] != 0;) {
    const size_t ansi = StringBytes(text + pos, length - pos);
    LONG error = ERROR_SUCCESS;
    const int chars = AnsiChars(text + pos, ansi, error);
    if (chars <= 0) return error;
    const unsigned long long need = (static_cast<unsigned long long>(chars) + 1) * 2;
    total += need;
    if (output && !isShort) {
      if (need > room) {
        isShort = true;
      } else {
        if (MultiByteToWideChar(CP_THREAD_ACP, 0, reinterpret_cast<const char*>(text + pos),
                                static_cast<int>(ansi), cursor, chars) != chars) {
          return static_cast<LONG>(GetLastError());
        }
        cursor[chars] = L'\0';
        cursor += chars + 1;
        room -= need;
      }
    }
    pos += ansi + 1;
  }
  total += 2;
  if (output && !isShort) {
    if (room >= 2) {
      *cursor = L'\0';
    } else {
      isShort = true;
    }
  }
  if (total > MAXDWORD) return ERROR_INVALID_DATA;
  *bytes = static_cast<DWORD>(total);
  if (isShort) {
    std::memset(output, 0, capacity);
    return ERROR_MORE_DATA;
  }
  return ERROR_SUCCESS;
}

// A plain value; string values are read as ANSI and handed out as UTF-16.
inline LONG ReadPlainValue(HKEY key, const char* name, DWORD* type, void* data, DWORD* bytes) {
  DWORD valueType = REG_NONE;
  const DWORD room = bytes ? *bytes : 0;
  LONG result = RegQueryValueExA(key, name, nullptr, &valueType, static_cast<BYTE*>(data), bytes);
  // As the registry would: the type is told only when the value was found.
  if (type && (result == ERROR_SUCCESS || result == ERROR_MORE_DATA)) *type = valueType;
  if ((valueType != REG_SZ && valueType != REG_MULTI_SZ) || !bytes || *bytes == 0 ||
      (result != ERROR_SUCCESS && result != ERROR_MORE_DATA)) {
    return result;
  }
  const DWORD reported = *bytes;
  *bytes = room;
  if (data) std::memset(data, 0, room);
  // Two zero bytes more than the value: text that the registry holds unterminated ends here.
  Bytes ansi = Allocate(static_cast<size_t>(reported) + 2);
  if (!ansi) return ERROR_OUTOFMEMORY;
  DWORD read = reported;
  result = RegQueryValueExA(key, name, nullptr, &valueType, ansi.get(), &read);
  if (result != ERROR_SUCCESS) return result;
  return valueType == REG_MULTI_SZ ? AnsiToWideMultiString(ansi.get(), read + 2, data, bytes)
                                   : AnsiToWideString(ansi.get(), read, data, bytes);
}

// One read of a tagged blob and its check; with |data| the payload is deciphered into it.
inline LONG ReadTaggedBlob(HKEY key, const char* name, unsigned char* data, DWORD* capacity,
                           DWORD* recordedType) {
  *recordedType = 0;
  DWORD size = kFirstTaggedRead;
  Bytes blob = Allocate(size);
  if (!blob) return ERROR_OUTOFMEMORY;
  DWORD registryType = REG_NONE;
  LONG result = RegQueryValueExA(key, name, nullptr, &registryType, blob.get(), &size);
  if (result == ERROR_MORE_DATA) {
    blob = Allocate(size);
    if (!blob) return ERROR_OUTOFMEMORY;
    result = RegQueryValueExA(key, name, nullptr, &registryType, blob.get(), &size);
  }
  if (result != ERROR_SUCCESS) return result;
  if (registryType != REG_BINARY) return ERROR_INVALID_DATA;
  return Basalt::CObfuscatedRegKeyImpl::DecodeValue(blob.get(), size, recordedType, data, capacity);
}

// A tagged value: the payload's recorded type, string payloads as UTF-16 from the ANSI code page.
inline LONG ReadTaggedValue(HKEY key, const char* name, DWORD* type, void* data, DWORD* bytes) {
  if (!type && !bytes) return ERROR_INVALID_PARAMETER;
  DWORD length = 0;
  DWORD recordedType = 0;
  LONG result = ReadTaggedBlob(key, name, nullptr, &length, &recordedType);
  if (type) *type = recordedType;
  if (result != ERROR_SUCCESS || !bytes) return result;

  Bytes payload = Allocate(length);
  if (!payload) return ERROR_OUTOFMEMORY;
  result = ReadTaggedBlob(key, name, payload.get(), &length, &recordedType);
  if (result != ERROR_SUCCESS) return result;
  switch (recordedType) {
    case REG_SZ:
      return AnsiToWideString(payload.get(), length, data, bytes);
    case REG_MULTI_SZ:
      return AnsiToWideMultiString(payload.get(), length, data, bytes);
    default:
      if (data) {
        if (length > *bytes) {
          result = ERROR_MORE_DATA;
        } else {
          std::memcpy(data, payload.get(), length);
        }
      }
      *bytes = length;
      return result;
  }
}

}  // namespace qx_updmgr_detail

// Reads |valueName| (null or empty: the default value) of |root|\|subKey| (null or empty: |root|
// itself). Flags: kQxProtectedValueTagged for a tagged blob, kQxProtectedValue32BitView or (when
// that is not set) kQxProtectedValue64BitView for a registry view. String values come out as
// UTF-16 from the thread's ANSI code page, |*bytes| counting UTF-16 bytes with terminators.
// Returns the registry's errors, 234 for a short buffer (the needed size stored), 14 without
// memory, 13 for a tagged value that is damaged, foreign or not a blob, 6001 when deciphering
// fails.
inline LONG ReadProtectedRegistryValue(HKEY root, LPCWSTR subKey, LPCWSTR valueName, DWORD* type,
                                       void* data, DWORD* bytes, DWORD flags) {
  using namespace qx_updmgr_detail;
  std::string path;
  std::string name;
  LONG result = ToAnsi(subKey, path);
  if (result == ERROR_SUCCESS) result = ToAnsi(valueName, name);
  if (result == ERROR_SUCCESS) {
    REGSAM access = KEY_READ;
    if (flags & kQxProtectedValue32BitView) {
      access |= KEY_WOW64_32KEY;
    } else if (flags & kQxProtectedValue64BitView) {
      access |= KEY_WOW64_64KEY;
    }
    Basalt::UniqueHKey key;
    result = RegOpenKeyExA(root, path.empty() ? nullptr : path.c_str(), 0, access, key.put());
    if (result == ERROR_SUCCESS) {
      result = (flags & kQxProtectedValueTagged)
                   ? ReadTaggedValue(key.get(), name.c_str(), type, data, bytes)
                   : ReadPlainValue(key.get(), name.c_str(), type, data, bytes);
    }
  }
  return result == ERROR_INSUFFICIENT_BUFFER ? ERROR_MORE_DATA : result;
}

// The helper's view of one update (the update named "default" unless told otherwise).
class CQxUpdateMgr_Helper {
 public:
  CQxUpdateMgr_Helper() { wcscpy(UpdateName, L"default"); }

  // Asks the update agent to cancel the update; the last HRESULT.
  virtual HRESULT CancelUpdate() {
    static constexpr const wchar_t kFunction[] = L"CQxUpdateMgr_Helper::CancelUpdate";
    QXLOG(ETWLogging::kLogInformation, qx_updmgr_detail::kLogFile, kFunction,
          L"Cancelling updates...");
    IQxUpdateAgent* agent = nullptr;
    HRESULT hr = SecureCoCreateInstance(CLSID_QxUpdateAgent, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IQxUpdateAgent, reinterpret_cast<void**>(&agent), TRUE);
    if (FAILED(hr)) {
      QXLOG_ERROR(qx_updmgr_detail::kLogFile, kFunction,
                  L"Failed to create update agent object. hr = 0x%08x", hr);
      return hr;
    }
    BSTR name = SysAllocString(UpdateName);
    hr = name ? agent->Cancel(name) : E_OUTOFMEMORY;
    SysFreeString(name);
    agent->Release();
    return hr;
  }

  // CancelUpdate, with |*sent| telling whether the request went out. E_POINTER for null.
  virtual HRESULT CancelUpdate2(LONG* sent) {
    static constexpr const wchar_t kFunction[] = L"CQxUpdateMgr_Helper::CancelUpdate2";
    if (!sent) {
      QXLOG_ERROR(qx_updmgr_detail::kLogFile, kFunction, L"Invalid parameter!");
      return E_POINTER;
    }
    const HRESULT hr = CancelUpdate();
    if (hr == S_OK) {
      *sent = 1;
      QXLOG(ETWLogging::kLogInformation, qx_updmgr_detail::kLogFile, kFunction,
            L"Successfully send cancel request");
    } else {
      *sent = 0;
      QXLOG_ERROR(qx_updmgr_detail::kLogFile, kFunction,
                  L"Failed to send cancel request. hr = 0x%08x", hr);
    }
    return hr;
  }

  // S_OK with |*running| telling whether the update's event exists; E_POINTER for null.
  virtual HRESULT IsUpdateRunning(BOOL* running) {
    static constexpr const wchar_t kFunction[] = L"CQxUpdateMgr_Helper::IsUpdateRunning";
    if (!running) {
      QXLOG_ERROR(qx_updmgr_detail::kLogFile, kFunction, L"Invalid parameter!");
      return E_POINTER;
    }
    QXLOG(ETWLogging::kLogNormal, qx_updmgr_detail::kLogFile, kFunction,
          L"Checking if an update is currently running....");
    Basalt::UniqueKernelHandle event(OpenUpdateEvent());
    if (event) {
      QXLOG(ETWLogging::kLogNormal, qx_updmgr_detail::kLogFile, kFunction,
            L"An update is running.");
      *running = TRUE;
    } else {
      QXLOG(ETWLogging::kLogNormal, qx_updmgr_detail::kLogFile, kFunction,
            L"An update is NOT running.");
      *running = FALSE;
    }
    return S_OK;
  }

  // IsUpdateRunning, and while an update runs its phase from the update's registry key (left
  // untouched otherwise; 0 when it cannot be read). E_POINTER for a null pointer.
  virtual HRESULT IsUpdateRunning2(BOOL* running, DWORD* phase) {
    static constexpr const wchar_t kFunction[] = L"CQxUpdateMgr_Helper::IsUpdateRunning2";
    if (!running || !phase) {
      QXLOG_ERROR(qx_updmgr_detail::kLogFile, kFunction,
                  L"The pbRunning or pbRemindPending or pdwPhase is invalid!");
      return E_POINTER;
    }
    if (FAILED(IsUpdateRunning(running)) || !*running) return S_OK;
    wchar_t key[MAX_PATH] = {};
    qx_updmgr_detail::FormatBounded(key, MAX_PATH, L"%s\\Update\\pkg_%s", QX_UPDMGR_REG_KEY,
                                    UpdateName);
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    const LONG result =
        ReadProtectedRegistryValue(HKEY_LOCAL_MACHINE, key, L"phase", &type, &value, &bytes, 0);
    if (result != ERROR_SUCCESS || type != REG_DWORD) {
      QXLOG(ETWLogging::kLogWarning, qx_updmgr_detail::kLogFile, kFunction,
            L"Failed to read update phase from the registry - error %d", result);
      value = 0;
    }
    *phase = value;
    return S_OK;
  }

  // S_OK with |*pending| telling whether the update waits for a restart; E_POINTER for null.
  virtual HRESULT IsRestartPending(BOOL* pending) {
    static constexpr const wchar_t kFunction[] = L"CQxUpdateMgr_Helper::IsRestartPending";
    QXLOG(ETWLogging::kLogNormal, qx_updmgr_detail::kLogFile, kFunction,
          L"Checking if restart is pending...");
    if (!pending) {
      QXLOG_ERROR(qx_updmgr_detail::kLogFile, kFunction, L"The pbPending parameter is invalid!");
      return E_POINTER;
    }
    *pending = FALSE;
    wchar_t key[MAX_PATH] = {};
    if (wcscmp(UpdateName, L"default") == 0) {
      qx_updmgr_detail::FormatBounded(key, MAX_PATH, L"%s\\KSC", QX_UPDMGR_VOLATILE_KEY);
    } else {
      qx_updmgr_detail::FormatBounded(key, MAX_PATH, L"%s\\%s", QX_UPDMGR_VOLATILE_KEY, UpdateName);
    }
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    const LONG result = ReadProtectedRegistryValue(HKEY_LOCAL_MACHINE, key, L"IsRestartPending",
                                                   &type, &value, &bytes, 0);
    if (result != ERROR_SUCCESS) {
      QXLOG(ETWLogging::kLogWarning, qx_updmgr_detail::kLogFile, kFunction,
            L"Failed to read IsRestartPending value from registry - error %d", result);
    } else if (type != REG_DWORD) {
      QXLOG(ETWLogging::kLogWarning, qx_updmgr_detail::kLogFile, kFunction, L"Invalid value type");
    } else if (value == 1) {
      *pending = TRUE;
      QXLOG(ETWLogging::kLogNormal, qx_updmgr_detail::kLogFile, kFunction, L"Restart is pending");
      return S_OK;
    }
    QXLOG(ETWLogging::kLogNormal, qx_updmgr_detail::kLogFile, kFunction, L"No restart is pending");
    return S_OK;
  }

  // Signals the update's event; E_FAIL (logged) when it cannot be opened.
  virtual HRESULT RemindRestart() {
    Basalt::UniqueKernelHandle event(OpenUpdateEvent());
    if (!event) {
      const DWORD error = GetLastError();
      QXLOG_ERROR(qx_updmgr_detail::kLogFile, L"CQxUpdateMgr_Helper::RemindRestart",
                  L"Failed to open remind restart event - error %d", error);
      return E_FAIL;
    }
    SetEvent(event.get());
    return S_OK;
  }

  // Holds no resources.
  ~CQxUpdateMgr_Helper() = default;

  wchar_t UpdateName[MAX_PATH];

 private:
  HANDLE OpenUpdateEvent() const {
    wchar_t name[MAX_PATH] = {};
    qx_updmgr_detail::FormatBounded(name, MAX_PATH, L"%s%s", QX_UPDATE_EVENT_STEM, UpdateName);
    return OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name);
  }
};
