// The messages a list sends to the values it stores: "setkey" (key entry),
// "logaddtolist" and "logremovefromlist" (transaction logging) and "key"
// (KeyOf), with their name objects made once, on first use.
#include <cstring>

#include "T_DblLnk/dbllnk.h"
#include "objkit/trace.h"

namespace t_dbllnk {

namespace {

// The cached name objects: 0 until first used, then kept for ever.
HostValue setkey_name = 0;
HostValue logaddtolist_name = 0;
HostValue logremovefromlist_name = 0;
HostValue key_name = 0;

// The name object of `text`, made with nam_obj on the first call for `cache`.
// A host without room for it answers nil, which is not kept: a later call asks
// again.
HostValue NameOf(HostValue &cache, const char *text) {
  if (cache != 0) return cache;
  const HostValue name = nam_obj(static_cast<int32_t>(std::strlen(text)), text);
  if (!host::is_nil(name)) cache = name;
  return name;
}

// Sends a message whose reply is not used.
void Notify(HostValue receiver, HostValue selector, int32_t argc, HostValue first, HostValue second) {
  host::ref_drop(Send(receiver, selector, argc, first, second));
}

}  // namespace

HostValue Send(HostValue receiver, HostValue selector, int32_t argc, HostValue first, HostValue second) {
  host::ref_take(receiver);
  if (argc > 0) host::ref_take(first);
  if (argc > 1) host::ref_take(second);
  HostValue reply;
  if (argc == 0) {
    reply = obj_send(receiver, selector, 0);
  } else if (argc == 1) {
    reply = obj_send(receiver, selector, 1, first);
  } else {
    reply = obj_send(receiver, selector, 2, first, second);
  }
  if (argc > 1) host::ref_drop(second);
  if (argc > 0) host::ref_drop(first);
  host::ref_drop(receiver);
  return reply;
}

HostValue KeyName() {
  return NameOf(key_name, "key");
}

void TellKey(const DblLnkList *list, DblLnkItem *item, HostValue key) {
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE EnterKey (%p, %p)\n", static_cast<void *>(item), Word(key));
  if (list->enter_keys == 0) return;
  Notify(item->object, NameOf(setkey_name, "setkey"), 1, key, 0);
}

void TellAdded(const ListFrame &frame, DblLnkItem *item) {
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE LogAddToList (%p, %p)\n",
                static_cast<void *>(frame.payload), static_cast<void *>(item));
  if (frame.list->log_transactions == 0) return;
  Notify(item->object, NameOf(logaddtolist_name, "logaddtolist"), 2, frame.self, ObjectBefore(item));
}

void TellRemoved(const ListFrame &frame, DblLnkItem *item, HostValue before) {
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE LogRemoveFromList (%p, %p)\n",
                static_cast<void *>(frame.payload), static_cast<void *>(item));
  if (frame.list->log_transactions == 0) return;
  Notify(item->object, NameOf(logremovefromlist_name, "logremovefromlist"), 2, frame.self, before);
}

}  // namespace t_dbllnk
