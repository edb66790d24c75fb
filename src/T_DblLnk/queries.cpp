// The list methods that read a list without changing it: Used and lst, fst,
// KeyOf, ObjectOf and IterObj, KeyAt, KeyAtHead, KeyAtTail, Head, Tail,
// IndexOf. Each begins with the list method frame; a receiver without a list
// gets the frame's error line and the integer 1.
#include "T_DblLnk/dbllnk.h"
#include "objkit/trace.h"

namespace t_dbllnk {

namespace {

// A value the list keeps, with a reference for the caller.
HostValue Shared(HostValue object) {
  host::ref_take(object);
  return object;
}

// A new key of `item`, or nil for no item.
HostValue KeyOrNil(DblLnkItem *item) {
  return item == nullptr ? nil_obj() : NewKey(item);
}

}  // namespace

// Used, lst: the number of entries.
HostValue x_used(int32_t, HostValue *argv) {
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_used (%d)\n", static_cast<int>(argv[0]));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  return host::make_int(frame.list->count);
}

// fst: the position of the head, the integer 0.
HostValue x_fst(int32_t, HostValue *argv) {
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_fst (%d)\n", static_cast<int>(argv[0]));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  return host::kZero;
}

// KeyOf(value): with key entry on, the value's own reply to "key" (no search);
// otherwise a new key of the first entry from the head whose value IsEqual to
// it, or nil. The word 2 unless there is exactly one argument.
HostValue x_key_of(int32_t argc, HostValue *argv) {
  if (!OneArgument(argc, argv)) return host::kFailure;
  const HostValue value = argv[-1];
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_key_of (%d, %p)\n", static_cast<int>(argv[0]),
                Word(value));
  const HostValue key = KeyName();
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  if (frame.list->enter_keys != 0) return Send(value, key, 0, 0, 0);
  return KeyOrNil(FindEqual(frame.list, value, nullptr));
}

// ObjectOf(K), IterObj(K): the value of K's entry with a reference for the
// caller; nil after the error line of a key that names no entry of the list.
HostValue x_object_of(int32_t, HostValue *argv) {
  const HostValue key = argv[-1];
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_object_of (%d, %p)\n", static_cast<int>(argv[0]),
                Word(key));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  const DblLnkItem *item = EntryOf(key, frame.list);
  return item == nullptr ? nil_obj() : Shared(item->object);
}

// KeyAt(position): a new key of the entry at that position from the head
// (counting from 0), or nil outside 0 to count - 1. A float position is
// truncated; any other value gets an error line and nil, nothing traced.
HostValue x_key_at(int32_t, HostValue *argv) {
  int32_t position = 0;
  if (!NumberArgument(argv[-1], "Error : Position must be a number\n", position)) return nil_obj();
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_key_at (%d, %d)\n", static_cast<int>(argv[0]),
                static_cast<int>(position));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  if (position < 0 || position >= frame.list->count) return nil_obj();
  DblLnkItem *item = frame.list->head;
  for (int32_t i = 0; i < position; ++i) item = item->next;
  return NewKey(item);
}

// KeyAtHead: a new key of the head, or nil for an empty list.
HostValue x_key_at_head(int32_t, HostValue *argv) {
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_key_at_head (%d)\n", static_cast<int>(argv[0]));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  return KeyOrNil(frame.list->head);
}

// KeyAtTail: a new key of the tail, or nil for an empty list.
HostValue x_key_at_tail(int32_t, HostValue *argv) {
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_key_at_tail (%d)\n", static_cast<int>(argv[0]));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  return KeyOrNil(frame.list->tail);
}

// Head: the head's value with a reference for the caller, or nil.
HostValue x_head(int32_t, HostValue *argv) {
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_head (%d)\n", static_cast<int>(argv[0]));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  return frame.list->head == nullptr ? nil_obj() : Shared(frame.list->head->object);
}

// Tail: the tail's value with a reference for the caller, or nil.
HostValue x_tail(int32_t, HostValue *argv) {
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_tail (%d)\n", static_cast<int>(argv[0]));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  return frame.list->tail == nullptr ? nil_obj() : Shared(frame.list->tail->object);
}

// IndexOf(value): the position of the first entry from the head whose value
// IsEqual to it, or nil. The word 2 unless there is exactly one argument.
HostValue x_index_of(int32_t argc, HostValue *argv) {
  if (!OneArgument(argc, argv)) return host::kFailure;
  const HostValue value = argv[-1];
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE x_index_of (%d, %p)\n", static_cast<int>(argv[0]),
                Word(value));
  ListFrame frame;
  if (!OpenFrame(argv, frame)) return host::kOne;
  int32_t position = 0;
  if (FindEqual(frame.list, value, &position) == nullptr) return nil_obj();
  return host::make_int(position);
}

}  // namespace t_dbllnk
