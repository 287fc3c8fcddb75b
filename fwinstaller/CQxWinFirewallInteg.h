// Adds and removes the firewall rule that lets the service host's executable through.
#pragma once

#include <windows.h>

#include <cstddef>

// One object per operation, on the caller's stack: the constructor enters the
// multithreaded apartment for the calling thread and the destructor leaves it again.
// Every failure is logged here; the results only tell the caller whether the job was done.
// The string wrapper may throw _com_error on allocation failure: callers at a module
// boundary catch it.
class CQxWinFirewallInteg {
 public:
  // Size in characters of each buffer that GetSharedSvcInfo fills.
  static constexpr size_t kBufferChars = MAX_PATH;

  CQxWinFirewallInteg();
  ~CQxWinFirewallInteg() = default;
  CQxWinFirewallInteg(const CQxWinFirewallInteg&) = delete;
  CQxWinFirewallInteg& operator=(const CQxWinFirewallInteg&) = delete;

  // Finds Hollin.exe through the host's "InstallDir". True with the rule name and the
  // executable's path in |ruleName| and |appPath| (kBufferChars each); false, both
  // untouched, when a buffer is null, the folder cannot be read, the path does not fit or
  // the file is missing.
  [[nodiscard]] bool GetSharedSvcInfo(wchar_t* ruleName, wchar_t* appPath);
  // Adds the rule unless a rule of that name exists, which is then left as it is. True
  // when the rule was added or found.
  [[nodiscard]] bool AddSharedSvcToFW();
  // Removes the rule by name; true when the firewall reports success.
  [[nodiscard]] bool RemoveSharedSvcFromFW();
  // True when |path| names an existing file (not a folder).
  [[nodiscard]] static bool FileExists(const wchar_t* path);

 private:
  // The thread's COM initialisation, undone once by the destructor when it succeeded.
  struct ComInitGuard {
    HRESULT hr = E_UNEXPECTED;
    bool initialized = false;

    ComInitGuard() = default;
    ComInitGuard(const ComInitGuard&) = delete;
    ComInitGuard& operator=(const ComInitGuard&) = delete;
    ~ComInitGuard() { Uninitialize(); }
    void Initialize();
    void Uninitialize();
  };

  bool comInitFailed = false;
  ComInitGuard m_comInit;
};
