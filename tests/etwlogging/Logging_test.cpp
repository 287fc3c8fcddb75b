// Facade and process logger. The process logger is made once per process, so
// each scenario that depends on its creation runs in a fresh child process
// (a death test that must exit with 0; failures are printed to stderr).
#include "etwlogging/Logging.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "basalt/Logging/CLogger.h"
#include "basalt/Registry/CObfuscatedRegKey.h"
#include "basalt/Registry/CRegKey.h"
#include "etwlogging/CBasaltLogHandler.h"
#include "etwlogging/CDefaultLogBuilder.h"
#include "etwlogging/CETWLogging.h"
#include "etwlogging/CLogging.h"
#include "etwlogging/LogCapture.h"
#include "tests/support/ScratchMachineKey.h"
#include "tests/support/TestFiles.h"

namespace {

using namespace ETWLogging;
using testsupport::ScratchMachineKey;

// Checks inside a child process: print and remember the first failures.
int g_failures = 0;
#define CHILD_CHECK(cond)                                                     \
  do {                                                                        \
    if (!(cond)) {                                                            \
      ++g_failures;                                                           \
      std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #cond); \
    }                                                                         \
  } while (0)

// Runs |body| in a fresh process; the child exits through std::exit, so the
// at-exit teardown of the logging client runs there too.
template <typename Body>
void RunInFreshProcess(Body body) {
  EXPECT_EXIT(
      {
        g_failures = 0;
        body();
        std::fflush(stderr);
        std::exit(g_failures == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

class FacadeTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

std::wstring ExeBaseName() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path);
  p = p.substr(p.find_last_of(L'\\') + 1);
  return p.substr(0, p.find_last_of(L'.'));
}

CETWLogging* EtwBackEnd() {
  CProcessLogger* logger = GetProcessLoggerIfCreated();
  return logger ? dynamic_cast<CETWLogging*>(logger->GetBackEnd()) : nullptr;
}
CLogging* FileBackEnd() {
  CProcessLogger* logger = GetProcessLoggerIfCreated();
  return logger ? dynamic_cast<CLogging*>(logger->GetBackEnd()) : nullptr;
}

TEST_F(FacadeTest, IdentityDefaultsAndTheFirstLogCallFixesThem) {
  RunInFreshProcess([&] {
    ScratchMachineKey registry(L"FacadeDefaults");
    CHILD_CHECK(GetProcessLoggerIfCreated() == nullptr);
    CHILD_CHECK(IsLevelEnabled(kLogInformation));
    CETWLogging* etw = EtwBackEnd();
    CHILD_CHECK(etw != nullptr);
    if (etw) {
      std::wstring text;
      etw->GetGroupName(text);
      CHILD_CHECK(text == L"_no_group");
      CHILD_CHECK(etw->GetHostName() == L"_no_host");
      etw->GetQualifiedName(text);
      CHILD_CHECK(text == L"_no_group\\" + ExeBaseName());
      CHILD_CHECK(etw->IsRegistered() == false);
      CHILD_CHECK(LogMessage(kLogError, L"f", L"g", 1, L"first %u", 1u) == 0);
      CHILD_CHECK(etw->IsRegistered());
    }
    CHILD_CHECK(Basalt::CLogger::GetRegisteredHandler() == &CBasaltLogHandler::Instance());
    // Too late: the identity is fixed.
    CHILD_CHECK(SetLogIdentity(nullptr, L"LATE", nullptr, L"late", 0) == 0);
    if (etw) {
      std::wstring text;
      etw->GetGroupName(text);
      CHILD_CHECK(text == L"_no_group");
    }
  });
}

TEST_F(FacadeTest, HostIdentityLeavesTheHostEmpty) {
  RunInFreshProcess([&] {
    ScratchMachineKey registry(L"FacadePlatform");
    CHILD_CHECK(SetLogIdentity(nullptr, L"PLATFORM", nullptr, nullptr, 0) == 0);
    CHILD_CHECK(GetLogger() != nullptr);
    CETWLogging* etw = EtwBackEnd();
    CHILD_CHECK(etw != nullptr);
    if (etw) {
      std::wstring text;
      etw->GetQualifiedName(text);
      CHILD_CHECK(text == L"PLATFORM\\" + ExeBaseName());
      CHILD_CHECK(etw->GetHostName().empty());
      CHILD_CHECK(IsEqualGUID(
          etw->GetNames().GetProviderGuid(),
          GUID{0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}}));
    }
  });
}

TEST_F(FacadeTest, UnknownApplicationLogsUnderTheNamesOfWss) {
  RunInFreshProcess([&] {
    ScratchMachineKey registry(L"FacadeUnknownApp");
    SetLogIdentity(L"NotRegistered", L"grp", nullptr, nullptr, 0);
    CETWLogging* etw = (GetLogger(), EtwBackEnd());
    CHILD_CHECK(etw != nullptr);
    if (etw) CHILD_CHECK(etw->GetNames().GetAppId() == L"WSS");
  });
}

TEST_F(FacadeTest, EmptyGroupOrHostLeavesTheLoggerWithoutBackEnd) {
  for (int row = 0; row < 2; ++row) {
    RunInFreshProcess([&] {
      ScratchMachineKey registry(L"FacadeEmpty");
      SetLogIdentity(nullptr, row == 0 ? L"" : L"grp", nullptr, row == 0 ? nullptr : L"", 0);
      CHILD_CHECK(!IsLevelEnabled(kLogCritical));
      CProcessLogger* logger = GetLogger();
      CHILD_CHECK(logger != nullptr && logger->GetBackEnd() == nullptr);
      CHILD_CHECK(LogMessage(kLogError, L"f", L"g", 1, L"lost") == 1627);
      if (logger) CHILD_CHECK(logger->Write(L"f", L"g", 1, 4, L"lost") == 1627);
      CHILD_CHECK(Basalt::CLogger::GetRegisteredHandler() != &CBasaltLogHandler::Instance());
    });
  }
}

TEST_F(FacadeTest, BackEndChoiceTable) {
  // The k*Config rows hand the builder a configuration key of their own; the default key
  // then says 1, which must not count.
  enum Stored {
    kKeyMissing,
    kValueMissing,
    kObfuscated,
    kPlain,
    kConfigMissing,
    kConfigDword,
    kConfigString
  };
  struct Row {
    DWORD flags;
    Stored stored;
    DWORD value;
    bool file;
  } rows[] = {
      {1, kKeyMissing, 0, true},     {1, kObfuscated, 2, true},    {0, kObfuscated, 1, true},
      {0, kObfuscated, 2, false},    {0, kValueMissing, 0, false}, {0, kKeyMissing, 0, false},
      {0, kPlain, 1, false},         {3, kObfuscated, 0, false},   {0, kConfigDword, 1, true},
      {0, kConfigMissing, 0, false}, {0, kConfigDword, 2, false},  {0, kConfigString, 1, false},
      {1, kConfigDword, 2, true},
  };
  constexpr wchar_t kConfigPath[] = L"SOFTWARE\\Telvan\\LoggingConfig";
  for (const Row& row : rows) {
    RunInFreshProcess([&] {
      ScratchMachineKey registry(L"FacadeChoice");
      const bool viaConfigKey = row.stored >= kConfigMissing;
      if (row.stored != kKeyMissing) {
        Basalt::CObfuscatedRegKey key;
        CHILD_CHECK(key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Telvan\\Logging") == 0);
        if (row.stored == kObfuscated || viaConfigKey) {
          CHILD_CHECK(key.SetDWORDValue(L"Logging Mechanism", viaConfigKey ? 1 : row.value) == 0);
        }
        if (row.stored == kPlain) {
          CHILD_CHECK(registry.SetPlainDword(L"SOFTWARE\\Telvan\\Logging", L"Logging Mechanism",
                                             row.value));
        }
      }
      if (!viaConfigKey) {
        SetLogIdentity(nullptr, L"L1Choice", nullptr, nullptr, row.flags);
        CHILD_CHECK(GetLogger() != nullptr);
        CHILD_CHECK(row.file ? FileBackEnd() != nullptr : EtwBackEnd() != nullptr);
        return;
      }
      Basalt::CRegKey config;
      CHILD_CHECK(config.Create(HKEY_LOCAL_MACHINE, kConfigPath) == 0);
      if (row.stored == kConfigDword) {
        CHILD_CHECK(registry.SetPlainDword(kConfigPath, L"Logging Mechanism", row.value));
      }
      if (row.stored == kConfigString) {
        CHILD_CHECK(config.SetStringValue(L"Logging Mechanism", L"1") == 0);
      }
      CDefaultLogBuilder builder;
      CLoggingIf* logger = nullptr;
      CHILD_CHECK(builder.CreateLoggerEx(nullptr, L"L1Choice", nullptr, nullptr, row.flags, &logger,
                                         &config));
      CHILD_CHECK(row.file ? dynamic_cast<CLogging*>(logger) != nullptr
                           : dynamic_cast<CETWLogging*>(logger) != nullptr);
      if (logger) logger->Release();
    });
  }
}

TEST_F(FacadeTest, ClassicRoadCutsLongMessagesAndPassesArguments) {
  RunInFreshProcess([&] {
    ScratchMachineKey registry(L"FacadeClassic");
    CLogCapture capture;
    ScopedLogCapture scope(capture);
    CHILD_CHECK(scope.active());
    struct Case {
      size_t length;
      size_t written;
    } cases[] = {{5000, 2080}, {3000, 3000}, {4160, 4160}, {4161, 2080}};
    for (const Case& c : cases) {
      capture.Clear();
      const std::wstring text(c.length, L'q');
      CHILD_CHECK(LogMessage(kLogWarning, L"f", L"g", 1, L"%s", text.c_str()) == 0);
      const auto records = capture.Records();
      CHILD_CHECK(records.size() == 1 && records[0].message == text.substr(0, c.written));
    }
    capture.Clear();
    const wchar_t* name = L"svc";
    const char* narrow = "n";
    const unsigned short u16 = 7;
    LogMessage(kLogError, L"QxSvcHost", L"CQxSvcHost::Start", 42, L"none");
    LogMessage(kLogError, L"f", L"g", 1, L"%s", name);
    LogMessage(kLogError, L"f", L"g", 1, L"%hu %u", u16, 4000000000u);
    LogMessage(kLogError, L"f", L"g", 1, L"%s %hs %u", name, narrow, 9u);
    LogMessage(kLogError, L"f", L"g", 1, L"%s %u %u %u %u", name, 1u, 2u, 3u, 4u);
    LogMessage(kLogError, L"f", L"g", 1, L"%s %s %s", name, name, name);
    LogMessage(kLogNormal, L"f", L"g", 1, L"%0.04f", 1.5);
    QXLOG_ERROR(L"QxSvcHost", L"CQxSvcHost::Run", L"failed: %u", 5u);
    const auto r = capture.Records();
    CHILD_CHECK(r.size() == 8);
    if (r.size() == 8) {
      CHILD_CHECK(r[0].level == 4 && r[0].file == L"QxSvcHost" &&
                  r[0].function == L"CQxSvcHost::Start" && r[0].line == 42 &&
                  r[0].message == L"none");
      CHILD_CHECK(r[1].message == L"svc");
      CHILD_CHECK(r[2].message == L"7 4000000000");
      CHILD_CHECK(r[3].message == L"svc n 9");
      CHILD_CHECK(r[4].message == L"svc 1 2 3 4");
      CHILD_CHECK(r[5].message == L"svc svc svc");
      CHILD_CHECK(r[6].level == 1 && r[6].message == L"1.5000");
      CHILD_CHECK(r[7].function == L"CQxSvcHost::Run" && r[7].message == L"failed: 5");
    }
    // A failing Register drops the message and is the call's result.
    capture.Clear();
    capture.SetRegisterResult(ERROR_ACCESS_DENIED);
    CHILD_CHECK(LogMessage(kLogError, L"f", L"g", 1, L"dropped") == ERROR_ACCESS_DENIED);
    CHILD_CHECK(capture.Records().empty());
  });
}

TEST_F(FacadeTest, FoundationRecordsArriveThroughTheAdapter) {
  RunInFreshProcess([&] {
    ScratchMachineKey registry(L"FacadeAdapter");
    CLogCapture capture;
    ScopedLogCapture scope(capture);
    CHILD_CHECK(Basalt::CLogger::GetRegisteredHandler() == &CBasaltLogHandler::Instance());
    const DWORD coreLevels[] = {0, 1, 2, 7};
    for (DWORD level : coreLevels) {
      Basalt::CLogger::Log(level, L"Logging\\x", L"F::G", 5, L"core %u", level);
    }
    const auto r = capture.Records();
    CHILD_CHECK(r.size() == 4);
    if (r.size() == 4) {
      CHILD_CHECK(r[0].level == 1 && r[1].level == 1 && r[2].level == 4 && r[3].level == 2);
      CHILD_CHECK(r[2].message == L"core 2" && r[2].file == L"Logging\\x" &&
                  r[2].function == L"F::G" && r[2].line == 5);
    }
  });
}

// A back end whose destruction reports what the process looks like then.
class ExitProbe : public CLogCapture {
 public:
  ~ExitProbe() override {
    const bool adapterGone =
        Basalt::CLogger::GetRegisteredHandler() != &CBasaltLogHandler::Instance();
    const bool loggerCleared = GetProcessLoggerIfCreated() == nullptr;
    // Late records: the core falls back to its default handler, the facade
    // finds no logger and does not make a new one.
    Basalt::CLogger::Log(2, L"f", L"late", 1, L"late core record");
    const DWORD late = LogMessage(kLogError, L"f", L"late", 1, L"late facade record");
    const bool notRecreated = GetProcessLoggerIfCreated() == nullptr;
    std::fprintf(stderr, "teardown adapter-gone=%d logger-cleared=%d late=%lu recreated=%d\n",
                 adapterGone, loggerCleared, late, !notRecreated);
    std::fflush(stderr);
  }
};

TEST_F(FacadeTest, ExitTeardownRunsInOrder) {
  EXPECT_EXIT(
      {
        ScratchMachineKey registry(L"FacadeExit");
        CHILD_CHECK(IsLevelEnabled(kLogError));
        GetLogger()->InstallLogger(new ExitProbe());
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "teardown adapter-gone=1 logger-cleared=1 late=0 recreated=0");
}

// Service threads may still log while the process exits: the teardown must not
// free the back end under a call that is inside it.
std::atomic<int> g_callsInProbe{0};
std::atomic<int> g_probeWrites{0};

class SlowExitProbe : public CLogCapture {
 public:
  DWORD Write(const wchar_t*, const wchar_t*, int, LogLevel, const wchar_t*) override {
    ++g_callsInProbe;
    ++g_probeWrites;
    Sleep(2);
    --g_callsInProbe;
    return 0;
  }
  ~SlowExitProbe() override {
    std::fprintf(stderr, "probe deleted with %d calls inside\n", g_callsInProbe.load());
    std::fflush(stderr);
  }
};

TEST_F(FacadeTest, ExitWaitsForCallsInsideTheBackEnd) {
  EXPECT_EXIT(
      {
        ScratchMachineKey registry(L"FacadeExitRace");
        CHILD_CHECK(GetLogger() != nullptr);
        GetLogger()->InstallLogger(new SlowExitProbe());
        for (int t = 0; t < 8; ++t) {
          std::thread([] {
            for (;;) {
              if (IsLevelEnabled(kLogError)) LogMessage(kLogError, L"f", L"g", 1, L"late");
            }
          }).detach();
        }
        while (g_probeWrites.load() < 16) Sleep(1);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "probe deleted with 0 calls inside");
}

// A creation that throws is tried again by the next call (and does not hang).
class ThrowOnceHandler : public Basalt::ILoggingHandler {
 public:
  void Handle(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*) override {
    if (m_throw) {
      m_throw = false;
      throw std::runtime_error("handler failure");
    }
  }

 private:
  bool m_throw = true;
};

TEST_F(FacadeTest, CreationThatThrewIsRetried) {
  RunInFreshProcess([&] {
    ScratchMachineKey registry(L"FacadeRetry");
    // Registering the adapter fails while this handler holds the core, and the
    // message about it throws out of the creation.
    static ThrowOnceHandler handler;
    CHILD_CHECK(Basalt::RegisterLoggingHandler(&handler) == 0);
    bool threw = false;
    try {
      (void)IsLevelEnabled(kLogError);
    } catch (const std::runtime_error&) {
      threw = true;
    }
    CHILD_CHECK(threw);
    CHILD_CHECK(GetProcessLoggerIfCreated() == nullptr);
    std::thread other([] { CHILD_CHECK(IsLevelEnabled(kLogError)); });
    other.join();
    CHILD_CHECK(EtwBackEnd() != nullptr);
    CHILD_CHECK(Basalt::UnregisterLoggingHandler(&handler) == 0);
  });
}

// Thread-safe fake of the ETW calls that keeps every event's message.
class ConcurrentFakeEtw : public EtwTraceApiIf {
 public:
  ULONG RegisterTraceGuids(WMIDPREQUEST, void*, const GUID*, ULONG, TRACE_GUID_REGISTRATION*,
                           TRACEHANDLE* registration) override {
    *registration = 1;
    return 0;
  }
  ULONG UnregisterTraceGuids(TRACEHANDLE) override { return 0; }
  ULONG TraceEvent(TRACEHANDLE, EVENT_TRACE_HEADER* header) override {
    const auto* fields = reinterpret_cast<const MOF_FIELD*>(header + 1);
    std::string text(reinterpret_cast<const char*>(fields[1].DataPtr), fields[1].Length);
    std::lock_guard<std::mutex> lock(m_mutex);
    messages.push_back(text);
    return 0;
  }
  TRACEHANDLE GetTraceLoggerHandle(void*) override { return 0; }
  UCHAR GetTraceEnableLevel(TRACEHANDLE) override { return 0; }
  ULONG GetTraceEnableFlags(TRACEHANDLE) override { return 0; }
  std::mutex m_mutex;
  std::vector<std::string> messages;
};

constexpr unsigned kThreads = 16;
constexpr unsigned kMessagesPerThread = 40;

void LogFromThreads() {
  std::atomic<unsigned> ready{0};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &ready] {
      ++ready;
      while (ready.load() < kThreads) Sleep(0);
      for (unsigned m = 0; m < kMessagesPerThread; ++m) {
        if (IsLevelEnabled(kLogError)) {
          LogMessage(kLogError, L"f", L"LogFromThreads", 1, L"thread %02u message %03u", t, m);
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
}

TEST_F(FacadeTest, SixteenThreadsThroughTheEtwBackEnd) {
  RunInFreshProcess([&] {
    ScratchMachineKey registry(L"FacadeThreadsEtw");
    CHILD_CHECK(GetLogger() != nullptr);
    static ConcurrentFakeEtw api;
    CETWLogging* etw = new CETWLogging(&api);
    CHILD_CHECK(etw->InitializeEx(nullptr, L"grp", nullptr, nullptr, nullptr) == 0);
    GetLogger()->InstallLogger(etw);
    LogFromThreads();
    std::multiset<std::string> seen(api.messages.begin(), api.messages.end());
    CHILD_CHECK(api.messages.size() == kThreads * kMessagesPerThread);
    for (unsigned t = 0; t < kThreads; ++t) {
      for (unsigned m = 0; m < kMessagesPerThread; ++m) {
        char text[64];
        std::snprintf(text, sizeof(text), "thread %02u message %03u", t, m);
        CHILD_CHECK(seen.count(text) == 1);
      }
    }
  });
}

std::wstring ProgramData() { return testsupport::ProgramDataFolder(); }

// Lines of every .log file in |folder|, UTF-16 after the byte-order mark.
std::vector<std::wstring> ReadLogLines(const std::wstring& folder) {
  std::vector<std::wstring> lines;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\*.log").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return lines;
  do {
    std::string bytes;
    HANDLE file =
        CreateFileW((folder + L"\\" + data.cFileName).c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      char chunk[4096];
      DWORD read = 0;
      while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read)
        bytes.append(chunk, read);
      CloseHandle(file);
    }
    if (bytes.size() < 2 || bytes.size() % 2) continue;
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), bytes.size() / 2 - 1);
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
      lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) lines.push_back(text.substr(start));
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return lines;
}

TEST_F(FacadeTest, SixteenThreadsThroughTheFileBackEnd) {
  RunInFreshProcess([&] {
    ScratchMachineKey registry(L"FacadeThreadsFile");
    static wchar_t group[64];
    wsprintfW(group, L"L1Threads%lu", GetCurrentProcessId());
    const std::wstring base = ProgramData() + L"\\Telvan\\QXLOGS\\" + group;
    const std::wstring folder = base + L"\\" + ExeBaseName();
    SetLogIdentity(nullptr, group, nullptr, nullptr, kLogFlagFileBackEnd);
    LogFromThreads();  // the threads also race to create the process logger
    CHILD_CHECK(FileBackEnd() != nullptr);
    const std::vector<std::wstring> lines = ReadLogLines(folder);
    CHILD_CHECK(lines.size() == kThreads * kMessagesPerThread);
    std::map<std::wstring, int> seen;
    for (const std::wstring& line : lines) {
      // Whole lines only: one header, one message, at the end.
      const size_t at = line.find(L"thread ");
      const bool whole = at != std::wstring::npos && line.size() == at + 21 &&
                         line.find(L" -- (Error)") != std::wstring::npos &&
                         line.find(L" -- (", line.find(L" -- (") + 1) == std::wstring::npos;
      CHILD_CHECK(whole);
      if (!whole) std::fprintf(stderr, "bad line: %ls\n", line.c_str());
      if (at != std::wstring::npos) ++seen[line.substr(at)];
    }
    for (unsigned t = 0; t < kThreads; ++t) {
      for (unsigned m = 0; m < kMessagesPerThread; ++m) {
        wchar_t text[64];
        wsprintfW(text, L"thread %02u message %03u", t, m);
        CHILD_CHECK(seen[text] == 1);
      }
    }
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
          DeleteFileW((folder + L"\\" + data.cFileName).c_str());
        }
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
    RemoveDirectoryW(base.c_str());
  });
}

}  // namespace
