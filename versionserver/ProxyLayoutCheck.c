/* The generated tables of the host's interfaces keep the host's slots: IUnknown's three, then
 * Reserved (3) and QxStopSvcSubsystem (4); QxServiceMain (3). */
#include <stddef.h>

#include "QxSvcHostVer.h"

#define SLOT(n) ((n) * sizeof(void*))

_Static_assert(offsetof(IQxSvcSubsystemControlManagerVtbl, Reserved) == SLOT(3),
               "IQxSvcSubsystemControlManager::Reserved must stay slot 3");
_Static_assert(offsetof(IQxSvcSubsystemControlManagerVtbl, QxStopSvcSubsystem) == SLOT(4),
               "IQxSvcSubsystemControlManager::QxStopSvcSubsystem must stay slot 4");
_Static_assert(sizeof(IQxSvcSubsystemControlManagerVtbl) == SLOT(5),
               "IQxSvcSubsystemControlManager has five slots");
_Static_assert(offsetof(IQxSvcSubsystemVtbl, QxServiceMain) == SLOT(3),
               "IQxSvcSubsystem::QxServiceMain must stay slot 3");
_Static_assert(sizeof(IQxSvcSubsystemVtbl) == SLOT(4), "IQxSvcSubsystem has four slots");
