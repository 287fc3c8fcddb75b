// Resource identifiers of Quillet (shared with the resource script).
#pragma once

#define IDS_PROJNAME 100
#define IDR_QXSVCHOSTVER 101
#define IDR_COMPONENTS_INI 207
