// Keys pin their item. A RefObjHandle names a DblLnkItem; the item counts the
// keys (and the short holds of running list operations) that name it, so an
// item that leaves its list while named stays in the zone, marked dead (its
// `list` null, its `object` nil), until the last pin goes. genobj's
// RefObjHandle constructor and hooks keep the count through PinItem and
// UnpinItem (dbllnk.h, inline).
#pragma once

#include "host/host.h"

namespace t_dbllnk {

// Debug builds check the invariants of the list an item belongs to (none for
// a dead item or null), or of the live list a GenObjHandle names (none for
// anything else), and end the process on a broken one. Release builds: no-ops.
#ifdef NDEBUG
inline void CheckItemList(const void *) {}
inline void CheckHandleList(HostValue) {}
#else
void CheckItemList(const void *item);
void CheckHandleList(HostValue handle);
#endif

}  // namespace t_dbllnk
