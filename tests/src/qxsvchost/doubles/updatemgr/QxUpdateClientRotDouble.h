// Shared by the update manager's client double and its tests.
#pragma once

#include <windows.h>

namespace qxdouble {

constexpr wchar_t kUpdateClientKey[] = L"Software\\HollinTests\\QxUpdateClientRot";
// The client object's class.
constexpr CLSID kClsidUpdateClientRot = {
    0x6525b2dd, 0x4e96, 0x4bac, {0x90, 0x05, 0x59, 0xd4, 0xce, 0x17, 0xbc, 0x75}};
// The class of the double's proxy/stub library (QxUpdateClientRotDllData.c).
constexpr CLSID kClsidUpdateClientRotProxy = {
    0x5c1d9a2e, 0x7b3f, 0x4e61, {0x9c, 0x4d, 0x2a, 0x8e, 0x6f, 0x0b, 0x1d, 0x37}};

}  // namespace qxdouble
