// Secure COM object creation and the caller check of secure class factories.
#pragma once

#include <rpc.h>
#include <unknwn.h>
#include <windows.h>

// Secure class-factory interface: every factory of ours checks its caller's module first.
MIDL_INTERFACE("FD542581-722E-45BE-BED4-62A1BE46AF03")
IQxClassFactory : public IUnknown {
 public:
  // Creates the object and returns its |riid| interface in |*ppv|.
  virtual HRESULT STDMETHODCALLTYPE CreateObject(REFIID riid, void** ppv) = 0;
};

// The older name of the same contract, still asked for by earlier clients and servers.
MIDL_INTERFACE("6058502E-6069-43F4-B733-128649A20BD5")
IQxClassFactory_PreComponentization : public IUnknown {
 public:
  // Same meaning as IQxClassFactory::CreateObject.
  virtual HRESULT STDMETHODCALLTYPE CreateObject(REFIID riid, void** ppv) = 0;
};

__CRT_UUID_DECL(IQxClassFactory, 0xfd542581, 0x722e, 0x45be, 0xbe, 0xd4, 0x62, 0xa1, 0xbe, 0x46,
                0xaf, 0x03)
__CRT_UUID_DECL(IQxClassFactory_PreComponentization, 0x6058502e, 0x6069, 0x43f4, 0xb7, 0x33, 0x12,
                0x86, 0x49, 0xa2, 0x0b, 0xd5)

inline constexpr IID IID_IQxClassFactory = {
    0xfd542581, 0x722e, 0x45be, {0xbe, 0xd4, 0x62, 0xa1, 0xbe, 0x46, 0xaf, 0x03}};
inline constexpr IID IID_IQxClassFactory_PreComponentization = {
    0x6058502e, 0x6069, 0x43f4, {0xb7, 0x33, 0x12, 0x86, 0x49, 0xa2, 0x0b, 0xd5}};

// Abstract base of every secure factory. Both interfaces' CreateObject run the caller check and
// then CreateObjectUnchecked of the whole object. Concrete factories own reference counting and
// QueryInterface, create their object in CreateObjectUnchecked and add their virtual destructor
// after it.
class CQxSecureClassFactory : public IQxClassFactory, public IQxClassFactory_PreComponentization {
 public:
  // E_ACCESSDENIED (|*ppv| untouched) when VerifyCallerSigner refuses the caller: for a call COM
  // delivered from another process the client process, otherwise the module holding the
  // immediate caller's code. Otherwise the result of CreateObjectUnchecked(riid, ppv).
  __attribute__((noinline)) HRESULT STDMETHODCALLTYPE CreateObject(REFIID riid, void** ppv) final;

  // Creates the object without any check; called only after the caller passed.
  virtual HRESULT STDMETHODCALLTYPE CreateObjectUnchecked(REFIID riid, void** ppv) = 0;

 protected:
  CQxSecureClassFactory() = default;
  CQxSecureClassFactory(const CQxSecureClassFactory&) = delete;
  CQxSecureClassFactory& operator=(const CQxSecureClassFactory&) = delete;
  ~CQxSecureClassFactory() = default;
};

// Creates an object of |clsid|. With |secure| 0 this is CoCreateInstance unchanged. Otherwise the
// class object is asked for IQxClassFactory, then for IQxClassFactory_PreComponentization; the
// module holding its code must be trusted (else E_ACCESSDENIED) and its CreateObject(iid, out)
// makes the object. E_POINTER for a null |out|; |*out| is null on every failure. |outer| is used
// only by the CoCreateInstance road.
[[nodiscard]] HRESULT SecureCoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsContext,
                                             REFIID iid, void** out, BOOL secure);

// The secure road of SecureCoCreateInstance without the trust check of the factory's module.
// |outer| is not used.
[[nodiscard]] HRESULT CreateViaClassFactory(REFCLSID clsid, IUnknown* outer, DWORD clsContext,
                                            REFIID iid, void** out);

// The first entry of |object|'s table of operations (its QueryInterface code); null when the
// object or its table is null or cannot be read. Never faults.
[[nodiscard]] const void* GetObjectCodeAddress(IUnknown* object) noexcept;

// 0 when the module of this process that holds |address| is trusted; 87 when no module holds it,
// 5 when the module is not trusted. A module whose path is MAX_PATH characters or longer is judged
// by its whole path.
[[nodiscard]] DWORD VerifyCodeAddressSigner(const void* address);

// Full path of the module of this process holding |address|, into |path| (MAX_PATH characters,
// terminated). 0 found; 87 null address or path; 8 no memory; 5 no module holds the address or its
// name does not fit; otherwise the error of the failed process call. |path| is untouched on
// failure.
[[nodiscard]] DWORD GetModulePathFromAddress(const void* address, wchar_t* path);

// The client of the call that the current thread serves, as the RPC runtime and COM know it.
struct CallClient {
  // RPC_S_OK: |processId| is the client's process (this process's own for a call from another of
  // its apartments). RPC_S_NO_CALL_ACTIVE: no RPC call is active on the thread; COM's answers below
  // tell a direct call from one that COM dispatched here. Anything else: a call whose client
  // process cannot be named (another machine, a failed lookup).
  RPC_STATUS status;
  DWORD processId;  // 0 unless status is RPC_S_OK
  // Only with RPC_S_NO_CALL_ACTIVE: CoGetCallContext's answer (RPC_E_CALL_COMPLETE or
  // CO_E_NOTINITIALIZED: the thread serves no COM call) and CoGetCallerTID's (S_OK: the caller is
  // in this process; S_FALSE: in another).
  HRESULT comContext = RPC_E_CALL_COMPLETE;
  HRESULT comCaller = RPC_E_CALL_COMPLETE;
};

// The client of the call the current thread serves: the client process ID of the call's binding
// and, when no RPC call is active, what COM says about the call.
[[nodiscard]] CallClient QueryCallClient();

// The caller check of CreateObject; 0 admits. A call from another process is judged by the
// client's program file (VerifyProcessImageSigner); one whose client process cannot be named (a
// call COM dispatched from another process onto a thread where no RPC call is active, or a failed
// lookup) is refused with 5. A direct call, or a COM call from another apartment of this process,
// is judged by the module holding |returnAddress| (VerifyCodeAddressSigner), except that a return
// address in code that relays COM calls (IsComRelayAddress) is refused with 5 whatever COM says.
[[nodiscard]] DWORD VerifyCallerSigner(const void* returnAddress, const CallClient& client);

// True when |address| lies in code that relays COM calls and so never names a caller: the
// system's COM and RPC libraries (ole32, combase, rpcrt4, oleaut32) or the in-process server
// registered under HKEY_CLASSES_ROOT as the proxy/stub of IQxClassFactory or
// IQxClassFactory_PreComponentization.
[[nodiscard]] bool IsComRelayAddress(const void* address);

// 0 when the program file of the running process |processId| is trusted, 5 when it is not or when
// the file at its path is not the image the process maps (it was renamed and replaced, or the
// process records another image as its own) or cannot be held for the check (CHeldFile), 87 when
// its path cannot be had (no such process, it has ended or cannot be opened). The file is judged
// by its own signature, read through the held file (VerifyHeldFileTrust: the external validator is
// not asked), before it is read as an image; a path of any length is judged whole.
[[nodiscard]] DWORD VerifyProcessImageSigner(DWORD processId);
