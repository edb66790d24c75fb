// The list methods that take entries out: Rem, RemAtKey, RemAtHead,
// RemAtTail and Flush. Each returns the integer 1, removed or not.
#include "T_DblLnk/dbllnk.h"
#include "objkit/trace.h"

namespace t_dbllnk {

namespace {

// Removes `item` (null: nothing) under a hold of the frame's list.
HostValue RemoveHeld(const ListFrame &frame, DblLnkItem *item) {
  if (item != nullptr) {
    HoldList(frame.list);
    RemoveItem(frame, item);
    ReleaseList(frame.list);
  }
  return host::kOne;
}

}  // namespace

// Rem(value): removes the first entry from the head whose value IsEqual to
// it, if any. The word 2 unless there is exactly one argument.
HostValue x_rem(int32_t argc, HostValue *argv) {
  if (checkpar(argc, argv, 1, 1, -1) < 0) return host::kFailure;
  const HostValue value = argv[-1];
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_rem (%d, %p)\n", static_cast<int>(argv[0]), Word(value));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  return RemoveHeld(frame, FindEqual(frame.list, value, nullptr));
}

// RemAtKey(K): removes K's entry, held by K for the call; K stays, stale. A
// key that names no entry of the list gets an error line.
HostValue x_rem_at_key(int32_t, HostValue *argv) {
  const HostValue key = argv[-1];
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_rem_at_key (%d, %p)\n", static_cast<int>(argv[0]),
                Word(key));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  DblLnkItem *item = EntryOf(key, frame.list);
  if (item == nullptr) return host::kOne;
  host::ref_take(key);
  RemoveHeld(frame, item);
  host::ref_unhold(key);
  return host::kOne;
}

// RemAtHead: removes the head, if any.
HostValue x_rem_at_head(int32_t, HostValue *argv) {
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_rem_at_head (%d)\n", static_cast<int>(argv[0]));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  return RemoveHeld(frame, frame.list->head);
}

// RemAtTail: removes the tail, if any.
HostValue x_rem_at_tail(int32_t, HostValue *argv) {
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_rem_at_tail (%d)\n", static_cast<int>(argv[0]));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  return RemoveHeld(frame, frame.list->tail);
}

// Flush: empties the list. The whole chain leaves at once (the list is empty
// and every key of it stale from the start, so what scripts add meanwhile
// stays and cannot prolong the walk); then, head first, each value gets
// "setkey" with nil and "logremovefromlist" with self and the value before
// it (nil for the head), and loses the item's reference. While the list logs
// transactions, a value keeps that reference until its successor has been
// told, so that the successor's message names a live value; otherwise it
// loses it at once.
HostValue x_flush(int32_t, HostValue *argv) {
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_flush (%d)\n", static_cast<int>(argv[0]));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  DblLnkList *list = frame.list;
  HoldList(list);
  HostValue before = nil_obj();
  DblLnkItem *item = DetachChain(list);
  while (item != nullptr) {
    DblLnkItem *next = item->next;
    EnterKey(list, item, nil_obj());
    LogRemoveFromList(frame, item, before);
    const HostValue object = TakeObject(item);
    host::ref_drop(before);
    before = nil_obj();
    if (list->log_transactions != 0) {
      before = object;
    } else {
      host::ref_drop(object);
    }
    item = next;
  }
  host::ref_drop(before);
  ReleaseList(list);
  return host::kOne;
}

}  // namespace t_dbllnk
