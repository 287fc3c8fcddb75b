// The registrar's script grammar and what registration and unregistration do to the registry, in a
// scratch key of the current user.
#include "atlshim/ScriptRegistrar.h"

#include <gtest/gtest.h>

#include <string>

#include "basalt/UniqueHandle.h"

namespace {

using AtlShim::CScriptRegistrar;
using AtlShim::kRegistrarScriptError;

class ScriptRegistrarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, m_base.c_str());
    m_registrar.AddReplacement(L"MODULE", L"C:\\Program Files\\It's\\Quillet.dll");
    m_registrar.AddReplacement(L"APPID", L"{0A78438F-6396-4133-99B1-3CF591AFB157}");
  }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, m_base.c_str()); }

  // |body| inside the scratch key, which the script never removes.
  std::wstring Script(const std::wstring& body) const {
    return L"HKCU\n{\n NoRemove Software\n {\n  NoRemove HollinTests\n  {\n   NoRemove '" + m_leaf +
           L"'\n   {\n" + body + L"\n   }\n  }\n }\n}\n";
  }
  std::wstring Path(const std::wstring& sub) const {
    return m_base + (sub.empty() ? L"" : L"\\" + sub);
  }
  bool KeyExists(const std::wstring& sub) const {
    Basalt::UniqueHKey key;
    return RegOpenKeyExW(HKEY_CURRENT_USER, Path(sub).c_str(), 0, KEY_READ, key.put()) ==
           ERROR_SUCCESS;
  }
  // The string value, or "<missing>".
  std::wstring Value(const std::wstring& sub, const wchar_t* name) const {
    wchar_t data[512] = {};
    DWORD bytes = sizeof(data) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, Path(sub).c_str(), name, RRF_RT_REG_SZ, nullptr, data,
                     &bytes) != ERROR_SUCCESS) {
      return L"<missing>";
    }
    return data;
  }
  void Put(const std::wstring& sub, const wchar_t* name, const wchar_t* data) const {
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueW(HKEY_CURRENT_USER, Path(sub).c_str(), name, REG_SZ, data,
                              static_cast<DWORD>((wcslen(data) + 1) * sizeof(wchar_t))));
  }

  const std::wstring m_leaf = L"Registrar-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring m_base = L"Software\\HollinTests\\" + m_leaf;
  CScriptRegistrar m_registrar;
};

const wchar_t kServerBody[] =
    L"ForceRemove {A95B959F-64A9-43E4-A874-C8A77905854A} = s 'CQxSvcHostVer Class'\n"
    L"{\n"
    L"  InprocServer32 = s '%MODULE%'\n"
    L"  {\n"
    L"    val ThreadingModel = s 'Both'\n"
    L"  }\n"
    L"  val AppID = s '%APPID%'\n"
    L"  'TypeLib' = s '{3ACF0180-547B-4117-91B7-05E29BFF7B81}'\n"
    L"}\n"
    L"'%APPID%' = s 'Quillet'\n"
    L"'Quillet.DLL'\n"
    L"{\n"
    L"  val AppID = s '%APPID%'\n"
    L"}\n";
const wchar_t kClassKey[] = L"{A95B959F-64A9-43E4-A874-C8A77905854A}";

TEST_F(ScriptRegistrarTest, RegistersKeysAndValuesWithReplacements) {
  ASSERT_EQ(S_OK, m_registrar.StringRegister(Script(kServerBody).c_str()));
  const std::wstring classKey = kClassKey;
  EXPECT_EQ(L"CQxSvcHostVer Class", Value(classKey, nullptr));
  EXPECT_EQ(L"{0A78438F-6396-4133-99B1-3CF591AFB157}", Value(classKey, L"AppID"));
  EXPECT_EQ(L"C:\\Program Files\\It's\\Quillet.dll",
            Value(classKey + L"\\InprocServer32", nullptr));
  EXPECT_EQ(L"Both", Value(classKey + L"\\InprocServer32", L"ThreadingModel"));
  EXPECT_EQ(L"{3ACF0180-547B-4117-91B7-05E29BFF7B81}", Value(classKey + L"\\TypeLib", nullptr));
  EXPECT_EQ(L"Quillet", Value(L"{0A78438F-6396-4133-99B1-3CF591AFB157}", nullptr));
  EXPECT_EQ(L"{0A78438F-6396-4133-99B1-3CF591AFB157}", Value(L"Quillet.DLL", L"AppID"));
}

TEST_F(ScriptRegistrarTest, ForceRemoveRewritesTheKeyWhole) {
  const std::wstring classKey = kClassKey;
  Put(classKey + L"\\Stale", nullptr, L"old");
  Put(classKey, L"Stale", L"old");
  Put(L"Quillet.DLL", L"Other", L"kept");  // a plain key is written over, not removed
  ASSERT_EQ(S_OK, m_registrar.StringRegister(Script(kServerBody).c_str()));
  EXPECT_FALSE(KeyExists(classKey + L"\\Stale"));
  EXPECT_EQ(L"<missing>", Value(classKey, L"Stale"));
  EXPECT_EQ(L"CQxSvcHostVer Class", Value(classKey, nullptr));
  EXPECT_EQ(L"kept", Value(L"Quillet.DLL", L"Other"));
}

TEST_F(ScriptRegistrarTest, UnregistrationRemovesWhatTheScriptOwnsAndKeepsTheRest) {
  const std::wstring script = Script(kServerBody);
  ASSERT_EQ(S_OK, m_registrar.StringRegister(script.c_str()));
  Put(L"Quillet.DLL\\Foreign", nullptr, L"someone else's");
  ASSERT_EQ(S_OK, m_registrar.StringUnregister(script.c_str()));

  EXPECT_FALSE(KeyExists(kClassKey)) << "a ForceRemove key goes whole";
  EXPECT_FALSE(KeyExists(L"{0A78438F-6396-4133-99B1-3CF591AFB157}"));
  EXPECT_TRUE(KeyExists(L"Quillet.DLL")) << "a plain key with a foreign subkey stays";
  EXPECT_EQ(L"<missing>", Value(L"Quillet.DLL", L"AppID"));
  EXPECT_TRUE(KeyExists(L"")) << "a NoRemove key stays";
  // What is gone already is no error.
  EXPECT_EQ(S_OK, m_registrar.StringUnregister(script.c_str()));
}

TEST_F(ScriptRegistrarTest, KeywordsIgnoreCaseAndPercentSignsCanBeWritten) {
  ASSERT_EQ(S_OK, m_registrar.StringRegister(
                      Script(L"forceremove K = S '100%% %appid%' { VAL v = s 'x' }").c_str()));
  EXPECT_EQ(L"100% {0A78438F-6396-4133-99B1-3CF591AFB157}", Value(L"K", nullptr));
  EXPECT_EQ(L"x", Value(L"K", L"v"));
}

// A replacement is written as it stands: a "%" in it (a folder named "100%") is not read as the
// start of another replacement.
TEST_F(ScriptRegistrarTest, ReplacementsAreWrittenAsTheyStand) {
  const std::wstring server = std::wstring(kClassKey) + L"\\InprocServer32";
  for (const wchar_t* module : {L"C:\\100%\\Quillet.dll", L"C:\\50%%\\Quillet.dll",
                                L"C:\\%APPID%\\Quillet.dll", L"C:\\%NOPE%\\Quillet.dll"}) {
    m_registrar.AddReplacement(L"MODULE", module);
    EXPECT_EQ(S_OK, m_registrar.StringRegister(Script(kServerBody).c_str()));
    EXPECT_EQ(module, Value(server, nullptr));
  }
}

TEST_F(ScriptRegistrarTest, BadScriptsAreRefusedBeforeAnythingIsWritten) {
  const struct {
    const char* what;
    std::wstring script;
  } cases[] = {
      {"unknown replacement", Script(L"Good = s 'x'\nK = s '%NOPE%'")},
      {"lone percent sign", Script(L"Good = s 'x'\nK = s '50%'")},
      {"unterminated quote", Script(L"Good = s 'x'\nK = s 'open")},
      {"unknown value type", Script(L"Good = s 'x'\nK = d '1'")},
      {"value without data", Script(L"Good = s 'x'\nK { val v }")},
      {"missing closing brace", Script(L"Good = s 'x'\nK {")},
      {"unknown root", L"HKXX { K = s 'x' }"},
      {"key without name", Script(L"Good = s 'x'\n= s 'x'")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kRegistrarScriptError, m_registrar.StringRegister(c.script.c_str())) << c.what;
    EXPECT_EQ(kRegistrarScriptError, m_registrar.StringUnregister(c.script.c_str())) << c.what;
    EXPECT_FALSE(KeyExists(L"Good")) << c.what;
  }
  EXPECT_EQ(E_INVALIDARG, m_registrar.StringRegister(nullptr));
}

TEST_F(ScriptRegistrarTest, AMissingScriptResourceIsReported) {
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND),
            m_registrar.ResourceRegister(GetModuleHandleW(nullptr), 4242, L"REGISTRY"));
}

}  // namespace
