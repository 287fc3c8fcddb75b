// Code trust verifier: external validation first, then the embedded Authenticode signers
// against the trust lists (built-in, or the loaded trusted list).
#include "trust/CodeTrust.h"

#include <windows.h>
// These need <windows.h> first.
#include <shlwapi.h>
#include <stdlib.h>

#include <new>
#include <string>

#include "basalt/CryptOwners.h"
#include "basalt/UniqueHandle.h"
#include "trust/CabinetExtract.h"
#include "trust/CounterSignature.h"
#include "trust/TrustPlatform.h"
#include "trust/TrustTables.h"
#include "trust/TrustedList.h"
#include "trust/ValidationLibrary.h"
#include "trust/WinTrustData.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kBaseFrameVersionUnknown = 1504;

bool EqualNoCase(const wchar_t* a, const wchar_t* b) {
  return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

bool IsZero(const FILETIME& time) { return time.dwLowDateTime == 0 && time.dwHighDateTime == 0; }

// The file whose signers are checked: by its path, or (|held| set) through a handle the caller
// holds it by, which |path| only names.
struct SignedFile {
  const wchar_t* path;
  HANDLE held;
};

// Every test of one signer (steps a. to i.); false at the first that fails.
bool VerifySigner(const SignedFile& file, HCERTSTORE store, HCRYPTMSG message, DWORD index,
                  TrustNameList names, TrustThumbprintList thumbprints, DWORD count,
                  TrustNameList serials) {
  ProcessHeapBuffer signerBuffer =
      GetCryptMsgParam(message, CMSG_SIGNER_INFO_PARAM, index, nullptr);
  if (!signerBuffer) return false;
  const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBuffer.get());

  if (CheckSerialNumber(signer->SerialNumber.pbData, signer->SerialNumber.cbData, serials)) {
    return false;
  }

  CERT_INFO wanted = {};
  wanted.Issuer = signer->Issuer;
  wanted.SerialNumber = signer->SerialNumber;
  UniqueCertContext certificate(CertGetSubjectCertificateFromStore(store, kEncoding, &wanted));
  if (!certificate) return false;

  // The tests below read only what the signer claims, and WinVerifyTrust checks the first
  // signer alone: this signer's own signature over the signed content must hold.
  CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA signature = {};
  signature.cbSize = sizeof(signature);
  signature.dwSignerIndex = index;
  signature.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
  signature.pvSigner = const_cast<CERT_CONTEXT*>(certificate.get());
  if (!CryptMsgControl(message, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &signature)) return false;

  BOOL nameMatched = FALSE;
  if (CheckSignerName(certificate.get(), &nameMatched, names) != 0 || !nameMatched) return false;

  FILETIME signingTime = {};
  if (GetCounterSignatureTime(message, index, &signingTime) != 0) return false;

  UniqueCertChain chain =
      BuildChainForUsage(certificate.get(), IsZero(signingTime) ? nullptr : &signingTime, store,
                         szOID_PKIX_KP_CODE_SIGNING);
  if (!chain || chain.get()->TrustStatus.dwErrorStatus != 0) return false;

  BOOL rootMatched = FALSE;
  if (CheckChainThumbprints(chain.get(), &rootMatched, thumbprints, count) != 0 || !rootMatched) {
    return false;
  }

  if (TrustPlatform::VerifyAuthenticodeTimestampPolicy(chain.get()) != 0) return false;

  return (file.held != nullptr ? TrustPlatform::VerifyHeldProgramFileTrust(file.held, file.path)
                               : TrustPlatform::VerifyProgramFileTrust(file.path)) == 0;
}

bool VerifySigners(const SignedFile& file, TrustNameList names, TrustThumbprintList thumbprints,
                   DWORD count, TrustNameList serials) {
  EmbeddedSignature signature;
  Basalt::UniqueFile hold;
  if (file.held != nullptr) {
    if (!TrustPlatform::QueryHeldFileSignature(file.held, &signature)) return false;
  } else {
    if (file.path == nullptr || *file.path == L'\0') return false;
    // The signature that is read and the file that WinVerifyTrust checks must be one: the
    // file may be neither written, renamed nor deleted until the verdict is made.
    hold.reset(
        CreateFileW(file.path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!hold || !TrustPlatform::QueryEmbeddedSignature(file.path, &signature)) return false;
  }
  for (const EmbeddedSignature::Signer& signer : signature.signers) {
    if (VerifySigner(file, signer.store, signer.message, signer.index, names, thumbprints, count,
                     serials)) {
      return true;
    }
  }
  return false;
}

// A loaded list with neither signer names nor root thumbprints would admit every signer:
// it never counts.
bool VerifyWithLoadedList(const SignedFile& file, const CTrustedList& list) {
  if (list.GetNames() == nullptr && list.GetThumbprintCount() == 0) return false;
  return VerifySigners(file, list.GetNames(), list.GetThumbprints(), list.GetThumbprintCount(),
                       list.GetSerials());
}

bool VerifyAgainstTrustedList(const SignedFile& file, DWORD builtInVersion, TrustNameList names,
                              TrustThumbprintList thumbprints, DWORD count, TrustNameList serials) {
  CTrustedList& list = GetInstalledTrustedList();
  // Whether a list is loaded and the check that follows from it are decided under one
  // hold, so a reload on another thread cannot slip in between; with nothing loaded the
  // given (built-in) lists apply.
  auto checkUnderHold = [&](bool* wasLoaded) {
    CTrustedList::SharedHold hold(list);
    const bool loaded = list.IsLoadedLocked() != FALSE;
    if (wasLoaded != nullptr) *wasLoaded = loaded;
    return loaded ? VerifyWithLoadedList(file, list)
                  : VerifySigners(file, names, thumbprints, count, serials);
  };
  bool wasLoaded = false;
  if (checkUnderHold(&wasLoaded)) return true;
  if (wasLoaded) {
    if (GlobalFindAtomW(kTrustedListReloadAtom) == 0) return false;
    // A reload that fails leaves the list loaded before in force, and this check fails.
    if (!list.Reload()) return false;
    return checkUnderHold(nullptr);
  }
  if (!list.EnsureLoaded()) return false;
  CTrustedList::SharedHold hold(list);
  if (!list.IsLoadedLocked() || list.GetVersion() <= builtInVersion) return false;
  return VerifyWithLoadedList(file, list);
}

alignas(CCodeTrustVerifier) unsigned char g_verifierStorage[sizeof(CCodeTrustVerifier)];
INIT_ONCE g_verifierOnce = INIT_ONCE_STATIC_INIT;

}  // namespace

DWORD VerifyModuleFileTrust(const wchar_t* path) {
  if (path == nullptr || *path == L'\0') return kTrustVerdictBadPath;
  return CCodeTrustVerifier::GetInstance()->VerifyFile(path);
}

DWORD VerifyHeldFileTrust(HANDLE file, const wchar_t* path) {
  if (file == nullptr || file == INVALID_HANDLE_VALUE) return kTrustVerdictBadPath;
  return VerifyAgainstTrustedList(SignedFile{path, file}, kBuiltInTrustedListVersion,
                                  TrustedSignerNames, TrustedThumbprints, TrustedThumbprintCount,
                                  TrustedRefusedSerials)
             ? kTrustVerdictTrusted
             : kTrustVerdictNotTrusted;
}

CCodeTrustVerifier* CCodeTrustVerifier::GetInstance() {
  InitOnceExecuteOnce(
      &g_verifierOnce,
      [](PINIT_ONCE, PVOID, PVOID*) -> BOOL {
        new (g_verifierStorage) CCodeTrustVerifier();
        atexit([] {
          reinterpret_cast<CCodeTrustVerifier*>(g_verifierStorage)->~CCodeTrustVerifier();
        });
        return TRUE;
      },
      nullptr, nullptr);
  return reinterpret_cast<CCodeTrustVerifier*>(g_verifierStorage);
}

CCodeTrustVerifier::CCodeTrustVerifier() {
  Basalt::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Telvan\\BaseFrame", 0,
                    KEY_READ | KEY_WOW64_32KEY, key.put()) != ERROR_SUCCESS) {
    return;
  }
  version = kBaseFrameVersionUnknown;
  wchar_t text[64] = {};  // 128 bytes
  DWORD bytes = sizeof(text);
  if (RegGetValueW(key.get(), nullptr, L"base_frame_version", RRF_RT_REG_SZ, nullptr, text,
                   &bytes) == ERROR_SUCCESS) {
    text[ARRAYSIZE(text) - 1] = L'\0';
    version = VersionFromText(text);
  }
  key.reset();
  LoadExternalValidator();
}

DWORD CCodeTrustVerifier::VersionFromText(const wchar_t* text) {
  // "%lu.%lu" without sign or overflow: anything else records no usable version.
  auto readNumber = [](const wchar_t*& p, unsigned long long* value) {
    if (*p < L'0' || *p > L'9') return false;
    *value = 0;
    while (*p >= L'0' && *p <= L'9') {
      *value = *value * 10 + static_cast<unsigned>(*p - L'0');
      if (*value > 0xFFFFFFFFull) return false;
      ++p;
    }
    return true;
  };
  if (text == nullptr) return kBaseFrameVersionUnknown;
  const wchar_t* p = text;
  while (*p == L' ' || *p == L'\t') ++p;
  unsigned long long major = 0, minor = 0;
  if (!readNumber(p, &major)) return kBaseFrameVersionUnknown;
  if (*p == L'.') {
    ++p;
    if (!readNumber(p, &minor)) minor = 0;
  }
  if (major > 14 && minor > 3) {
    const unsigned long long combined = major * 100 + minor;
    if (combined <= 0xFFFFFFFFull) return static_cast<DWORD>(combined);
  }
  return kBaseFrameVersionUnknown;
}

void CCodeTrustVerifier::LoadExternalValidator() {
  void* found = nullptr;
  if (NotComDllGetInterface(L"qxkcva.dll", "KcvValidationControl2", &found, nullptr) != 0) {
    found = nullptr;
    if (NotComDllGetInterface(L"qxkcva.dll", "KcvValidationControl", &found, nullptr) != 0) {
      found = nullptr;
    }
  }
  validator = static_cast<KcvValidationControl*>(found);
}

DWORD CCodeTrustVerifier::VerifyFile(const wchar_t* path) const {
  if (path == nullptr || *path == L'\0') return kTrustVerdictBadPath;
  if (ValidateExternally(path) == 0) return kTrustVerdictTrusted;
  return VerifyFileSignature(path, kBuiltInTrustedListVersion, TrustedSignerNames,
                             TrustedThumbprints, TrustedThumbprintCount, TrustedRefusedSerials)
             ? kTrustVerdictTrusted
             : kTrustVerdictNotTrusted;
}

DWORD CCodeTrustVerifier::ValidateExternally(const wchar_t* path) const {
  if (validator == nullptr) return kTrustVerdictNotTrusted;
  const bool modern = version > kBaseFrameVersionUnknown;
  ValidationResult result = {};
  (void)validator->ValidateFile(path, modern ? kValidateFlagsAbove1504 : kValidateFlagsUpTo1504,
                                &result);
  const DWORD trustedBit = modern ? kValidationTrustedAbove1504 : kValidationTrustedUpTo1504;
  if ((result.status & kValidationStatusVerdict) != 0 && (result.trustFlags & trustedBit) != 0) {
    return kTrustVerdictTrusted;
  }
  return kTrustVerdictNotTrusted;
}

bool VerifyFileSignature(const wchar_t* path, DWORD builtInVersion, TrustNameList names,
                         TrustThumbprintList thumbprints, DWORD count, TrustNameList serials) {
  if (VerifyFileAgainstTrustedList(path, builtInVersion, names, thumbprints, count, serials)) {
    return true;
  }
  if (path == nullptr || !EqualNoCase(PathFindExtensionW(path), L".cab")) return false;
  CCabinetApi cabinet;
  if (cabinet.ExtractTrustedListFromCabinet(path) == 0) return false;
  return VerifyFileAgainstTrustedList(path, builtInVersion, names, thumbprints, count, serials);
}

bool VerifyFileAgainstTrustedList(const wchar_t* path, DWORD builtInVersion, TrustNameList names,
                                  TrustThumbprintList thumbprints, DWORD count,
                                  TrustNameList serials) {
  return VerifyAgainstTrustedList(SignedFile{path, nullptr}, builtInVersion, names, thumbprints,
                                  count, serials);
}

bool VerifyAuthenticodeSigners(const wchar_t* path, TrustNameList names,
                               TrustThumbprintList thumbprints, DWORD count,
                               TrustNameList serials) {
  return VerifySigners(SignedFile{path, nullptr}, names, thumbprints, count, serials);
}

bool CheckSerialNumber(const BYTE* serial, DWORD length, TrustNameList serials) {
  if (serials == nullptr || serial == nullptr || length == 0) return false;
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  try {
    text.reserve(static_cast<size_t>(length) * 2);
    for (DWORD i = length; i-- > 0;) {
      text.push_back(kDigits[serial[i] >> 4]);
      text.push_back(kDigits[serial[i] & 0xF]);
    }
  } catch (const std::bad_alloc&) {
    // A serial that cannot even be written out is treated as refused.
    return true;
  }
  for (TrustNameList p = serials; *p != nullptr; ++p) {
    if (EqualNoCase(text.c_str(), *p)) return true;
  }
  return false;
}

DWORD CheckSignerName(PCCERT_CONTEXT certificate, BOOL* matched, TrustNameList names) {
  if (certificate == nullptr || matched == nullptr) return ERROR_INVALID_PARAMETER;
  const DWORD needed =
      CertGetNameStringW(certificate, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
  if (needed <= 1) return static_cast<DWORD>(CRYPT_E_NOT_FOUND);
  std::unique_ptr<wchar_t[]> name(new (std::nothrow) wchar_t[needed]);
  if (!name) return static_cast<DWORD>(E_OUTOFMEMORY);
  CertGetNameStringW(certificate, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, name.get(), needed);
  name[needed - 1] = L'\0';
  if (name[0] == L'\0') return static_cast<DWORD>(CRYPT_E_NOT_FOUND);
  if (names == nullptr) {
    *matched = TRUE;
    return 0;
  }
  for (TrustNameList p = names; *p != nullptr; ++p) {
    if (EqualNoCase(name.get(), *p)) {
      *matched = TRUE;
      return 0;
    }
  }
  return ERROR_ACCESS_DENIED;
}

DWORD GetCounterSignatureTime(HCRYPTMSG message, DWORD signerIndex, FILETIME* time) {
  if (message == nullptr || time == nullptr) return ERROR_INVALID_PARAMETER;
  *time = FILETIME{};
  DWORD size = 0;
  ProcessHeapBuffer attributesBuffer =
      GetCryptMsgParam(message, CMSG_SIGNER_UNAUTH_ATTR_PARAM, signerIndex, &size);
  if (!attributesBuffer) {
    const DWORD error = GetLastError();
    if (error == static_cast<DWORD>(CRYPT_E_ATTRIBUTES_MISSING)) return 0;
    return error != 0 ? error : static_cast<DWORD>(CRYPT_E_ASN1_ERROR);
  }
  const auto* attributes = reinterpret_cast<const CRYPT_ATTRIBUTES*>(attributesBuffer.get());
  for (DWORD i = 0; i < attributes->cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = attributes->rgAttr[i];
    if (attribute.pszObjId == nullptr) continue;
    const bool legacy = strcmp(attribute.pszObjId, szOID_RSA_counterSign) == 0;
    const bool rfc3161 = strcmp(attribute.pszObjId, szOID_RFC3161_counterSign) == 0;
    if (!legacy && !rfc3161) continue;
    const CRYPT_ATTR_BLOB* value = nullptr;
    for (DWORD v = 0; v < attribute.cValue; ++v) {
      if (attribute.rgValue[v].cbData != 0) {
        value = &attribute.rgValue[v];
        break;
      }
    }
    if (value == nullptr) continue;
    CounterSignature counterSignature;
    const DWORD decoded = legacy ? counterSignature.DecodeLegacy(*value)
                                 : counterSignature.DecodeTimeStampToken(*value);
    if (decoded != 0) return decoded;
    FILETIME found = {};
    const DWORD result = GetSigningTimeAttribute(counterSignature.SignerInfo(), &found);
    // A time that its countersigner does not vouch for must not move the chain's
    // validity into the past: the chain is then built for the current time.
    if (result == 0 && !IsZero(found) &&
        counterSignature.VerifiesSigner(message, signerIndex, found)) {
      *time = found;
    }
    return result;
  }
  return 0;
}

DWORD GetSigningTimeAttribute(const CMSG_SIGNER_INFO* signer, FILETIME* time) {
  if (signer == nullptr || time == nullptr) return ERROR_INVALID_PARAMETER;
  for (DWORD i = 0; i < signer->AuthAttrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = signer->AuthAttrs.rgAttr[i];
    if (attribute.pszObjId == nullptr || strcmp(attribute.pszObjId, szOID_RSA_signingTime) != 0 ||
        attribute.cValue == 0) {
      continue;
    }
    const CRYPT_ATTR_BLOB& value = attribute.rgValue[0];
    if (value.cbData != 15) continue;
    const BYTE* b = value.pbData;
    bool wellFormed = b[0] == 0x17 && b[1] == 13 && b[14] == 'Z';
    for (int k = 2; k < 14 && wellFormed; ++k) wellFormed = b[k] >= '0' && b[k] <= '9';
    if (!wellFormed) continue;
    auto two = [b](int at) { return static_cast<WORD>((b[at] - '0') * 10 + (b[at + 1] - '0')); };
    SYSTEMTIME utc = {};
    const WORD year = two(2);
    utc.wYear = static_cast<WORD>(year < 70 ? 2000 + year : 1900 + year);
    utc.wMonth = two(4);
    utc.wDay = two(6);
    utc.wHour = two(8);
    utc.wMinute = two(10);
    utc.wSecond = two(12);
    FILETIME converted = {};
    if (!SystemTimeToFileTime(&utc, &converted)) {
      const DWORD error = GetLastError();
      return error != 0 ? error : ERROR_INVALID_PARAMETER;
    }
    *time = converted;
    return 0;
  }
  return 0;
}

DWORD CheckChainThumbprints(PCCERT_CHAIN_CONTEXT chain, BOOL* matched,
                            TrustThumbprintList thumbprints, DWORD count) {
  if (chain == nullptr || matched == nullptr) return ERROR_INVALID_PARAMETER;
  DWORD result = CheckChainContextThumbprints(chain, matched, thumbprints, count);
  if (result == 0 && *matched) return 0;
  for (DWORD i = 0; i < chain->cLowerQualityChainContext; ++i) {
    PCCERT_CHAIN_CONTEXT lower = chain->rgpLowerQualityChainContext[i];
    // A lower-quality chain vouches for its root only when it is itself valid.
    if (lower == nullptr || lower->TrustStatus.dwErrorStatus != 0) continue;
    result = CheckChainContextThumbprints(lower, matched, thumbprints, count);
    if (result == 0 && *matched) return 0;
  }
  return result;
}

DWORD CheckChainContextThumbprints(PCCERT_CHAIN_CONTEXT chain, BOOL* matched,
                                   TrustThumbprintList thumbprints, DWORD count) {
  if (chain == nullptr || matched == nullptr) return ERROR_INVALID_PARAMETER;
  for (DWORD c = 0; c < chain->cChain; ++c) {
    PCERT_SIMPLE_CHAIN simple = chain->rgpChain[c];
    if (simple == nullptr || simple->cElement == 0) continue;
    PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    BYTE hash[64];
    DWORD hashSize = 0;
    if (!CertGetCertificateContextProperty(root, CERT_SHA1_HASH_PROP_ID, nullptr, &hashSize) ||
        hashSize == 0 || hashSize > sizeof(hash) ||
        !CertGetCertificateContextProperty(root, CERT_SHA1_HASH_PROP_ID, hash, &hashSize)) {
      return static_cast<DWORD>(CRYPT_E_NOT_FOUND);
    }
    if (IsThumbprintListed(hash, hashSize, thumbprints, count)) {
      *matched = TRUE;
      return 0;
    }
  }
  return 0;
}

bool IsThumbprintListed(const BYTE* hash, DWORD length, TrustThumbprintList thumbprints,
                        DWORD count) {
  if (thumbprints == nullptr || count == 0) return true;
  if (hash == nullptr || length != 20) return false;
  for (DWORD i = 0; i < count; ++i) {
    if (thumbprints[i] != nullptr && memcmp(hash, thumbprints[i], 20) == 0) return true;
  }
  return false;
}
