// The "/startservices" road: start the services of the group "QxCoreSvc", or, when the sibling
// module is enabled, have the sibling module start its services.
#pragma once

#include <windows.h>

// Starts (without waiting for them) the services of the group "QxCoreSvc" in list order; a
// service that cannot be opened or started is logged and passed over. E_FAIL when the group's
// configuration or list cannot be read, S_OK for an empty list, HRESULT_FROM_WIN32 when the
// service control manager cannot be opened, else S_OK. With |destroyConfiguration| the
// configuration singleton is destroyed afterwards.
HRESULT StartServices(BOOL destroyConfiguration);

// Asks the sibling module's API library to start its services ("TVSCOM", 5000); failures are
// logged only.
void StartTVSSServices();

// Whether "Enable" under SOFTWARE\Telvan\TVSSHOST (64-bit view) is nonzero; missing reads as
// disabled.
bool IsTvssHostEnabled();

// Writes "FreshInstallComplete" = |value| under SOFTWARE\Telvan\TVSSHOST (64-bit view), creating
// the key; the registry's result.
DWORD SetFreshInstallComplete(DWORD value);

// The whole road as the program entry takes it: with the sibling module enabled, records the
// fresh install and has the sibling module start its services; otherwise StartServices(TRUE).
void StartServicesOnRequest();
