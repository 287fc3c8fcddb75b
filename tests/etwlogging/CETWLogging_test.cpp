#include "etwlogging/CETWLogging.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/support/ScratchMachineKey.h"

namespace {

using ETWLogging::CETWLogging;
using ETWLogging::EtwTraceApiIf;
using testsupport::ScratchMachineKey;

// What the fake's GetTraceLoggerHandle reads from the control buffer.
struct FakeSession {
  TRACEHANDLE handle;
  UCHAR level;
  ULONG flags;
};

struct CapturedEvent {
  TRACEHANDLE session;
  std::vector<unsigned char> header;   // the 80 bytes handed to TraceEvent
  std::vector<unsigned char> context;  // MOF field 1
  std::vector<unsigned char> message;  // MOF field 2
};

class FakeEtwApi : public EtwTraceApiIf {
 public:
  ULONG RegisterTraceGuids(WMIDPREQUEST callback, void* context, const GUID* controlGuid,
                           ULONG guidCount, TRACE_GUID_REGISTRATION* guids,
                           TRACEHANDLE* registration) override {
    ++registerCalls;
    this->callback = callback;
    this->context = context;
    this->controlGuid = *controlGuid;
    this->guidCount = guidCount;
    this->classGuid = *guids[0].Guid;
    *registration = 0x5150;
    return registerResult;
  }
  ULONG UnregisterTraceGuids(TRACEHANDLE registration) override {
    unregistered.push_back(registration);
    return 0;
  }
  ULONG TraceEvent(TRACEHANDLE session, EVENT_TRACE_HEADER* header) override {
    CapturedEvent e;
    e.session = session;
    const auto* bytes = reinterpret_cast<const unsigned char*>(header);
    e.header.assign(bytes, bytes + 80);
    const auto* fields = reinterpret_cast<const MOF_FIELD*>(header + 1);
    const auto* ctx = reinterpret_cast<const unsigned char*>(fields[0].DataPtr);
    e.context.assign(ctx, ctx + fields[0].Length);
    const auto* msg = reinterpret_cast<const unsigned char*>(fields[1].DataPtr);
    if (fields[1].Length) e.message.assign(msg, msg + fields[1].Length);
    events.push_back(e);
    return 120;  // what Wine answers
  }
  TRACEHANDLE GetTraceLoggerHandle(void* buffer) override {
    if (!buffer) {
      SetLastError(ERROR_INVALID_HANDLE);
      return reinterpret_cast<TRACEHANDLE>(INVALID_HANDLE_VALUE);
    }
    const auto* s = static_cast<const FakeSession*>(buffer);
    sessions[s->handle] = *s;
    return s->handle;
  }
  UCHAR GetTraceEnableLevel(TRACEHANDLE session) override {
    if (sessions[session].level == 0) SetLastError(ERROR_INVALID_HANDLE);
    return sessions[session].level;
  }
  ULONG GetTraceEnableFlags(TRACEHANDLE session) override { return sessions[session].flags; }

  ULONG registerResult = 0;
  int registerCalls = 0;
  WMIDPREQUEST callback = nullptr;
  void* context = nullptr;
  GUID controlGuid{}, classGuid{};
  ULONG guidCount = 0;
  std::vector<TRACEHANDLE> unregistered;
  std::vector<CapturedEvent> events;
  std::map<TRACEHANDLE, FakeSession> sessions;
};

// {E16CA450-55CC-11E0-B8AF-0800200C9A66}
constexpr GUID kWssProvider = {
    0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

std::wstring ExeFileName() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path);
  return p.substr(p.find_last_of(L'\\') + 1);
}

void PutU32(std::vector<unsigned char>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void PutU64(std::vector<unsigned char>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void PutCounted(std::vector<unsigned char>& out, const std::wstring& s) {
  out.push_back(static_cast<unsigned char>(s.size()));
  out.push_back(static_cast<unsigned char>(s.size() >> 8));
  for (wchar_t c : s) {
    out.push_back(static_cast<unsigned char>(c));
    out.push_back(static_cast<unsigned char>(c >> 8));
  }
}

uint32_t U32At(const std::vector<unsigned char>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}

class CETWLoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(registry.ok());
    ASSERT_EQ(0u, logger.InitializeEx(nullptr, L"grp", nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, logger.Register());
  }
  // A trace session enables the provider through the registered callback.
  ULONG Control(WMIDPREQUESTCODE code, TRACEHANDLE handle, UCHAR level = 5) {
    FakeSession session{handle, level, 0x10};
    return api.callback(code, api.context, nullptr, &session);
  }
  ScratchMachineKey registry{L"CETWLogging"};
  FakeEtwApi api;
  CETWLogging logger{&api};
};

TEST_F(CETWLoggingTest, InitialisesRegistersAndUnregisters) {
  std::wstring name;
  logger.GetQualifiedName(name);
  std::wstring base = ExeFileName();
  base.resize(base.find_last_of(L'.'));
  EXPECT_EQ(L"grp\\" + base, name);
  logger.GetGroupName(name);
  EXPECT_EQ(L"grp", name);
  EXPECT_TRUE(logger.IsEnabled());
  EXPECT_EQ(3u, logger.GetSeverity());

  EXPECT_EQ(1, api.registerCalls);
  EXPECT_EQ(&CETWLogging::ControlCallback, api.callback);
  EXPECT_EQ(&logger, api.context);
  EXPECT_TRUE(IsEqualGUID(kWssProvider, api.controlGuid));
  EXPECT_TRUE(IsEqualGUID(ETWLogging::kEventClassGuid, api.classGuid));
  EXPECT_EQ(1u, api.guidCount);
  EXPECT_EQ(0u, logger.Register());
  EXPECT_EQ(1, api.registerCalls);
  EXPECT_EQ(20001u, logger.InitializeEx(nullptr, L"grp", nullptr, nullptr, nullptr));

  EXPECT_EQ(0u, logger.Uninitialize());
  EXPECT_FALSE(logger.IsRegistered());
  EXPECT_FALSE(logger.IsEnabled());
  ASSERT_EQ(1u, api.unregistered.size());
  EXPECT_EQ(0x5150u, api.unregistered[0]);
}

TEST(CETWLoggingInit, RejectsEmptyNamesAndReportsRegistrationFailureOnce) {
  ScratchMachineKey registry(L"CETWLoggingInit");
  ASSERT_TRUE(registry.ok());
  FakeEtwApi api;
  {
    CETWLogging logger(&api);
    EXPECT_EQ(87u, logger.InitializeEx(nullptr, L"", nullptr, nullptr, nullptr));
  }
  {
    CETWLogging logger(&api);
    EXPECT_EQ(87u, logger.InitializeEx(nullptr, L"g", nullptr, L"", nullptr));
  }
  {
    CETWLogging logger(&api);
    EXPECT_EQ(87u, logger.InitializeEx(L"NoSuchApplication", L"g", nullptr, nullptr, nullptr));
  }
  CETWLogging logger(&api);
  ASSERT_EQ(0u, logger.Initialize(nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(L"", logger.GetHostName());
  api.registerResult = ERROR_ACCESS_DENIED;
  EXPECT_EQ(5u, logger.Register());
  EXPECT_EQ(0u, logger.Register());
  EXPECT_TRUE(logger.IsRegistered());
}

TEST_F(CETWLoggingTest, ThresholdsAndSeverityClamping) {
  struct Case {
    DWORD threshold;
    bool passes[8];  // levels 0..7
  } cases[] = {
      {4, {false, false, false, true, true, true, true, true}},
      {6, {false, false, false, true, false, false, true, true}},
      {1, {false, true, true, true, true, true, true, true}},
  };
  for (const Case& c : cases) {
    logger.SetSeverity(c.threshold);
    for (DWORD level = 0; level < 8; ++level) {
      EXPECT_EQ(c.passes[level], logger.IsLevelEnabled(level))
          << "threshold " << c.threshold << " level " << level;
    }
  }
  logger.SetSeverity(2);
  EXPECT_EQ(2u, logger.SetSeverity(0));
  EXPECT_EQ(1u, logger.GetSeverity());
  EXPECT_EQ(1u, logger.SetSeverity(9));
  EXPECT_EQ(6u, logger.GetSeverity());
  EXPECT_EQ(6u, ETWLogging::GetProcessSeverity());
  EXPECT_EQ(6u, logger.SetSeverity(3));
  EXPECT_EQ(3u, logger.MapLevel(6));
  EXPECT_EQ(7u, logger.MapLevel(7));
}

TEST_F(CETWLoggingTest, ShortMessageEventBytes) {
  ASSERT_EQ(0u, Control(WMI_ENABLE_EVENTS, 0xAB01, 1));
  ASSERT_EQ(0u, logger.LogEx(4, L"file.cpp", L"C::F", 12, L"%s%d", L"helloworl", 7));
  ASSERT_EQ(1u, api.events.size());
  const CapturedEvent& e = api.events[0];
  EXPECT_EQ(0xAB01u, e.session);

  std::vector<unsigned char> header(80, 0);
  header[0] = 80;  // Size
  header[4] = 1;   // Class.Type: info
  header[5] = 4;   // Class.Level
  header[6] = 2;   // Class.Version
  std::memcpy(&header[24], &ETWLogging::kEventClassGuid, 16);
  header[46] = 0x12;  // Flags 0x00120000
  for (size_t i = 0; i < 48; ++i) EXPECT_EQ(header[i], e.header[i]) << "header byte " << i;
  EXPECT_EQ(e.context.size(), U32At(e.header, 56));
  EXPECT_EQ(0u, U32At(e.header, 60));
  EXPECT_EQ(10u, U32At(e.header, 72));
  EXPECT_EQ(0u, U32At(e.header, 76));

  std::vector<unsigned char> context;
  PutU32(context, GetCurrentProcessId());
  PutU32(context, GetCurrentThreadId());
  PutCounted(context, ExeFileName());
  PutCounted(context, L"file.cpp");
  PutCounted(context, L"C::F");
  PutU32(context, 12);
  PutCounted(context, ExeFileName());  // the logging client is linked into the exe
  PutCounted(context, L"");            // no version resource
  PutCounted(context, L"grp");
  PutU64(context, 10);
  EXPECT_EQ(context, e.context);
  EXPECT_EQ(std::string("helloworl7"), std::string(e.message.begin(), e.message.end()));

  // Level 6 and the never-produced 7 are sent as header level 3; Write sends UTF-8.
  logger.Write(L"f", L"g", 1, 6, L"\u00e9");
  logger.LogEx(7, L"f", L"g", 1, L"x");
  ASSERT_EQ(3u, api.events.size());
  EXPECT_EQ(3, api.events[1].header[5]);
  EXPECT_EQ((std::vector<unsigned char>{0xC3, 0xA9}), api.events[1].message);
  EXPECT_EQ(3, api.events[2].header[5]);
}

TEST_F(CETWLoggingTest, OverLongMessageIsCutWithOneZeroByteAndLongNamesGrowTheContext) {
  ASSERT_EQ(0u, Control(WMI_ENABLE_EVENTS, 0xAB01, 1));
  const std::wstring longText(3000, L'a');
  const std::wstring longFile(300, L'f');
  ASSERT_EQ(0u, logger.LogEx(4, longFile.c_str(), L"fn", 1, L"%s", longText.c_str()));
  ASSERT_EQ(1u, api.events.size());
  const CapturedEvent& e = api.events[0];
  std::string expected(2079, 'a');
  expected.push_back('\0');
  EXPECT_EQ(expected, std::string(e.message.begin(), e.message.end()));
  EXPECT_EQ(2080u, U32At(e.header, 72));

  ASSERT_GT(e.context.size(), 256u);
  std::vector<unsigned char> tail;
  PutCounted(tail, L"grp");
  PutU64(tail, 2080);
  ASSERT_GE(e.context.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), e.context.end() - tail.size()));
  std::vector<unsigned char> file;
  PutCounted(file, longFile);
  const size_t fileAt = 8 + 2 + ExeFileName().size() * 2;
  EXPECT_TRUE(std::equal(file.begin(), file.end(), e.context.begin() + fileAt));

  // An empty message is an empty second field.
  logger.LogEx(4, L"f", L"g", 1, L"");
  ASSERT_EQ(2u, api.events.size());
  EXPECT_TRUE(api.events[1].message.empty());
  EXPECT_EQ(87u, logger.LogEx(4, L"f", L"g", 1, nullptr));
}

TEST_F(CETWLoggingTest, MessageAtTheLimitIsSentWhole) {
  ASSERT_EQ(0u, Control(WMI_ENABLE_EVENTS, 0xAB01, 1));
  const struct {
    size_t length;
    std::string sent;
  } cases[] = {
      {2079, std::string(2079, 'a')},                         // the limit: no terminator
      {2080, std::string(2079, 'a') + std::string(1, '\0')},  // one more: cut
  };
  for (const auto& c : cases) {
    api.events.clear();
    const std::wstring text(c.length, L'a');
    ASSERT_EQ(0u, logger.LogEx(4, L"f", L"g", 1, L"%s", text.c_str()));
    ASSERT_EQ(1u, api.events.size());
    EXPECT_EQ(c.sent, std::string(api.events[0].message.begin(), api.events[0].message.end()))
        << c.length;
    EXPECT_EQ(c.sent.size(), U32At(api.events[0].header, 72)) << c.length;
  }
}

// The module that carries the logging client names itself and its version in every event.
TEST(CETWLoggingModule, VersionOfTheModuleThatCarriesTheClient) {
  wchar_t path[MAX_PATH] = {};
  ASSERT_NE(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  std::wstring probe(path);
  probe = probe.substr(0, probe.find_last_of(L'\\') + 1) + L"ModuleVersionProbe.dll";
  HMODULE module = LoadLibraryW(probe.c_str());
  ASSERT_NE(module, nullptr) << GetLastError();
  using ProbeFn = BOOL (*)(wchar_t*, DWORD, wchar_t*, DWORD);
  auto query = reinterpret_cast<ProbeFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "ProbeModuleRecord")));
  ASSERT_NE(query, nullptr);
  wchar_t fileName[MAX_PATH] = {}, version[64] = {};
  ASSERT_TRUE(query(fileName, MAX_PATH, version, 64));
  EXPECT_STREQ(L"ModuleVersionProbe.dll", fileName);
  EXPECT_STREQ(L"4.3.2.1", version);  // stored as "4, 3, 2, 1"
  FreeLibrary(module);
}

TEST_F(CETWLoggingTest, OnlyTheEnablingSessionCanDisable) {
  ASSERT_EQ(0u, Control(WMI_ENABLE_EVENTS, 0xA, 5));
  EXPECT_EQ(0xAu, logger.GetSessionHandle());
  EXPECT_EQ(5u, logger.GetSeverity());

  // A second session neither takes the provider over nor switches it off.
  EXPECT_EQ(0u, Control(WMI_ENABLE_EVENTS, 0xB, 1));
  EXPECT_EQ(0xAu, logger.GetSessionHandle());
  EXPECT_EQ(5u, logger.GetSeverity());
  EXPECT_EQ(0u, Control(WMI_DISABLE_EVENTS, 0xB));
  EXPECT_TRUE(logger.IsEnabled());
  EXPECT_EQ(0xAu, logger.GetSessionHandle());
  logger.LogEx(5, L"f", L"g", 1, L"still on");
  ASSERT_EQ(1u, api.events.size());
  EXPECT_EQ(0xAu, api.events[0].session);

  // The holder disables: nothing is sent, and the next enable is accepted.
  EXPECT_EQ(0u, Control(WMI_DISABLE_EVENTS, 0xA));
  EXPECT_FALSE(logger.IsEnabled());
  EXPECT_EQ(0u, logger.GetSessionHandle());
  logger.LogEx(5, L"f", L"g", 1, L"off");
  EXPECT_EQ(1u, api.events.size());
  EXPECT_EQ(0u, Control(WMI_ENABLE_EVENTS, 0xB, 2));
  EXPECT_EQ(0xBu, logger.GetSessionHandle());
  EXPECT_EQ(2u, logger.GetSeverity());
  EXPECT_TRUE(logger.IsEnabled());
}

TEST_F(CETWLoggingTest, ControlRequestsThatAreRefused) {
  EXPECT_EQ(87u, CETWLogging::ControlCallback(WMI_ENABLE_EVENTS, nullptr, nullptr, nullptr));
  EXPECT_EQ(87u, Control(static_cast<WMIDPREQUESTCODE>(99), 0xA));
  // No logger handle: the system's error.
  EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE),
            api.callback(WMI_ENABLE_EVENTS, api.context, nullptr, nullptr));
  // Enable level 0: the error, and the listener is not told.
  logger.SetSeverity(4);
  EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), Control(WMI_ENABLE_EVENTS, 0xC, 0));
  EXPECT_EQ(4u, logger.GetSeverity());
}

TEST_F(CETWLoggingTest, RegistryOverridesFollowEnableAndDisable) {
  std::wstring base = ExeFileName();
  base.resize(base.find_last_of(L'.'));
  const std::wstring provider = L"SOFTWARE\\Telvan\\Logging\\Provider";
  ASSERT_TRUE(registry.SetPlainDword(provider.c_str(), L"Severity", 2));
  ASSERT_TRUE(registry.SetPlainDword((provider + L"\\grp").c_str(), L"Severity", 5));
  ASSERT_TRUE(registry.SetPlainDword((provider + L"\\grp\\" + base).c_str(), L"Severity", 6));

  // Each more specific key overrides the session's level and the earlier keys.
  ASSERT_EQ(0u, Control(WMI_ENABLE_EVENTS, 0xA, 1));
  EXPECT_EQ(6u, logger.GetSeverity());

  // Disable followed by "Enable" = 1: the flag comes back, but no session holds the
  // provider, so events go to handle 0 and are not recorded.
  ASSERT_TRUE(registry.SetPlainDword(provider.c_str(), L"Enable", 1));
  EXPECT_EQ(0u, Control(WMI_DISABLE_EVENTS, 0xA));
  EXPECT_TRUE(logger.IsEnabled());
  EXPECT_EQ(0u, logger.GetSessionHandle());
  logger.LogEx(6, L"f", L"g", 1, L"x");
  ASSERT_EQ(1u, api.events.size());
  EXPECT_EQ(0u, api.events[0].session);
}

TEST(CETWLoggingSystem, RegistersTheRealProviderUnderTheSystem) {
  CETWLogging logger;
  ASSERT_EQ(0u, logger.InitializeEx(nullptr, L"L1Test", nullptr, L"host", nullptr));
  EXPECT_EQ(0u, logger.Register());
  EXPECT_TRUE(logger.IsRegistered());
  // Without a session the event goes nowhere; the system's answer is ignored.
  EXPECT_EQ(0u, logger.LogEx(4, L"f", L"g", 1, L"to the real provider %d", 1));
  ETWLogging::ETWEntryContext record;
  logger.GetEntryContext(L"f", L"g", 7, record);
  EXPECT_EQ(GetCurrentProcessId(), record.processId);
  EXPECT_EQ(ExeFileName(), record.processImageName);
  EXPECT_EQ(ExeFileName(), record.moduleFileName);
  EXPECT_EQ(L"L1Test", record.group);
  EXPECT_EQ(0u, logger.Uninitialize());
  EXPECT_FALSE(logger.IsRegistered());
}

}  // namespace
