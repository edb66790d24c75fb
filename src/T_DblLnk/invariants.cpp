// The list's invariants, checked after every list method and every hook in
// debug builds (the sanitizer preset), so that a broken chain, count,
// back-pointer, pin or hold fails loudly where it happens. Release builds
// compile none of it.
#include <cstdio>
#include <cstdlib>

#include "T_C_Object/T_C_Object.h"
#include "T_DblLnk/dbllnk.h"
#include "T_DblLnk/keys.h"

#ifndef NDEBUG

namespace t_dbllnk {

namespace {

// Reports a broken invariant of `list` and ends the process.
[[noreturn]] void Broken(const DblLnkList *list, const char *what) {
  std::fflush(stdout);
  std::fprintf(stderr, "objkit: list %p: %s\n", static_cast<const void *>(list), what);
  std::abort();
}

// The list a GenObjHandle word names while it is live, or null.
const DblLnkList *LiveList(HostValue handle) {
  if (!host::has_type(handle, genobj::kGenObjHandle)) return nullptr;
  const auto *payload = host::payload<genobj::GenObjPayload>(handle);
  if (payload->class_index != genobj::kTDblLnkClass || payload->data == nullptr) return nullptr;
  const auto *list = static_cast<const DblLnkList *>(payload->data);
  return list->released != 0 ? nullptr : list;
}

}  // namespace

void CheckList(const DblLnkList *list) {
  if (list == nullptr) return;
  if (list->holds < 0) Broken(list, "negative holds");
  const bool empty = list->head == nullptr;
  if (empty != (list->tail == nullptr) || empty != (list->count == 0) || list->count < 0) {
    Broken(list, "head, tail and count disagree");
  }
  int32_t count = 0;
  const DblLnkItem *before = nullptr;
  for (const DblLnkItem *item = list->head; item != nullptr; before = item, item = item->next) {
    if (++count > list->count) Broken(list, "chain longer than count");
    if (item->list != list) Broken(list, "item names another list");
    if (item->prev != before) Broken(list, "prev does not name the item before");
    if (item->pins < 0) Broken(list, "negative pins");
  }
  if (count != list->count) Broken(list, "chain shorter than count");
  if (before != list->tail) Broken(list, "chain does not end at tail");
}

void CheckItemList(const void *item) {
  if (item != nullptr) CheckList(static_cast<const DblLnkItem *>(item)->list);
}

void CheckHandleList(HostValue handle) {
  CheckList(LiveList(handle));
}

HostValue CheckAfterMethod(HostValue *argv, HostValue result) {
  CheckHandleList(t_c_object::Handle(argv[0]));
  return result;
}

HostValue CheckAfterKey(int32_t argc, HostValue *argv, HostValue result) {
  if (argc >= 1 && host::has_type(argv[-1], genobj::kRefObjHandle)) CheckItemList(ItemOf(argv[-1]));
  return result;
}

}  // namespace t_dbllnk

#endif  // NDEBUG
