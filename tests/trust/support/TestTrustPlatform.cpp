// Test binding of the trust code's platform calls, linked in place of
// trust/builtin/TrustPlatformWin.cpp:
// - Wine does not implement CERT_CHAIN_POLICY_AUTHENTICODE_TS: the base policy stands in
//   for it, and a test can make it fail. It leaves time validity and key usage alone, so
//   that the verifier's own test of the chain's status is what refuses an expired or
//   wrong-usage signer;
// - Wine's crypt32 cannot decode a signed message with two signers: each signer is then
//   decoded from a message of its own, which carries the content and every certificate,
//   and WinVerifyTrust (which checks the first signer) is asked about a copy of the file
//   that carries only the first signer's message;
// - Wine does not implement CryptMsgVerifyCountersignatureEncodedEx: its two checks are
//   made here;
// - no Linux tool signs a script the Windows way: a test list carries, in its
//   "// SIG //" block, a detached PKCS #7 signature (no signed attributes) of the bytes
//   before the block, and that signature is what is queried and verified here;
// - the installed list lives in a folder of this program's own;
// - the cabinet callbacks' closes are counted, those of a descriptor not open apart;
// - Wine's COM reports no call context and no caller thread on any thread: a test may have the
//   calls on one thread answered as Windows answers them there (otherwise COM is asked).
#include <windows.h>
// These need <windows.h> first.
#include <io.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "TrustTestSupport.h"
#include "basalt/CryptOwners.h"
#include "basalt/FileUtils.h"
#include "basalt/UniqueHandle.h"
#include "trust/HeldFileSignature.h"
#include "trust/TrustPlatform.h"
#include "trust/WinTrustData.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::atomic<int> g_cabinetCloses{0};
std::atomic<int> g_cabinetClosesNotOpen{0};
bool g_policyFails = false;
int g_policyCalls = 0;
// Published after the answers, read on the thread that serves the calls.
TrustPlatform::ComCallAnswers g_comAnswers = {};
std::atomic<DWORD> g_comAnswersThread{0};
std::function<void()> g_beforeListSignatureCheck;
std::function<void()> g_beforeProgramFileCheck;
std::function<void()> g_afterProgramFileCheck;

struct ScriptSignature {
  std::string content;    // the signed bytes
  std::string signature;  // DER
};

bool ReadScriptSignature(const wchar_t* path, ScriptSignature* out) {
  const std::string file = trust_test::ReadFileBytes(path);
  size_t block = file.compare(0, 9, "// SIG //") == 0 ? 0 : file.find("\n// SIG //");
  if (block == std::string::npos) return false;
  if (block != 0) ++block;
  out->content = file.substr(0, block);
  std::string base64;
  size_t pos = block;
  while (pos < file.size()) {
    size_t end = file.find('\n', pos);
    if (end == std::string::npos) end = file.size();
    std::string line = file.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 10, "// SIG // ") != 0) continue;
    line = line.substr(10);
    if (line.find("signature block") != std::string::npos) continue;
    base64 += line;
  }
  DWORD size = 0;
  if (!CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                            nullptr, &size, nullptr, nullptr)) {
    return false;
  }
  out->signature.assign(size, '\0');
  return CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()),
                              CRYPT_STRING_BASE64, reinterpret_cast<BYTE*>(&out->signature[0]),
                              &size, nullptr, nullptr) != FALSE;
}

// The platform calls that these bindings stand in for fail when memory runs out; they never
// throw.
template <typename Result, typename Fn>
Result FailInsteadOfThrowing(Result failure, Fn&& fn) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return failure;
  }
}

bool ReadScriptSignatureNoThrow(const wchar_t* path, ScriptSignature* out) {
  return FailInsteadOfThrowing(false, [&] { return ReadScriptSignature(path, out); });
}

// |data| decoded as |type| into |out|.
bool Decode(LPCSTR type, const BYTE* data, DWORD size, std::vector<BYTE>* out) {
  DWORD needed = 0;
  if (!CryptDecodeObjectEx(kEncoding, type, data, size, 0, nullptr, nullptr, &needed)) {
    return false;
  }
  out->assign(needed, 0);
  return CryptDecodeObjectEx(kEncoding, type, data, size, 0, nullptr, out->data(), &needed) !=
         FALSE;
}

UniqueCryptHash HashOf(HCRYPTPROV provider, ALG_ID algorithm, const BYTE* data, DWORD size) {
  UniqueCryptHash hash;
  if (!CryptCreateHash(provider, algorithm, 0, 0, hash.put()) ||
      !CryptHashData(hash.get(), data, size, 0)) {
    return UniqueCryptHash();
  }
  return hash;
}

// The message digest attribute of |signer|, or empty.
std::vector<BYTE> MessageDigestOf(const CMSG_SIGNER_INFO& signer) {
  for (DWORD i = 0; i < signer.AuthAttrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = signer.AuthAttrs.rgAttr[i];
    std::vector<BYTE> decoded;
    if (strcmp(attribute.pszObjId, szOID_RSA_messageDigest) != 0 || attribute.cValue == 0 ||
        !Decode(X509_OCTET_STRING, attribute.rgValue[0].pbData, attribute.rgValue[0].cbData,
                &decoded)) {
      continue;
    }
    const auto* blob = reinterpret_cast<const CRYPT_DATA_BLOB*>(decoded.data());
    return std::vector<BYTE>(blob->pbData, blob->pbData + blob->cbData);
  }
  return {};
}

// WIN_CERTIFICATE: length, revision and type, then the signature.
constexpr size_t kWinCertificateHeader = 8;

// One DER element of |data|: where it begins, where its content begins, where it ends.
struct DerElement {
  size_t begin = 0, content = 0, end = 0;
};

bool ReadDer(const std::string& data, size_t at, size_t limit, DerElement* out) {
  if (limit > data.size() || limit - at < 2) return false;
  size_t length = static_cast<unsigned char>(data[at + 1]);
  size_t content = at + 2;
  if (length & 0x80) {
    const size_t bytes = length & 0x7F;
    if (bytes == 0 || bytes > 4 || limit - content < bytes) return false;
    length = 0;
    for (size_t i = 0; i < bytes; ++i)
      length = length << 8 | static_cast<unsigned char>(data[content++]);
  }
  if (limit - content < length) return false;
  *out = {at, content, content + length};
  return true;
}

// The encodings of the elements inside the constructed element that |data| holds.
bool DerChildren(const std::string& data, std::vector<std::string>* out) {
  DerElement outer;
  if (!ReadDer(data, 0, data.size(), &outer)) return false;
  out->clear();
  for (size_t at = outer.content; at < outer.end;) {
    DerElement child;
    if (!ReadDer(data, at, outer.end, &child)) return false;
    out->push_back(data.substr(child.begin, child.end - child.begin));
    at = child.end;
  }
  return true;
}

std::string DerEncode(unsigned char tag, const std::vector<std::string>& children) {
  std::string content;
  for (const std::string& child : children) content += child;
  std::string length;
  for (size_t n = content.size(); n > 0; n >>= 8)
    length.insert(length.begin(), static_cast<char>(n & 0xFF));
  if (content.size() < 0x80)
    length = std::string(1, static_cast<char>(content.size()));
  else
    length.insert(length.begin(), static_cast<char>(0x80 | length.size()));
  return std::string(1, static_cast<char>(tag)) + length + content;
}

// A 64-bit PE file and where its certificate table is.
struct PeFile {
  std::string bytes;
  size_t directory = 0;  // offset of the certificate table's data directory entry
  size_t table = 0, tableSize = 0;
};

// |out->bytes| filled, its certificate table found.
bool FindCertificateTable(PeFile* out) {
  const std::string& file = out->bytes;
  IMAGE_DOS_HEADER dos;
  IMAGE_NT_HEADERS64 nt;
  if (file.size() < sizeof(dos)) return false;
  memcpy(&dos, file.data(), sizeof(dos));
  if (dos.e_lfanew < 0 || file.size() < static_cast<size_t>(dos.e_lfanew) + sizeof(nt))
    return false;
  memcpy(&nt, file.data() + dos.e_lfanew, sizeof(nt));
  out->directory = dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader.DataDirectory) +
                   IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
  const IMAGE_DATA_DIRECTORY& table =
      nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
  out->table = table.VirtualAddress;
  out->tableSize = table.Size;
  return table.Size > kWinCertificateHeader && file.size() >= out->table + out->tableSize;
}

// The file's PKCS #7 signature split into one signature per signer, in order; each carries
// the content and every certificate of the original.
bool SingleSignerSignatures(const PeFile& pe, std::vector<std::string>* out) {
  std::string signature =
      pe.bytes.substr(pe.table + kWinCertificateHeader, pe.tableSize - kWinCertificateHeader);
  DerElement whole;
  if (!ReadDer(signature, 0, signature.size(), &whole)) return false;
  signature.resize(whole.end);  // the table is padded
  // ContentInfo { type, [0] { SignedData { version, digests, content, [0] certificates,
  // ..., signer infos } } }
  std::vector<std::string> info, wrapped, parts, signers;
  if (!DerChildren(signature, &info) || info.size() != 2 || !DerChildren(info[1], &wrapped) ||
      wrapped.size() != 1 || !DerChildren(wrapped[0], &parts) || parts.size() < 4 ||
      !DerChildren(parts.back(), &signers) || signers.empty()) {
    return false;
  }
  out->clear();
  for (const std::string& signer : signers) {
    parts.back() = DerEncode(0x31, {signer});
    out->push_back(DerEncode(0x30, {info[0], DerEncode(0xA0, {DerEncode(0x30, parts)})}));
  }
  return true;
}

bool ReadPeFile(const wchar_t* path, PeFile* out) {
  out->bytes = trust_test::ReadFileBytes(path);
  return FindCertificateTable(out);
}

// The same through a handle open on the file.
bool ReadHeldPeFile(HANDLE file, PeFile* out) {
  return Basalt::ReadWholeFile(file, 1ull << 30, out->bytes) && FindCertificateTable(out);
}

bool DecodeSignersSeparately(const PeFile& pe, EmbeddedSignature* out) {
  std::vector<std::string> signatures;
  if (!SingleSignerSignatures(pe, &signatures)) return false;
  for (const std::string& single : signatures) {
    UniqueCryptMsg message(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!message || !CryptMsgUpdate(message.get(), reinterpret_cast<const BYTE*>(single.data()),
                                    static_cast<DWORD>(single.size()), TRUE)) {
      return false;
    }
    UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message.get()));
    if (!store || !out->Add(std::move(message), std::move(store), 0, 1)) return false;
  }
  return true;
}

// WinVerifyTrust of a copy of the file whose certificate table holds only the first
// signer's signature (the bytes that the signature hashes stay as they are).
LONG VerifyFirstSignerCopy(const PeFile& pe) {
  std::vector<std::string> signatures;
  if (!SingleSignerSignatures(pe, &signatures)) return TRUST_E_NOSIGNATURE;
  std::string table = signatures[0];
  table.append((8 - table.size() % 8) % 8, '\0');
  const DWORD length = static_cast<DWORD>(table.size() + kWinCertificateHeader);
  const WORD revision = 0x0200, type = 2;  // WIN_CERT_REVISION_2_0, PKCS_SIGNED_DATA
  std::string copy = pe.bytes.substr(0, pe.table);
  copy.append(reinterpret_cast<const char*>(&length), 4);
  copy.append(reinterpret_cast<const char*>(&revision), 2);
  copy.append(reinterpret_cast<const char*>(&type), 2);
  copy += table;
  memcpy(&copy[pe.directory + 4], &length, 4);
  const std::wstring folder = trust_test::MakeScratchFolder(L"firstsigner");
  const std::wstring file = folder + L"\\copy.dll";
  const LONG result = trust_test::WriteFileBytes(file, copy) ? VerifyFileTrustHashOnly(file.c_str())
                                                             : TRUST_E_NOSIGNATURE;
  trust_test::RemoveTree(folder);
  return result;
}

// CryptMsgVerifyCountersignatureEncodedEx's two checks.
bool VerifyCountersignatureThrowing(const BYTE* signer, DWORD signerSize,
                                    const BYTE* countersignature, DWORD countersignatureSize,
                                    PCCERT_CONTEXT countersigner) {
  std::vector<BYTE> signerBuffer, counterBuffer;
  if (!Decode(PKCS7_SIGNER_INFO, signer, signerSize, &signerBuffer) ||
      !Decode(PKCS7_SIGNER_INFO, countersignature, countersignatureSize, &counterBuffer)) {
    return false;
  }
  const auto& signed_ = *reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBuffer.data());
  const auto& counter = *reinterpret_cast<const CMSG_SIGNER_INFO*>(counterBuffer.data());
  const ALG_ID algorithm = CertOIDToAlgId(counter.HashAlgorithm.pszObjId);
  UniqueCryptProv provider;
  if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    return false;
  }

  // The countersigner's message digest is the hash of the signer's encrypted digest.
  UniqueCryptHash stamped =
      HashOf(provider.get(), algorithm, signed_.EncryptedHash.pbData, signed_.EncryptedHash.cbData);
  BYTE value[64];
  DWORD valueSize = sizeof(value);
  const std::vector<BYTE> digest = MessageDigestOf(counter);
  if (!stamped || !CryptGetHashParam(stamped.get(), HP_HASHVAL, value, &valueSize, 0) ||
      digest != std::vector<BYTE>(value, value + valueSize)) {
    return false;
  }

  // Its signature over its authenticated attributes (encoded as a set) holds.
  DWORD encodedSize = 0;
  if (!CryptEncodeObjectEx(kEncoding, PKCS_ATTRIBUTES, &counter.AuthAttrs, 0, nullptr, nullptr,
                           &encodedSize)) {
    return false;
  }
  std::vector<BYTE> encoded(encodedSize);
  UniqueCryptKey key;
  if (!CryptEncodeObjectEx(kEncoding, PKCS_ATTRIBUTES, &counter.AuthAttrs, 0, nullptr,
                           encoded.data(), &encodedSize) ||
      !CryptImportPublicKeyInfo(provider.get(), kEncoding,
                                &countersigner->pCertInfo->SubjectPublicKeyInfo, key.put())) {
    return false;
  }
  UniqueCryptHash attributes = HashOf(provider.get(), algorithm, encoded.data(), encodedSize);
  // CryptoAPI takes the signature least significant byte first.
  std::vector<BYTE> signature(counter.EncryptedHash.pbData,
                              counter.EncryptedHash.pbData + counter.EncryptedHash.cbData);
  std::reverse(signature.begin(), signature.end());
  return attributes && CryptVerifySignatureW(attributes.get(), signature.data(),
                                             static_cast<DWORD>(signature.size()), key.get(),
                                             nullptr, 0) != FALSE;
}

}  // namespace

namespace trust_test {
void BeforeNextListSignatureCheck(std::function<void()> action) {
  g_beforeListSignatureCheck = std::move(action);
}
void AroundNextProgramFileCheck(std::function<void()> before, std::function<void()> after) {
  g_beforeProgramFileCheck = std::move(before);
  g_afterProgramFileCheck = std::move(after);
}
void SetTimestampPolicyFails(bool fails) { g_policyFails = fails; }
int TimestampPolicyCalls() { return g_policyCalls; }
CabinetCloses CabinetFileCloses() {
  return {g_cabinetCloses.load(), g_cabinetClosesNotOpen.load()};
}
void AnswerComCallsOnThread(DWORD threadId, TrustPlatform::ComCallAnswers answers) {
  g_comAnswersThread.store(0);
  g_comAnswers = answers;
  g_comAnswersThread.store(threadId);
}
}  // namespace trust_test

namespace TrustPlatform {

DWORD VerifyAuthenticodeTimestampPolicy(PCCERT_CHAIN_CONTEXT chain) {
  ++g_policyCalls;
  if (g_policyFails) return static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
  CERT_CHAIN_POLICY_PARA para = {};
  para.cbSize = sizeof(para);
  para.dwFlags =
      CERT_CHAIN_POLICY_IGNORE_ALL_NOT_TIME_VALID_FLAGS | CERT_CHAIN_POLICY_IGNORE_WRONG_USAGE_FLAG;
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof(status);
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain, &para, &status)) {
    return GetLastError();
  }
  return status.dwError;
}

ComCallAnswers QueryComCall() {
  const DWORD thread = g_comAnswersThread.load();
  return thread != 0 && thread == GetCurrentThreadId() ? g_comAnswers : AskComAboutTheCall();
}

bool QueryEmbeddedSignature(const wchar_t* path, EmbeddedSignature* out) {
  if (g_beforeProgramFileCheck) std::exchange(g_beforeProgramFileCheck, nullptr)();
  if (DecodeEmbeddedSignature(path, out)) return true;
  *out = EmbeddedSignature();
  return FailInsteadOfThrowing(false, [&] {
    PeFile pe;
    return ReadPeFile(path, &pe) && DecodeSignersSeparately(pe, out);
  });
}

bool QueryHeldFileSignature(HANDLE file, EmbeddedSignature* out) {
  if (g_beforeProgramFileCheck) std::exchange(g_beforeProgramFileCheck, nullptr)();
  if (DecodeHeldFileSignature(file, out)) return true;
  *out = EmbeddedSignature();
  // Only a signature that the product reads, and Wine's crypt32 cannot decode.
  return FailInsteadOfThrowing(false, [&] {
    std::string readable;
    PeFile pe;
    return ReadHeldFileCertificate(file, readable) && ReadHeldPeFile(file, &pe) &&
           DecodeSignersSeparately(pe, out);
  });
}

LONG VerifyProgramFileTrust(const wchar_t* path) {
  const auto after = Basalt::MakeScopeExit([] {
    if (g_afterProgramFileCheck) std::exchange(g_afterProgramFileCheck, nullptr)();
  });
  const LONG result = VerifyFileTrustHashOnly(path);
  EmbeddedSignature signature;
  if (result != ERROR_INVALID_PARAMETER || DecodeEmbeddedSignature(path, &signature)) {
    return result;
  }
  return FailInsteadOfThrowing(static_cast<LONG>(TRUST_E_NOSIGNATURE), [&] {
    PeFile pe;
    return ReadPeFile(path, &pe) ? VerifyFirstSignerCopy(pe) : TRUST_E_NOSIGNATURE;
  });
}

LONG VerifyHeldProgramFileTrust(HANDLE file, const wchar_t* path) {
  const auto after = Basalt::MakeScopeExit([] {
    if (g_afterProgramFileCheck) std::exchange(g_afterProgramFileCheck, nullptr)();
  });
  const LONG result = VerifyHeldFileTrustHashOnly(file, path);
  EmbeddedSignature signature;
  if (result != ERROR_INVALID_PARAMETER || DecodeHeldFileSignature(file, &signature)) {
    return result;
  }
  return FailInsteadOfThrowing(static_cast<LONG>(TRUST_E_NOSIGNATURE), [&] {
    PeFile pe;
    return ReadHeldPeFile(file, &pe) ? VerifyFirstSignerCopy(pe) : TRUST_E_NOSIGNATURE;
  });
}

bool VerifyCountersignature(const BYTE* signer, DWORD signerSize, const BYTE* countersignature,
                            DWORD countersignatureSize, PCCERT_CONTEXT countersigner) {
  return FailInsteadOfThrowing(false, [&] {
    return VerifyCountersignatureThrowing(signer, signerSize, countersignature,
                                          countersignatureSize, countersigner);
  });
}

bool QueryScriptSignature(const wchar_t* path, HCERTSTORE* store, HCRYPTMSG* message) {
  if (g_beforeListSignatureCheck) std::exchange(g_beforeListSignatureCheck, nullptr)();
  ScriptSignature script;
  if (!ReadScriptSignatureNoThrow(path, &script)) return false;
  HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr);
  if (msg == nullptr) return false;
  if (!CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(script.signature.data()),
                      static_cast<DWORD>(script.signature.size()), TRUE)) {
    CryptMsgClose(msg);
    return false;
  }
  HCERTSTORE certificates = CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, msg);
  if (certificates == nullptr) {
    CryptMsgClose(msg);
    return false;
  }
  *store = certificates;
  *message = msg;
  return true;
}

int CloseCabinetFile(int fd) {
  const int closed = _close(fd);
  ++g_cabinetCloses;
  if (closed != 0) ++g_cabinetClosesNotOpen;
  return closed;
}

LONG VerifyScriptFileTrust(const wchar_t* path) {
  ScriptSignature script;
  if (!ReadScriptSignatureNoThrow(path, &script)) return TRUST_E_NOSIGNATURE;
  CRYPT_VERIFY_MESSAGE_PARA para = {};
  para.cbSize = sizeof(para);
  para.dwMsgAndCertEncodingType = kEncoding;
  const BYTE* content = reinterpret_cast<const BYTE*>(script.content.data());
  DWORD contentSize = static_cast<DWORD>(script.content.size());
  if (!CryptVerifyDetachedMessageSignature(
          &para, 0, reinterpret_cast<const BYTE*>(script.signature.data()),
          static_cast<DWORD>(script.signature.size()), 1, &content, &contentSize, nullptr)) {
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<LONG>(error) : TRUST_E_BAD_DIGEST;
  }
  return 0;
}

const wchar_t* InstalledTrustedListPath() {
  static const std::wstring path = trust_test::InstalledListPath();
  return path.c_str();
}

}  // namespace TrustPlatform
