// ctest-lock: scm
// The evaluators on description files of the tests: the line grammar, directory IDs, registry and
// server lookups, the output protocol and the bounds of every copy; each in a folder whose name
// the ANSI code page holds and in one whose name it cannot hold.
#include <gtest/gtest.h>
#include <objbase.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "QuilletTestSupport.h"
#include "tests/support/RawRegistry.h"
#include "tests/support/ScratchMachineKey.h"
#include "versionserver/CCheckComponent.h"
#include "versionserver/CGetVersion.h"
#include "versionserver/ComponentLookup.h"

namespace {

using quillet_test::Ansi;
using quillet_test::kOutsideAnsiName;
using testsupport::WinePath;

constexpr DWORD kMoreData = ERROR_MORE_DATA;
const char kVersion[] = "17.6.140.0";

struct Outcome {
  DWORD code = 0;
  std::string text;
  size_t size = 0;
  int chars = 0;
};

template <class Evaluator>
Outcome Evaluate(const std::wstring& ini, char* buffer, size_t size) {
  Evaluator evaluator(ini.c_str());
  Outcome run;
  run.size = size;
  run.code = evaluator.ProcessSections(
      buffer, &run.size, std::unique_ptr<char[]>(new char[CRetrieveINI::kSectionBufferBytes]));
  run.text = buffer != nullptr && size > 0 ? buffer : "";
  run.chars = evaluator.OutputChars();
  return run;
}

// A sizing run and then, when there is output, a run with the size it asked for.
template <class Evaluator>
Outcome EvaluateFully(const std::wstring& ini) {
  const Outcome sizing = Evaluate<Evaluator>(ini, nullptr, 0);
  if (sizing.code != kMoreData || sizing.size == 0) return sizing;
  std::vector<char> buffer(sizing.size, 'x');
  return Evaluate<Evaluator>(ini, buffer.data(), buffer.size());
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// A folder (named by the parameter) with ver.dll (a file with the build's version), plain.txt (no
// version resource) and vdir.dll (a folder); descriptions are written into it, and the results may
// name it as <F>: in the ANSI code page, as the output lines carry it.
class EvaluationTest : public ::testing::TestWithParam<const wchar_t*> {
 protected:
  void SetUp() override {
    ASSERT_EQ(std::wstring(GetParam()) != kOutsideAnsiName, quillet_test::AnsiHolds(GetParam()))
        << "whether the ANSI code page " << GetACP() << " holds the folder's name";
    ASSERT_TRUE(CreateDirectoryW(m_folder.c_str(), nullptr));
    ASSERT_TRUE(quillet_test::CopyInto(WinePath(QX_STANDIN_FENNICK), m_folder + L"\\ver.dll"));
    ASSERT_TRUE(quillet_test::WriteBytes(m_folder + L"\\plain.txt", "no version here"));
    ASSERT_TRUE(CreateDirectoryW((m_folder + L"\\vdir.dll").c_str(), nullptr));
    GetCurrentDirectoryW(MAX_PATH, m_oldCurrent);
    // "." is a folder without the test files unless a test says otherwise.
    SetCurrentDirectoryW(m_elsewhere.c_str());
  }
  void TearDown() override {
    if (m_service) DeleteService(m_service.get());
    SetCurrentDirectoryW(m_oldCurrent);
    trust_test::RemoveTree(m_root);
    trust_test::RemoveTree(m_elsewhere);
  }

  std::string Folder() const { return Ansi(m_folder); }
  // Writes |text| as a description and returns its path.
  std::wstring Ini(const std::string& text) {
    const std::wstring path = m_folder + L"\\desc" + std::to_wstring(++m_inis) + L".ini";
    EXPECT_TRUE(quillet_test::WriteBytes(path, text));
    return path;
  }
  std::string Expected(const std::string& text) const { return Replace(text, "<F>", Folder()); }
  // Creates the service |name| whose binary is ver.dll of the folder (quoted, with an argument);
  // TearDown deletes it.
  void CreateTestService(const std::wstring& name) {
    const std::wstring binary = L"\"" + m_folder + L"\\ver.dll\" /group";
    Basalt::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    m_service.reset(CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_SHARE_PROCESS, SERVICE_DEMAND_START,
                                   SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr, nullptr,
                                   nullptr, nullptr));
    ASSERT_TRUE(m_service) << GetLastError();
  }

  const std::wstring m_root = trust_test::MakeScratchFolder(L"eval");
  const std::wstring m_folder = m_root + L"\\" + GetParam();
  const std::wstring m_elsewhere = trust_test::MakeScratchFolder(L"elsewhere");
  quillet_test::ScopedEnvironment m_env{L"QXT", m_folder};
  wchar_t m_oldCurrent[MAX_PATH] = {};
  int m_inis = 0;
  Basalt::UniqueScHandle m_service;
};

TEST_P(EvaluationTest, FilesLinesFollowTheItemGrammar) {
  const std::string line = std::string("ver.dll=") + kVersion + "\n";
  const struct {
    const char* what;
    const char* files;
    std::string versions;
    DWORD versionCode;
    const char* missing;
    DWORD missingCode;
  } cases[] = {
      {"file with a version", "1=ver.dll", line, 0, "", 0},
      {"display name after $", "1=ver.dll$Shown", std::string("Shown=") + kVersion + "\n", 0, "",
       0},
      {"file without a version resource", "1=plain.txt", "", 0, "", 0},
      {"missing file", "1=gone.dll", "", 2, "<F>\\gone.dll\n", 2},
      {"optional missing file", "1=ver.dll,*gone.dll", line, 0, "", 0},
      {"optional after blanks", "1=ver.dll,  *gone.dll", line, 0, "", 0},
      {"any of: first absent", "1=+gone.dll,ver.dll", line, 0, "", 0},
      {"any of: second absent, taken back", "1= +ver.dll,gone.dll", line, 0, "", 0},
      {"any of: none present", "1=+gone.dll,lost.dll", "", 2, "<F>\\gone.dll\n<F>\\lost.dll\n", 2},
      {"blank after a comma stays in the name", "1=ver.dll, gone.dll,ver.dll", line + line, 2,
       "<F>\\ gone.dll\n", 2},
      {"blanks before the last item go", "1=gone.dll,  \tver.dll", line, 2, "<F>\\gone.dll\n", 2},
      {"blank last item is no item", "1=ver.dll,  ", line, 0, "", 0},
      {"wildcard matching a file", "1=v*.dll", "", 0, "", 0},
      {"wildcard matching only a folder", "1=vdi?.dll", "", 2, "<F>\\vdi?.dll\n", 2},
      {"comment, and a line without =", "; 1=gone.dll\n1 gone.dll\n1=ver.dll", line, 0, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring ini = Ini(std::string("[DirID]\n1=%QXT%\n[Files]\n") + c.files + "\n");
    const Outcome versions = EvaluateFully<CGetVersion>(ini);
    EXPECT_EQ(c.versions, versions.text);
    EXPECT_EQ(c.versions.empty() ? kMoreData : c.versionCode, versions.code);
    const Outcome missing = EvaluateFully<CCheckComponent>(ini);
    EXPECT_EQ(Expected(c.missing), missing.text);
    EXPECT_EQ(std::strlen(c.missing) == 0 ? kMoreData : c.missingCode, missing.code);
  }
}

TEST_P(EvaluationTest, DirectoryIdsResolveOrFallBackToTheCurrentFolder) {
  const std::wstring ini =
      Ini("[DirID]\n2=%SYSTEMFOLDER%\n"
          "[DirID-winxp]\n8=%QXT%\n"  // OS-specific sections are never read
          "[DirID-allnt]\n9=%qxt%\n"
          "[Files]\n2=kernel32.dll\n8=ver.dll\n9=ver.dll$InNine\n");
  const Outcome versions = EvaluateFully<CGetVersion>(ini);
  EXPECT_EQ(0u, versions.text.find("kernel32.dll=")) << versions.text;
  EXPECT_NE(std::string::npos, versions.text.find(std::string("\nInNine=") + kVersion + "\n"));
  EXPECT_EQ(".\\ver.dll\n", EvaluateFully<CCheckComponent>(ini).text);

  // An unresolved dir-id looks in the current folder.
  SetCurrentDirectoryW(m_folder.c_str());
  EXPECT_EQ(std::string("ver.dll=") + kVersion + "\n",
            EvaluateFully<CGetVersion>(Ini("[Files]\n77=ver.dll\n")).text);
}

TEST_P(EvaluationTest, ServersOfRegisteredClassesAreFound) {
  GUID inproc = {}, local = {};
  ASSERT_EQ(S_OK, CoCreateGuid(&inproc));
  ASSERT_EQ(S_OK, CoCreateGuid(&local));
  wchar_t inprocText[40] = {}, localText[40] = {};
  StringFromGUID2(inproc, inprocText, 40);
  StringFromGUID2(local, localText, 40);
  const std::wstring inprocKey = std::wstring(L"CLSID\\") + inprocText;
  const std::wstring localKey = std::wstring(L"CLSID\\") + localText;
  const auto cleanup = Basalt::MakeScopeExit([&] {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, inprocKey.c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, localKey.c_str());
  });
  const std::wstring quoted = L"\"" + m_folder + L"\\ver.dll\" /arg";
  for (const auto& key : {inprocKey + L"\\InprocServer32", localKey + L"\\LocalServer32"}) {
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, quoted.c_str(),
                              static_cast<DWORD>((quoted.size() + 1) * sizeof(wchar_t))));
  }
  const std::wstring ini = Ini("[DirID]\n3=clsid:" + Ansi(inprocText) + "\n[Files]\n3=plain.txt\n" +
                               "[COM]\nInproc=" + Ansi(inprocText) + "\nLocal=" + Ansi(localText) +
                               "\nNone={00000000-0000-0000-0000-0000000000AB}\n");
  EXPECT_EQ(std::string("Inproc=") + kVersion + "\nLocal=" + kVersion + "\n",
            EvaluateFully<CGetVersion>(ini).text);
  EXPECT_EQ("{00000000-0000-0000-0000-0000000000AB}\n", EvaluateFully<CCheckComponent>(ini).text);
}

TEST_P(EvaluationTest, ServicesAreFoundThroughTheirConfiguration) {
  const std::wstring name = L"QxEvalService-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_NO_FATAL_FAILURE(CreateTestService(name));

  const std::wstring ini = Ini("[Service]\nHost=" + Ansi(name) + "\nNone=QxNoSuchService\n");
  const Outcome versions = EvaluateFully<CGetVersion>(ini);
  EXPECT_EQ(std::string("Host=") + kVersion + "\n", versions.text);
  EXPECT_EQ(2u, versions.code);
  EXPECT_EQ("QxNoSuchService\n", EvaluateFully<CCheckComponent>(ini).text);
}

// A "$REG$" key path that starts with HKCU reads the current user in COM sections, but in DirID
// sections names a key of that literal path below HKEY_LOCAL_MACHINE.
TEST_P(EvaluationTest, RegistryItemsReadTheirRootOnlyInComSections) {
  testsupport::ScratchMachineKey machine(L"QxEval");
  ASSERT_TRUE(machine.ok());
  const std::wstring sub =
      L"Software\\HollinTests\\QxReg-" + std::to_wstring(GetCurrentProcessId());
  const auto cleanup =
      Basalt::MakeScopeExit([&] { RegDeleteTreeW(HKEY_CURRENT_USER, sub.c_str()); });
  const auto put = [](HKEY root, const std::wstring& key, const wchar_t* name,
                      const std::wstring& data) {
    return RegSetKeyValueW(root, key.c_str(), name, REG_SZ, data.c_str(),
                           static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  };
  ASSERT_EQ(ERROR_SUCCESS, put(HKEY_LOCAL_MACHINE, L"HKCU\\" + sub, L"Folder", m_folder));
  ASSERT_EQ(ERROR_SUCCESS, put(HKEY_CURRENT_USER, sub, L"Folder", L"C:\\nowhere"));
  ASSERT_EQ(ERROR_SUCCESS, put(HKEY_CURRENT_USER, sub, L"File", m_folder + L"\\ver.dll"));
  ASSERT_EQ(ERROR_SUCCESS, put(HKEY_CURRENT_USER, sub, nullptr, m_folder + L"\\plain.txt"));

  const std::string key = "HKCU\\" + Ansi(sub);
  const std::wstring ini =
      Ini("[DirID]\n4=$REG$KEY=" + key + ";NAME=Folder\n[Files]\n4=ver.dll\n" +
          "[COM]\nByUser=$REG$KEY=" + key + ";NAME=File\nByDefault=$reg$key=" + key +
          ";name=default\nNoValue=$REG$KEY=" + key + ";NAME=Gone\n");
  EXPECT_EQ(std::string("ver.dll=") + kVersion + "\nByUser=" + kVersion + "\n",
            EvaluateFully<CGetVersion>(ini).text);
  // An unresolved COM item stands for itself, upper-cased and cut before its NAME=.
  std::string upper = key;
  CharUpperA(&upper[0]);
  EXPECT_EQ("$REG$KEY=" + upper + "\n", EvaluateFully<CCheckComponent>(ini).text);
}

TEST_P(EvaluationTest, AComLineWithoutEqualsEndsItsSection) {
  const std::wstring ini =
      Ini("[DirID]\n1=%QXT%\n[Files]\n1=ver.dll\n[COM]\nnoequals\nLater={x}\n");
  const Outcome versions = EvaluateFully<CGetVersion>(ini);
  EXPECT_EQ(2u, versions.code);
  EXPECT_EQ(std::string("ver.dll=") + kVersion + "\n", versions.text);
  EXPECT_EQ(kMoreData, EvaluateFully<CCheckComponent>(ini).code) << "Later= is never read";
}

// Lines are written only while they end below the buffer's length; a buffer exactly as long as
// the lines has no room for the terminator, so the evaluation asks for more.
TEST_P(EvaluationTest, OutputThatEndsAtTheBuffersEndAsksForMore) {
  const std::wstring ini = Ini("[DirID]\n1=%QXT%\n[Files]\n1=ver.dll,ver.dll$Ab\n");
  const std::string lines = std::string("ver.dll=") + kVersion + "\nAb=" + kVersion + "\n";
  const Outcome sizing = Evaluate<CGetVersion>(ini, nullptr, 0);
  ASSERT_EQ(kMoreData, sizing.code);
  ASSERT_EQ(lines.size() + 1, sizing.size);
  EXPECT_EQ(static_cast<int>(lines.size()) + 1, sizing.chars);

  const struct {
    size_t size;
    DWORD code;
    std::string text;
  } cases[] = {
      {lines.size() - 1, kMoreData, std::string("ver.dll=") + kVersion + "\n"},
      {lines.size(), kMoreData, std::string("ver.dll=") + kVersion + "\n"},
      {lines.size() + 1, 0, lines},
      {lines.size() + 2, 0, lines + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    std::vector<char> buffer(c.size, 'x');
    const Outcome run = Evaluate<CGetVersion>(ini, buffer.data(), buffer.size());
    EXPECT_EQ(c.code, run.code);
    EXPECT_EQ(c.text, run.text);
    EXPECT_EQ(lines.size() + 1, run.size);
    EXPECT_EQ(static_cast<int>(lines.size()) + 1, run.chars);
  }
}

// A COM or SERVICE item that names no registered class or service stands for a file of that name
// (for COM upper-cased): an existing one is there, only absent ones are listed. The version report
// looks at resolved items only.
TEST_P(EvaluationTest, UnresolvedComAndServiceItemsAreCheckedAsFiles) {
  SetCurrentDirectoryW(m_folder.c_str());
  wchar_t system[MAX_PATH] = {};
  ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH));
  const std::string kernel = Ansi(system) + "\\kernel32.dll";
  const std::wstring ini = Ini("[COM]\nSystem=" + kernel + "\nHere=ver.dll\nGone=gone.dll\n" +
                               "[Service]\nSystem=" + kernel + "\nHere=plain.txt\nGone=lost.txt\n");
  const Outcome missing = EvaluateFully<CCheckComponent>(ini);
  EXPECT_EQ("GONE.DLL\nlost.txt\n", missing.text);
  EXPECT_EQ(2u, missing.code);
  const Outcome versions = EvaluateFully<CGetVersion>(ini);
  EXPECT_EQ(kMoreData, versions.code);
  EXPECT_EQ(0u, versions.size);
}

// An item whose NAME= stands at its very start has no character before it to end the key path:
// it is a failed item, whatever the registry holds under the names it would give.
TEST_P(EvaluationTest, AnItemThatStartsWithNameIsAFailedItem) {
  testsupport::ScratchMachineKey machine(L"QxEvalName");
  ASSERT_TRUE(machine.ok());
  const std::wstring value = L"P$REG$KEY=SOFTWARE\\QXNAMEFIRST";
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QxNameFirst", value.c_str(), REG_SZ,
                            m_folder.c_str(),
                            static_cast<DWORD>((m_folder.size() + 1) * sizeof(wchar_t))));
  const std::wstring ini =
      Ini("[DirID]\n5=NAME=P$REG$KEY=SOFTWARE\\QxNameFirst\n[Files]\n5=ver.dll\n"
          "[COM]\nFirst=NAME=P$REG$KEY=SOFTWARE\\QxNameFirst\n");
  EXPECT_EQ(".\\ver.dll\nNAME=P$REG$KEY=SOFTWARE\\QXNAMEFIRST\n",
            EvaluateFully<CCheckComponent>(ini).text);
}

// Keys and items are copied into 261-byte buffers, registry strings into 261-character ones:
// longer ones are cut or refused, never written past the buffer.
TEST_P(EvaluationTest, LongKeysAndValuesStayInsideTheirBuffers) {
  testsupport::ScratchMachineKey machine(L"QxEvalLong");
  ASSERT_TRUE(machine.ok());
  const std::wstring file = m_folder + L"\\ver.dll";
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QxLong", L"File", REG_SZ, file.c_str(),
                            static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t))));
  const std::string longKey(300, 'K');
  const std::wstring ini = Ini("[COM]\n" + longKey + "=$REG$KEY=SOFTWARE\\QxLong;NAME=File\n");
  EXPECT_EQ(std::string(MAX_PATH, 'K') + "=" + kVersion + "\n",
            EvaluateFully<CGetVersion>(ini).text);

  // Registry strings: 260 characters fit, 261 do not; the byte after the buffer stays untouched.
  for (const size_t length : {size_t{259}, size_t{260}, size_t{261}, size_t{400}}) {
    SCOPED_TRACE(length);
    const std::string data(length, 'v');
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\QxLong", "Data", REG_SZ,
                                             data.c_str(), static_cast<DWORD>(length + 1)));
    wchar_t out[kPathBufferChars + 1];
    std::wmemset(out, L'#', kPathBufferChars + 1);
    const bool read =
        ReadRegistryStringW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QxLong", L"Data", out, false);
    EXPECT_EQ(length <= MAX_PATH, read);
    EXPECT_EQ(length <= MAX_PATH ? data : std::string(), Ansi(out));
    EXPECT_EQ(L'#', out[kPathBufferChars]);
  }

  // A stored string without its terminator comes back terminated.
  Basalt::UniqueHKey rawKey;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QxLong", 0, KEY_SET_VALUE, rawKey.put()));
  for (const size_t length : {size_t{100}, size_t{260}, size_t{261}}) {
    SCOPED_TRACE(length);
    std::wstring data(length, L'u');
    ASSERT_EQ(0, testsupport::SetRawRegistryValue(rawKey.get(), L"Raw", REG_SZ, data.data(),
                                                  static_cast<ULONG>(length * sizeof(wchar_t))));
    wchar_t out[kPathBufferChars + 1];
    std::wmemset(out, L'#', kPathBufferChars + 1);
    EXPECT_EQ(length <= MAX_PATH,
              ReadRegistryStringW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QxLong", L"Raw", out, false));
    EXPECT_EQ(length <= MAX_PATH ? std::string(length, 'u') : std::string(), Ansi(out));
    EXPECT_EQ(L'#', out[kPathBufferChars]);
  }

  // A server path of a class: up to 259 characters and the terminator.
  GUID clsid = {};
  ASSERT_EQ(S_OK, CoCreateGuid(&clsid));
  wchar_t clsidText[40] = {};
  StringFromGUID2(clsid, clsidText, 40);
  const std::wstring key = std::wstring(L"CLSID\\") + clsidText + L"\\InprocServer32";
  const auto cleanup = Basalt::MakeScopeExit(
      [&] { RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + clsidText).c_str()); });
  for (const size_t length : {size_t{259}, size_t{260}, size_t{300}}) {
    SCOPED_TRACE(length);
    const std::string data(length, 's');
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_CLASSES_ROOT, Ansi(key).c_str(), nullptr, REG_SZ,
                                             data.c_str(), static_cast<DWORD>(length + 1)));
    wchar_t out[kPathBufferChars + 1];
    std::wmemset(out, L'#', kPathBufferChars + 1);
    EXPECT_EQ(length < MAX_PATH, GetClsidServerPath(Ansi(clsidText).c_str(), out));
    EXPECT_EQ(L'#', out[kPathBufferChars]);
  }
}

// A description whose text has characters of the ANSI code page outside ASCII (U+00E9 in 1252)
// in a folder, file and display names, registry keys and value names and a service name: each
// names what the ANSI functions would find.
class AnsiTextTest : public EvaluationTest {};

TEST_P(AnsiTextTest, TextOutsideAsciiIsReadInTheAnsiCodePage) {
  testsupport::ScratchMachineKey machine(L"QxEvalAnsi");
  ASSERT_TRUE(machine.ok());
  ASSERT_TRUE(quillet_test::CopyInto(m_folder + L"\\ver.dll", m_folder + L"\\\u00e9t\u00e9.dll"));
  const std::wstring key = L"SOFTWARE\\QxCaf\u00e9";
  const auto put = [&](const wchar_t* name, const std::wstring& data) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_SZ, data.c_str(),
                           static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  };
  ASSERT_EQ(ERROR_SUCCESS, put(L"Dossi\u00e9r", m_folder));
  ASSERT_EQ(ERROR_SUCCESS, put(L"Fichi\u00e9r", m_folder + L"\\ver.dll"));

  const std::wstring name = L"QxCaf\u00e9-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_NO_FATAL_FAILURE(CreateTestService(name));

  const std::wstring ini =
      Ini(Ansi(L"[DirID]\n1=" + m_folder + L"\n2=$REG$KEY=" + key +
               L";NAME=Dossi\u00e9r\n[Files]\n1=ver.dll\n2=\u00e9t\u00e9.dll\n" +
               L"[COM]\nCaf\u00e9=$REG$KEY=HKLM\\" + key +
               L";NAME=Fichi\u00e9r\n[Service]\nH\u00f4te=" + name + L"\n"));
  const std::wstring version = quillet_test::FromAnsi(kVersion);
  const Outcome versions = EvaluateFully<CGetVersion>(ini);
  EXPECT_EQ(Ansi(L"ver.dll=" + version + L"\n\u00e9t\u00e9.dll=" + version + L"\nCaf\u00e9=" +
                 version + L"\nH\u00f4te=" + version + L"\n"),
            versions.text);
  EXPECT_EQ(0u, versions.code);
  const Outcome missing = EvaluateFully<CCheckComponent>(ini);
  EXPECT_EQ("", missing.text);
  EXPECT_EQ(kMoreData, missing.code);
}

INSTANTIATE_TEST_SUITE_P(AnsiFolder, AnsiTextTest, ::testing::Values(L"caf\u00e9"));

// Sections are read wide and handed on in the ANSI code page, cut as GetPrivateProfileSectionA
// documents: a text that does not fit with its closing terminator keeps bytes - 2 bytes and ends
// with two terminators. Nothing is written past the buffer.
TEST(IniSection, IsCutAsTheAnsiFunctionCutsIt) {
  const std::wstring folder = trust_test::MakeScratchFolder(L"section");
  const std::wstring ini = folder + L"\\s.ini";
  ASSERT_TRUE(quillet_test::WriteBytes(
      ini, Ansi(L"[S]\r\nab=1\r\ncaf\u00e9=\u00e9t\u00e9\r\n[T]\r\nx=y\r\n")));
  const std::string lines = Ansi(L"ab=1") + '\0' + Ansi(L"caf\u00e9=\u00e9t\u00e9") + '\0';
  const std::string ansiIni = Ansi(ini);
  for (DWORD bytes = 2; bytes <= lines.size() + 2; ++bytes) {
    SCOPED_TRACE(bytes);
    const bool fits = bytes > lines.size();
    const std::string expected =
        fits ? lines + '\0' : lines.substr(0, bytes - 2) + std::string(2, '\0');
    const DWORD returned = static_cast<DWORD>(fits ? lines.size() : bytes - 2);
    std::vector<char> ours(bytes + 4, '#');
    EXPECT_EQ(returned, ReadIniSectionA(L"S", ours.data(), bytes, ini.c_str()));
    EXPECT_EQ(expected, std::string(ours.data(), expected.size()));
    EXPECT_EQ("####", std::string(ours.data() + bytes, 4));
    // Wine's own function also cuts a text that fills the buffer exactly.
    if (bytes == lines.size() + 1) continue;
    std::vector<char> reference(bytes + 4, '#');
    EXPECT_EQ(returned, GetPrivateProfileSectionA("S", reference.data(), bytes, ansiIni.c_str()));
    EXPECT_EQ(expected, std::string(reference.data(), expected.size()));
  }
  trust_test::RemoveTree(folder);
}

INSTANTIATE_TEST_SUITE_P(Folders, EvaluationTest, ::testing::Values(L"ascii", kOutsideAnsiName),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                           return std::string(info.index == 0 ? "AsciiName" : "NameOutsideAnsi");
                         });

}  // namespace
