// Keys pin their item. A RefObjHandle names a DblLnkItem; the item counts the
// keys (and the short holds of running list operations) that name it, so an
// item that leaves its list while named stays in the zone, marked dead (its
// `list` null, its `object` nil), until the last pin goes. genobj's
// RefObjHandle constructor and hooks keep the count through these two calls.
#pragma once

namespace t_dbllnk {

// A key (or a hold) now names `item`, a DblLnkItem; null is ignored. Never fails.
void PinItem(void *item);

// A key (or a hold) no longer names `item`; a dead item goes back to the zone
// with its last pin. Null is ignored. Never fails.
void UnpinItem(void *item);

}  // namespace t_dbllnk
