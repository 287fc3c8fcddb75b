#include "basalt/FileVersionInfo.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cwchar>
#include <new>

namespace Basalt {
namespace {

struct CoTaskMemDeleter {
  void operator()(wchar_t* text) const noexcept { CoTaskMemFree(text); }
};
using CoTaskMemString = std::unique_ptr<wchar_t, CoTaskMemDeleter>;

// Wide formatting through msvcrt, where "%s" in a wide format is a wide string.
std::wstring FormatW(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = _vscwprintf(format, args);
  va_end(args);
  if (length <= 0) return std::wstring();
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  va_start(args, format);
  const int written = _vsnwprintf(&text[0], text.size(), format, args);
  va_end(args);
  text.resize(written < 0 ? 0 : static_cast<size_t>(written));
  return text;
}

}  // namespace

HRESULT ShlObjAPI::SHGetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token,
                                        PWSTR* path) {
  return ::SHGetKnownFolderPath(folderId, flags, token, path);
}

bool FileVersionInfo::Load(const wchar_t* path) {
  if (m_loaded || path == nullptr) return false;
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) return false;
  try {
    m_block.assign(size, 0);
  } catch (const std::bad_alloc&) {
    m_block.clear();
    return false;
  }
  m_loaded = GetFileVersionInfoW(path, 0, size, m_block.data()) != FALSE;
  if (!m_loaded) m_block.clear();
  return m_loaded;
}

std::wstring FileVersionInfo::GetString(const wchar_t* name) const {
  if (!m_loaded || name == nullptr || m_block.empty()) return std::wstring();
  // VerQueryValueW takes a non-const block but only reads a block from GetFileVersionInfoW.
  void* block = const_cast<BYTE*>(m_block.data());
  void* translations = nullptr;
  UINT translationBytes = 0;
  if (!VerQueryValueW(block, L"\\VarFileInfo\\Translation", &translations, &translationBytes) ||
      translations == nullptr) {
    return std::wstring();
  }
  const WORD* entry = static_cast<const WORD*>(translations);
  const UINT entries = static_cast<UINT>(
      std::min<size_t>(translationBytes, BytesToBlockEnd(translations)) / (2 * sizeof(WORD)));
  try {
    for (UINT i = 0; i < entries; ++i, entry += 2) {
      const std::wstring subBlock =
          FormatW(L"\\StringFileInfo\\%04X%04X\\%s", entry[0], entry[1], name);
      void* text = nullptr;
      UINT textLength = 0;
      if (VerQueryValueW(block, subBlock.c_str(), &text, &textLength) && text != nullptr) {
        // The lengths a file's resource claims are not checked by VerQueryValueW: the read
        // stops at the terminator, the claimed length or the end of the block.
        const wchar_t* value = static_cast<const wchar_t*>(text);
        const size_t bound = std::min<size_t>(textLength, BytesToBlockEnd(text) / sizeof(wchar_t));
        return std::wstring(value, wcsnlen(value, bound));
      }
    }
  } catch (const std::bad_alloc&) {
  }
  return std::wstring();
}

size_t FileVersionInfo::BytesToBlockEnd(const void* pointer) const noexcept {
  const auto address = reinterpret_cast<uintptr_t>(pointer);
  const auto begin = reinterpret_cast<uintptr_t>(m_block.data());
  const uintptr_t end = begin + m_block.size();
  return address >= begin && address < end ? end - address : 0;
}

SystemFileVersionInfo::SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell)
    : m_shell(shell ? std::move(shell) : std::make_shared<ShlObjAPI>()) {}

bool SystemFileVersionInfo::Load(const wchar_t* fileName) {
  if (fileName == nullptr) return false;
  std::wstring path;
  if (!FindSystemFolder(path)) return false;
  try {
    path += fileName;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return FileVersionInfo::Load(path.c_str());
}

std::wstring SystemFileVersionInfo::GetSystemFolder() {
  std::wstring folder;
  if (!FindSystemFolder(folder)) return L"\\";
  return folder;
}

bool SystemFileVersionInfo::FindSystemFolder(std::wstring& folder) {
  try {
    if (m_systemFolder.empty()) {
      PWSTR rawPath = nullptr;
      const HRESULT hr = m_shell->SHGetKnownFolderPath(FOLDERID_System, 0, nullptr, &rawPath);
      const CoTaskMemString path(rawPath);
      // An empty folder would put the file at the root of the current drive.
      if (FAILED(hr) || path == nullptr || *path.get() == L'\0') return false;
      m_systemFolder = std::wstring(path.get()) + L"\\";
    }
    folder = m_systemFolder;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace Basalt
