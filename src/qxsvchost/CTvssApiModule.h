// The sibling module's API library (TVSSAPI.DLL) and its service manager, through which the
// "/startservices" road asks the sibling module to start its services.
#pragma once

#include <windows.h>

// Interface that the library's "QxDllGetClassObject" hands out for "IServiceManager". Only slots
// 1 and 8 are used; the others belong to the library.
struct IServiceManager {
  virtual ULONG STDMETHODCALLTYPE Reserved0() = 0;
  // Slot 1: gives up the caller's reference.
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
  virtual ULONG STDMETHODCALLTYPE Reserved2() = 0;
  virtual ULONG STDMETHODCALLTYPE Reserved3() = 0;
  virtual ULONG STDMETHODCALLTYPE Reserved4() = 0;
  virtual ULONG STDMETHODCALLTYPE Reserved5() = 0;
  virtual ULONG STDMETHODCALLTYPE Reserved6() = 0;
  virtual ULONG STDMETHODCALLTYPE Reserved7() = 0;
  // Slot 8: the value is only logged.
  virtual LONG STDMETHODCALLTYPE StartServicesByHost(LPCWSTR host, DWORD timeout) = 0;

 protected:
  ~IServiceManager() = default;
};

// Signature of the library's export "QxDllGetClassObject": 0 and the interface named |name|.
using QxDllGetClassObjectFunction = DWORD(WINAPI*)(LPCWSTR name, void** object);

// Holds the library and its service manager; releases the interface, then frees the library.
class CTvssApiModule {
 public:
  CTvssApiModule() = default;
  ~CTvssApiModule();
  CTvssApiModule(const CTvssApiModule&) = delete;
  CTvssApiModule& operator=(const CTvssApiModule&) = delete;

  // Loads |libraryPath| (after a trust check, unless the process already has it loaded) and
  // takes its service manager. 0 on success; 5 for an untrusted and 87 for an empty path; the
  // loader's error; GetLastError() for a missing export; the export's own nonzero result;
  // kErrorNoInterface when the export answers 0 without an interface.
  [[nodiscard]] DWORD CreateObject(LPCWSTR libraryPath);

  // ERROR_NOINTERFACE, which mingw's headers lack.
  static constexpr DWORD kErrorNoInterface = 632;

  IServiceManager* ServiceManager() const { return m_pServiceManager; }
  HMODULE Module() const { return m_hModule; }

 private:
  IServiceManager* m_pServiceManager = nullptr;
  HMODULE m_hModule = nullptr;
};

// Reads the sibling module's install folder ("szInstallDir64" under SOFTWARE\Telvan\TVSSHOST,
// 64-bit view) and has |module| create the object of the TVSSAPI.DLL there. The registry's errors,
// 13 for a value that is not REG_SZ, 206 when the folder leaves no room in a path of 260
// characters for "\TVSSAPI.DLL", else CTvssApiModule::CreateObject's result.
[[nodiscard]] DWORD GetTvssApiPath(CTvssApiModule& module);
