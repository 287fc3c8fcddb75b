// Host configuration against the real registry. HKEY_LOCAL_MACHINE is redirected to a
// scratch key of this process, so the test needs no lock.
#include "CQxSvcHostConfig.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "QxTestLogCapture.h"
#include "tests/support/ScratchMachineKey.h"

namespace {

using ETWLogging::kLogCritical;
using ETWLogging::kLogError;
using ETWLogging::kLogNormal;
using ETWLogging::kLogWarning;

const std::wstring kHostKey = L"SOFTWARE\\Telvan\\Platform\\QxSvcHost";
const std::wstring kGroup = L"TestGroup";
const std::wstring kGroupKey = kHostKey + L"\\" + kGroup;
const std::wstring kExclusionKey = kGroupKey + L"\\OobeExclusionList";

class HostConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(capture_.installed());
    machine_ = std::make_unique<testsupport::ScratchMachineKey>(L"QxSvcHostConfig");
    ASSERT_TRUE(machine_->ok());
    CreateKey(kHostKey);
  }
  void TearDown() override {
    machine_.reset();
    CQxSvcHostConfig::DestroyInstance();
  }

  static void CreateKey(const std::wstring& path) {
    Basalt::UniqueHKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, key.put(), nullptr));
  }
  static void SetRaw(const std::wstring& path, const wchar_t* name, DWORD type, const void* data,
                     DWORD bytes) {
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, type, data, bytes));
  }
  static void SetDword(const std::wstring& path, const wchar_t* name, DWORD value) {
    SetRaw(path, name, REG_DWORD, &value, sizeof(value));
  }
  static void SetString(const std::wstring& path, const wchar_t* name, const std::wstring& text) {
    SetRaw(path, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
  }
  // True and |value| when a REG_DWORD is stored under that name.
  static bool ReadDword(const std::wstring& path, const wchar_t* name, DWORD& value) {
    DWORD bytes = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value,
                        &bytes) == ERROR_SUCCESS;
  }
  static bool ValueExists(const std::wstring& path, const wchar_t* name) {
    return RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_ANY, nullptr, nullptr,
                        nullptr) == ERROR_SUCCESS;
  }

  qxtest::CapturingLogger& log() { return capture_.log(); }

  qxtest::ScopedLogCapture capture_;
  std::unique_ptr<testsupport::ScratchMachineKey> machine_;
};

WSSConfig InitAndGet(CQxSvcHostConfig& config) {
  WSSConfig values = {};
  EXPECT_TRUE(config.Init(kGroup.c_str()));
  EXPECT_TRUE(config.GetWSSValues(values));
  return values;
}

// ---- WSSConfig values of the host key ----

struct RangedValue {
  const wchar_t* name;
  DWORD WSSConfig::*field;
  DWORD minimum;
  DWORD maximum;
  DWORD defaultValue;
};

const RangedValue kRangedValues[] = {
    {L"WSSEnable", &WSSConfig::dwEnabled, 0, 1, 1},
    {L"WSSLoggingEnable", &WSSConfig::dwLoggingEnabled, 0, 1, 0},
    {L"WSSTimerBase", &WSSConfig::dwTimerIntervalBase, 300000, 1200000, 600000},
    {L"WSSCpuLimit", &WSSConfig::dwCpuUsageLimit, 2, 10, 5},
    {L"WSSCpuInterval", &WSSConfig::dwCpuUsageDuration, 5000, 10000, 5000},
    {L"WSSRandomizationRange", &WSSConfig::dwRandomizationRange, 300000, 900000, 600000},
    {L"WSSLimitFactor", &WSSConfig::dwLimitFactor, 0, 200, 30},
    {L"WSSOptimalOccuranceCount", &WSSConfig::dwOptimalOccuranceCount, 3, 10, 3},
    {L"WSSProcessorIdleWaitTime", &WSSConfig::dwProcessIdleWaitTime, 30000, 300000, 60000},
};

TEST_F(HostConfigTest, RangedValuesTakeBoundsAndFallBackToTheirDefault) {
  for (const RangedValue& v : kRangedValues) {
    SCOPED_TRACE(v.name);
    struct Case {
      const char* what;
      bool present;
      DWORD stored;
      DWORD expected;
    };
    std::vector<Case> cases = {
        {"absent", false, 0, v.defaultValue},
        {"minimum", true, v.minimum, v.minimum},
        {"maximum", true, v.maximum, v.maximum},
        {"one above the maximum", true, v.maximum + 1, v.defaultValue},
    };
    if (v.minimum > 0)
      cases.push_back({"one below the minimum", true, v.minimum - 1, v.defaultValue});
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      if (c.present) {
        SetDword(kHostKey, v.name, c.stored);
      } else {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kHostKey.c_str(), v.name);
      }
      CQxSvcHostConfig config;
      EXPECT_EQ(c.expected, InitAndGet(config).*v.field);
    }
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kHostKey.c_str(), v.name);
  }
}

TEST_F(HostConfigTest, ValueOfWrongTypeTakesTheDefaultAndIsLogged) {
  for (const RangedValue& v : kRangedValues) {
    SCOPED_TRACE(v.name);
    // A one-character string fits the 4-byte read (logged with code 0); a longer one does not.
    SetString(kHostKey, v.name, L"1");
    log().Clear();
    CQxSvcHostConfig config;
    EXPECT_EQ(v.defaultValue, InitAndGet(config).*v.field);
    const std::wstring typeLine = std::wstring(L"Error 0x00000000 on key '") + v.name + L"'";
    EXPECT_TRUE(log().Has(kLogError, typeLine));
    EXPECT_EQ(L"RegistryStore", log().Find(typeLine).file);
    EXPECT_EQ(L"CRegistryStore::QueryRegistryDWORDValue", log().Find(typeLine).function);

    SetString(kHostKey, v.name, L"12345");
    log().Clear();
    CQxSvcHostConfig longer;
    EXPECT_EQ(v.defaultValue, InitAndGet(longer).*v.field);
    EXPECT_TRUE(log().Has(kLogError, std::wstring(L"Error 0x000000EA on key '") + v.name + L"'"));

    const BYTE binary[4] = {1, 0, 0, 0};
    SetRaw(kHostKey, v.name, REG_BINARY, binary, sizeof(binary));
    CQxSvcHostConfig asBinary;
    EXPECT_EQ(v.defaultValue, InitAndGet(asBinary).*v.field);
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kHostKey.c_str(), v.name);
  }
}

TEST_F(HostConfigTest, ShortDwordIsRejectedNotHalfRead) {
  const WORD half = 200;
  SetRaw(kHostKey, L"WSSLimitFactor", REG_DWORD, &half, sizeof(half));
  CQxSvcHostConfig config;
  EXPECT_EQ(30u, InitAndGet(config).dwLimitFactor);
  EXPECT_TRUE(log().Has(kLogError, L"Error 0x0000000D on key 'WSSLimitFactor'"));
}

TEST_F(HostConfigTest, BucketRangeHasNoRangeCheck) {
  struct Case {
    bool present;
    DWORD stored;
    DWORD expected;
    bool warned;
  } cases[] = {{false, 0, 0x500000, true},
               {true, 0, 0, false},
               {true, 0xFFFFFFFF, 0xFFFFFFFF, false},
               {true, 4096, 4096, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    if (c.present) {
      SetDword(kHostKey, L"WSSBucketRange", c.stored);
    } else {
      RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kHostKey.c_str(), L"WSSBucketRange");
    }
    log().Clear();
    CQxSvcHostConfig config;
    EXPECT_EQ(c.expected, InitAndGet(config).dwBucketRange);
    EXPECT_EQ(c.warned, log().Has(kLogWarning, L"Failed to read Bucket range reg value"));
  }
  SetString(kHostKey, L"WSSBucketRange", L"x");
  CQxSvcHostConfig wrongType;
  EXPECT_EQ(0x500000u, InitAndGet(wrongType).dwBucketRange);
}

TEST_F(HostConfigTest, DefaultsOfAnEmptyHostKeyAreLoggedInOrder) {
  CQxSvcHostConfig config;
  const WSSConfig v = InitAndGet(config);
  const WSSConfig expected = {1, 0, 5, 5000, 600000, 600000, 30, 0, 0x500000, 3, 60000};
  EXPECT_EQ(0, memcmp(&expected, &v, sizeof(v)));

  const std::vector<std::wstring> lines = {
      L"Working set configuration values:", L" dwEnabled                =1",
      L" dwLoggingEnabled         =0",      L" dwTimerIntervalBase      =600000",
      L" dwCpuUsageLimit          =5",      L" dwCpuUsageDuration       =5000",
      L" dwRandomizationRange     =600000", L" dwLimitFactor            =30",
      L" stOptimalBucketUpperLimit=0",      L" dwBucketRange            =5242880",
      L" dwOptimalOccuranceCount  =3",      L" dwProcessIdleWaitTime    =60000"};
  std::vector<std::wstring> seen;
  for (const qxtest::LogLine& l : log().Lines()) {
    if (l.function == L"CQxSvcHostConfig::Init" && l.level == kLogNormal &&
        (l.message[0] == L' ' || l.message == lines[0])) {
      seen.push_back(l.message);
      EXPECT_EQ(L"QxSvcHostConfig", l.file);
    }
  }
  EXPECT_EQ(lines, seen);
}

// ---- legacy occurrence-count value ----

TEST_F(HostConfigTest, MisspeltOccurrenceCountIsMigrated) {
  struct Case {
    DWORD legacy;
    int current;  // -1: no value under the new name yet
    DWORD expectedWord;
  } cases[] = {{7, -1, 7}, {50, 5, 3}};  // a migrated value out of range is kept but not used
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legacy);
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kHostKey.c_str(), L"WSSOptimalOccuranceCount");
    if (c.current >= 0)
      SetDword(kHostKey, L"WSSOptimalOccuranceCount", static_cast<DWORD>(c.current));
    SetDword(kHostKey, L"WSSOptiamlOccuranceCount", c.legacy);
    log().Clear();
    CQxSvcHostConfig config;
    EXPECT_EQ(c.expectedWord, InitAndGet(config).dwOptimalOccuranceCount);
    DWORD stored = 0;
    EXPECT_TRUE(ReadDword(kHostKey, L"WSSOptimalOccuranceCount", stored));
    EXPECT_EQ(c.legacy, stored);
    EXPECT_FALSE(ValueExists(kHostKey, L"WSSOptiamlOccuranceCount"));
    const qxtest::LogLine line =
        log().Find(L"Replaced WSSOptiamlOccuranceCount with WSSOptimalOccuranceCount");
    EXPECT_EQ(kLogNormal, line.level);
    EXPECT_EQ(L"CQxSvcHostConfig::LoadWorkingSetValues", line.function);
  }
}

TEST_F(HostConfigTest, LegacyValueOfWrongTypeIsNotMigrated) {
  SetString(kHostKey, L"WSSOptiamlOccuranceCount", L"7");
  SetDword(kHostKey, L"WSSOptimalOccuranceCount", 4);
  CQxSvcHostConfig config;
  EXPECT_EQ(4u, InitAndGet(config).dwOptimalOccuranceCount);
  EXPECT_TRUE(ValueExists(kHostKey, L"WSSOptiamlOccuranceCount"));
  EXPECT_FALSE(
      log().Has(kLogNormal, L"Replaced WSSOptiamlOccuranceCount with WSSOptimalOccuranceCount"));
}

// ---- Init, group key, learned limit ----

TEST_F(HostConfigTest, InitRefusesEmptyGroupAndMissingHostKey) {
  CQxSvcHostConfig config;
  WSSConfig values = {};
  EXPECT_FALSE(config.Init(L""));
  EXPECT_FALSE(config.Init(nullptr));
  EXPECT_FALSE(config.GetWSSValues(values));

  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Telvan"));
  log().Clear();
  EXPECT_FALSE(config.Init(kGroup.c_str()));
  EXPECT_FALSE(config.GetWSSValues(values));
  std::wstring group;
  EXPECT_FALSE(config.GetGroupName(group));
  EXPECT_EQ(0u, log().CountLevel(kLogError));  // a missing key is not an error
}

TEST_F(HostConfigTest, InitNeedsFullAccessToTheHostKey) {
  // The handle keeps WRITE_DAC, so the test can give the access back afterwards.
  Basalt::UniqueHKey host;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHostKey.c_str(), 0,
                                         KEY_ALL_ACCESS | WRITE_DAC, host.put()));
  auto setDacl = [&](const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr));
    Basalt::UniqueLocalMem owner(sd);
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(host.get(), DACL_SECURITY_INFORMATION, sd));
  };
  setDacl(L"D:P(A;;KR;;;WD)");  // read only, for everyone
  CQxSvcHostConfig config;
  WSSConfig values = {};
  EXPECT_FALSE(config.Init(kGroup.c_str()));
  EXPECT_FALSE(config.GetWSSValues(values));
  EXPECT_TRUE(log().Has(kLogError, L"Error 0x00000005 on key '" + kHostKey + L"'"));
  setDacl(L"D:P(A;OICI;KA;;;WD)");
  EXPECT_TRUE(config.Init(kGroup.c_str()));
}

TEST_F(HostConfigTest, LearnedLimitComesFromTheGroupKey) {
  {
    log().Clear();
    CQxSvcHostConfig noGroupKey;
    EXPECT_EQ(0u, InitAndGet(noGroupKey).stOptimalBucketUpperLimit);
    EXPECT_FALSE(log().Has(
        kLogWarning, L"Failed to read REG_WSS_OPTIMAL_BUCKET_UPPER_LIMIT_VALUE_NAME reg value"));
  }
  CreateKey(kGroupKey);
  {
    log().Clear();
    CQxSvcHostConfig noValue;
    EXPECT_EQ(0u, InitAndGet(noValue).stOptimalBucketUpperLimit);
    EXPECT_TRUE(log().Has(
        kLogWarning, L"Failed to read REG_WSS_OPTIMAL_BUCKET_UPPER_LIMIT_VALUE_NAME reg value"));
  }
  SetString(kGroupKey, L"WSSOptimalBucketUpperLimit", L"1");
  {
    log().Clear();
    CQxSvcHostConfig wrongType;
    EXPECT_EQ(0u, InitAndGet(wrongType).stOptimalBucketUpperLimit);
    EXPECT_TRUE(log().Has(
        kLogWarning, L"Failed to read REG_WSS_OPTIMAL_BUCKET_UPPER_LIMIT_VALUE_NAME reg value"));
  }
  SetDword(kGroupKey, L"WSSOptimalBucketUpperLimit", 0xFFFFFFF0);  // no range check
  CQxSvcHostConfig withValue;
  EXPECT_EQ(0xFFFFFFF0u, InitAndGet(withValue).stOptimalBucketUpperLimit);
  std::wstring group;
  EXPECT_TRUE(withValue.GetGroupName(group));
  EXPECT_EQ(kGroup, group);
}

TEST_F(HostConfigTest, WritesBackTheLearnedLimit) {
  CQxSvcHostConfig config;
  EXPECT_FALSE(config.SetGroupOptimalBucketUpperLimit(5));  // not initialised
  ASSERT_TRUE(config.Init(kGroup.c_str()));

  // The group key is created when missing; only the low 32 bits are kept.
  EXPECT_TRUE(config.SetGroupOptimalBucketUpperLimit((SIZE_T{1} << 32) + 5));
  DWORD stored = 0;
  EXPECT_TRUE(ReadDword(kGroupKey, L"WSSOptimalBucketUpperLimit", stored));
  EXPECT_EQ(5u, stored);

  EXPECT_TRUE(config.SetGroupOptimalBucketUpperLimit(20971520));
  CQxSvcHostConfig next;
  EXPECT_EQ(20971520u, InitAndGet(next).stOptimalBucketUpperLimit);

  // The host key is never created here.
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Telvan"));
  EXPECT_FALSE(config.SetGroupOptimalBucketUpperLimit(7));
  Basalt::UniqueHKey host;
  EXPECT_NE(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHostKey.c_str(), 0, KEY_READ, host.put()));
}

TEST_F(HostConfigTest, ForceSerialLoads) {
  struct Case {
    const char* what;
    int stored;  // -1 absent, -2 string
    bool expected;
    const wchar_t* line;
  } cases[] = {{"absent", -1, true, L"Service loading will be serial"},
               {"0", 0, false, L"Service loading will be parallel"},
               {"1", 1, true, L"Service loading will be serial"},
               {"out of range", 2, true, L"Service loading will be serial"},
               {"string", -2, true, L"Service loading will be serial"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kHostKey.c_str(), L"ForceSerialLoads");
    if (c.stored >= 0) SetDword(kHostKey, L"ForceSerialLoads", static_cast<DWORD>(c.stored));
    if (c.stored == -2) SetString(kHostKey, L"ForceSerialLoads", L"0");
    log().Clear();
    CQxSvcHostConfig config;
    EXPECT_FALSE(config.GetForceSerialLoads());  // not initialised
    ASSERT_TRUE(config.Init(kGroup.c_str()));
    EXPECT_EQ(c.expected, config.GetForceSerialLoads());
    EXPECT_TRUE(log().Has(kLogNormal, c.line));
  }
}

TEST_F(HostConfigTest, DeInitForgetsTheGroupButKeepsTheRecord) {
  CreateKey(kExclusionKey);
  SetString(kExclusionKey, L"svcone", L"");
  SetString(kGroupKey, nullptr, L"a;b");
  CQxSvcHostConfig config;
  ASSERT_TRUE(config.Init(kGroup.c_str()));
  EXPECT_TRUE(config.IsInOobeExclusionList(L"svcone"));
  EXPECT_TRUE(config.DeInit());

  WSSConfig values = {};
  std::vector<std::wstring> services = {L"kept"};
  std::wstring group = L"kept";
  EXPECT_FALSE(config.GetWSSValues(values));
  EXPECT_FALSE(config.GetForceSerialLoads());
  EXPECT_FALSE(config.GetServices(services));
  EXPECT_EQ(std::vector<std::wstring>{L"kept"}, services);
  EXPECT_FALSE(config.GetGroupName(group));
  EXPECT_FALSE(config.IsInOobeExclusionList(L"svcone"));
  std::wstring clsid;
  EXPECT_FALSE(config.GetSvcCLSID(L"a", clsid));
}

TEST_F(HostConfigTest, SingletonIsMadeOnceAndFreshAfterDestroy) {
  CQxSvcHostConfig* first = CQxSvcHostConfig::GetInstance();
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(first, CQxSvcHostConfig::GetInstance());
  ASSERT_TRUE(first->Init(kGroup.c_str()));
  CQxSvcHostConfig::DestroyInstance();
  CQxSvcHostConfig* fresh = CQxSvcHostConfig::GetInstance();
  ASSERT_NE(nullptr, fresh);
  WSSConfig values = {};
  EXPECT_FALSE(fresh->GetWSSValues(values));
  EXPECT_TRUE(fresh->GetForceSerialLoads() == false);
}

// ---- service list and CLSIDs ----

TEST_F(HostConfigTest, ServiceListIsSplitAtEverySeparator) {
  struct Case {
    const wchar_t* text;
    std::vector<std::wstring> expected;
  } cases[] = {
      {L";;svcA, svcB::svcA;", {L"svcA", L" svcB", L"svcA"}},
      {L"", {}},
      {L";:,", {}},
      {L"one", {L"one"}},
      {L"a;b:c,d", {L"a", L"b", L"c", L"d"}},
      {L"Upper;lower ;", {L"Upper", L"lower "}},
  };
  CQxSvcHostConfig config;
  ASSERT_TRUE(config.Init(kGroup.c_str()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SetString(kGroupKey, nullptr, c.text);
    log().Clear();
    std::vector<std::wstring> services = {L"stale"};
    EXPECT_TRUE(config.GetServices(services));
    EXPECT_EQ(c.expected, services);
    EXPECT_TRUE(log().Has(kLogNormal, std::wstring(L"The supported services are: ") + c.text));
  }
}

TEST_F(HostConfigTest, ServiceListFailures) {
  CQxSvcHostConfig config;
  std::vector<std::wstring> services = {L"stale"};
  EXPECT_FALSE(config.GetServices(services));  // no group yet
  ASSERT_TRUE(config.Init(kGroup.c_str()));

  log().Clear();
  EXPECT_FALSE(config.GetServices(services));  // group key missing
  EXPECT_EQ(std::vector<std::wstring>{L"stale"}, services);
  EXPECT_TRUE(
      log().Has(kLogError, L"Failed to open registry key to look up service list " + kGroupKey));

  CreateKey(kGroupKey);
  log().Clear();
  EXPECT_FALSE(config.GetServices(services));  // no default value
  EXPECT_TRUE(services.empty());
  EXPECT_TRUE(log().Has(kLogCritical, L"Unable to read list of services from " + kGroupKey));

  SetDword(kGroupKey, nullptr, 1);  // not a string
  EXPECT_FALSE(config.GetServices(services));
}

TEST_F(HostConfigTest, ServiceClsidIsReadAsText) {
  CreateKey(kGroupKey);
  SetString(kGroupKey, L"svcA", L"{11111111-2222-3333-4444-555555555555}");
  CQxSvcHostConfig config;
  std::wstring clsid = L"untouched";
  EXPECT_FALSE(config.GetSvcCLSID(L"svcA", clsid));  // not initialised
  ASSERT_TRUE(config.Init(kGroup.c_str()));

  EXPECT_TRUE(config.GetSvcCLSID(L"svcA", clsid));
  EXPECT_EQ(L"{11111111-2222-3333-4444-555555555555}", clsid);
  EXPECT_TRUE(log().Has(kLogNormal,
                        L"Mapping svcA => {11111111-2222-3333-4444-555555555555} (0x00000000)"));

  std::wstring missing;
  EXPECT_FALSE(config.GetSvcCLSID(L"svcB", missing));
  EXPECT_TRUE(log().Has(kLogNormal, L"Mapping svcB =>  (0x00000002)"));
  EXPECT_FALSE(config.GetSvcCLSID(nullptr, missing));

  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kGroupKey.c_str());
  log().Clear();
  EXPECT_FALSE(config.GetSvcCLSID(L"svcA", clsid));
  EXPECT_TRUE(log().Has(kLogError, L"Failed to open registry key to look up service CLSID"));
}

// ---- OOBE exclusion list and flag ----

TEST_F(HostConfigTest, ExclusionListIsLowerCasedAndComparedExactly) {
  CreateKey(kExclusionKey);
  SetString(kExclusionKey, L"SvcOne", L"");
  SetDword(kExclusionKey, L"svctwo", 1);  // the data type does not matter
  CQxSvcHostConfig config;
  ASSERT_TRUE(config.Init(kGroup.c_str()));
  EXPECT_TRUE(config.IsInOobeExclusionList(L"svcone"));
  EXPECT_TRUE(config.IsInOobeExclusionList(L"svctwo"));
  EXPECT_FALSE(config.IsInOobeExclusionList(L"SvcOne"));
  EXPECT_FALSE(config.IsInOobeExclusionList(L"svc"));
  EXPECT_FALSE(config.IsInOobeExclusionList(nullptr));
  EXPECT_TRUE(log().Has(kLogNormal,
                        L"Enumerating OOBE exclusion list, reg key path '" + kExclusionKey + L"'"));
  EXPECT_TRUE(log().Has(kLogNormal, L"Successfully enumerated OOBE exclusion list"));
}

TEST_F(HostConfigTest, ExclusionEntryWithUnreadableDataIsSkipped) {
  CreateKey(kExclusionKey);
  SetString(kExclusionKey, L"first", L"");
  const std::wstring big(600, L'x');  // over 1022 bytes
  SetString(kExclusionKey, L"big", big);
  SetString(kExclusionKey, L"last", L"");
  CQxSvcHostConfig config;
  ASSERT_TRUE(config.Init(kGroup.c_str()));
  EXPECT_TRUE(config.IsInOobeExclusionList(L"first"));
  EXPECT_TRUE(config.IsInOobeExclusionList(L"last"));
  EXPECT_FALSE(config.IsInOobeExclusionList(L"big"));
  EXPECT_TRUE(log().Has(kLogError, L"Error retrieving value for 'big'"));
  EXPECT_TRUE(log().Has(kLogError, L"Error 0x000000EA on key 'big'"));
}

TEST_F(HostConfigTest, MissingExclusionKeyKeepsThePreviousEntries) {
  CQxSvcHostConfig config;
  ASSERT_TRUE(config.Init(kGroup.c_str()));
  EXPECT_TRUE(log().Has(kLogNormal, L"Failed to open exclusion list reg key"));
  EXPECT_TRUE(
      log().Has(kLogNormal, L"Failed to load the OOBE exclusion list for the group 'TestGroup'"));

  CreateKey(kExclusionKey);
  SetString(kExclusionKey, L"svcone", L"");
  ASSERT_TRUE(config.Init(kGroup.c_str()));
  EXPECT_TRUE(config.IsInOobeExclusionList(L"svcone"));

  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kExclusionKey.c_str());
  ASSERT_TRUE(config.Init(kGroup.c_str()));  // a second Init reads again over the old values
  EXPECT_TRUE(config.IsInOobeExclusionList(L"svcone"));
}

TEST_F(HostConfigTest, OobeCheckFlag) {
  CQxSvcHostConfig config;  // needs no Init
  DWORD value = 1;
  EXPECT_FALSE(config.GetIsOobeCheckRequired(value));
  EXPECT_EQ(1u, value);
  EXPECT_TRUE(log().Has(kLogError, L"Cant read registry key IsOobeCheckRequired"));

  SetString(kHostKey, L"IsOobeCheckRequired", L"0");
  EXPECT_FALSE(config.GetIsOobeCheckRequired(value));
  EXPECT_EQ(1u, value);

  const DWORD zero = 0;
  EXPECT_TRUE(config.SetIsOobeCheckRequired(zero));
  EXPECT_TRUE(config.GetIsOobeCheckRequired(value));
  EXPECT_EQ(0u, value);

  ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Telvan"));
  log().Clear();
  value = 1;
  EXPECT_FALSE(config.GetIsOobeCheckRequired(value));
  EXPECT_EQ(1u, value);
  EXPECT_TRUE(log().Has(kLogError, L"Failed to open registry key IsOobeCheckRequired"));
  EXPECT_FALSE(config.SetIsOobeCheckRequired(zero));
  EXPECT_TRUE(log().Has(kLogError, L"Failed to open registry key " + kHostKey));
}

// ---- CRegistryStore on its own ----

class RegistryStoreTest : public HostConfigTest {
 protected:
  void SetUp() override {
    HostConfigTest::SetUp();
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHostKey.c_str(), 0, KEY_ALL_ACCESS, key_.put()));
  }
  void TearDown() override {
    key_.reset();
    HostConfigTest::TearDown();
  }
  CRegistryStore store_;
  Basalt::UniqueHKey key_;
};

TEST_F(RegistryStoreTest, StringValuesAreTerminatedAndBounded) {
  struct Case {
    const char* what;
    std::vector<wchar_t> data;
    DWORD bytes;  // 0: whole vector
    bool ok;
    std::wstring expected;
  };
  std::vector<wchar_t> full(510, L'a');  // with its terminator: 1022 bytes
  full.push_back(0);
  std::vector<wchar_t> over(511, L'b');  // with its terminator: 1024 bytes
  over.push_back(0);
  std::vector<Case> cases = {
      {"terminated", {L'h', L'i', 0}, 0, true, L"hi"},
      {"unterminated", {L'h', L'i'}, 0, true, L"hi"},
      {"odd byte count", {L'h', L'i', L'!'}, 5, true, L"hi"},
      {"one byte", {L'h'}, 1, true, L""},
      {"embedded terminator", {L'a', 0, L'b', 0}, 0, true, L"a"},
      {"exactly 1022 bytes", full, 0, true, std::wstring(510, L'a')},
      {"over 1022 bytes", over, 0, false, L"untouched"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const DWORD bytes = c.bytes ? c.bytes : static_cast<DWORD>(c.data.size() * 2);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_.get(), L"s", 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(c.data.data()), bytes));
    std::wstring value = L"untouched";
    EXPECT_EQ(c.ok, store_.QueryRegistryStringValue(key_.get(), L"s", value));
    EXPECT_EQ(c.expected, value);
  }
  EXPECT_TRUE(log().Has(kLogError, L"Error 0x000000EA on key 's'"));
  log().Clear();
  std::wstring value;
  EXPECT_FALSE(store_.QueryRegistryStringValue(key_.get(), L"absent", value));
  EXPECT_EQ(0u, log().Lines().size());
}

TEST_F(RegistryStoreTest, DwordReadsLeaveTheOutputOnFailure) {
  const ULONGLONG qword = 5;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_.get(), L"q", 0, REG_QWORD,
                                          reinterpret_cast<const BYTE*>(&qword), sizeof(qword)));
  DWORD value = 77;
  EXPECT_FALSE(store_.QueryRegistryDWORDValue(key_.get(), L"q", value));
  EXPECT_EQ(77u, value);
  EXPECT_FALSE(store_.QueryRegistryDWORDValue(key_.get(), L"absent", value));
  EXPECT_EQ(77u, value);

  EXPECT_FALSE(store_.QueryRegistryDWORDValueInRange(key_.get(), L"absent", value, 1, 2, 9));
  EXPECT_EQ(9u, value);
  ASSERT_TRUE(store_.SetRegistryDWORDValue(key_.get(), L"d", 3));
  EXPECT_TRUE(store_.QueryRegistryDWORDValueInRange(key_.get(), L"d", value, 1, 2, 9));
  EXPECT_EQ(9u, value);
  EXPECT_TRUE(store_.QueryRegistryDWORDValueInRange(key_.get(), L"d", value, 3, 3, 9));
  EXPECT_EQ(3u, value);
}

TEST_F(RegistryStoreTest, KeysAndEnumeration) {
  Basalt::UniqueHKey key;
  EXPECT_FALSE(store_.OpenRegistryKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Nope", key));
  EXPECT_FALSE(key);
  EXPECT_TRUE(store_.OpenOrCreateRegistryKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Made", key));
  EXPECT_TRUE(key);
  EXPECT_TRUE(store_.OpenRegistryKey(HKEY_LOCAL_MACHINE, kHostKey.c_str(), key));

  DWORD subKeys = 9, values = 9;
  EXPECT_FALSE(store_.QueryRegistryInfoKey(nullptr, subKeys, values));
  EXPECT_EQ(9u, subKeys);
  std::vector<std::wstring> list = {L"stale"};
  EXPECT_FALSE(store_.EnumerateRegistryValuesIntoContainer(nullptr, list, false));
  EXPECT_TRUE(list.empty());

  ASSERT_TRUE(store_.SetRegistryDWORDValue(key.get(), L"MiXed", 1));
  ASSERT_TRUE(store_.SetRegistryDWORDValue(key.get(), L"other", 1));
  EXPECT_TRUE(store_.QueryRegistryInfoKey(key.get(), subKeys, values));
  EXPECT_EQ(2u, values);
  EXPECT_TRUE(store_.EnumerateRegistryValuesIntoContainer(key.get(), list, false));
  EXPECT_EQ((std::vector<std::wstring>{L"MiXed", L"other"}), list);
  EXPECT_TRUE(store_.EnumerateRegistryValuesIntoContainer(key.get(), list, true));
  EXPECT_EQ((std::vector<std::wstring>{L"mixed", L"other"}), list);

  // A name over 255 characters ends the enumeration; what was found stays.
  const std::wstring longName(300, L'n');
  ASSERT_TRUE(store_.SetRegistryDWORDValue(key.get(), longName.c_str(), 1));
  log().Clear();
  EXPECT_FALSE(store_.EnumerateRegistryValuesIntoContainer(key.get(), list, false));
  EXPECT_TRUE(log().Has(kLogError, L"Error 0x000000EA"));
}

}  // namespace
