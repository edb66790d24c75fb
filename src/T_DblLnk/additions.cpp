// The list methods that make a list and put entries into it: create, the two
// flag setters, SetAtKey, AddAtHead, AddAtTail and Add, AddBefore, AddAfter.
#include "T_DblLnk/dbllnk.h"
#include "T_DblLnk/keys.h"
#include "objkit/exports.h"
#include "objkit/trace.h"

namespace t_dbllnk {

namespace {

// Where an add links its new item.
enum class Place { kHead, kTail, kBefore, kAfter };

// Links `item` into `list` at `place` (next to `at` for kBefore and kAfter)
// and counts it. Every place comes down to linking between two neighbours,
// either of which may be null at an end of the list.
void Link(DblLnkList *list, DblLnkItem *item, Place place, DblLnkItem *at) {
  DblLnkItem *prev = nullptr;
  DblLnkItem *next = nullptr;
  if (place == Place::kHead) {
    next = list->head;
  } else if (place == Place::kTail) {
    prev = list->tail;
  } else if (place == Place::kBefore) {
    prev = at->prev;
    next = at;
  } else {
    prev = at;
    next = at->next;
  }
  item->prev = prev;
  item->next = next;
  if (prev == nullptr) {
    list->head = item;
  } else {
    prev->next = item;
  }
  if (next == nullptr) {
    list->tail = item;
  } else {
    next->prev = item;
  }
  ++list->count;
}

// Stores `value` in a new item linked at `place` and counted. Never fails:
// a full zone ends the process. Inline, so that a quiet add's place is a
// constant.
[[gnu::always_inline]] inline DblLnkItem *NewEntry(DblLnkList *list, HostValue value, Place place,
                                                   DblLnkItem *at) {
  DblLnkItem *item = AllocateItem();
  item->list = list;
  item->object = value;
  item->pins = 0;
  host::ref_take(value);
  Link(list, item, place, at);
  return item;
}

// An add to a list that reports: the new entry, then its messages,
// "logaddtolist" and "setkey" with its key, under a hold of the list and a
// pin of the item. Returns the new key, or nil when no key could be made;
// when a message's script takes the entry out again, the key is stale and no
// "setkey" follows. It takes the frame's parts, not the frame, so that the
// caller's frame can stay in registers.
[[gnu::noinline]] HostValue ReportEntry(HostValue self, genobj::GenObjPayload *payload, DblLnkList *list,
                                        HostValue value, Place place, DblLnkItem *at) {
  const ListFrame frame{self, payload, list};
  DblLnkItem *item = NewEntry(list, value, place, at);
  HoldList(list);
  Pin(item);
  LogAddToList(frame, item);
  const HostValue key = NewKey(item);
  if (item->list == list) EnterKey(list, item, key);
  Unpin(item);
  ReleaseList(list);
  return key;
}

// Stores `value` in a new entry at `place` and returns its key, or nil when
// no key could be made. A quiet list runs no script, so only a list that
// reports goes through ReportEntry; making the entry runs none either, so
// the test comes first and the quiet add keeps only what it links across the
// allocation. Inline in each add, whose place is then a constant.
[[gnu::always_inline]] inline HostValue AddEntry(const ListFrame &frame, HostValue value, Place place,
                                                 DblLnkItem *at, int32_t debug) {
  if (!Quiet(frame.list, debug)) [[unlikely]]
    return ReportEntry(frame.self, frame.payload, frame.list, value, place, at);
  return NewKey(NewEntry(frame.list, value, place, at));
}

// The body of AddAtHead and AddAtTail: exactly one argument of any type.
// `trace` is the handler's trace line.
[[gnu::always_inline]] inline HostValue AddAtEnd(int32_t argc, HostValue *argv, Place place,
                                                 const char *trace) {
  if (!OneArgument(argc, argv)) return host::kFailure;
  const HostValue value = argv[-1];
  return Traced(
      [argv, value, place](int32_t debug) OBJKIT_HOT_LAMBDA {
        ListFrame frame;
        if (!OpenFrame(argv, frame)) return host::kOne;
        return AddEntry(frame, value, place, nullptr, debug);
      },
      trace, static_cast<int>(argv[0]), Word(value));
}

// The body of AddBefore and AddAfter: a key of an entry of the list, then the
// value. Nil after the error line of a key that names no entry of the list.
HostValue AddNextTo(int32_t argc, HostValue *argv, Place place) {
  if (!KeyAndValue(argc, argv)) return host::kFailure;
  const HostValue key = argv[-1];
  const HostValue value = argv[-2];
  const int32_t debug = level;
  if (place == Place::kBefore) {
    objkit::Trace(debug, 4, "FILE T_DblLnk, ROUTINE x_add_before (%d, %p, %p)\n", static_cast<int>(argv[0]),
                  Word(key), Word(value));
  } else {
    objkit::Trace(debug, 4, "FILE T_DblLnk, ROUTINE x_add_after (%d, %p, %p)\n", static_cast<int>(argv[0]),
                  Word(key), Word(value));
  }
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  DblLnkItem *at = EntryOf(key, frame.list);
  if (at == nullptr) return nil_obj();
  return AddEntry(frame, value, place, at, debug);
}

// The body of the two flag setters: the flag takes the low eight bits of the
// argument (a float is truncated; any other value gets an error line, nothing
// traced). Returns the integer 1.
HostValue SetFlag(HostValue *argv, bool enter_keys) {
  int32_t value = 0;
  if (!NumberArgument(argv[-1], "Error : Flag must be a number\n", value)) return host::kOne;
  if (enter_keys) {
    objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_set_enter_keys (%d, %d)\n", static_cast<int>(argv[0]),
                  static_cast<int>(value));
  } else {
    objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_set_log_transactions (%d, %d)\n",
                  static_cast<int>(argv[0]), static_cast<int>(value));
  }
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  const auto flag = static_cast<uint8_t>(value);
  if (enter_keys) {
    frame.list->enter_keys = flag;
  } else {
    frame.list->log_transactions = flag;
  }
  return host::kOne;
}

}  // namespace

// create: gives self a new empty list with both flags 0, in place of any old
// one. The new handle is stored before the old one's reference is dropped,
// so that the messages of the old list's release find self with its new
// list. Returns the integer 1, or 0 (self unchanged) when no handle could be
// made.
HostValue x_create(int32_t, HostValue *argv) {
  const HostValue self = argv[0];
  objkit::Trace(level, 1, "FILE T_DblLnk, ROUTINE x_create (%d)\n", static_cast<int>(self));
  const HostValue handle = genobj_create(genobj::kTDblLnkClass, self);
  if (host::is_nil(handle)) return host::kZero;
  HostValue &slot = t_c_object::Handle(self);
  const HostValue old = slot;
  slot = handle;
  host::ref_drop(old);
  return host::kOne;
}

// setenterkeys(n): key entry on for any n whose low eight bits are not all 0.
HostValue x_set_enter_keys(int32_t, HostValue *argv) {
  return SetFlag(argv, true);
}

// setlogtransactions(n): transaction logging on for any n whose low eight
// bits are not all 0.
HostValue x_set_log_transactions(int32_t, HostValue *argv) {
  return SetFlag(argv, false);
}

// SetAtKey(K, value): replaces the value of K's entry of this list in place.
// Returns the integer 1 (also after the error line of a key that names no
// entry of the list), or the word 2 for other arguments than a key and a
// value.
HostValue x_set_at_key(int32_t argc, HostValue *argv) {
  if (!KeyAndValue(argc, argv)) return host::kFailure;
  const HostValue key = argv[-1];
  const HostValue value = argv[-2];
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_set_at_key (%d, %p, %p)\n", static_cast<int>(argv[0]),
                Word(key), Word(value));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  DblLnkItem *item = EntryOf(key, frame.list);
  if (item == nullptr) return host::kOne;
  HoldList(frame.list);
  ReplaceObject(item, key, value);
  ReleaseList(frame.list);
  return host::kOne;
}

// AddAtHead(value): the new entry becomes the head; returns its key.
HostValue x_add_at_head(int32_t argc, HostValue *argv) {
  return AddAtEnd(argc, argv, Place::kHead, "FILE T_DblLnk, ROUTINE x_add_at_head (%d, %p)\n");
}

// AddAtTail(value), Add(value): the new entry becomes the tail; returns its
// key.
HostValue x_add_at_tail(int32_t argc, HostValue *argv) {
  return AddAtEnd(argc, argv, Place::kTail, "FILE T_DblLnk, ROUTINE x_add_at_tail (%d, %p)\n");
}

// AddBefore(K, value): the new entry goes right before K's; returns its key.
HostValue x_add_before(int32_t argc, HostValue *argv) {
  return AddNextTo(argc, argv, Place::kBefore);
}

// AddAfter(K, value): the new entry goes right after K's; returns its key.
HostValue x_add_after(int32_t argc, HostValue *argv) {
  return AddNextTo(argc, argv, Place::kAfter);
}

}  // namespace t_dbllnk
