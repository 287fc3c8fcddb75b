// Identifiers of the version server: its class, application, type library and interfaces.
#pragma once

#include <windows.h>

#include "versionserver/resource.h"

// The one class of the server.
inline constexpr CLSID CLSID_QxSvcHostVer = {
    0xa95b959f, 0x64a9, 0x43e4, {0xa8, 0x74, 0xc8, 0xa7, 0x79, 0x05, 0x85, 0x4a}};
// The type library carried as resource TYPELIB 1 (named by the class key, never registered).
inline constexpr GUID LIBID_QxSvcHostVerLib = {
    0x3acf0180, 0x547b, 0x4117, {0x91, 0xb7, 0x05, 0xe2, 0x9b, 0xff, 0x7b, 0x81}};
// The class's interface in the type library.
inline constexpr IID IID_IQxSvcHostVersion = {
    0xc8c3a940, 0xee0e, 0x4bfd, {0xa1, 0x51, 0xe3, 0x1a, 0x7f, 0x05, 0xf8, 0x66}};
// The merged proxy/stub code answers under the IID of IQxSvcHostVersion.
inline constexpr CLSID CLSID_QxSvcHostVerPS = IID_IQxSvcHostVersion;
// Application identifier, the registration script's %APPID%.
inline constexpr wchar_t kQxSvcHostVerAppId[] = L"{0A78438F-6396-4133-99B1-3CF591AFB157}";

// Resource type of the registration script and of the component description.
inline constexpr wchar_t kRegistryResourceType[] = L"REGISTRY";
inline constexpr wchar_t kIniResourceType[] = L"INI";
