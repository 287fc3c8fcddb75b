// Win32 codes turned into HRESULTs at the host's COM boundaries.
#pragma once

#include <windows.h>

// 0x80070000 | (error & 0xFFFF); 0 stays S_OK. Unlike the platform's macro, every nonzero code,
// however large, becomes a failure.
inline HRESULT QxHResultFromWin32(DWORD error) {
  return error == 0 ? S_OK : static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}
