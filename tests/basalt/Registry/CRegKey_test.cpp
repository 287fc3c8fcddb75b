#include "basalt/Registry/CRegKey.h"

#include <windows.h>
// windows.h first: the security headers rely on it.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"
#include "tests/support/RawRegistry.h"

namespace Basalt {
namespace {

using Bytes = std::vector<BYTE>;

Bytes WideBytes(const std::wstring& text, size_t extraZeroChars) {
  std::wstring withZeros = text + std::wstring(extraZeroChars, L'\0');
  const BYTE* p = reinterpret_cast<const BYTE*>(withZeros.data());
  return Bytes(p, p + withZeros.size() * sizeof(wchar_t));
}

template <typename T>
Bytes PodBytes(const T& value) {
  const BYTE* p = reinterpret_cast<const BYTE*>(&value);
  return Bytes(p, p + sizeof(T));
}

// Gives each test its own key under HKCU\Software\HollinTests and removes it afterwards.
class ScratchKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    path_ = L"Software\\HollinTests\\CRegKey_" + std::wstring(name.begin(), name.end()) + L"_" +
            std::to_wstring(GetCurrentProcessId());
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, raw_.put(), nullptr));
  }
  void TearDown() override {
    raw_.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  }

  // Opens the scratch key into |key| with full access.
  void OpenScratch(CRegKey& key) {
    ASSERT_EQ(ERROR_SUCCESS, key.Open(HKEY_CURRENT_USER, path_.c_str(), KEY_ALL_ACCESS));
  }
  // Stores the bytes exactly; RegSetValueExW would add a missing string terminator.
  void PutRaw(LPCWSTR name, DWORD type, const Bytes& data) {
    ASSERT_EQ(0, testsupport::SetRawRegistryValue(raw_.get(), name, type, data.data(),
                                                  static_cast<ULONG>(data.size())));
  }
  // Type and bytes as stored; false when the value is absent.
  bool GetRaw(LPCWSTR name, DWORD* type, Bytes* data) {
    DWORD size = 0;
    if (RegQueryValueExW(raw_.get(), name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) {
      return false;
    }
    data->assign(size, 0);
    return RegQueryValueExW(raw_.get(), name, nullptr, type, data->data(), &size) == ERROR_SUCCESS;
  }
  bool SubKeyExists(const std::wstring& relative) {
    UniqueHKey key;
    const std::wstring full = relative.empty() ? path_ : path_ + L"\\" + relative;
    return RegOpenKeyExW(HKEY_CURRENT_USER, full.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
  }
  void MakeSubKey(const std::wstring& relative) {
    UniqueHKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(raw_.get(), relative.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, key.put(), nullptr));
  }

  std::wstring path_;
  UniqueHKey raw_;
};

// ---------------------------------------------------------------------------------------------
// Closed object

TEST(CRegKeyClosedTest, CheckedOperationsRefuseWithoutKeyAndRawOnesReachTheRegistry) {
  CRegKey key;
  WCHAR text[8] = {};
  ULONG chars = 8;
  std::wstring s = L"keep";
  GUID guid;
  BYTE bin[4];
  ULONG bytes = sizeof(bin);
  DWORD dw = 0;
  ULONGLONG qw = 0;
  DWORD sdBytes = 0;
  BYTE sd[SECURITY_DESCRIPTOR_MIN_LENGTH] = {};
  DWORD nameChars = 8;
  struct Case {
    const char* name;
    std::function<LONG()> call;
  };
  const Case refused[] = {
      {"QueryStringValue", [&] { return key.QueryStringValue(L"v", text, &chars); }},
      {"GetStringValue", [&] { return key.GetStringValue(L"v", s); }},
      {"QueryGUIDValue", [&] { return key.QueryGUIDValue(L"v", guid); }},
      {"QueryBinaryValue", [&] { return key.QueryBinaryValue(L"v", bin, &bytes); }},
      {"QueryDWORDValue", [&] { return key.QueryDWORDValue(L"v", dw); }},
      {"QueryQWORDValue", [&] { return key.QueryQWORDValue(L"v", qw); }},
      {"GetKeySecurity",
       [&] { return key.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, &sdBytes); }},
      {"SetKeySecurity", [&] { return key.SetKeySecurity(DACL_SECURITY_INFORMATION, sd); }},
      {"Flush", [&] { return key.Flush(); }},
      {"EnumKey", [&] { return key.EnumKey(0, text, &nameChars); }},
      {"NotifyChangeKeyValue",
       [&] { return key.NotifyChangeKeyValue(FALSE, REG_NOTIFY_CHANGE_LAST_SET, nullptr); }},
      {"DeleteSubKey", [&] { return key.DeleteSubKey(L"x"); }},
      {"RecurseDeleteKey", [&] { return key.RecurseDeleteKey(L"x"); }},
      {"DeleteValue", [&] { return key.DeleteValue(L"v"); }},
      {"GrantEveryoneFullAccess", [&] { return key.GrantEveryoneFullAccess(false); }},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, c.call());
  }
  EXPECT_EQ(L"keep", s);

  // These pass the null handle on; the registry's own answer comes back.
  DWORD type = 0;
  const DWORD one = 1;
  chars = 8;
  const Case passedOn[] = {
      {"QueryValue", [&] { return key.QueryValue(L"v", &type, bin, &bytes); }},
      {"SetValue", [&] { return key.SetValue(L"v", REG_DWORD, &one, 4); }},
      {"SetDWORDValue", [&] { return key.SetDWORDValue(L"v", 1); }},
      {"SetQWORDValue", [&] { return key.SetQWORDValue(L"v", 1); }},
      {"SetStringValue", [&] { return key.SetStringValue(L"v", L"x"); }},
      {"SetMultiStringValue", [&] { return key.SetMultiStringValue(L"v", L"x\0"); }},
      {"SetBinaryValue", [&] { return key.SetBinaryValue(L"v", bin, 4); }},
      {"SetGUIDValue", [&] { return key.SetGUIDValue(L"v", GUID_NULL); }},
      {"QueryMultiStringValue", [&] { return key.QueryMultiStringValue(L"v", text, &chars); }},
  };
  const LONG nullHandleResult =
      RegSetValueExW(nullptr, L"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
  ASSERT_NE(ERROR_SUCCESS, nullHandleResult);
  for (const Case& c : passedOn) {
    SCOPED_TRACE(c.name);
    const LONG result = c.call();
    EXPECT_NE(ERROR_SUCCESS, result);
    EXPECT_NE(ERROR_INVALID_PARAMETER, result);
  }
  EXPECT_EQ(ERROR_SUCCESS, key.Close());
}

// ---------------------------------------------------------------------------------------------
// Typed values

TEST_F(ScratchKeyTest, TypedValuesRoundTripWithTheirRegistryTypes) {
  CRegKey key;
  OpenScratch(key);

  ASSERT_EQ(ERROR_SUCCESS, key.SetDWORDValue(L"dw", 0xA1B2C3D4));
  ASSERT_EQ(ERROR_SUCCESS, key.SetQWORDValue(L"qw", 0x0102030405060708ULL));
  const BYTE blob[] = {0, 1, 2, 0xFF, 0};
  ASSERT_EQ(ERROR_SUCCESS, key.SetBinaryValue(L"bin", blob, sizeof(blob)));
  ASSERT_EQ(ERROR_SUCCESS, key.SetStringValue(L"sz", L"hello"));
  ASSERT_EQ(ERROR_SUCCESS, key.SetStringValue(L"esz", L"%TEMP%\\x", REG_EXPAND_SZ));
  ASSERT_EQ(ERROR_SUCCESS, key.SetStringValue(nullptr, L"default"));
  ASSERT_EQ(ERROR_SUCCESS, key.SetMultiStringValue(L"msz", L"one\0two\0"));
  const GUID guid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
  ASSERT_EQ(ERROR_SUCCESS, key.SetGUIDValue(L"guid", guid));

  struct Stored {
    LPCWSTR name;
    DWORD type;
    Bytes data;
  };
  const Stored stored[] = {
      {L"dw", REG_DWORD, PodBytes(DWORD{0xA1B2C3D4})},
      {L"qw", REG_QWORD, PodBytes(ULONGLONG{0x0102030405060708ULL})},
      {L"bin", REG_BINARY, Bytes(blob, blob + sizeof(blob))},
      {L"sz", REG_SZ, WideBytes(L"hello", 1)},
      {L"esz", REG_EXPAND_SZ, WideBytes(L"%TEMP%\\x", 1)},
      {nullptr, REG_SZ, WideBytes(L"default", 1)},
      {L"msz", REG_MULTI_SZ, WideBytes(std::wstring(L"one\0two", 7), 2)},
      {L"guid", REG_SZ, WideBytes(L"{12345678-9ABC-DEF0-0102-030405060708}", 1)},
  };
  for (const Stored& s : stored) {
    SCOPED_TRACE(s.name ? s.name : L"(default)");
    DWORD type = 0;
    Bytes data;
    ASSERT_TRUE(GetRaw(s.name, &type, &data));
    EXPECT_EQ(s.type, type);
    EXPECT_EQ(s.data, data);
  }

  DWORD dw = 0;
  EXPECT_EQ(ERROR_SUCCESS, key.QueryDWORDValue(L"dw", dw));
  EXPECT_EQ(0xA1B2C3D4u, dw);
  ULONGLONG qw = 0;
  EXPECT_EQ(ERROR_SUCCESS, key.QueryQWORDValue(L"qw", qw));
  EXPECT_EQ(0x0102030405060708ULL, qw);
  BYTE bin[16] = {};
  ULONG binBytes = sizeof(bin);
  EXPECT_EQ(ERROR_SUCCESS, key.QueryBinaryValue(L"bin", bin, &binBytes));
  EXPECT_EQ(sizeof(blob), binBytes);
  EXPECT_EQ(0, std::memcmp(blob, bin, sizeof(blob)));

  WCHAR text[32] = {};
  ULONG chars = 32;
  EXPECT_EQ(ERROR_SUCCESS, key.QueryStringValue(L"sz", text, &chars));
  EXPECT_STREQ(L"hello", text);
  EXPECT_EQ(6u, chars);
  chars = 32;
  EXPECT_EQ(ERROR_SUCCESS, key.QueryStringValue(L"esz", text, &chars));
  EXPECT_STREQ(L"%TEMP%\\x", text);  // not expanded
  std::wstring s;
  EXPECT_EQ(ERROR_SUCCESS, key.GetStringValue(nullptr, s));
  EXPECT_EQ(L"default", s);
  EXPECT_EQ(ERROR_SUCCESS, key.GetStringValue(L"sz", s));
  EXPECT_EQ(L"hello", s);

  chars = 32;
  EXPECT_EQ(ERROR_SUCCESS, key.QueryMultiStringValue(L"msz", text, &chars));
  EXPECT_EQ(9u, chars);
  EXPECT_EQ(std::wstring(L"one\0two\0\0", 9), std::wstring(text, chars));

  GUID read = GUID_NULL;
  EXPECT_EQ(ERROR_SUCCESS, key.QueryGUIDValue(L"guid", read));
  EXPECT_TRUE(IsEqualGUID(guid, read));
}

TEST_F(ScratchKeyTest, LongStringSurvivesGetStringValue) {
  CRegKey key;
  OpenScratch(key);
  const std::wstring longText(5000, L'x');
  ASSERT_EQ(ERROR_SUCCESS, key.SetStringValue(L"long", longText.c_str()));
  std::wstring s;
  EXPECT_EQ(ERROR_SUCCESS, key.GetStringValue(L"long", s));
  EXPECT_EQ(longText, s);
}

TEST_F(ScratchKeyTest, OneCharMultiStringIsSixBytesAndReadsAsThreeChars) {
  CRegKey key;
  OpenScratch(key);
  ASSERT_EQ(ERROR_SUCCESS, key.SetMultiStringValue(L"m", L"a\0"));
  DWORD type = 0;
  Bytes data;
  ASSERT_TRUE(GetRaw(L"m", &type, &data));
  EXPECT_EQ(WideBytes(L"a", 2), data);

  WCHAR buffer[3] = {L'?', L'?', L'?'};
  ULONG chars = 3;
  EXPECT_EQ(ERROR_SUCCESS, key.QueryMultiStringValue(L"m", buffer, &chars));
  EXPECT_EQ(3u, chars);
  EXPECT_EQ(L'a', buffer[0]);

  // A multi-string that is only its final empty string is one 0 character.
  ASSERT_EQ(ERROR_SUCCESS, key.SetMultiStringValue(L"empty", L""));
  ASSERT_TRUE(GetRaw(L"empty", &type, &data));
  EXPECT_EQ(2u, data.size());
}

// ---------------------------------------------------------------------------------------------
// Bad input and bad stored data

struct BadDataCase {
  const char* name;
  bool present;  // false: the value does not exist
  DWORD type;
  Bytes data;
  // Runs the query on the value "v" and checks its outputs; returns the result code.
  std::function<LONG(CRegKey&)> query;
  LONG expected;
};

class CRegKeyBadDataTest : public ScratchKeyTest,
                           public ::testing::WithParamInterface<BadDataCase> {};

TEST_P(CRegKeyBadDataTest, GivesTheCodeAndLeavesOutputsAsDocumented) {
  const BadDataCase& c = GetParam();
  if (c.present) PutRaw(L"v", c.type, c.data);
  CRegKey key;
  OpenScratch(key);
  EXPECT_EQ(c.expected, c.query(key));
  // A failed query changes nothing stored.
  DWORD type = 0;
  Bytes data;
  EXPECT_EQ(c.present, GetRaw(L"v", &type, &data));
  if (c.present) {
    EXPECT_EQ(c.data, data);
  }
}

constexpr DWORD kUntouched = 0x5A5A5A5A;

LONG DwordUntouched(CRegKey& key) {
  DWORD value = kUntouched;
  const LONG result = key.QueryDWORDValue(L"v", value);
  EXPECT_EQ(kUntouched, value);
  return result;
}

LONG QwordUntouched(CRegKey& key) {
  ULONGLONG value = 0x5A5A5A5A5A5A5A5AULL;
  const LONG result = key.QueryQWORDValue(L"v", value);
  EXPECT_EQ(0x5A5A5A5A5A5A5A5AULL, value);
  return result;
}

// A failing string or multi-string query leaves 0 in the count (the needed count for 234)
// and never writes past the buffer.
using CharQuery = LONG (CRegKey::*)(LPCWSTR, LPWSTR, ULONG*);
std::function<LONG(CRegKey&)> CharsQuery(CharQuery query, ULONG capacity, ULONG expectedChars) {
  return [=](CRegKey& key) {
    std::vector<WCHAR> buffer(capacity + 1, L'#');
    ULONG chars = capacity;
    const LONG result = (key.*query)(L"v", buffer.data(), &chars);
    EXPECT_EQ(expectedChars, chars);
    EXPECT_EQ(L'#', buffer[capacity]) << "written past the buffer";
    return result;
  };
}

std::function<LONG(CRegKey&)> StringQuery(ULONG capacity, ULONG expectedChars) {
  return CharsQuery(&CRegKey::QueryStringValue, capacity, expectedChars);
}

std::function<LONG(CRegKey&)> StringSizeQuery(ULONG expectedChars) {
  return [=](CRegKey& key) {
    ULONG chars = 77;
    const LONG result = key.QueryStringValue(L"v", nullptr, &chars);
    EXPECT_EQ(expectedChars, chars);
    return result;
  };
}

std::function<LONG(CRegKey&)> GetStringUntouched() {
  return [](CRegKey& key) {
    std::wstring s = L"keep";
    const LONG result = key.GetStringValue(L"v", s);
    EXPECT_EQ(L"keep", s);
    return result;
  };
}

std::function<LONG(CRegKey&)> MultiQuery(ULONG capacity, ULONG expectedChars) {
  return CharsQuery(&CRegKey::QueryMultiStringValue, capacity, expectedChars);
}

std::function<LONG(CRegKey&)> BinaryQuery(ULONG capacity, ULONG expectedBytes) {
  return [=](CRegKey& key) {
    std::vector<BYTE> buffer(capacity + 1, 0xEE);
    ULONG bytes = capacity;
    const LONG result = key.QueryBinaryValue(L"v", buffer.data(), &bytes);
    EXPECT_EQ(expectedBytes, bytes);
    EXPECT_EQ(0xEE, buffer[capacity]);
    return result;
  };
}

std::function<LONG(CRegKey&)> GuidZeroed() {
  return [](CRegKey& key) {
    GUID guid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    const LONG result = key.QueryGUIDValue(L"v", guid);
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, guid));
    return result;
  };
}

const Bytes kNoTerminator = WideBytes(L"abc", 0);
const Bytes kOddString = [] {
  Bytes b = WideBytes(L"abc", 1);
  b.push_back(0);
  return b;
}();

const BadDataCase kBadDataCases[] = {
    // DWORD and QWORD: exact type and size or nothing.
    {"DwordMissing", false, 0, {}, DwordUntouched, ERROR_FILE_NOT_FOUND},
    {"DwordOfQword", true, REG_QWORD, PodBytes(ULONGLONG{1}), DwordUntouched, ERROR_MORE_DATA},
    {"DwordOfBinary4", true, REG_BINARY, PodBytes(DWORD{1}), DwordUntouched, ERROR_INVALID_DATA},
    {"DwordShort", true, REG_DWORD, Bytes{1, 2}, DwordUntouched, ERROR_INVALID_DATA},
    {"DwordEmpty", true, REG_DWORD, Bytes{}, DwordUntouched, ERROR_INVALID_DATA},
    {"QwordOfDword", true, REG_DWORD, PodBytes(DWORD{1}), QwordUntouched, ERROR_INVALID_DATA},
    {"QwordShort", true, REG_QWORD, PodBytes(DWORD{1}), QwordUntouched, ERROR_INVALID_DATA},
    {"QwordLong", true, REG_QWORD, Bytes(12, 1), QwordUntouched, ERROR_MORE_DATA},
    {"QwordMissing", false, 0, {}, QwordUntouched, ERROR_FILE_NOT_FOUND},
    // Strings.
    {"StringMissing", false, 0, {}, StringQuery(8, 0), ERROR_FILE_NOT_FOUND},
    {"StringWrongType", true, REG_DWORD, PodBytes(DWORD{1}), StringQuery(8, 0), ERROR_INVALID_DATA},
    {"StringMultiType", true, REG_MULTI_SZ, WideBytes(L"a", 2), StringQuery(8, 0),
     ERROR_INVALID_DATA},
    {"StringNoTerminator", true, REG_SZ, kNoTerminator, StringQuery(8, 0), ERROR_INVALID_DATA},
    {"StringOddLength", true, REG_SZ, kOddString, StringQuery(8, 0), ERROR_INVALID_DATA},
    {"StringTooSmall", true, REG_SZ, WideBytes(L"abcdef", 1), StringQuery(3, 7), ERROR_MORE_DATA},
    {"StringExactFit", true, REG_SZ, WideBytes(L"abc", 1), StringQuery(4, 4), ERROR_SUCCESS},
    {"StringEmptyData", true, REG_SZ, Bytes{}, StringQuery(4, 1), ERROR_SUCCESS},
    {"StringZeroBufferEmptyData", true, REG_SZ, Bytes{}, StringQuery(0, 1), ERROR_MORE_DATA},
    {"StringZeroBuffer", true, REG_SZ, WideBytes(L"ab", 1), StringQuery(0, 3), ERROR_MORE_DATA},
    {"StringSizeQuery", true, REG_EXPAND_SZ, WideBytes(L"ab", 1), StringSizeQuery(3),
     ERROR_SUCCESS},
    {"StringSizeQueryOdd", true, REG_SZ, kOddString, StringSizeQuery(5), ERROR_SUCCESS},
    {"GetStringNoTerminator", true, REG_SZ, kNoTerminator, GetStringUntouched(),
     ERROR_INVALID_DATA},
    {"GetStringOddLength", true, REG_SZ, kOddString, GetStringUntouched(), ERROR_INVALID_DATA},
    {"GetStringWrongType", true, REG_BINARY, Bytes{1}, GetStringUntouched(), ERROR_INVALID_DATA},
    {"GetStringMissing", false, 0, {}, GetStringUntouched(), ERROR_FILE_NOT_FOUND},
    // Multi-strings.
    {"MultiBufferUnderTwo", true, REG_MULTI_SZ, WideBytes(L"a", 2), MultiQuery(1, 1),
     ERROR_INSUFFICIENT_BUFFER},
    {"MultiWrongType", true, REG_SZ, WideBytes(L"a", 2), MultiQuery(8, 0), ERROR_INVALID_DATA},
    {"MultiOneTerminator", true, REG_MULTI_SZ, WideBytes(L"ab", 1), MultiQuery(8, 0),
     ERROR_INVALID_DATA},
    {"MultiNoTerminator", true, REG_MULTI_SZ, kNoTerminator, MultiQuery(8, 0), ERROR_INVALID_DATA},
    {"MultiOdd", true, REG_MULTI_SZ,
     [] {
       Bytes b = WideBytes(L"a", 2);
       b.push_back(0);
       return b;
     }(),
     MultiQuery(8, 0), ERROR_INVALID_DATA},
    {"MultiEmptyData", true, REG_MULTI_SZ, Bytes{}, MultiQuery(8, 0), ERROR_INVALID_DATA},
    {"MultiTooSmall", true, REG_MULTI_SZ, WideBytes(std::wstring(L"ab\0c", 4), 2), MultiQuery(3, 6),
     ERROR_MORE_DATA},
    {"MultiMissing", false, 0, {}, MultiQuery(8, 0), ERROR_FILE_NOT_FOUND},
    // Binary.
    {"BinaryWrongType", true, REG_DWORD, PodBytes(DWORD{1}), BinaryQuery(8, 4), ERROR_INVALID_DATA},
    {"BinaryTooSmall", true, REG_BINARY, Bytes(10, 7), BinaryQuery(4, 10), ERROR_MORE_DATA},
    {"BinaryMissing", false, 0, {}, BinaryQuery(4, 4), ERROR_FILE_NOT_FOUND},
    // GUIDs: zeroed on every failure.
    {"GuidNoBrace", true, REG_SZ, WideBytes(L"12345678-9ABC-DEF0-0102-030405060708", 1),
     GuidZeroed(), ERROR_INVALID_DATA},
    {"GuidRejected", true, REG_SZ, WideBytes(L"{not a guid}", 1), GuidZeroed(), ERROR_INVALID_DATA},
    {"GuidWrongType", true, REG_DWORD, PodBytes(DWORD{1}), GuidZeroed(), ERROR_INVALID_DATA},
    {"GuidMissing", false, 0, {}, GuidZeroed(), ERROR_FILE_NOT_FOUND},
    {"GuidTooLong", true, REG_SZ, WideBytes(std::wstring(80, L'{'), 1), GuidZeroed(),
     ERROR_MORE_DATA},
};

INSTANTIATE_TEST_SUITE_P(Cases, CRegKeyBadDataTest, ::testing::ValuesIn(kBadDataCases),
                         [](const ::testing::TestParamInfo<BadDataCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(ScratchKeyTest, WritesWithoutDataAreRefusedAndStoreNothing) {
  CRegKey key;
  OpenScratch(key);
  const BYTE one = 1;
  struct Case {
    const char* name;
    std::function<LONG()> call;
    LONG expected;
  };
  const Case cases[] = {
      {"SetValueNullData", [&] { return key.SetValue(L"v", REG_BINARY, nullptr, 4); },
       ERROR_INVALID_PARAMETER},
      {"SetValueZeroBytes", [&] { return key.SetValue(L"v", REG_BINARY, &one, 0); },
       ERROR_INVALID_PARAMETER},
      {"SetBinaryZeroBytes", [&] { return key.SetBinaryValue(L"v", &one, 0); },
       ERROR_INVALID_PARAMETER},
      {"SetStringNull", [&] { return key.SetStringValue(L"v", nullptr); }, ERROR_INVALID_DATA},
      {"SetMultiStringNull", [&] { return key.SetMultiStringValue(L"v", nullptr); },
       ERROR_INVALID_DATA},
      {"DeleteValueNull", [&] { return key.DeleteValue(nullptr); }, ERROR_INVALID_PARAMETER},
      {"DeleteValueMissing", [&] { return key.DeleteValue(L"v"); }, ERROR_FILE_NOT_FOUND},
      {"DeleteSubKeyNull", [&] { return key.DeleteSubKey(nullptr); }, ERROR_INVALID_PARAMETER},
      {"DeleteSubKeyMissing", [&] { return key.DeleteSubKey(L"none"); }, ERROR_FILE_NOT_FOUND},
      {"GetKeySecurityNoSize",
       [&] { return key.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"SetKeySecurityNull", [&] { return key.SetKeySecurity(DACL_SECURITY_INFORMATION, nullptr); },
       ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, c.call());
    DWORD type = 0;
    Bytes data;
    EXPECT_FALSE(GetRaw(L"v", &type, &data));
  }
}

TEST_F(ScratchKeyTest, DeleteValueRemovesOnlyThatValue) {
  CRegKey key;
  OpenScratch(key);
  ASSERT_EQ(ERROR_SUCCESS, key.SetDWORDValue(L"a", 1));
  ASSERT_EQ(ERROR_SUCCESS, key.SetDWORDValue(L"b", 2));
  EXPECT_EQ(ERROR_SUCCESS, key.DeleteValue(L"a"));
  DWORD type = 0;
  Bytes data;
  EXPECT_FALSE(GetRaw(L"a", &type, &data));
  EXPECT_TRUE(GetRaw(L"b", &type, &data));
}

// ---------------------------------------------------------------------------------------------
// Open, Create, Close, Attach, Detach, sharing

TEST_F(ScratchKeyTest, CreateReportsDispositionAlsoOnFailure) {
  CRegKey key;
  DWORD disposition = 0xFFFF;
  ASSERT_EQ(ERROR_SUCCESS, key.Create(raw_.get(), L"child", nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_ALL_ACCESS, nullptr, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  EXPECT_TRUE(SubKeyExists(L"child"));
  const HKEY held = key.GetHandle();
  ASSERT_NE(nullptr, held);

  CRegKey again;
  ASSERT_EQ(ERROR_SUCCESS, again.Create(raw_.get(), L"child", nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_READ, nullptr, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);

  // A failed Create writes 0 to the disposition and keeps the key held before.
  disposition = 0xFFFF;
  EXPECT_NE(ERROR_SUCCESS, key.Create(nullptr, L"orphan", nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_ALL_ACCESS, nullptr, &disposition));
  EXPECT_EQ(0u, disposition);
  EXPECT_EQ(held, key.GetHandle());
  EXPECT_EQ(ERROR_SUCCESS, key.SetDWORDValue(L"still", 1));
}

TEST_F(ScratchKeyTest, FailedOpenKeepsTheKeyAndViewBitsFollowTheAccess) {
  auto impl = std::make_shared<internal::CRegKeyImpl>();
  CRegKey key(impl);
  ASSERT_EQ(ERROR_SUCCESS,
            key.Open(HKEY_CURRENT_USER, path_.c_str(), KEY_ALL_ACCESS | KEY_WOW64_64KEY));
  EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), impl->GetViewBits());
  const HKEY held = key.GetHandle();

  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Open(raw_.get(), L"missing"));
  EXPECT_EQ(held, key.GetHandle());
  EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), impl->GetViewBits());

  MakeSubKey(L"sub");
  ASSERT_EQ(ERROR_SUCCESS, key.Open(raw_.get(), L"sub", KEY_READ | KEY_WOW64_32KEY));
  EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_32KEY), impl->GetViewBits());
  EXPECT_NE(held, key.GetHandle());

  EXPECT_EQ(ERROR_SUCCESS, key.Close());
  EXPECT_EQ(nullptr, key.GetHandle());
  EXPECT_EQ(0u, impl->GetViewBits());
  EXPECT_EQ(ERROR_SUCCESS, key.Close());
}

TEST_F(ScratchKeyTest, DetachAndAttachHandTheKeyOver) {
  auto firstImpl = std::make_shared<internal::CRegKeyImpl>();
  auto secondImpl = std::make_shared<internal::CRegKeyImpl>();
  CRegKey first(firstImpl);
  CRegKey second(secondImpl);
  ASSERT_EQ(ERROR_SUCCESS,
            first.Open(HKEY_CURRENT_USER, path_.c_str(), KEY_ALL_ACCESS | KEY_WOW64_64KEY));
  firstImpl->SetDeleteOnClose(true);
  const HKEY handle = first.GetHandle();

  second.Attach(first.Detach());
  EXPECT_EQ(nullptr, first.GetHandle());
  EXPECT_EQ(0u, firstImpl->GetViewBits());
  EXPECT_FALSE(firstImpl->GetDeleteOnClose());
  EXPECT_EQ(handle, second.GetHandle());
  EXPECT_EQ(0u, secondImpl->GetViewBits());
  EXPECT_FALSE(secondImpl->GetDeleteOnClose());

  EXPECT_EQ(ERROR_SUCCESS, second.SetDWORDValue(L"v", 3));
  EXPECT_EQ(ERROR_SUCCESS, first.Close());
  EXPECT_EQ(ERROR_SUCCESS, second.Close());
  EXPECT_TRUE(SubKeyExists(L""));  // the flag did not travel with the handle
}

TEST_F(ScratchKeyTest, DestroyingOneSharerClosesTheKeyForAll) {
  auto impl = std::make_shared<internal::CRegKeyImpl>();
  CRegKey survivor(impl);
  {
    CRegKey other(impl);
    ASSERT_EQ(ERROR_SUCCESS, other.Open(HKEY_CURRENT_USER, path_.c_str()));
    EXPECT_EQ(other.GetHandle(), survivor.GetHandle());
  }
  EXPECT_EQ(nullptr, survivor.GetHandle());
  DWORD value = 0;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, survivor.QueryDWORDValue(L"v", value));

  CRegKey fresh(nullptr);  // an empty pointer gets a plain implementation
  EXPECT_EQ(ERROR_SUCCESS, fresh.Open(HKEY_CURRENT_USER, path_.c_str()));
}

TEST_F(ScratchKeyTest, DeleteOnCloseRemovesTheKeyWithItsSubtree) {
  MakeSubKey(L"temp\\a\\b");
  MakeSubKey(L"keep");
  {
    UniqueHKey v;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(raw_.get(), L"temp\\a", 0, KEY_ALL_ACCESS, v.put()));
    const DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(v.get(), L"x", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4));
  }
  auto impl = std::make_shared<internal::CRegKeyImpl>();
  {
    CRegKey key(impl);
    ASSERT_EQ(ERROR_SUCCESS, key.Open(raw_.get(), L"temp", KEY_ALL_ACCESS));
    impl->SetDeleteOnClose(true);
    EXPECT_TRUE(impl->GetDeleteOnClose());
  }
  EXPECT_FALSE(impl->GetDeleteOnClose());
  EXPECT_FALSE(SubKeyExists(L"temp"));
  EXPECT_TRUE(SubKeyExists(L"keep"));

  // Opening another key closes (and so deletes) the one held.
  MakeSubKey(L"temp2");
  CRegKey key(impl);
  ASSERT_EQ(ERROR_SUCCESS, key.Open(raw_.get(), L"temp2", KEY_ALL_ACCESS));
  impl->SetDeleteOnClose(true);
  EXPECT_EQ(ERROR_SUCCESS, key.Open(raw_.get(), L"keep", KEY_ALL_ACCESS));
  EXPECT_FALSE(impl->GetDeleteOnClose());
  EXPECT_FALSE(SubKeyExists(L"temp2"));
  EXPECT_TRUE(SubKeyExists(L"keep"));
}

// ---------------------------------------------------------------------------------------------
// Implementations with other storage

// Keeps values in memory, so the typed operations can be seen reaching slots 1 and 2.
class MemoryImpl : public internal::CRegKeyImpl {
 public:
  LONG QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* bytes) override {
    ++queries;
    auto it = values.find(Key(name));
    if (it == values.end()) return ERROR_FILE_NOT_FOUND;
    if (type) *type = it->second.first;
    const Bytes& stored = it->second.second;
    if (data && *bytes < stored.size()) {
      *bytes = static_cast<ULONG>(stored.size());
      return ERROR_MORE_DATA;
    }
    if (data) std::memcpy(data, stored.data(), stored.size());
    *bytes = static_cast<ULONG>(stored.size());
    return ERROR_SUCCESS;
  }
  LONG SetValue(LPCWSTR name, DWORD type, const void* data, ULONG bytes) override {
    ++sets;
    const BYTE* p = static_cast<const BYTE*>(data);
    values[Key(name)] = {type, Bytes(p, p + bytes)};
    return ERROR_SUCCESS;
  }
  static std::wstring Key(LPCWSTR name) { return name ? name : L""; }

  std::map<std::wstring, std::pair<DWORD, Bytes>> values;
  int queries = 0;
  int sets = 0;
};

TEST_F(ScratchKeyTest, TypedOperationsReachTheRawSlotsOfADerivedImplementation) {
  auto impl = std::make_shared<MemoryImpl>();
  CRegKey key(impl);
  OpenScratch(key);  // the typed queries want an open key

  const GUID guid = {0xCAFEBABE, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  const BYTE blob[] = {9, 8, 7};
  EXPECT_EQ(ERROR_SUCCESS, key.SetDWORDValue(L"dw", 7));
  EXPECT_EQ(ERROR_SUCCESS, key.SetQWORDValue(L"qw", 8));
  EXPECT_EQ(ERROR_SUCCESS, key.SetBinaryValue(L"bin", blob, sizeof(blob)));
  EXPECT_EQ(ERROR_SUCCESS, key.SetStringValue(L"sz", L"text"));
  EXPECT_EQ(ERROR_SUCCESS, key.SetMultiStringValue(L"msz", L"a\0b\0"));
  EXPECT_EQ(ERROR_SUCCESS, key.SetGUIDValue(L"guid", guid));
  EXPECT_EQ(6, impl->sets);

  DWORD dw = 0;
  ULONGLONG qw = 0;
  BYTE bin[8];
  ULONG binBytes = sizeof(bin);
  std::wstring s;
  WCHAR multi[8];
  ULONG multiChars = 8;
  GUID readGuid;
  EXPECT_EQ(ERROR_SUCCESS, key.QueryDWORDValue(L"dw", dw));
  EXPECT_EQ(ERROR_SUCCESS, key.QueryQWORDValue(L"qw", qw));
  EXPECT_EQ(ERROR_SUCCESS, key.QueryBinaryValue(L"bin", bin, &binBytes));
  EXPECT_EQ(ERROR_SUCCESS, key.GetStringValue(L"sz", s));
  EXPECT_EQ(ERROR_SUCCESS, key.QueryMultiStringValue(L"msz", multi, &multiChars));
  EXPECT_EQ(ERROR_SUCCESS, key.QueryGUIDValue(L"guid", readGuid));
  EXPECT_EQ(7u, dw);
  EXPECT_EQ(8u, qw);
  EXPECT_EQ(3u, binBytes);
  EXPECT_EQ(L"text", s);
  EXPECT_EQ(5u, multiChars);
  EXPECT_TRUE(IsEqualGUID(guid, readGuid));
  EXPECT_EQ(7, impl->queries);  // GetStringValue reads twice

  // Nothing reached the registry.
  DWORD type = 0;
  Bytes data;
  for (LPCWSTR name : {L"dw", L"qw", L"bin", L"sz", L"msz", L"guid"}) {
    EXPECT_FALSE(GetRaw(name, &type, &data));
  }
}

// ---------------------------------------------------------------------------------------------
// Enumeration and notification

TEST_F(ScratchKeyTest, EnumKeyListsEverySubkeyThenNoMoreItems) {
  const std::wstring longName(255, L'n');
  const std::vector<std::wstring> names = {L"alpha", L"beta", longName};
  for (const auto& n : names) MakeSubKey(n);

  CRegKey key;
  OpenScratch(key);
  std::vector<std::wstring> seen;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD chars = 256;
    FILETIME written = {};
    const LONG result =
        (i % 2) ? key.EnumKey(i, name, &chars, &written) : key.EnumKey(i, name, &chars);
    if (result == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(ERROR_SUCCESS, result);
    if (i % 2) {
      EXPECT_TRUE(written.dwHighDateTime != 0 || written.dwLowDateTime != 0);
    }
    seen.emplace_back(name, chars);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(names, seen);

  WCHAR small[4];
  DWORD chars = 4;
  EXPECT_EQ(ERROR_MORE_DATA, key.EnumKey(0, small, &chars));
}

TEST_F(ScratchKeyTest, NotifyFiresOnAChangeButNotOnAnIdenticalRewrite) {
  CRegKey key;
  OpenScratch(key);
  ASSERT_EQ(ERROR_SUCCESS, key.SetDWORDValue(L"watched", 1));
  UniqueEvent event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  ASSERT_TRUE(event);

  ASSERT_EQ(ERROR_SUCCESS,
            key.NotifyChangeKeyValue(FALSE, REG_NOTIFY_CHANGE_LAST_SET, event.get(), TRUE));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event.get(), 0));
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExW(raw_.get(), L"watched", 0, REG_DWORD, PodBytes(DWORD{2}).data(), 4));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 2000));

  ASSERT_EQ(ERROR_SUCCESS,
            key.NotifyChangeKeyValue(FALSE, REG_NOTIFY_CHANGE_LAST_SET, event.get(), TRUE));
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExW(raw_.get(), L"watched", 0, REG_DWORD, PodBytes(DWORD{2}).data(), 4));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event.get(), 300));

  // Subtree watching sees a change below the key (a handle keeps its first registration, so
  // use another one).
  MakeSubKey(L"sub");
  CRegKey tree;
  OpenScratch(tree);
  ASSERT_EQ(ERROR_SUCCESS,
            tree.NotifyChangeKeyValue(TRUE, REG_NOTIFY_CHANGE_LAST_SET, event.get(), TRUE));
  {
    UniqueHKey sub;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(raw_.get(), L"sub", 0, KEY_ALL_ACCESS, sub.put()));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(sub.get(), L"x", 0, REG_DWORD, PodBytes(DWORD{5}).data(), 4));
  }
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 2000));
}

// ---------------------------------------------------------------------------------------------
// Deleting keys

TEST_F(ScratchKeyTest, RecurseDeleteKeyRemovesTheWholeSubtree) {
  const std::wstring longName(255, L'z');
  MakeSubKey(L"tree\\a\\b\\c");
  MakeSubKey(L"tree\\a\\" + longName + L"\\d");
  MakeSubKey(L"tree\\e");
  MakeSubKey(L"sibling");
  {
    UniqueHKey v;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(raw_.get(), L"tree\\a\\b", 0, KEY_ALL_ACCESS, v.put()));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(v.get(), L"x", 0, REG_DWORD, PodBytes(DWORD{1}).data(), 4));
  }
  CRegKey key;
  OpenScratch(key);
  EXPECT_EQ(ERROR_SUCCESS, key.RecurseDeleteKey(L"tree"));
  EXPECT_FALSE(SubKeyExists(L"tree"));
  EXPECT_TRUE(SubKeyExists(L"sibling"));

  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.RecurseDeleteKey(L"tree"));
  // A null name would otherwise empty the key itself before being refused.
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.RecurseDeleteKey(nullptr));
  EXPECT_TRUE(SubKeyExists(L"sibling"));

  EXPECT_EQ(ERROR_SUCCESS, key.DeleteSubKey(L"sibling"));
  EXPECT_FALSE(SubKeyExists(L"sibling"));
}

TEST_F(ScratchKeyTest, DeleteSubKeyRefusesAKeyWithSubkeys) {
  MakeSubKey(L"parent\\child");
  CRegKey key;
  OpenScratch(key);
  EXPECT_NE(ERROR_SUCCESS, key.DeleteSubKey(L"parent"));
  EXPECT_TRUE(SubKeyExists(L"parent\\child"));
}

TEST(CRegKeyViewTest, DeleteInThe32BitViewOfTheMachineKey) {
  const std::wstring path =
      L"Software\\HollinTests_CRegKey32_" + std::to_wstring(GetCurrentProcessId());
  CRegKey key;
  ASSERT_EQ(ERROR_SUCCESS, key.Create(HKEY_LOCAL_MACHINE, path.c_str(), nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS | KEY_WOW64_32KEY));
  auto cleanup = MakeScopeExit([&] {
    key.Close();
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_32KEY, 0);
  });
  CRegKey child;
  ASSERT_EQ(ERROR_SUCCESS, child.Create(key.GetHandle(), L"a\\b"));
  child.Close();

  // The 64-bit view does not see it; the 32-bit one does until it is deleted.
  UniqueHKey probe;
  EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0,
                                         KEY_READ | KEY_WOW64_64KEY, probe.put()));
  EXPECT_EQ(ERROR_SUCCESS, key.RecurseDeleteKey(L"a"));
  const std::wstring a = path + L"\\a";
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, a.c_str(), 0,
                                                KEY_READ | KEY_WOW64_32KEY, probe.put()));
}

// ---------------------------------------------------------------------------------------------
// GrantEveryoneFullAccess

// The allowed-ACE mask for Everyone in the key's DACL; false when there is none.
bool EveryoneAce(HKEY key, DWORD* mask, BYTE* flags) {
  DWORD bytes = 0;
  RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &bytes);
  std::vector<BYTE> sd(bytes);
  if (bytes == 0 ||
      RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd.data(), &bytes) != ERROR_SUCCESS) {
    return false;
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(sd.data(), &present, &dacl, &defaulted) || !present || !dacl) {
    return false;
  }
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < dacl->AceCount && !found; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) break;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    if (EqualSid(&ace->SidStart, everyone)) {
      *mask = ace->Mask;
      *flags = header->AceFlags;
      found = true;
    }
  }
  FreeSid(everyone);
  return found;
}

DWORD AceCount(HKEY key) {
  DWORD bytes = 0;
  RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &bytes);
  std::vector<BYTE> sd(bytes);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (bytes == 0 ||
      RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd.data(), &bytes) != ERROR_SUCCESS ||
      !GetSecurityDescriptorDacl(sd.data(), &present, &dacl, &defaulted) || !dacl) {
    return 0;
  }
  return dacl->AceCount;
}

// Replaces the key's DACL with one described in SDDL.
void SetDacl(HKEY key, LPCWSTR sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(
      ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr));
  UniqueLocalMem owner(sd);
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd));
}

class GrantEveryoneTest : public ScratchKeyTest {
 protected:
  void SetUp() override {
    ScratchKeyTest::SetUp();
    // Start from a DACL without Everyone so the grant is visible.
    SetDacl(raw_.get(), L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)");
    MakeSubKey(L"sub\\deeper");
    UniqueHKey sub;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(raw_.get(), L"sub", 0, KEY_ALL_ACCESS, sub.put()));
    SetDacl(sub.get(), L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)");
    UniqueHKey deeper;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(raw_.get(), L"sub\\deeper", 0, KEY_ALL_ACCESS, deeper.put()));
    SetDacl(deeper.get(), L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)");
  }
  bool EveryoneOn(const std::wstring& relative, DWORD* mask = nullptr, BYTE* flags = nullptr) {
    UniqueHKey k;
    const std::wstring full = relative.empty() ? path_ : path_ + L"\\" + relative;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, full.c_str(), 0, READ_CONTROL, k.put()) != ERROR_SUCCESS) {
      return false;
    }
    DWORD m = 0;
    BYTE f = 0;
    if (!EveryoneAce(k.get(), &m, &f)) return false;
    if (mask) *mask = m;
    if (flags) *flags = f;
    return true;
  }
};

TEST_F(GrantEveryoneTest, NonRecursiveGrantTouchesOnlyTheKey) {
  ASSERT_FALSE(EveryoneOn(L""));
  CRegKey key;
  OpenScratch(key);
  EXPECT_EQ(ERROR_SUCCESS, key.GrantEveryoneFullAccess(false));
  DWORD mask = 0;
  BYTE flags = 0;
  ASSERT_TRUE(EveryoneOn(L"", &mask, &flags));
  EXPECT_TRUE(mask == GENERIC_ALL || mask == KEY_ALL_ACCESS) << std::hex << mask;
  EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
            flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
  EXPECT_FALSE(EveryoneOn(L"sub"));
  EXPECT_EQ(3u, AceCount(raw_.get()));  // the entries already there are kept
}

TEST_F(GrantEveryoneTest, RecursiveGrantReachesEverySubkey) {
  CRegKey key;
  OpenScratch(key);
  EXPECT_EQ(ERROR_SUCCESS, key.GrantEveryoneFullAccess(true));
  EXPECT_TRUE(EveryoneOn(L""));
  EXPECT_TRUE(EveryoneOn(L"sub"));
  EXPECT_TRUE(EveryoneOn(L"sub\\deeper"));
}

TEST_F(GrantEveryoneTest, RecursiveGrantSkipsASubkeyItCannotOpen) {
  MakeSubKey(L"locked");
  MakeSubKey(L"zlast");
  {
    UniqueHKey locked;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(raw_.get(), L"locked", 0, KEY_ALL_ACCESS, locked.put()));
    SetDacl(locked.get(), L"D:P(A;;KR;;;WD)");
  }
  UniqueHKey probe;
  const std::wstring lockedPath = path_ + L"\\locked";
  if (RegOpenKeyExW(HKEY_CURRENT_USER, lockedPath.c_str(), 0, KEY_ALL_ACCESS, probe.put()) ==
      ERROR_SUCCESS) {
    GTEST_SKIP() << "this registry does not enforce the locked DACL";
  }
  CRegKey key;
  OpenScratch(key);
  EXPECT_EQ(ERROR_SUCCESS, key.GrantEveryoneFullAccess(true));
  DWORD mask = 0;
  ASSERT_TRUE(EveryoneOn(L"locked", &mask));
  EXPECT_EQ(static_cast<DWORD>(KEY_READ), mask);  // unchanged
  EXPECT_TRUE(EveryoneOn(L"zlast"));
  EXPECT_TRUE(EveryoneOn(L"sub\\deeper"));
}

// Forwards to the real functions except for the one step a case makes fail.
class FakeSecurityCalls : public internal::IKeySecurityCalls {
 public:
  enum Step {
    kNone,
    kNotNT,
    kLoad,
    kSizeQuery,
    kSizeZero,
    kRead,
    kDacl,
    kSid,
    kAcl,
    kInit,
    kSetDacl
  };
  explicit FakeSecurityCalls(Step failing, LONG code) : failing_(failing), code_(code) {}

  bool IsNT() override { return failing_ != kNotNT; }
  bool Load() override {
    ++calls;
    return failing_ != kLoad;
  }
  LONG RegGetKeySecurity(HKEY key, SECURITY_INFORMATION si, PSECURITY_DESCRIPTOR sd,
                         LPDWORD bytes) override {
    ++calls;
    if (sd == nullptr) {
      if (failing_ == kSizeQuery) return code_;
      if (failing_ == kSizeZero) {
        *bytes = 0;
        return ERROR_INSUFFICIENT_BUFFER;
      }
    } else if (failing_ == kRead) {
      return code_;
    }
    return ::RegGetKeySecurity(key, si, sd, bytes);
  }
  BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, LPBOOL present, PACL* dacl,
                                 LPBOOL defaulted) override {
    ++calls;
    if (failing_ == kDacl) return Fail();
    return ::GetSecurityDescriptorDacl(sd, present, dacl, defaulted);
  }
  BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY a, BYTE n, DWORD s0, DWORD s1, DWORD s2,
                                DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7,
                                PSID* sid) override {
    ++calls;
    if (failing_ == kSid) return Fail();
    return ::AllocateAndInitializeSid(a, n, s0, s1, s2, s3, s4, s5, s6, s7, sid);
  }
  DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl,
                         PACL* newAcl) override {
    ++calls;
    if (failing_ == kAcl) return static_cast<DWORD>(code_);
    return ::SetEntriesInAclW(count, entries, oldAcl, newAcl);
  }
  BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision) override {
    ++calls;
    if (failing_ == kInit) return Fail();
    return ::InitializeSecurityDescriptor(sd, revision);
  }
  BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl,
                                 BOOL defaulted) override {
    ++calls;
    if (failing_ == kSetDacl) return Fail();
    return ::SetSecurityDescriptorDacl(sd, present, dacl, defaulted);
  }

  int calls = 0;

 private:
  BOOL Fail() {
    SetLastError(static_cast<DWORD>(code_));
    return FALSE;
  }
  Step failing_;
  LONG code_;
};

TEST_F(GrantEveryoneTest, EachFailingStepIsReportedAndChangesNothing) {
  using F = FakeSecurityCalls;
  struct Case {
    const char* name;
    F::Step step;
    LONG code;
    LONG expected;
  };
  const Case cases[] = {
      {"NotNT", F::kNotNT, 0, ERROR_SUCCESS},
      {"LoadFails", F::kLoad, 0, ERROR_FILE_NOT_FOUND},
      {"SizeQueryFails", F::kSizeQuery, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {"SizeZero", F::kSizeZero, 0, ERROR_BAD_LENGTH},
      {"ReadFails", F::kRead, ERROR_INVALID_FUNCTION, ERROR_INVALID_FUNCTION},
      {"DaclFails", F::kDacl, ERROR_INVALID_SECURITY_DESCR, ERROR_INVALID_SECURITY_DESCR},
      {"SidFails", F::kSid, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
      {"AclFails", F::kAcl, ERROR_INVALID_ACL, ERROR_INVALID_ACL},
      {"InitFails", F::kInit, ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {"SetDaclFails", F::kSetDacl, ERROR_INVALID_SECURITY_DESCR, ERROR_INVALID_SECURITY_DESCR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    F fake(c.step, c.code);
    EXPECT_EQ(c.expected, internal::GrantEveryoneFullAccessWith(fake, raw_.get(), true));
    EXPECT_FALSE(EveryoneOn(L""));
    EXPECT_FALSE(EveryoneOn(L"sub"));
    if (c.step == F::kNotNT) {
      EXPECT_EQ(0, fake.calls);
    }
  }

  F working(F::kNone, 0);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, internal::GrantEveryoneFullAccessWith(working, nullptr, true));
  EXPECT_EQ(ERROR_SUCCESS, internal::GrantEveryoneFullAccessWith(working, raw_.get(), true));
  EXPECT_TRUE(EveryoneOn(L"sub\\deeper"));
}

}  // namespace
}  // namespace Basalt
