// Code trust verifier: decides whether a file's code is trusted.
//
// The one entry most callers need is VerifyModuleFileTrust. The signer, chain and
// list helpers below are the verifier's building blocks; they are public so that
// the Authenticode road can be exercised on its own.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <wincrypt.h>

// Verdicts of VerifyModuleFileTrust and CCodeTrustVerifier::VerifyFile.
constexpr DWORD kTrustVerdictTrusted = ERROR_SUCCESS;            // 0
constexpr DWORD kTrustVerdictNotTrusted = ERROR_ACCESS_DENIED;   // 5
constexpr DWORD kTrustVerdictBadPath = ERROR_INVALID_PARAMETER;  // 87

// Returns 0 when the file at |path| is trusted, 5 when it is not, 87 for a null or
// empty path (the verifier is then not created). Safe on any thread.
[[nodiscard]] DWORD VerifyModuleFileTrust(const wchar_t* path);

// Returns 0 when the PE file open as |file| (for reading, by the caller, who keeps it from being
// changed) is trusted by its own embedded Authenticode signature, read through that handle and
// never by a path; 5 when it is not; 87 for no handle. |path| names the file for the platform's
// check. The external validator, which is asked only by path, is not asked, and a file is never
// taken for a cabinet. Safe on any thread.
[[nodiscard]] DWORD VerifyHeldFileTrust(HANDLE file, const wchar_t* path);

// Answer of the external code-validation service (8 bytes, cleared before the call).
struct ValidationResult {
  DWORD status;      // bit value 2: a verdict was given
  DWORD trustFlags;  // bit value 1 (services up to 1504) or 8 (above 1504): trusted
};
static_assert(sizeof(ValidationResult) == 8, "ValidationResult is 8 bytes");

constexpr DWORD kValidationStatusVerdict = 0x2;
constexpr DWORD kValidationTrustedUpTo1504 = 0x1;
constexpr DWORD kValidationTrustedAbove1504 = 0x8;
constexpr DWORD kValidateFlagsUpTo1504 = 4;
constexpr DWORD kValidateFlagsAbove1504 = 512;

// Interface that the code-validation library hands out under the names
// "KcvValidationControl2" and "KcvValidationControl". Only slot 5 is called;
// slots 0-4 belong to the library and are never used here.
struct KcvValidationControl {
  virtual HRESULT STDMETHODCALLTYPE Reserved0() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved1() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved2() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
  // Slot 5. Its return value is not examined; |result| carries the verdict.
  virtual HRESULT STDMETHODCALLTYPE ValidateFile(const wchar_t* path, DWORD flags,
                                                 ValidationResult* result) = 0;

 protected:
  ~KcvValidationControl() = default;
};

// The process's one verifier. Its fields are fixed during its one-time construction.
class CCodeTrustVerifier {
 public:
  CCodeTrustVerifier(const CCodeTrustVerifier&) = delete;
  CCodeTrustVerifier& operator=(const CCodeTrustVerifier&) = delete;

  // The one verifier, created on first use; concurrent first callers wait for it.
  static CCodeTrustVerifier* GetInstance();

  // 0 trusted, 5 not trusted, 87 null or empty path.
  [[nodiscard]] DWORD VerifyFile(const wchar_t* path) const;

  // 0 when the external validator vouches for |path|, else 5 (also without validator).
  [[nodiscard]] DWORD ValidateExternally(const wchar_t* path) const;

  // The code-validation service's version (major * 100 + minor; 0 without its key,
  // 1504 when no usable version is recorded) and its validator (may be null).
  DWORD GetVersion() const { return version; }
  KcvValidationControl* GetValidator() const { return validator; }

  // The version that a recorded "base_frame_version" text stands for: major * 100 +
  // minor when major > 14 and minor > 3, else 1504.
  static DWORD VersionFromText(const wchar_t* text);

 protected:
  // Reads the service's key and loads its validator (see GetInstance).
  CCodeTrustVerifier();
  // A verifier with fixed fields; nothing is read or loaded.
  CCodeTrustVerifier(DWORD serviceVersion, KcvValidationControl* serviceValidator)
      : version(serviceVersion), validator(serviceValidator) {}
  // Releases nothing: the validator outlives the verifier.
  ~CCodeTrustVerifier() = default;

  void LoadExternalValidator();

 private:
  DWORD version = 0;
  KcvValidationControl* validator = nullptr;
};

// Null-terminated wide string list (names, refused serials); null means "no list".
using TrustNameList = const wchar_t* const*;
// Array of |count| thumbprint pointers; each entry is 20 bytes or null (matches nothing).
using TrustThumbprintList = const BYTE* const*;

// The list file road, then (for a ".cab") the cabinet's trusted list and a second try.
[[nodiscard]] bool VerifyFileSignature(const wchar_t* path, DWORD builtInVersion,
                                       TrustNameList names, TrustThumbprintList thumbprints,
                                       DWORD count, TrustNameList serials);

// Checks |path| against the loaded trusted list when one is loaded (reloading it once
// when the reload atom exists), else against the given built-in lists and then a
// newer installed list.
[[nodiscard]] bool VerifyFileAgainstTrustedList(const wchar_t* path, DWORD builtInVersion,
                                                TrustNameList names,
                                                TrustThumbprintList thumbprints, DWORD count,
                                                TrustNameList serials);

// True when at least one embedded Authenticode signer of |path| passes every test
// against the given lists.
[[nodiscard]] bool VerifyAuthenticodeSigners(const wchar_t* path, TrustNameList names,
                                             TrustThumbprintList thumbprints, DWORD count,
                                             TrustNameList serials);

// True when the serial (stored least significant byte first) is in |serials|.
[[nodiscard]] bool CheckSerialNumber(const BYTE* serial, DWORD length, TrustNameList serials);

// 0 with |*matched| set when the certificate's friendly display name is listed (a null
// list matches every name); 5 when not listed; 0x80092004 for no or an empty name.
[[nodiscard]] DWORD CheckSignerName(PCCERT_CONTEXT certificate, BOOL* matched, TrustNameList names);

// Signing time of the first countersignature or RFC 3161 timestamp of signer
// |signerIndex|; 0 with |*time| zero when there is none; else the decoding error.
[[nodiscard]] DWORD GetCounterSignatureTime(HCRYPTMSG message, DWORD signerIndex, FILETIME* time);

// The first 15-byte UTCTime signing-time attribute of |signer| as UTC FILETIME; 0 with
// |*time| unchanged when there is none.
[[nodiscard]] DWORD GetSigningTimeAttribute(const CMSG_SIGNER_INFO* signer, FILETIME* time);

// 0 with |*matched| set when the root of the chain or of one of its lower-quality
// chains is listed; 87 for a null chain.
[[nodiscard]] DWORD CheckChainThumbprints(PCCERT_CHAIN_CONTEXT chain, BOOL* matched,
                                          TrustThumbprintList thumbprints, DWORD count);

// 0 with |*matched| set when the root of one simple chain of |chain| is listed.
[[nodiscard]] DWORD CheckChainContextThumbprints(PCCERT_CHAIN_CONTEXT chain, BOOL* matched,
                                                 TrustThumbprintList thumbprints, DWORD count);

// True when the 20-byte |hash| equals a listed entry; a null list or count 0 lists all.
[[nodiscard]] bool IsThumbprintListed(const BYTE* hash, DWORD length,
                                      TrustThumbprintList thumbprints, DWORD count);
