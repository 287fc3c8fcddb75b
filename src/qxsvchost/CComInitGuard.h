// Scoped COM apartment of one thread. CoInitializeEx and CoUninitialize run under an
// access-violation guard: a fault inside them is absorbed and shows as hr 12.
#pragma once

#include <windows.h>

class CComInitGuard {
 public:
  CComInitGuard() = default;
  // Uninitialize.
  ~CComInitGuard();
  CComInitGuard(const CComInitGuard&) = delete;
  CComInitGuard& operator=(const CComInitGuard&) = delete;

  // Nothing when already initialised. Else hr = CoInitializeEx(null, |mode|) (12 after a caught
  // access violation) and the guard counts as initialised unless hr is negative.
  void Initialize(DWORD mode);
  // When initialised: CoUninitialize, then hr = 0 (12 after a caught access violation).
  void Uninitialize();

  HRESULT hr() const { return m_hr; }
  bool IsInitialized() const { return m_bInitialized; }

 private:
  HRESULT m_hr = E_UNEXPECTED;
  bool m_bInitialized = false;
};
