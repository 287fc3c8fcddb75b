#include "CComInitGuard.h"

#include <objbase.h>

#include "QxAccessViolationGuard.h"

namespace {
// The result that stands for an access violation caught inside the COM call.
constexpr HRESULT kCaughtAccessViolation = 12;
}  // namespace

CComInitGuard::~CComInitGuard() { Uninitialize(); }

void CComInitGuard::Initialize(DWORD mode) {
  if (m_bInitialized) return;
  HRESULT hr = E_UNEXPECTED;
  if (!RunWithAccessViolationGuard([&] { hr = CoInitializeEx(nullptr, mode); })) {
    hr = kCaughtAccessViolation;
  }
  m_hr = hr;
  m_bInitialized = SUCCEEDED(hr);
}

void CComInitGuard::Uninitialize() {
  if (!m_bInitialized) return;
  m_bInitialized = false;
  m_hr = S_OK;
  if (!RunWithAccessViolationGuard([] { CoUninitialize(); })) m_hr = kCaughtAccessViolation;
}
