// The cost per call of the caller check of a secure class factory: CreateObject called from client
// processes through COM, the first call of each client and the call after it (answered from the
// verdict kept for it), for a small and a large signed client and for a small one as deep in
// folders as a held file may be; the goal is that a kept verdict costs the same whatever the
// client's size or depth. A program run by hand (see the README), not a test.
//   CallerCheckBench [clients]   clients of each kind (default 10)
#include <objbase.h>
#include <windows.h>
// These need <windows.h> first.
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "TestTrustData.inc"
#include "TrustTestSupport.h"
#include "basalt/UniqueHandle.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestPrograms.h"
#include "tests/trust/securecom/SecureComClients.h"
#include "tests/trust/securecom/SecureComTestServer.h"
#include "trust/HeldFile.h"

namespace {

const BYTE kTestRoot[] = {TEST_ROOT_DER};

// The test signer's root in the prefix's LocalMachine Root store, as the tests put it there.
bool InstallTestRoot() {
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == nullptr) return false;
  const bool added =
      CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, kTestRoot, sizeof(kTestRoot),
                                       CERT_STORE_ADD_USE_EXISTING, nullptr) != FALSE;
  CertCloseStore(store, 0);
  return added;
}

std::wstring ClsidKey() {
  wchar_t text[40] = {};
  StringFromGUID2(CLSID_SecureComProbe, text, 40);
  return std::wstring(L"CLSID\\") + text;
}

bool RegisterServer(const std::wstring& server) {
  Basalt::UniqueHKey key;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, (ClsidKey() + L"\\InprocServer32").c_str(), 0, nullptr, 0,
                      KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const auto set = [&](const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
  };
  return set(nullptr, server) && set(L"ThreadingModel", L"Both");
}

struct Kind {
  const char* what;
  std::wstring program;
  std::vector<double> first, cached;  // milliseconds
};

double Median(std::vector<double> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  const size_t half = values.size() / 2;
  return values.size() % 2 != 0 ? values[half] : (values[half - 1] + values[half]) / 2;
}

double Megabytes(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(LongPathForm(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<double>(data.nFileSizeHigh) * 4294967296.0 + data.nFileSizeLow) / 1048576.0;
}

// Runs one client; false when it failed or wrote no times.
bool RunOnce(Kind& kind, const std::wstring& timesFile) {
  DeleteFileW(timesFile.c_str());
  securecom_test::ClientProcess client(kind.program, false, L"twice:" + timesFile);
  if (client.pid() == 0 || client.Finish() != 0) return false;
  long long first = -1, second = -1;
  const std::string text = trust_test::ReadFileBytes(timesFile);
  if (sscanf(text.c_str(), "%lld %lld", &first, &second) != 2) return false;
  kind.first.push_back(first / 1000.0);
  kind.cached.push_back(second / 1000.0);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int clients = argc > 1 ? _wtoi(argv[1]) : 10;
  if (clients <= 0) return 2;
  if (!InstallTestRoot()) {
    fprintf(stderr, "cannot install the test root\n");
    return 1;
  }
  Basalt::ScopedComApartment apartment(COINIT_MULTITHREADED);
  const std::wstring folder = testsupport::ExeFolder();
  const std::wstring ps = testsupport::WinePath(SECURECOM_FACTORY_PS_SIGNED);
  if (testsupport::Regsvr32(ps, false) != 0 ||
      !RegisterServer(folder + L"SecureComTestServer_signed.dll")) {
    fprintf(stderr, "cannot register the test server and its proxy/stub\n");
    return 1;
  }
  IQxClassFactory* factory = nullptr;
  DWORD cookie = 0;
  if (FAILED(CoGetClassObject(CLSID_SecureComProbe, CLSCTX_INPROC_SERVER, nullptr,
                              IID_IQxClassFactory, reinterpret_cast<void**>(&factory))) ||
      FAILED(CoRegisterClassObject(CLSID_SecureComProbe, factory, CLSCTX_LOCAL_SERVER,
                                   REGCLS_MULTIPLEUSE, &cookie))) {
    fprintf(stderr, "cannot register the running class object\n");
    return 1;
  }

  // A signed client as deep in folders as allowed.
  const std::wstring scratch = trust_test::MakeScratchFolder(L"bench");
  wchar_t full[MAX_PATH] = {};
  GetFullPathNameW(scratch.c_str(), MAX_PATH, full, nullptr);
  size_t depth = 1;
  for (const wchar_t* c = full + 3; *c != L'\0'; ++c) depth += *c == L'\\' ? 1 : 0;
  std::wstring deep = full;
  for (; depth < kMaxHeldFolders; ++depth) {
    deep += L"\\d";
    CreateDirectoryW(LongPathForm(deep).c_str(), nullptr);
  }
  deep += L"\\SecureComTestProcess.exe";
  CopyFileW((folder + L"SecureComTestProcess_signed.exe").c_str(), LongPathForm(deep).c_str(),
            FALSE);

  Kind kinds[] = {
      {"small signed client", folder + L"SecureComTestProcess_signed.exe", {}, {}},
      {"large signed client", folder + L"SecureComLargeProcess_signed.exe", {}, {}},
      {"small signed client, 256 folders deep", deep, {}, {}},
  };
  const std::wstring timesFile = scratch + L"\\times.txt";
  int failures = 0;
  for (int round = 0; round < clients; ++round) {
    for (Kind& kind : kinds) failures += RunOnce(kind, timesFile) ? 0 : 1;
  }

  printf(
      "Caller check: CreateObject from a client process through COM, median of %d clients "
      "each (ms)\n",
      clients);
  printf("%-40s %9s %12s %12s\n", "client", "size MB", "first call", "cached call");
  for (const Kind& kind : kinds) {
    printf("%-40s %9.1f %12.2f %12.2f\n", kind.what, Megabytes(kind.program), Median(kind.first),
           Median(kind.cached));
  }
  // A client pays for its check once: what a kept verdict costs does not grow with the client.
  const double small = Median(kinds[0].cached);
  printf(
      "cached call of the large and the deep client against the small client's: %.2f, %.2f "
      "(goal: at most 2)\n",
      Median(kinds[1].cached) / small, Median(kinds[2].cached) / small);
  if (failures != 0) printf("%d client runs failed\n", failures);

  CoRevokeClassObject(cookie);
  factory->Release();
  RegDeleteTreeW(HKEY_CLASSES_ROOT, ClsidKey().c_str());
  (void)testsupport::Regsvr32(ps, true);
  trust_test::RemoveTree(LongPathForm(scratch));
  return failures == 0 ? 0 : 1;
}
