// Internals of the keyed doubly linked list T_DblLnk: the list and item
// records, the list method frame, the routines every list operation shares
// and the built-in handlers. Internal to the library (hidden).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "T_C_Object/T_C_Object.h"
#include "T_DblLnk/keys.h"
#include "genobj/genobj.h"
#include "host/host.h"
#include "objkit/objkit.h"
#include "objkit/trace.h"

namespace t_dbllnk {

struct DblLnkItem;

// The native record of one list, in the `data` of its GenObjHandle.
// Invariants between operations: head, tail and count are null, null and 0
// together or all set; `next` from head passes `count` items and ends at
// tail, `prev` from tail passes the same items backwards; every item in the
// chain names this list in its `list`.
//
// `holds` counts the running operations that work on the list and may call a
// script back. When the handle lets the list go while it is held,
// T_DblLnk_deallocate only sets `released`; the last hold then releases the
// items and the record. A released list is refused by the list method frame.
struct DblLnkList {
  DblLnkItem *head;
  DblLnkItem *tail;
  int32_t count;
  uint8_t enter_keys;        // not 0: stored values are told their keys ("setkey")
  uint8_t log_transactions;  // not 0: values are told of additions and removals
  uint8_t released;          // not 0: the handle let the list go
  int32_t holds;             // running operations holding the record
};

// One entry of a list. The item holds one counted reference on `object`.
//
// Keys pin their item: `pins` counts the RefObjHandles that name the item and
// the short holds a running operation takes across a message it sends. An
// item that leaves its list while pinned is dead (`list` null, `object` nil,
// links null) and goes back to the zone with its last pin, so a stale key is
// an item whose `list` is null and a foreign key one whose `list` is another
// list. What the pin costs: an add pins the new item across its two messages
// (two increments and a compare) and the key it returns pins it once more;
// a removal pins the leaving item across its messages and, when it is out,
// tests the count once to free it now or leave it dead for its keys.
struct DblLnkItem {
  DblLnkList *list;  // the list holding the item; null once the item is dead
  DblLnkItem *prev;  // null for the head
  DblLnkItem *next;  // null for the tail
  HostValue object;  // the stored value
  int32_t pins;      // keys and holds naming the item
};

static_assert(std::is_trivially_copyable_v<DblLnkList>);
static_assert(std::is_trivially_copyable_v<DblLnkItem>);
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(DblLnkList, tail) == 4);
static_assert(offsetof(DblLnkList, count) == 8);
static_assert(offsetof(DblLnkList, enter_keys) == 12);
static_assert(offsetof(DblLnkList, log_transactions) == 13);
static_assert(offsetof(DblLnkList, released) == 14);
static_assert(offsetof(DblLnkList, holds) == 16);
static_assert(sizeof(DblLnkList) == 20);
static_assert(offsetof(DblLnkItem, prev) == 4);
static_assert(offsetof(DblLnkItem, next) == 8);
static_assert(offsetof(DblLnkItem, object) == 12);
static_assert(offsetof(DblLnkItem, pins) == 16);
static_assert(sizeof(DblLnkItem) == 20);
#else
static_assert(offsetof(DblLnkList, tail) == 8);
static_assert(offsetof(DblLnkList, count) == 16);
static_assert(offsetof(DblLnkList, enter_keys) == 20);
static_assert(offsetof(DblLnkList, log_transactions) == 21);
static_assert(offsetof(DblLnkList, released) == 22);
static_assert(offsetof(DblLnkList, holds) == 24);
static_assert(sizeof(DblLnkList) == 32);
static_assert(offsetof(DblLnkItem, prev) == 8);
static_assert(offsetof(DblLnkItem, next) == 16);
static_assert(offsetof(DblLnkItem, object) == 24);
static_assert(offsetof(DblLnkItem, pins) == 32);
static_assert(sizeof(DblLnkItem) == 40);
#endif

// What a list method works on once the frame has accepted self. The payload
// address is only printed after the first message has gone out: a script
// may let the handle go meanwhile, while self stays alive for the call.
struct ListFrame {
  HostValue self;
  genobj::GenObjPayload *payload;
  DblLnkList *list;
};

// T_DblLnk's debug level: 0 at load, set only by T_DblLnk_debug (hidden, as
// genobj's).
[[gnu::visibility("hidden")]] extern int32_t level;

// T_DblLnk's built-in table: the debug row, the class-level section
// (setval, val, after, before), the instance section (26 rows from create
// to Flush) and the terminator.
extern const BuiltinRecord kBuiltins[34];

// A HostValue word as %p prints it.
inline void *Word(HostValue v) {
  return reinterpret_cast<void *>(v);
}

// The item a RefObjHandle names.
inline DblLnkItem *ItemOf(HostValue key) {
  return static_cast<DblLnkItem *>(host::payload<genobj::RefObjPayload>(key)->item);
}

// The value of an item's neighbour before it, or nil for the head.
HostValue ObjectBefore(const DblLnkItem *item);

// store.cpp -----------------------------------------------------------------

// A new DblLnkList / DblLnkItem from the zone, fields unset. Never null: a
// full zone ends the process through errexit("Out of memory").
DblLnkList *AllocateList();
inline DblLnkItem *AllocateItem() {
  void *record = objkit::AllocateSized(sizeof(DblLnkItem));
  if (record == nullptr) [[unlikely]]
    errexit("Out of memory");
  return static_cast<DblLnkItem *>(record);
}

// Releases a list whose handle let it go: head first, each value gets
// "setkey" with nil while its item is still in the list (when the list
// enters keys; no "logremovefromlist"), then the item leaves, goes back to
// the zone unless keys pin it, and the value loses the item's reference;
// last the record is freed. Never fails.
void FreeList(DblLnkList *list);

// Counts one more running operation on `list`. Never fails.
inline void HoldList(DblLnkList *list) {
  ++list->holds;
}

// Ends a hold; the last hold of a released list releases its items and the
// record (see FreeList). Never fails.
inline void ReleaseList(DblLnkList *list) {
  if (--list->holds == 0 && list->released != 0) [[unlikely]]
    FreeList(list);
}

// Gives a dead item back to the zone (its last pin has gone).
inline void FreeItem(DblLnkItem *item) {
  objkit::FreeSized(item, sizeof(DblLnkItem));
}

// The pins of the list's own operations on an item.
inline void Pin(DblLnkItem *item) {
  ++item->pins;
}
inline void Unpin(DblLnkItem *item) {
  if (--item->pins == 0 && item->list == nullptr) FreeItem(item);
}

// A key (or a hold) now names `item`, a DblLnkItem; null is ignored. Never fails.
inline void PinItem(void *item) {
  if (item != nullptr) Pin(static_cast<DblLnkItem *>(item));
}

// A key (or a hold) no longer names `item`; a dead item goes back to the zone
// with its last pin. Null is ignored. Never fails.
inline void UnpinItem(void *item) {
  if (item != nullptr) Unpin(static_cast<DblLnkItem *>(item));
}

// A new key naming (and pinning) `item`, a DblLnkItem or null: refobj_handle,
// inline in the list methods that make keys. Nil (after "Fatal error : Out
// of memory") when the interpreter has no room.
inline HostValue NewKey(void *item) {
  objkit::Trace(genobj::level, 7, "FILE genobj, PROCEDURE refobj_handle (%d)\n",
                static_cast<int>(reinterpret_cast<intptr_t>(item)));
  return genobj::NewHandle(
      genobj::kRefObjHandle, sizeof(genobj::RefObjPayload),
      [](HostValue handle, uintptr_t word) {
        void *const named = reinterpret_cast<void *>(word);
        host::payload<genobj::RefObjPayload>(handle)->item = named;
        PinItem(named);
      },
      reinterpret_cast<uintptr_t>(item));
}

// Takes the whole chain out of `list` (head, tail, count emptied): every item
// becomes dead and is pinned once, so that the caller can tell the values and
// let the items go one by one. Returns the old head, or null.
DblLnkItem *DetachChain(DblLnkList *list);

// True when dropping one reference to v cannot run a script: v is no object,
// keeps other references or is permanent, or is a float or a string, whose
// release calls nobody.
inline bool QuietDrop(HostValue v) {
  if (!host::is_object(v)) return true;
  const HostObject *o = host::object_of(v);
  return o->refcount != 1 || o->type == host::kFloat || o->type == host::kString;
}

// Makes a pinned item that has left its list dead: nil, no list, no links.
// Never fails.
[[gnu::cold]] void KeepDead(DblLnkItem *item);

// Takes the value out of an item that has left its list (dead, or just
// unlinked): the item goes back to the zone when nothing pins it, else it
// stays dead (KeepDead). Returns the value with the item's reference, for the
// caller to drop. Never fails.
inline HostValue LetGo(DblLnkItem *item) {
  const HostValue object = item->object;
  if (item->pins == 0) [[likely]] {
    FreeItem(item);
  } else {
    KeepDead(item);
  }
  return object;
}

// LetGo of a dead item after dropping the caller's pin on it. Out of line:
// the walks of Flush, which call it once an item, run faster with the call
// than with its body in their loops.
HostValue TakeObject(DblLnkItem *item);

// Stores `value` in a live item in place of its value, under the hold of
// `key` (a key of the item): "setkey" with nil to the old value, the new one
// stored and counted before the old reference is dropped, then "setkey" with
// `key` to the new value. A message whose script takes the item out of its
// list ends the routine there. Never fails.
void ReplaceObject(DblLnkItem *item, HostValue key, HostValue value);

// Takes a counted item out of the chain of `list`: its neighbours and the
// count, not the item's own links, which LetGo, always next, clears or frees.
// The last item has no neighbours, so the list is then empty.
inline void Unlink(DblLnkList *list, DblLnkItem *item) {
  DblLnkItem *prev = item->prev;
  DblLnkItem *next = item->next;
  (prev == nullptr ? list->head : prev->next) = next;
  (next == nullptr ? list->tail : next->prev) = prev;
  --list->count;
}

// The head and the tail of `list` (null when it is empty), with what the
// chain's invariants say of them told to the compiler: nothing comes before
// the head or after the tail, so that Unlink of either tests one neighbour.
inline DblLnkItem *Head(const DblLnkList *list) {
  DblLnkItem *head = list->head;
  OBJKIT_ASSUME(head == nullptr || head->prev == nullptr);
  return head;
}
inline DblLnkItem *Tail(const DblLnkList *list) {
  DblLnkItem *tail = list->tail;
  OBJKIT_ASSUME(tail == nullptr || tail->next == nullptr);
  return tail;
}

// Takes a counted item out of `list` (Unlink, then LetGo) and returns its
// value with the item's reference, which the caller drops once the list is
// whole again. Never fails.
inline HostValue TakeOut(DblLnkList *list, DblLnkItem *item) {
  Unlink(list, item);
  return LetGo(item);
}

// Takes `item` out of a list that reports: "setkey" with nil, then
// "logremovefromlist" while it is still linked, then TakeOut. The item is
// pinned across the two messages, and a message whose script takes the item
// out itself ends the routine there. Never fails. It takes the frame's parts,
// not the frame, so that the caller's frame can stay in registers.
[[gnu::noinline]] void ReportRemoval(HostValue self, genobj::GenObjPayload *payload, DblLnkList *list,
                                     DblLnkItem *item);

// 1 when a and b are the same word, numbers of equal value (integer or
// float, IEEE comparison) or strings of equal text; 0 otherwise.
int32_t IsEqual(HostValue a, HostValue b);

// The first item of `list` whose value IsEqual to `value`, or null; its
// position from 0 goes to `position` when that is not null.
DblLnkItem *FindEqual(const DblLnkList *list, HostValue value, int32_t *position);

// notify.cpp ----------------------------------------------------------------

// Each notification below is an inline test and an out-of-line rest, so that
// with the debug level below 4 and the list's flag off an operation pays a
// load and a comparison and builds no call. The rests write the routine's
// trace line (level 4 or more), then send the message when the flag is on.
void TellKey(const DblLnkList *list, DblLnkItem *item, HostValue key);
void TellAdded(const ListFrame &frame, DblLnkItem *item);
void TellRemoved(const ListFrame &frame, DblLnkItem *item, HostValue before);

// Tells the item's value its key (nil when the value leaves) with "setkey",
// when `list` enters keys. `list` is the list the item belongs to, or the one
// it is leaving. Never fails.
inline void EnterKey(const DblLnkList *list, DblLnkItem *item, HostValue key) {
  if (level >= 4 || list->enter_keys != 0) [[unlikely]]
    TellKey(list, item, key);
}

// EnterKey with nil, which is fetched only when it is sent or traced.
inline void ClearKey(const DblLnkList *list, DblLnkItem *item) {
  if (level >= 4 || list->enter_keys != 0) [[unlikely]]
    TellKey(list, item, nil_obj());
}

// Reports the addition of `item` (linked and counted) to its value with
// "logaddtolist" (self, the value before it or nil), when the list logs
// transactions. Never fails.
inline void LogAddToList(const ListFrame &frame, DblLnkItem *item) {
  if (level >= 4 || frame.list->log_transactions != 0) [[unlikely]]
    TellAdded(frame, item);
}

// Reports the removal of `item` to its value with "logremovefromlist" (self,
// `before`), when the list logs transactions. Never fails.
inline void LogRemoveFromList(const ListFrame &frame, DblLnkItem *item, HostValue before) {
  if (level >= 4 || frame.list->log_transactions != 0) [[unlikely]]
    TellRemoved(frame, item, before);
}

// True when an operation on `list` writes no routine trace line and sends its
// values no message: no script can run on its account, so it needs no holds
// or pins. `debug` is the level the operation read for its own trace line:
// nothing between that line and this test runs a script that could set it,
// and the one read lets the compiler drop the second test.
inline bool Quiet(const DblLnkList *list, int32_t debug) {
  return debug < 4 && list->enter_keys == 0 && list->log_transactions == 0;
}

// Runs a list routine's `body` after its trace line (`format` with `args`,
// written from level 4), reading the debug level once. `body` takes the level;
// an untraced call passes 0, as every level below 4 works alike, so that its
// copy of the body, where the build optimises, tests the level no more.
template <typename Body, typename... Args>
OBJKIT_HOT_INLINE HostValue Traced(Body body, const char *format, Args... args) {
  const int32_t debug = level;
  if (debug < 4) [[likely]]
    return body(0);
  objkit::WriteTrace(format, args...);
  return body(debug);
}

// The name object of "key", made on the first call and kept.
HostValue KeyName();

// Sends `selector` with `argc` (0 to 2) arguments, holding a reference on the
// receiver and the arguments for the length of the send. Returns the reply,
// which carries one reference.
HostValue Send(HostValue receiver, HostValue selector, int32_t argc, HostValue first, HostValue second);

// frame.cpp -----------------------------------------------------------------

// The error line of a receiver whose `handle` holds no live list (nil: "not
// created properly"; anything else: "does not hold a list").
[[gnu::cold]] void RefuseFrame(HostValue handle);

// The self test of the list method frame, after the trace line. Fills
// `frame` and returns true when self's `handle` holds a live list (the
// payload's `ob` is made self); otherwise writes the error line and returns
// false, and the handler returns the integer 1. The accepting case is inline.
inline bool OpenFrame(HostValue *argv, ListFrame &frame) {
  const HostValue self = argv[0];
  const HostValue handle = t_c_object::Handle(self);
  genobj::GenObjPayload *payload =
      host::has_type(handle, genobj::kGenObjHandle) ? host::payload<genobj::GenObjPayload>(handle) : nullptr;
  auto *list = payload != nullptr ? static_cast<DblLnkList *>(payload->data) : nullptr;
  if (list == nullptr || payload->class_index != genobj::kTDblLnkClass || list->released != 0) [[unlikely]] {
    RefuseFrame(handle);
    return false;
  }
  payload->ob = self;
  frame = ListFrame{self, payload, list};
  return true;
}

// The argument tests of the variable-count methods: exactly one argument of
// any type, or a key and a value. Arguments that fit are accepted inline;
// any others go to checkpar only for the host's reason: it accepts exactly
// what the inline test does, so its answer is always a refusal.
inline bool OneArgument(int32_t argc, HostValue *argv) {
  if (argc == 1) return true;
  static_cast<void>(checkpar(argc, argv, 1, 1, -1));
  return false;
}
inline bool KeyAndValue(int32_t argc, HostValue *argv) {
  if (argc == 2 && host::has_type(argv[-1], genobj::kRefObjHandle)) return true;
  static_cast<void>(checkpar(argc, argv, 2, 2, genobj::kRefObjHandle, -1));
  return false;
}

// The error line of a key whose item is not an entry of the list wanted:
// stale when `holder` (the item's list) is null, foreign otherwise. Returns
// null, for EntryOf to pass on.
[[gnu::cold]] DblLnkItem *RefuseKey(const DblLnkList *holder);

// The item `key` names when it is an entry of `list`, or, for a null `list`,
// of any list. Otherwise writes the stale or foreign key error line and
// returns null. The accepting case is inline.
inline DblLnkItem *EntryOf(HostValue key, const DblLnkList *list) {
  DblLnkItem *item = ItemOf(key);
  if (item->list == nullptr || (list != nullptr && item->list != list)) [[unlikely]]
    return RefuseKey(item->list);
  return item;
}

// Reads a number argument (an integer, or a float truncated toward zero) into
// `value`. Otherwise writes `error` and returns false.
bool NumberArgument(HostValue arg, const char *error, int32_t &value);

// invariants.cpp ------------------------------------------------------------

// The table's handlers, wrapped in debug builds so that the invariants of the
// receiver's list (Method) or of the list of argument 1's key (KeyRoutine) are
// checked after every call; release builds use the handlers themselves.
#ifdef NDEBUG
inline void CheckList(const DblLnkList *) {}
template <BuiltinHandler H>
inline constexpr BuiltinHandler Method = H;
template <BuiltinHandler H>
inline constexpr BuiltinHandler KeyRoutine = H;
#else
// Ends the process with a line on standard error when `list` (null: nothing)
// breaks an invariant: chain, count, back-pointers, pins or holds.
void CheckList(const DblLnkList *list);
// Check the receiver's list / argument 1's list, then return `result`.
HostValue CheckAfterMethod(HostValue *argv, HostValue result);
HostValue CheckAfterKey(int32_t argc, HostValue *argv, HostValue result);
template <BuiltinHandler H>
HostValue CheckedMethod(int32_t argc, HostValue *argv) {
  return CheckAfterMethod(argv, H(argc, argv));
}
template <BuiltinHandler H>
HostValue CheckedKeyRoutine(int32_t argc, HostValue *argv) {
  return CheckAfterKey(argc, argv, H(argc, argv));
}
template <BuiltinHandler H>
inline constexpr BuiltinHandler Method = CheckedMethod<H>;
template <BuiltinHandler H>
inline constexpr BuiltinHandler KeyRoutine = CheckedKeyRoutine<H>;
#endif

// Handlers, in the order of the table ----------------------------------------

HostValue SetDebugLevel(int32_t argc, HostValue *argv);
HostValue x_set_val(int32_t argc, HostValue *argv);
HostValue x_val(int32_t argc, HostValue *argv);
HostValue x_after(int32_t argc, HostValue *argv);
HostValue x_before(int32_t argc, HostValue *argv);
HostValue x_create(int32_t argc, HostValue *argv);
HostValue x_set_enter_keys(int32_t argc, HostValue *argv);
HostValue x_set_log_transactions(int32_t argc, HostValue *argv);
HostValue x_used(int32_t argc, HostValue *argv);
HostValue x_fst(int32_t argc, HostValue *argv);
HostValue x_key_of(int32_t argc, HostValue *argv);
HostValue x_object_of(int32_t argc, HostValue *argv);
HostValue x_set_at_key(int32_t argc, HostValue *argv);
HostValue x_key_at(int32_t argc, HostValue *argv);
HostValue x_key_at_head(int32_t argc, HostValue *argv);
HostValue x_key_at_tail(int32_t argc, HostValue *argv);
HostValue x_head(int32_t argc, HostValue *argv);
HostValue x_tail(int32_t argc, HostValue *argv);
HostValue x_rem(int32_t argc, HostValue *argv);
HostValue x_rem_at_key(int32_t argc, HostValue *argv);
HostValue x_rem_at_head(int32_t argc, HostValue *argv);
HostValue x_rem_at_tail(int32_t argc, HostValue *argv);
HostValue x_add_at_head(int32_t argc, HostValue *argv);
HostValue x_add_at_tail(int32_t argc, HostValue *argv);
HostValue x_add_before(int32_t argc, HostValue *argv);
HostValue x_add_after(int32_t argc, HostValue *argv);
HostValue x_index_of(int32_t argc, HostValue *argv);
HostValue x_flush(int32_t argc, HostValue *argv);

}  // namespace t_dbllnk
