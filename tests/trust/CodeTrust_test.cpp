// ctest-lock: trusted-list
// Verdicts of the code trust verifier over the signed fixtures, and its building blocks.
#include "trust/CodeTrust.h"

#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SignedFile.h"
#include "TrustTestSupport.h"
#include "basalt/CryptOwners.h"
#include "basalt/UniqueHandle.h"
#include "tests/trust/support/ValidatorStub.h"
#include "trust/HeldFileSignature.h"
#include "trust/TrustTables.h"

namespace {

using trust_test::Fixture;
using trust_test::OpenSigned;
using trust_test::SignedFile;

class CodeTrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    trust_test::DeleteReloadAtom();
    trust_test::SetInstalledListFile(nullptr);
    trust_test::SetTimestampPolicyFails(false);
  }
  void TearDown() override { trust_test::SetTimestampPolicyFails(false); }
};

struct VerdictCase {
  const wchar_t* file;
  DWORD verdict;
};

TEST_F(CodeTrustTest, VerdictsOverSignedFixtures) {
  const VerdictCase cases[] = {
      {L"good.dll", 0},         // "Telvan, LLC" under the listed root
      {L"inc.dll", 0},          // "Telvan, Inc."
      {L"case.dll", 0},         // "TELVAN, llc": names compare without case
      {L"timestamped.dll", 0},  // with an RFC 3161 time stamp
      // Expired signer, stamped while it was valid: the stamp's time counts only when the
      // stamp verifies and was made over this very signature.
      {L"expired_stamped.dll", 0},
      {L"expired_legacy.dll", 0},  // PKCS #9 countersignature
      {L"expired_moved_stamp.dll", 5},
      {L"expired_moved_legacy.dll", 5},
      {L"expired_broken_stamp.dll", 5},
      {L"expired_broken_legacy.dll", 5},
      {L"wrong.dll", 5},     // "Mallory Software"
      {L"refused.dll", 5},   // refused serial, everything else good
      {L"expired.dll", 5},   // signer expired, no time stamp
      {L"wrongeku.dll", 5},  // not valid for code signing
      {L"unlisted.dll", 5},  // machine-trusted root that is not listed
      {L"newco.dll", 5},     // name known only to a newer list
      {L"unsigned.dll", 5},
      {L"tampered.dll", 5},
      {L"no_such_file.dll", 5},
  };
  for (const VerdictCase& c : cases) {
    EXPECT_EQ(VerifyModuleFileTrust(Fixture(c.file).c_str()), c.verdict) << c.file;
  }
  EXPECT_EQ(VerifyModuleFileTrust(L""), 87u);
  EXPECT_EQ(VerifyModuleFileTrust(nullptr), 87u);
  EXPECT_EQ(CCodeTrustVerifier::GetInstance()->VerifyFile(L""), 87u);
}

// A file held open is judged by what its handle reads, whatever the path given with it names (here
// always the unsigned fixture), and by its own signature alone.
TEST_F(CodeTrustTest, AHeldFileIsJudgedThroughItsHandle) {
  const VerdictCase cases[] = {
      {L"good.dll", 0},
      {L"inc.dll", 0},
      {L"timestamped.dll", 0},
      {L"second_good.dll", 0},
      {L"expired_stamped.dll", 0},
      {L"wrong.dll", 5},
      {L"refused.dll", 5},
      {L"expired.dll", 5},
      {L"unlisted.dll", 5},
      {L"unsigned.dll", 5},
      {L"tampered.dll", 5},
  };
  const std::wstring elsewhere = Fixture(L"unsigned.dll");
  for (const VerdictCase& c : cases) {
    Basalt::UniqueFile held(CreateFileW(Fixture(c.file).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held) << c.file;
    EXPECT_EQ(VerifyHeldFileTrust(held.get(), elsewhere.c_str()), c.verdict) << c.file;
  }
  Basalt::UniqueFile unsignedFile(CreateFileW(elsewhere.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(unsignedFile);
  EXPECT_EQ(VerifyHeldFileTrust(unsignedFile.get(), Fixture(L"good.dll").c_str()), 5u);
  EXPECT_EQ(VerifyHeldFileTrust(INVALID_HANDLE_VALUE, elsewhere.c_str()), 87u);
  EXPECT_EQ(VerifyHeldFileTrust(nullptr, elsewhere.c_str()), 87u);
}

// A certificate table that a hostile file places outside itself, makes larger than the bound or
// whose entry claims more than the table holds is not read: the file is not trusted.
TEST_F(CodeTrustTest, AHeldFileWithAHostileCertificateTableIsNotTrusted) {
  const std::string good = trust_test::ReadFileBytes(Fixture(L"good.dll"));
  ASSERT_FALSE(good.empty());
  IMAGE_DOS_HEADER dos;
  memcpy(&dos, good.data(), sizeof(dos));
  const size_t directory = dos.e_lfanew +
                           offsetof(IMAGE_NT_HEADERS64, OptionalHeader.DataDirectory) +
                           IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
  IMAGE_DATA_DIRECTORY table;
  memcpy(&table, good.data() + directory, sizeof(table));
  struct Case {
    const char* what;
    DWORD offset, size, entryLength;
  } const cases[] = {
      {"as it is", table.VirtualAddress, table.Size, 0},
      {"past the end of the file", static_cast<DWORD>(good.size()), table.Size, 0},
      // Padded to past the bound at the end of the file, where the padding is no signed content.
      {"larger than the bound", table.VirtualAddress, kMaxCertificateTableBytes + 8, 0},
      {"an entry longer than the table", table.VirtualAddress, table.Size, table.Size + 8},
  };
  const std::wstring folder = trust_test::MakeScratchFolder(L"certtable");
  for (const Case& c : cases) {
    std::string bytes = good;
    if (c.size > table.Size) bytes.resize(table.VirtualAddress + c.size);
    memcpy(&bytes[directory], &c.offset, 4);
    memcpy(&bytes[directory + 4], &c.size, 4);
    if (c.entryLength != 0) memcpy(&bytes[table.VirtualAddress], &c.entryLength, 4);
    const std::wstring path = folder + L"\\hostile.dll";
    ASSERT_TRUE(trust_test::WriteFileBytes(path, bytes));
    Basalt::UniqueFile held(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(
        VerifyHeldFileTrust(held.get(), path.c_str()),
        c.offset == table.VirtualAddress && c.size == table.Size && c.entryLength == 0 ? 0u : 5u)
        << c.what;
  }
  trust_test::RemoveTree(folder);
}

bool RunningUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Wine's crypt32 cannot decode a message with two signers: the test binding then decodes
// each signer from a message of its own.
TEST_F(CodeTrustTest, EverySignerIsTried) {
  const VerdictCase cases[] = {
      {L"second_good.dll", 0},        // first signer has a wrong name, second is good
      {L"refused_then_good.dll", 0},  // first signer's serial is refused, second is good
      {L"wrong_then_refused.dll", 5},
  };
  for (const VerdictCase& c : cases) {
    EXPECT_EQ(VerifyModuleFileTrust(Fixture(c.file).c_str()), c.verdict) << c.file;
  }
}

TEST_F(CodeTrustTest, SignerWhoseSignatureCoversOtherContentIsRefused) {
  // Wine's signature check does not compare a signer's message digest with the content.
  if (RunningUnderWine()) GTEST_SKIP() << "only Windows checks the signed content's digest";
  // The second signer is good, but its signature was made over another file.
  EXPECT_EQ(VerifyModuleFileTrust(Fixture(L"forged_second.dll").c_str()), 5u);
}

TEST_F(CodeTrustTest, TimestampPolicyFailureRefusesAnOtherwiseGoodSigner) {
  const int before = trust_test::TimestampPolicyCalls();
  trust_test::SetTimestampPolicyFails(true);
  EXPECT_EQ(VerifyModuleFileTrust(Fixture(L"good.dll").c_str()), 5u);
  EXPECT_GT(trust_test::TimestampPolicyCalls(), before);
}

TEST_F(CodeTrustTest, FileOpenForWritingIsNotTrusted) {
  const std::wstring folder = trust_test::MakeScratchFolder(L"writing");
  const std::wstring copy = folder + L"\\good.dll";
  ASSERT_TRUE(CopyFileW(Fixture(L"good.dll").c_str(), copy.c_str(), FALSE));
  {
    HANDLE writer = CreateFileW(copy.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    // What is verified could change before the verdict is made.
    EXPECT_EQ(VerifyModuleFileTrust(copy.c_str()), 5u);
    CloseHandle(writer);
  }
  EXPECT_EQ(VerifyModuleFileTrust(copy.c_str()), 0u);
  trust_test::RemoveTree(folder);
}

TEST_F(CodeTrustTest, NoValidatorWithoutTheServiceKey) {
  // The test prefix has no Software\Telvan\BaseFrame key.
  EXPECT_EQ(CCodeTrustVerifier::GetInstance()->GetVersion(), 0u);
  EXPECT_EQ(CCodeTrustVerifier::GetInstance()->GetValidator(), nullptr);
  EXPECT_EQ(CCodeTrustVerifier::GetInstance(), CCodeTrustVerifier::GetInstance());
}

// --- Countersignature time -------------------------------------------------------------

ULONGLONG ToTicks(const FILETIME& t) {
  return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

TEST_F(CodeTrustTest, CounterSignatureTime) {
  SignedFile stamped = OpenSigned(Fixture(L"timestamped.dll"));
  FILETIME time = {1, 1};
  ASSERT_EQ(GetCounterSignatureTime(stamped.message, 0, &time), 0u);
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  // The fixtures are made by this build: the stamp is recent, and it was verified.
  EXPECT_NE(ToTicks(time), 0u);
  EXPECT_LT(now.dwHighDateTime == 0 ? 0 : ToTicks(now) - ToTicks(time),
            30ull * 24 * 3600 * 10000000);

  const SYSTEMTIME stampTime = {2010, 6, 2, 1, 0, 0, 0, 0};
  FILETIME june2010 = {};
  ASSERT_TRUE(SystemTimeToFileTime(&stampTime, &june2010));
  // A stamp that does not vouch for its time is no error: the time is simply not taken.
  const struct {
    const wchar_t* file;
    ULONGLONG ticks;
  } cases[] = {
      {L"good.dll", 0},
      {L"expired_stamped.dll", ToTicks(june2010)},
      {L"expired_legacy.dll", ToTicks(june2010)},
      {L"expired_moved_stamp.dll", 0},
      {L"expired_moved_legacy.dll", 0},
      {L"expired_broken_stamp.dll", 0},
      {L"expired_broken_legacy.dll", 0},
  };
  for (const auto& c : cases) {
    SignedFile file = OpenSigned(Fixture(c.file));
    time = {1, 1};
    EXPECT_EQ(GetCounterSignatureTime(file.message, 0, &time), 0u) << c.file;
    EXPECT_EQ(ToTicks(time), c.ticks) << c.file;
  }
}

struct SigningTimeCase {
  std::vector<BYTE> value;
  DWORD result;
  WORD year;  // 0: time unchanged
  WORD month;
};

std::vector<BYTE> UtcTime(const std::string& text) {
  std::vector<BYTE> v(text.size() + 2);
  v[0] = 0x17;
  v[1] = static_cast<BYTE>(text.size());
  for (size_t i = 0; i < text.size(); ++i) v[i + 2] = static_cast<BYTE>(text[i]);
  return v;
}

TEST(SigningTimeAttribute, ReadsOnlyWellFormedUtcTime) {
  const SigningTimeCase cases[] = {
      {UtcTime("260102030405Z"), 0, 2026, 1},
      {UtcTime("491231235959Z"), 0, 2049, 12},
      {UtcTime("700101000000Z"), 0, 1970, 1},
      {UtcTime("991231235959Z"), 0, 1999, 12},
      {UtcTime("20260102030405Z"), 0, 0, 0},                      // 17 bytes: passed over
      {UtcTime("2601020304Z"), 0, 0, 0},                          // too short: passed over
      {UtcTime("26x102030405Z"), 0, 0, 0},                        // not digits: passed over
      {UtcTime("261302030405Z"), ERROR_INVALID_PARAMETER, 0, 0},  // month 13
  };
  for (const SigningTimeCase& c : cases) {
    CRYPT_ATTR_BLOB blob = {static_cast<DWORD>(c.value.size()), const_cast<BYTE*>(c.value.data())};
    CRYPT_ATTRIBUTE attribute = {const_cast<LPSTR>(szOID_RSA_signingTime), 1, &blob};
    CMSG_SIGNER_INFO signer = {};
    signer.AuthAttrs.cAttr = 1;
    signer.AuthAttrs.rgAttr = &attribute;
    FILETIME time = {7, 7};
    const DWORD result = GetSigningTimeAttribute(&signer, &time);
    if (c.result == 0) {
      EXPECT_EQ(result, 0u) << c.value.size();
    } else {
      EXPECT_NE(result, 0u) << c.value.size();
    }
    if (c.year == 0) {
      EXPECT_EQ(time.dwLowDateTime, 7u);
      EXPECT_EQ(time.dwHighDateTime, 7u);
    } else {
      SYSTEMTIME st = {};
      ASSERT_TRUE(FileTimeToSystemTime(&time, &st));
      EXPECT_EQ(st.wYear, c.year);
      EXPECT_EQ(st.wMonth, c.month);
    }
  }
  CMSG_SIGNER_INFO none = {};
  FILETIME untouched = {3, 4};
  EXPECT_EQ(GetSigningTimeAttribute(&none, &untouched), 0u);
  EXPECT_EQ(untouched.dwLowDateTime, 3u);
}

// --- Lists ----------------------------------------------------------------------------

TEST(TrustListHelpers, SerialNumbersAreWrittenMostSignificantByteFirst) {
  const wchar_t* const serials[] = {L"1BAD5E", L"00ff01", nullptr};
  const BYTE refused[] = {0x5e, 0xad, 0x1b};  // stored least significant byte first
  const BYTE leadingZero[] = {0x01, 0xff, 0x00};
  const BYTE other[] = {0x1b, 0xad, 0x5e};
  EXPECT_TRUE(CheckSerialNumber(refused, sizeof(refused), serials));
  EXPECT_TRUE(CheckSerialNumber(leadingZero, sizeof(leadingZero), serials));
  EXPECT_FALSE(CheckSerialNumber(other, sizeof(other), serials));
  EXPECT_FALSE(CheckSerialNumber(refused, sizeof(refused), nullptr));
  EXPECT_FALSE(CheckSerialNumber(refused, 0, serials));
  EXPECT_FALSE(CheckSerialNumber(nullptr, 3, serials));
  const wchar_t* const empty[] = {nullptr};
  EXPECT_FALSE(CheckSerialNumber(refused, sizeof(refused), empty));
}

TEST(TrustListHelpers, ThumbprintListing) {
  BYTE a[20] = {1, 2, 3};
  BYTE b[20] = {9, 9, 9};
  const BYTE* const listed[] = {nullptr, a};  // a null entry matches nothing
  EXPECT_TRUE(IsThumbprintListed(a, 20, listed, 2));
  EXPECT_FALSE(IsThumbprintListed(b, 20, listed, 2));
  EXPECT_FALSE(IsThumbprintListed(a, 19, listed, 2));
  EXPECT_TRUE(IsThumbprintListed(b, 20, nullptr, 0));  // no list: every root passes
  EXPECT_TRUE(IsThumbprintListed(b, 20, listed, 0));
  BOOL matched = FALSE;
  EXPECT_EQ(CheckChainThumbprints(nullptr, &matched, listed, 2), 87u);
}

TEST_F(CodeTrustTest, SignerNameCheck) {
  SignedFile file = OpenSigned(Fixture(L"case.dll"));
  DWORD size = 0;
  ProcessHeapBuffer info = GetCryptMsgParam(file.message, CMSG_SIGNER_INFO_PARAM, 0, &size);
  ASSERT_TRUE(info);
  const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(info.get());
  CERT_INFO wanted = {};
  wanted.Issuer = signer->Issuer;
  wanted.SerialNumber = signer->SerialNumber;
  UniqueCertContext certificate(CertGetSubjectCertificateFromStore(
      file.store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, &wanted));
  ASSERT_TRUE(certificate);
  BOOL matched = FALSE;
  EXPECT_EQ(CheckSignerName(certificate.get(), &matched, TrustedSignerNames), 0u);
  EXPECT_TRUE(matched);
  const wchar_t* const others[] = {L"Telvan, LLC ", L"Telvan", nullptr};
  matched = FALSE;
  EXPECT_EQ(CheckSignerName(certificate.get(), &matched, others), 5u);
  EXPECT_FALSE(matched);
  EXPECT_EQ(CheckSignerName(certificate.get(), &matched, nullptr), 0u);
  EXPECT_TRUE(matched);
}

// --- External validation --------------------------------------------------------------

class RecordingValidator final : public trust_test::ValidatorStub {
 public:
  HRESULT STDMETHODCALLTYPE ValidateFile(const wchar_t* path, DWORD flags,
                                         ValidationResult* result) override {
    lastPath = path;
    lastFlags = flags;
    sawCleared = result->status == 0 && result->trustFlags == 0;
    *result = answer;
    return E_FAIL;  // not examined
  }
  ValidationResult answer = {};
  std::wstring lastPath;
  DWORD lastFlags = 0;
  bool sawCleared = false;
};

class VerifierWith : public CCodeTrustVerifier {
 public:
  VerifierWith(DWORD serviceVersion, KcvValidationControl* validator)
      : CCodeTrustVerifier(serviceVersion, validator) {}
};

TEST(ServiceVersion, FromRecordedText) {
  const struct {
    const wchar_t* text;
    DWORD version;
  } cases[] = {{L"15.7", 1507},  {L"15.5", 1505}, {L"15.4", 1504},  {L"14.9", 1504},
               {L"16.2", 1504},  {L"16.0", 1504}, {L"20.10", 2010}, {L"15", 1504},
               {L"-16.5", 1504}, {L"abc", 1504},  {L"", 1504},      {L"99999999999.5", 1504},
               {L"15.7.3", 1507}};
  for (const auto& c : cases) {
    EXPECT_EQ(CCodeTrustVerifier::VersionFromText(c.text), c.version) << c.text;
  }
}

TEST_F(CodeTrustTest, ExternalValidatorVerdicts) {
  const struct {
    DWORD version;
    ValidationResult answer;
    DWORD flags;
    DWORD verdict;
  } cases[] = {
      {1504, {2, 1}, 4, 0},   {1504, {2, 8}, 4, 5},   {1504, {0, 1}, 4, 5},   {1504, {3, 9}, 4, 0},
      {1507, {2, 8}, 512, 0}, {1507, {2, 1}, 512, 5}, {1507, {0, 8}, 512, 5}, {0, {2, 1}, 4, 0},
  };
  for (const auto& c : cases) {
    RecordingValidator validator;
    validator.answer = c.answer;
    VerifierWith verifier(c.version, &validator);
    const std::wstring path = Fixture(L"unsigned.dll");
    EXPECT_EQ(verifier.ValidateExternally(path.c_str()), c.verdict) << c.version;
    EXPECT_EQ(validator.lastFlags, c.flags);
    EXPECT_EQ(validator.lastPath, path);
    EXPECT_TRUE(validator.sawCleared);
    // Vouched: trusted without a signature; not vouched: the Authenticode road decides.
    EXPECT_EQ(verifier.VerifyFile(path.c_str()), c.verdict);
    EXPECT_EQ(verifier.VerifyFile(Fixture(L"good.dll").c_str()), 0u);
  }
  VerifierWith none(1507, nullptr);
  EXPECT_EQ(none.ValidateExternally(Fixture(L"good.dll").c_str()), 5u);
}

}  // namespace
