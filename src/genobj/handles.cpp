// The two handle types: GenObjHandle (type 55) ties a script object to its
// native record, RefObjHandle (type 56) is a key naming one list item. Their
// constructors, and the replace and clear hooks the interpreter calls.
//
// A replace leaves two handles naming one record. So that the record is
// released once, a small zone table lists the records named by more than one
// handle with the number of extra handles; every release goes through
// ClassDeallocate, which only lowers that number while it is above 0.
#include <type_traits>

#include "T_DblLnk/dbllnk.h"
#include "T_DblLnk/keys.h"
#include "genobj/genobj.h"
#include "objkit/trace.h"

namespace genobj {

namespace {

// A record named by 1 + extra GenObjHandles.
struct SharedRecord {
  void *data;
  int32_t extra;
};
static_assert(std::is_trivially_copyable_v<SharedRecord>);

SharedRecord *shared = nullptr;  // zone block of `room` rows, `used` in use
int32_t used = 0;
int32_t room = 0;

// The row of `data`, or null.
SharedRecord *FindShared(const void *data) {
  for (int32_t i = 0; i < used; ++i) {
    if (shared[i].data == data) return &shared[i];
  }
  return nullptr;
}

// Counts one more handle naming `data`. Ends the process through errexit
// when the zone cannot grow the table.
void CountShared(void *data) {
  if (SharedRecord *row = FindShared(data)) {
    ++row->extra;
    return;
  }
  if (used == room) {
    const int32_t more = room == 0 ? 4 : room * 2;
    void *grown = z_realloc(shared, static_cast<uint32_t>(static_cast<size_t>(more) * sizeof(SharedRecord)));
    if (grown == nullptr) errexit("Out of memory");
    shared = static_cast<SharedRecord *>(grown);
    room = more;
  }
  shared[used++] = SharedRecord{data, 1};
}

// Drops a row whose record is named by one handle again; the table goes back
// to the zone when its last row goes.
void DropRow(SharedRecord *row) {
  *row = shared[--used];
  if (used != 0) return;
  z_free(shared);
  shared = nullptr;
  room = 0;
}

// A record whose class deallocate is running: one link per running release,
// kept on the stack of ClassDeallocate, innermost first.
struct Releasing {
  const void *data;
  const Releasing *outer;
};
static_assert(std::is_trivially_copyable_v<Releasing>);

const Releasing *releasing = nullptr;

// True while `data`'s release runs (scripts it runs may still see handles
// naming it; once it returns, the memory is gone).
bool BeingReleased(const void *data) {
  for (const Releasing *r = releasing; r != nullptr; r = r->outer) {
    if (r->data == data) return true;
  }
  return false;
}

// The replace of a key past its trace line: the target names the source's
// item, pinned before the old one is unpinned, so that a key replaced by a
// key of the same item never lets it go.
inline void ReplaceKey(HostObject *target, HostObject *source) {
  RefObjPayload *to = host::payload<RefObjPayload>(target);
  void *const old = to->item;
  void *const item = host::payload<RefObjPayload>(source)->item;
  t_dbllnk::PinItem(item);
  to->item = item;
  t_dbllnk::UnpinItem(old);
  t_dbllnk::CheckItemList(item);
}

// The clear of a key past its trace line: the key stops naming its item.
inline void ForgetItem(HostObject *object) {
  void *item = host::payload<RefObjPayload>(object)->item;
  t_dbllnk::CheckItemList(item);
  t_dbllnk::UnpinItem(item);
}

// The two hooks of a key with their trace line first: out of line, so that
// the untraced hooks keep no registers across a call.
[[gnu::cold, gnu::noinline]] void TracedReplaceKey(HostObject *target, HostObject *source, int32_t flag) {
  objkit::WriteTrace("FILE genobj, ROUTINE refobj_handle_rpl (%p, %p, %d)\n", static_cast<void *>(target),
                     static_cast<void *>(source), static_cast<int>(flag));
  ReplaceKey(target, source);
}
[[gnu::cold, gnu::noinline]] void TracedForgetItem(HostObject *object) {
  objkit::WriteTrace("FILE genobj, ROUTINE refobj_handle_clr (%p)\n", static_cast<void *>(object));
  ForgetItem(object);
}

// The level from which the hooks of a key trace.
constexpr int32_t kKeyHookTrace = 5;

}  // namespace

HostValue NoHandle(HostValue nil) {
  std::printf("Fatal error : Out of memory\n");
  return nil;
}

void ClassDeallocate(GenObjPayload *payload) {
  if (used != 0) {
    if (SharedRecord *row = FindShared(payload->data)) {
      if (--row->extra == 0) DropRow(row);
      return;
    }
  }
  if (const DeallocateFn deallocate = DeallocateOf(payload->class_index)) {
    const Releasing link{payload->data, releasing};
    releasing = &link;
    deallocate(payload);
    releasing = link.outer;
  }
}

// Replace hook of GenObjHandle: with a non-zero flag the target's record is
// released first; the three words are then copied and the source's record
// counted as named once more. Reports the `=` assignment every time.
//
// The release may run scripts ("setkey" nil to a list's values). Target and
// source are held across it, so that a script that stores a new handle over
// either (a `create`) cannot free it inside this hook; the last drops come
// after the message. A script may also assign to the target itself: that nested
// replace finds the record still named here, already being released, and
// only copies and counts its own source. Whatever record it left in the
// target is let go in turn, until the target names the source's record or
// the one just released. A record's memory stays allocated for as long as
// scripts run under its release, so `released` cannot match a new record.
void genobj_handle_rpl(HostObject *target, HostObject *source, int32_t flag) {
  objkit::Trace(level, 5, "FILE genobj, ROUTINE genobj_handle_rpl (%p, %p, %d)\n",
                static_cast<void *>(target), static_cast<void *>(source), static_cast<int>(flag));
  GenObjPayload *to = host::payload<GenObjPayload>(target);
  const GenObjPayload *from = host::payload<GenObjPayload>(source);
  const HostValue held = host::value_of(target);
  const HostValue held_source = host::value_of(source);
  host::ref_take(held);
  host::ref_take(held_source);
  const void *released = nullptr;
  while (flag != 0 && to->data != nullptr && to->data != from->data && to->data != released) {
    released = to->data;
    ClassDeallocate(to);
  }
  // A source that names a record whose release is running (a script run by
  // that release assigns its handle) passes on no record: the record is
  // freed when the release returns, so the target is left naming nothing.
  void *const data = BeingReleased(from->data) ? nullptr : from->data;
  const bool counted = to->data != data && data != nullptr;
  to->class_index = from->class_index;
  to->ob = from->ob;
  to->data = data;
  if (counted) CountShared(to->data);
  t_dbllnk::CheckHandleList(held);
  std::printf("Fatal error : You used = instead of == to assign an object\n");
  host::ref_drop(held);
  host::ref_drop(held_source);
}

// Clear hook of GenObjHandle: releases the record, if any; the payload words
// stay as they are. Scripts that the release runs cannot reach the object,
// whose count is 0, and nothing here is used after it.
void genobj_handle_clr(HostObject *object) {
  objkit::Trace(level, 5, "FILE genobj, ROUTINE genobj_handle_clr (%p)\n", static_cast<void *>(object));
  GenObjPayload *payload = host::payload<GenObjPayload>(object);
  if (payload->data != nullptr) ClassDeallocate(payload);
}

// Replace hook of RefObjHandle: the target names the source's item (see
// ReplaceKey).
void refobj_handle_rpl(HostObject *target, HostObject *source, int32_t flag) {
  if (level >= kKeyHookTrace) [[unlikely]]
    return TracedReplaceKey(target, source, flag);
  ReplaceKey(target, source);
}

// Clear hook of RefObjHandle: the key stops naming its item. The list and
// its items are untouched, except an item already out of its list, which
// goes back to the zone with its last key.
void refobj_handle_clr(HostObject *object) {
  if (level >= kKeyHookTrace) [[unlikely]]
    return TracedForgetItem(object);
  ForgetItem(object);
}

}  // namespace genobj

extern "C" {

// A new GenObjHandle of class `class_index`: flag bit 0 set, `ob` nil, `data`
// null. Nil (after "Fatal error : Out of memory") when the interpreter has no
// room; the process goes on.
HostValue genobj_handle(int32_t class_index) {
  objkit::Trace(genobj::level, 7, "FILE genobj, PROCEDURE genobj_handle (%d)\n",
                static_cast<int>(class_index));
  return genobj::NewHandle(
      genobj::kGenObjHandle, sizeof(genobj::GenObjPayload),
      [](HostValue handle, uintptr_t word) {
        *host::payload<genobj::GenObjPayload>(handle) =
            genobj::GenObjPayload{static_cast<int32_t>(word), nil_obj(), nullptr};
      },
      static_cast<uintptr_t>(class_index));
}

// A new RefObjHandle naming (and pinning) `item`, flag bit 0 set. Nil (after
// "Fatal error : Out of memory") when the interpreter has no room.
HostValue refobj_handle(void *item) {
  return t_dbllnk::NewKey(item);
}

}  // extern "C"
