// Move-only owners for Win32 handles, all made from one template.
#pragma once

#include <objbase.h>
#include <windows.h>

#include <utility>

namespace Basalt {

// Traits: static bool IsValid(T), static void Close(T), static T Invalid().
template <typename T, typename Traits>
class UniqueHandle {
 public:
  UniqueHandle() noexcept = default;
  explicit UniqueHandle(T value) noexcept : value_(value) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  T get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return Traits::IsValid(value_); }
  bool is_valid() const noexcept { return Traits::IsValid(value_); }

  // Closes the current value and returns its address for an out-parameter.
  T* put() noexcept {
    reset();
    return &value_;
  }

  // Closes the held value (keeping GetLastError()) and takes ownership of |value|.
  void reset(T value = Traits::Invalid()) noexcept {
    if (Traits::IsValid(value_)) {
      const DWORD last_error = GetLastError();
      Traits::Close(value_);
      SetLastError(last_error);
    }
    value_ = value;
  }

  // Gives up ownership without closing.
  [[nodiscard]] T release() noexcept { return std::exchange(value_, Traits::Invalid()); }

 private:
  T value_ = Traits::Invalid();
};

namespace handle_traits {

struct Kernel {  // events, processes, threads, mutexes: null is invalid
  static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { CloseHandle(h); }
  static HANDLE Invalid() { return nullptr; }
};
struct File {  // CreateFile results: INVALID_HANDLE_VALUE is invalid
  static bool IsValid(HANDLE h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(HANDLE h) { CloseHandle(h); }
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
};
struct FindFile {
  static bool IsValid(HANDLE h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(HANDLE h) { FindClose(h); }
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
};
struct RegKey {
  static bool IsValid(HKEY h) { return h != nullptr; }
  static void Close(HKEY h) { RegCloseKey(h); }
  static HKEY Invalid() { return nullptr; }
};
struct Module {
  static bool IsValid(HMODULE h) { return h != nullptr; }
  static void Close(HMODULE h) { FreeLibrary(h); }
  static HMODULE Invalid() { return nullptr; }
};
struct ServiceHandle {
  static bool IsValid(SC_HANDLE h) { return h != nullptr; }
  static void Close(SC_HANDLE h) { CloseServiceHandle(h); }
  static SC_HANDLE Invalid() { return nullptr; }
};
struct LocalMem {
  static bool IsValid(HLOCAL h) { return h != nullptr; }
  static void Close(HLOCAL h) { LocalFree(h); }
  static HLOCAL Invalid() { return nullptr; }
};

}  // namespace handle_traits

using UniqueKernelHandle = UniqueHandle<HANDLE, handle_traits::Kernel>;
using UniqueEvent = UniqueKernelHandle;
using UniqueFile = UniqueHandle<HANDLE, handle_traits::File>;
using UniqueFindFile = UniqueHandle<HANDLE, handle_traits::FindFile>;
using UniqueHKey = UniqueHandle<HKEY, handle_traits::RegKey>;
using UniqueModule = UniqueHandle<HMODULE, handle_traits::Module>;
using UniqueScHandle = UniqueHandle<SC_HANDLE, handle_traits::ServiceHandle>;
using UniqueLocalMem = UniqueHandle<HLOCAL, handle_traits::LocalMem>;

// Runs a cleanup at scope exit unless released on the success road.
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) noexcept : f_(std::move(f)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() {
    if (active_) f_();
  }
  void release() noexcept { active_ = false; }

 private:
  F f_;
  bool active_ = true;
};

template <typename F>
[[nodiscard]] ScopeExit<F> MakeScopeExit(F f) noexcept {
  return ScopeExit<F>(std::move(f));
}

// Scoped COM apartment: uninitialises only when CoInitializeEx succeeded.
class ScopedComApartment {
 public:
  explicit ScopedComApartment(DWORD model) noexcept : hr_(CoInitializeEx(nullptr, model)) {}
  ScopedComApartment(const ScopedComApartment&) = delete;
  ScopedComApartment& operator=(const ScopedComApartment&) = delete;
  ~ScopedComApartment() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  HRESULT result() const noexcept { return hr_; }
  bool succeeded() const noexcept { return SUCCEEDED(hr_); }

 private:
  HRESULT hr_;
};

}  // namespace Basalt
