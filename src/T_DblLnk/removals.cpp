// The list methods that take entries out: Rem, RemAtKey, RemAtHead,
// RemAtTail and Flush. Each returns the integer 1, removed or not.
#include "T_DblLnk/dbllnk.h"
#include "objkit/trace.h"

namespace t_dbllnk {

namespace {

// Removes `item` (null: nothing). While a script may run, the list is held,
// so that it stays whole and is not freed under the removal: across the
// messages of a list that reports, and across the release of the value. A
// quiet list sends no message, and a value whose drop cannot run a script
// needs no hold. Inline in each removal.
OBJKIT_HOT_INLINE HostValue RemoveHeld(const ListFrame &frame, DblLnkItem *item, int32_t debug) {
  if (item == nullptr) return host::kOne;
  DblLnkList *list = frame.list;
  if (!Quiet(list, debug)) [[unlikely]] {
    HoldList(list);
    ReportRemoval(frame.self, frame.payload, list, item);
    ReleaseList(list);
    return host::kOne;
  }
  const HostValue object = TakeOut(list, item);
  if (QuietDrop(object)) [[likely]] {
    host::ref_drop(object);
    return host::kOne;
  }
  HoldList(list);
  host::ref_drop(object);
  ReleaseList(list);
  return host::kOne;
}

}  // namespace

// Rem(value): removes the first entry from the head whose value IsEqual to
// it, if any. The word 2 unless there is exactly one argument.
HostValue x_rem(int32_t argc, HostValue *argv) {
  if (!OneArgument(argc, argv)) return host::kFailure;
  const HostValue value = argv[-1];
  const int32_t debug = level;
  objkit::Trace(debug, 4, "FILE T_DblLnk, ROUTINE x_rem (%d, %p)\n", static_cast<int>(argv[0]), Word(value));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  return RemoveHeld(frame, FindEqual(frame.list, value, nullptr), debug);
}

// RemAtKey(K): removes K's entry, held by K for the call; K stays, stale. A
// key that names no entry of the list gets an error line.
HostValue x_rem_at_key(int32_t, HostValue *argv) {
  const HostValue key = argv[-1];
  const int32_t debug = level;
  objkit::Trace(debug, 4, "FILE T_DblLnk, ROUTINE x_rem_at_key (%d, %p)\n", static_cast<int>(argv[0]),
                Word(key));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  DblLnkItem *item = EntryOf(key, frame.list);
  if (item == nullptr) return host::kOne;
  host::ref_take(key);
  RemoveHeld(frame, item, debug);
  host::ref_unhold(key);
  return host::kOne;
}

// The body of RemAtHead and RemAtTail: removes the entry kEnd gives (Head or
// Tail), if any. `trace` is the handler's trace line.
template <DblLnkItem *(*kEnd)(const DblLnkList *)>
OBJKIT_HOT_INLINE HostValue RemoveAtEnd(HostValue *argv, const char *trace) {
  return Traced(
      [argv](int32_t debug) OBJKIT_HOT_LAMBDA {
        ListFrame frame;
        if (!OpenFrame(argv, frame)) return host::kOne;
        return RemoveHeld(frame, kEnd(frame.list), debug);
      },
      trace, static_cast<int>(argv[0]));
}

// RemAtHead: removes the head, if any.
HostValue x_rem_at_head(int32_t, HostValue *argv) {
  return RemoveAtEnd<Head>(argv, "FILE T_DblLnk, ROUTINE x_rem_at_head (%d)\n");
}

// RemAtTail: removes the tail, if any.
HostValue x_rem_at_tail(int32_t, HostValue *argv) {
  return RemoveAtEnd<Tail>(argv, "FILE T_DblLnk, ROUTINE x_rem_at_tail (%d)\n");
}

namespace {

// Flush of a list that sends nothing and traces nothing, in one walk of the
// chain: the list is empty first; each item leaves it (freed, or dead while
// keys name it) and its value loses the reference at once when that cannot
// run a script. The items whose release might are kept, pinned, in a queue
// until the walk is over, so that a script never sees an item that is still
// on its way out, and then release their values head first.
void FlushQuietly(DblLnkList *list) {
  DblLnkItem *item = list->head;
  list->tail = nullptr;
  list->head = nullptr;
  list->count = 0;
  DblLnkItem *first = nullptr;
  DblLnkItem *last = nullptr;
  while (item != nullptr) {
    DblLnkItem *next = item->next;
    item->list = nullptr;
    ++item->pins;
    if (QuietDrop(item->object)) {
      host::ref_drop(TakeObject(item));
    } else {
      item->next = nullptr;
      (last == nullptr ? first : last->next) = item;
      last = item;
    }
    item = next;
  }
  while (first != nullptr) {
    DblLnkItem *next = first->next;
    host::ref_drop(TakeObject(first));
    first = next;
  }
}

}  // namespace

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
  if (list->enter_keys == 0 && list->log_transactions == 0 && level < 4) {
    FlushQuietly(list);
    return host::kOne;
  }
  HoldList(list);
  HostValue before = nil_obj();
  DblLnkItem *item = DetachChain(list);
  while (item != nullptr) {
    DblLnkItem *next = item->next;
    ClearKey(list, item);
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
