// The few platform calls of the trust code that not every platform performs faithfully
// or that tests must observe, bound at link time: deliverables link the Windows binding
// (trust/builtin), test programs may link a substitute.
#pragma once

#include <objbase.h>
#include <windows.h>
// These need <windows.h> first.
#include <wincrypt.h>

#include "basalt/EmbeddedSignature.h"

namespace TrustPlatform {

// The embedded Authenticode signature of |path|, every signer of it in order
// (DecodeEmbeddedSignature). False when there is none or it cannot be read.
[[nodiscard]] bool QueryEmbeddedSignature(const wchar_t* path, EmbeddedSignature* out);

// The same for the PE file open as |file|, read through that handle (DecodeHeldFileSignature).
[[nodiscard]] bool QueryHeldFileSignature(HANDLE file, EmbeddedSignature* out);

// CERT_CHAIN_POLICY_AUTHENTICODE_TS over |chain| with policy flags 0: 0 when the call
// succeeds and reports no error, else the error (or the call's last error).
[[nodiscard]] DWORD VerifyAuthenticodeTimestampPolicy(PCCERT_CHAIN_CONTEXT chain);

// WinVerifyTrust of a signed program file (its first signer): no UI, no revocation
// checks, state action 0, provider flags 0x1214. 0 when accepted.
[[nodiscard]] LONG VerifyProgramFileTrust(const wchar_t* path);

// The same for the program file open as |file| (|path| names it), read through that handle and
// never by its path.
[[nodiscard]] LONG VerifyHeldProgramFileTrust(HANDLE file, const wchar_t* path);

// CryptMsgVerifyCountersignatureEncodedEx: true when the encoded PKCS #9 countersigner
// information |countersignature| is made by |countersigner| over the encoded signer
// information |signer|.
[[nodiscard]] bool VerifyCountersignature(const BYTE* signer, DWORD signerSize,
                                          const BYTE* countersignature, DWORD countersignatureSize,
                                          PCCERT_CONTEXT countersigner);

// The embedded signature of a signed script file (the trusted list): its certificate
// store and signed message, owned by the caller. False when there is none.
[[nodiscard]] bool QueryScriptSignature(const wchar_t* path, HCERTSTORE* store, HCRYPTMSG* message);

// WinVerifyTrust of a signed script file: no UI, no revocation checks, state action 0,
// provider flags 0x1214. 0 when accepted.
[[nodiscard]] LONG VerifyScriptFileTrust(const wchar_t* path);

// _close of a descriptor that the cabinet callbacks opened (the cabinet or the member being
// written): 0, or -1 when |fd| is not open.
int CloseCabinetFile(int fd);

// What COM says about the call that the current thread serves: CoGetCallContext for
// IServerSecurity (S_OK while the thread serves a call that COM dispatched to it,
// RPC_E_CALL_COMPLETE when it serves none) and CoGetCallerTID (S_OK: the caller is in this
// process, S_FALSE: in another). Wine answers RPC_E_CALL_COMPLETE and E_NOTIMPL on every thread.
struct ComCallAnswers {
  HRESULT context;
  HRESULT caller;
};
[[nodiscard]] ComCallAnswers QueryComCall();

// The answers of CoGetCallContext and CoGetCallerTID themselves, as the Windows binding gives them.
[[nodiscard]] inline ComCallAnswers AskComAboutTheCall() {
  IServerSecurity* security = nullptr;
  const HRESULT context =
      CoGetCallContext(IID_IServerSecurity, reinterpret_cast<void**>(&security));
  if (security != nullptr) security->Release();
  DWORD thread = 0;
  return ComCallAnswers{context, CoGetCallerTID(&thread)};
}

// Path of the installed trusted list, or null for the default path.
const wchar_t* InstalledTrustedListPath();

}  // namespace TrustPlatform
