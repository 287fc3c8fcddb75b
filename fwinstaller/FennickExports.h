// The work behind the library's exports, kept in the static library so that tests reach it
// without the DLL boundary. No exception leaves these functions.
#pragma once

#include <comdef.h>
#include <windows.h>

#include <new>

namespace Fennick {

// Logs an exception that reached export |exportName| (level 4). Never throws.
void LogEscapedException(const wchar_t* exportName, const wchar_t* what, HRESULT hr) noexcept;

// Runs |body| and catches whatever it throws, logging it under |exportName|. Always 0:
// the exports' callers cannot tell success from failure, so nothing else is reported.
template <typename Body>
UINT GuardExport(const wchar_t* exportName, Body&& body) noexcept {
  try {
    body();
  } catch (const _com_error& e) {
    LogEscapedException(exportName, L"COM error", e.Error());
  } catch (const std::bad_alloc&) {
    LogEscapedException(exportName, L"out of memory", E_OUTOFMEMORY);
  } catch (...) {
    LogEscapedException(exportName, L"unexpected exception", E_UNEXPECTED);
  }
  return 0;
}

// One CQxWinFirewallInteg on the calling thread, its one operation, always 0.
UINT AddSharedSvcToFWExport() noexcept;
UINT RemoveSharedSvcFromFWExport() noexcept;

}  // namespace Fennick
