// Whether the product's update manager is installing an update, asked before the host does
// anything else.
#pragma once

#include <windows.h>

// Nonzero only when the update's event exists and the update manager's trusted client object
// reports an installing update; every failure on the way gives 0. Enters and leaves a
// single-threaded apartment on the calling thread, and only while the event exists.
LONG IsInstallingUpdate();
