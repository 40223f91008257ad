#pragma once
// What the last contacts run of the connected device left for the contacts list and the
// main window. Only a connected-device run replaces these; a run over a backup on disk only
// fills the name caches of its own key and leaves them alone.
//
// Guarded by localLock (the contacts run holds it while it publishes).

#include "personal/FRAddressInfo.h"
#include "personal/GBGroup.h"

#include <QHash>
#include <QList>
#include <QString>

#include <atomic>

// The contacts, in name order.
extern QList<FRAddressInfoPtr> gAddresses;
// The groups: device groups under their row id (as text), store groups ("All iCloud", ...)
// under their name.
extern QHash<QString, GBGroupPtr> gGroups;
// Whether some contact belonged to a MobileMe, iCloud or Exchange store.
extern bool gHasStores;
// The number of contact rows of the last connected run (read by the list and status line).
extern std::atomic<int> gNumAddresses;
