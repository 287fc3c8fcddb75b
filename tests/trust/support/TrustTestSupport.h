// Helpers of the trust test programs (linked through TrustTestSupport).
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <functional>
#include <string>

#include "TrustFixturePaths.h"
#include "trust/TrustPlatform.h"

namespace trust_test {

// TRUST_FIXTURE_DIR + "\" + |name|.
std::wstring Fixture(const wchar_t* name);

// The installed list's file in this test program: a folder of its own under %TEMP%.
std::wstring InstalledListPath();
// Puts the fixture |name| in place of the installed list file (or removes it for null)
// after making the installed list forget what it had loaded (nothing is loaded after).
void SetInstalledListFile(const wchar_t* name);
// Removes every reference of the reload atom.
void DeleteReloadAtom();

// Runs |action| once, when the next check of a list file's own signature begins (the
// reader then holds the file).
void BeforeNextListSignatureCheck(std::function<void()> action);

// Runs |before| once when the next check of a program file's signature begins (before its
// signature is read) and |after| once when it ends (after WinVerifyTrust); null for none.
void AroundNextProgramFileCheck(std::function<void()> before, std::function<void()> after);

// Makes the test binding of the Authenticode time-stamp policy fail (or pass again).
void SetTimestampPolicyFails(bool fails);
// Number of calls of the test binding of that policy.
int TimestampPolicyCalls();

// Closes made through the cabinet callbacks since the program started, and those among
// them of a descriptor that was not open.
struct CabinetCloses {
  int all;
  int notOpen;
};
CabinetCloses CabinetFileCloses();

// Makes the test binding of the COM call queries give |answers| on the thread |threadId| (0: on
// none; every other thread asks COM).
void AnswerComCallsOnThread(DWORD threadId, TrustPlatform::ComCallAnswers answers);

// A fresh, empty folder of its own under %TEMP% (removed with RemoveTree).
std::wstring MakeScratchFolder(const wchar_t* tag);
void RemoveTree(const std::wstring& folder);

// Files in %TEMP% whose names start with |prefix| and end with |suffix|.
int CountTempFiles(const wchar_t* prefix, const wchar_t* suffix);

// File content helpers.
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& data);

}  // namespace trust_test
