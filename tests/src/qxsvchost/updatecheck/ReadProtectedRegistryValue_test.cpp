// The update manager's registry reader: plain and tagged values, string payloads in the ANSI code
// page, the registry views and short buffers. Values live in unique keys of the real machine key
// (a redirected machine key has no 32-bit view).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "basalt/Registry/CObfuscatedRegKey.h"
#include "src/qxsvchost/QxUpdateMgr/include/QxUpdateMgr_Helper.h"

namespace {

const std::wstring kKey =
    L"Software\\HollinTests\\Protected_" + std::to_wstring(GetCurrentProcessId());
const std::wstring kWow64Key =
    L"Software\\Wow6432Node\\HollinTests\\Protected_" + std::to_wstring(GetCurrentProcessId());

// |ansi| as the thread's ANSI code page reads it.
std::wstring FromAnsi(const std::string& ansi) {
  std::wstring wide(ansi.size() * 2 + 1, L'\0');
  const int n = MultiByteToWideChar(CP_THREAD_ACP, 0, ansi.data(), static_cast<int>(ansi.size()),
                                    &wide[0], static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return wide;
}

// A tagged blob of |payload| recorded as |type|.
std::vector<BYTE> Blob(const std::string& payload, DWORD type) {
  std::vector<BYTE> blob(payload.size() + 32);
  EXPECT_EQ(ERROR_SUCCESS, Basalt::CObfuscatedRegKeyImpl::EncodeValue(
                               reinterpret_cast<const unsigned char*>(payload.data()),
                               static_cast<DWORD>(payload.size()), type, blob.data(),
                               static_cast<DWORD>(blob.size())));
  return blob;
}

class ProtectedValueTest : public ::testing::Test {
 protected:
  void TearDown() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey.c_str());
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey.c_str(), KEY_WOW64_32KEY, 0);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kWow64Key.c_str());
  }
  static void Put(const wchar_t* name, DWORD type, const void* data, size_t bytes,
                  REGSAM view = 0) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS | view, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data),
                                            static_cast<DWORD>(bytes)));
    RegCloseKey(key);
  }
  static void PutAnsi(const char* name, DWORD type, const std::string& data) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())));
    RegCloseKey(key);
  }
  static LONG Read(const wchar_t* name, DWORD flags, DWORD* type, void* data, DWORD* bytes) {
    return ReadProtectedRegistryValue(HKEY_LOCAL_MACHINE, kKey.c_str(), name, type, data, bytes,
                                      flags);
  }
};

TEST_F(ProtectedValueTest, PlainValuesComeOutAsStoredWithAnsiTextAsUtf16) {
  const std::string ansi = "caf\xe9";
  PutAnsi("Text", REG_SZ, ansi + std::string(1, '\0'));
  PutAnsi("List", REG_MULTI_SZ, std::string("a\0\xe9", 3) + std::string(2, '\0'));
  const DWORD number = 0x01020304;
  Put(L"Number", REG_DWORD, &number, sizeof(number));

  wchar_t text[32] = {};
  DWORD type = 0;
  DWORD bytes = sizeof(text);
  ASSERT_EQ(ERROR_SUCCESS, Read(L"Text", 0, &type, text, &bytes));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(FromAnsi(ansi), text);
  EXPECT_EQ(10u, bytes);

  wchar_t list[32] = {};
  bytes = sizeof(list);
  ASSERT_EQ(ERROR_SUCCESS, Read(L"List", 0, &type, list, &bytes));
  EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
  EXPECT_EQ(10u, bytes);
  EXPECT_EQ(std::wstring(L"a\0", 2) + FromAnsi("\xe9") + std::wstring(2, L'\0'),
            std::wstring(list, 5));

  DWORD value = 0;
  bytes = sizeof(value);
  ASSERT_EQ(ERROR_SUCCESS, Read(L"Number", 0, &type, &value, &bytes));
  EXPECT_EQ(number, value);
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);

  // The default value and the key itself by empty or null names.
  Put(nullptr, REG_DWORD, &number, sizeof(number));
  value = 0;
  bytes = sizeof(value);
  EXPECT_EQ(ERROR_SUCCESS, Read(nullptr, 0, &type, &value, &bytes));
  EXPECT_EQ(number, value);
  // A value that cannot be read leaves the caller's type as it was.
  type = REG_LINK;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Read(L"Missing", 0, &type, &value, &bytes));
  EXPECT_EQ(static_cast<DWORD>(REG_LINK), type);
}

TEST_F(ProtectedValueTest, TaggedBlobsReadTheirPayloadThroughTheAnsiCodePage) {
  const std::vector<BYTE> text = Blob(std::string("caf\xe9\0", 5), REG_SZ);
  const std::vector<BYTE> list = Blob(std::string("a\0\xe9\0\0", 5), REG_MULTI_SZ);
  const DWORD number = 7;
  const std::vector<BYTE> dword =
      Blob(std::string(reinterpret_cast<const char*>(&number), 4), REG_DWORD);
  Put(L"Text", REG_BINARY, text.data(), text.size());
  Put(L"List", REG_BINARY, list.data(), list.size());
  Put(L"Number", REG_BINARY, dword.data(), dword.size());

  wchar_t out[32] = {};
  DWORD type = 0;
  DWORD bytes = sizeof(out);
  ASSERT_EQ(ERROR_SUCCESS, Read(L"Text", kQxProtectedValueTagged, &type, out, &bytes));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(FromAnsi("caf\xe9"), out);
  EXPECT_EQ(10u, bytes);

  bytes = sizeof(out);
  ASSERT_EQ(ERROR_SUCCESS, Read(L"List", kQxProtectedValueTagged, &type, out, &bytes));
  EXPECT_EQ(10u, bytes);
  EXPECT_EQ(std::wstring(L"a\0", 2) + FromAnsi("\xe9") + std::wstring(2, L'\0'),
            std::wstring(out, 5));

  DWORD value = 0;
  bytes = sizeof(value);
  ASSERT_EQ(ERROR_SUCCESS, Read(L"Number", kQxProtectedValueTagged, &type, &value, &bytes));
  EXPECT_EQ(7u, value);
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);

  // A blob written by the obfuscated registry key holds UTF-8, which this reader takes as ANSI.
  Basalt::CObfuscatedRegKey written;
  ASSERT_EQ(ERROR_SUCCESS, written.Create(HKEY_LOCAL_MACHINE, kKey.c_str()));
  ASSERT_EQ(ERROR_SUCCESS, written.SetStringValue(L"Utf8", L"caf\u00e9"));
  bytes = sizeof(out);
  ASSERT_EQ(ERROR_SUCCESS, Read(L"Utf8", kQxProtectedValueTagged, &type, out, &bytes));
  EXPECT_EQ(FromAnsi("caf\xc3\xa9"), out);

  // A missing value, a plain value or a damaged blob is no tagged value.
  bytes = sizeof(value);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Read(L"Missing", kQxProtectedValueTagged, &type, &value, &bytes));
  Put(L"Plain", REG_DWORD, &number, sizeof(number));
  bytes = sizeof(value);
  EXPECT_EQ(ERROR_INVALID_DATA, Read(L"Plain", kQxProtectedValueTagged, &type, &value, &bytes));
  std::vector<BYTE> damaged = dword;
  damaged.back() ^= 1;
  Put(L"Damaged", REG_BINARY, damaged.data(), damaged.size());
  EXPECT_EQ(ERROR_INVALID_DATA, Read(L"Damaged", kQxProtectedValueTagged, &type, &value, &bytes));
}

TEST_F(ProtectedValueTest, ShortBuffersGive234WithTheNeededSize) {
  PutAnsi("Text", REG_SZ, std::string("abc\0", 4));
  const std::vector<BYTE> tagged = Blob(std::string("abc\0", 4), REG_SZ);
  Put(L"Tagged", REG_BINARY, tagged.data(), tagged.size());
  const DWORD number = 9;
  const std::vector<BYTE> dword =
      Blob(std::string(reinterpret_cast<const char*>(&number), 4), REG_DWORD);
  Put(L"Number", REG_BINARY, dword.data(), dword.size());

  for (const DWORD flags : {DWORD{0}, kQxProtectedValueTagged}) {
    SCOPED_TRACE(flags);
    const wchar_t* name = flags ? L"Tagged" : L"Text";
    wchar_t out[3] = {L'x', L'x', L'x'};
    DWORD type = 0;
    DWORD bytes = sizeof(out);
    EXPECT_EQ(ERROR_MORE_DATA, Read(name, flags, &type, out, &bytes));
    EXPECT_EQ(8u, bytes);
    // Without a buffer only the size is told.
    bytes = 0;
    EXPECT_EQ(ERROR_SUCCESS, Read(name, flags, &type, nullptr, &bytes));
    EXPECT_EQ(8u, bytes);
  }
  WORD half = 0;
  DWORD type = 0;
  DWORD bytes = sizeof(half);
  EXPECT_EQ(ERROR_MORE_DATA, Read(L"Number", kQxProtectedValueTagged, &type, &half, &bytes));
  EXPECT_EQ(4u, bytes);
}

TEST_F(ProtectedValueTest, FlagsChooseTheRegistryView) {
  const DWORD native = 64;
  const DWORD redirected = 32;
  Put(L"View", REG_DWORD, &native, sizeof(native), KEY_WOW64_64KEY);
  Put(L"View", REG_DWORD, &redirected, sizeof(redirected), KEY_WOW64_32KEY);
  struct Case {
    DWORD flags;
    DWORD expected;
  };
  for (const Case& c :
       {Case{0, 64}, Case{kQxProtectedValue32BitView, 32}, Case{kQxProtectedValue64BitView, 64},
        Case{kQxProtectedValue32BitView | kQxProtectedValue64BitView, 32}}) {
    DWORD value = 0;
    DWORD type = 0;
    DWORD bytes = sizeof(value);
    EXPECT_EQ(ERROR_SUCCESS, Read(L"View", c.flags, &type, &value, &bytes)) << c.flags;
    EXPECT_EQ(c.expected, value) << c.flags;
  }
}

}  // namespace
