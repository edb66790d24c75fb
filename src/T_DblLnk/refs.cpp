// The class-level functions of T_DblLnk, which work on one entry through its
// key alone: setval, val, after, before. A key whose entry has left its list
// gets an error line; any live entry is accepted, whatever its list.
#include "T_DblLnk/dbllnk.h"
#include "objkit/trace.h"

namespace t_dbllnk {

// setval(K, value): replaces the value of K's entry in place. Returns the
// integer 1 (also after a stale key's error line), or the word 2 when the
// arguments are not a key and one value.
HostValue x_set_val(int32_t argc, HostValue *argv) {
  if (!KeyAndValue(argc, argv)) return host::kFailure;
  const HostValue key = argv[-1];
  const HostValue value = argv[-2];
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_set_val (%p, %p)\n", Word(key), Word(value));
  if (DblLnkItem *item = EntryOf(key, nullptr)) ReplaceObject(item, key, value);
  return host::kOne;
}

// val(K): the value of K's entry with a reference for the caller; nil after a
// stale key's error line.
HostValue x_val(int32_t, HostValue *argv) {
  const HostValue key = argv[-1];
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_val (%p)\n", Word(key));
  const DblLnkItem *item = EntryOf(key, nullptr);
  if (item == nullptr) return nil_obj();
  host::ref_take(item->object);
  return item->object;
}

// after(K): a new key of the entry after K's, or nil at the tail (and after a
// stale key's error line).
HostValue x_after(int32_t, HostValue *argv) {
  const HostValue key = argv[-1];
  objkit::Trace(level, 5, "FILE T_DblLnk, ROUTINE x_after (%p)\n", Word(key));
  const DblLnkItem *item = EntryOf(key, nullptr);
  if (item == nullptr || item->next == nullptr) return nil_obj();
  return NewKey(item->next);
}

// before(K): a new key of the entry before K's, or nil at the head (and after
// a stale key's error line).
HostValue x_before(int32_t, HostValue *argv) {
  const HostValue key = argv[-1];
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_before (%p)\n", Word(key));
  const DblLnkItem *item = EntryOf(key, nullptr);
  if (item == nullptr || item->prev == nullptr) return nil_obj();
  return NewKey(item->prev);
}

}  // namespace t_dbllnk
