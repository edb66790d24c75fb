// The list store: T_DblLnk's module state and table, the class functions
// (start-up, create, deallocate, dump), the records' allocation and the
// routines that take items out of a list or replace their values.
#include <cstdio>
#include <cstring>

#include "T_DblLnk/dbllnk.h"
#include "T_DblLnk/keys.h"
#include "objkit/builtin.h"
#include "objkit/exports.h"
#include "objkit/objkit.h"
#include "objkit/trace.h"

namespace t_dbllnk {

int32_t level = 0;

namespace {

int32_t initialised = 0;

using objkit::kAnyCount;
using objkit::Routine;
using objkit::Section;

// The class's own functions.
const SymbolEntry kSymbols[] = {
    {"init_module", reinterpret_cast<void *>(T_DblLnk_init_module)},
    {"create", reinterpret_cast<void *>(T_DblLnk_create)},
    {"deallocate", reinterpret_cast<void *>(T_DblLnk_deallocate)},
    {"dump", reinterpret_cast<void *>(T_DblLnk_dump)},
    {nullptr, nullptr},
};

// Registers the class's table with the interpreter.
void InitialiseZEL() {
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE InitialiseZEL ()\n");
  init_built_in(kBuiltins);
}

}  // namespace

constexpr BuiltinRecord kBuiltins[34] = {
    Routine("T_DblLnk_debug", 1, SetDebugLevel),
    Section("T_DblLnk", objkit::kClassSection),
    Routine("setval", kAnyCount, KeyRoutine<x_set_val>),
    Routine("val", 1, KeyRoutine<x_val>, genobj::kRefObjHandle),
    Routine("after", 1, KeyRoutine<x_after>, genobj::kRefObjHandle),
    Routine("before", 1, KeyRoutine<x_before>, genobj::kRefObjHandle),
    Section("T_DblLnk", objkit::kInstanceSection),
    Routine("create", 0, Method<x_create>),
    Routine("setenterkeys", 1, Method<x_set_enter_keys>),
    Routine("setlogtransactions", 1, Method<x_set_log_transactions>),
    Routine("Used", 0, Method<x_used>),
    Routine("fst", 0, Method<x_fst>),
    Routine("lst", 0, Method<x_used>),
    Routine("KeyOf", kAnyCount, Method<x_key_of>),
    Routine("ObjectOf", 1, Method<x_object_of>, genobj::kRefObjHandle),
    Routine("IterObj", 1, Method<x_object_of>, genobj::kRefObjHandle),
    Routine("SetAtKey", kAnyCount, Method<x_set_at_key>),
    Routine("KeyAt", 1, Method<x_key_at>),
    Routine("KeyAtHead", 0, Method<x_key_at_head>),
    Routine("KeyAtTail", 0, Method<x_key_at_tail>),
    Routine("Head", 0, Method<x_head>),
    Routine("Tail", 0, Method<x_tail>),
    Routine("Rem", kAnyCount, Method<x_rem>),
    Routine("RemAtKey", 1, Method<x_rem_at_key>, genobj::kRefObjHandle),
    Routine("RemAtHead", 0, Method<x_rem_at_head>),
    Routine("RemAtTail", 0, Method<x_rem_at_tail>),
    Routine("AddAtHead", kAnyCount, Method<x_add_at_head>),
    Routine("AddAtTail", kAnyCount, Method<x_add_at_tail>),
    Routine("Add", kAnyCount, Method<x_add_at_tail>),
    Routine("AddBefore", kAnyCount, Method<x_add_before>),
    Routine("AddAfter", kAnyCount, Method<x_add_after>),
    Routine("IndexOf", kAnyCount, Method<x_index_of>),
    Routine("Flush", 0, Method<x_flush>),
    objkit::kEndOfTable,
};

// Handler of "T_DblLnk_debug": sets T_DblLnk's debug level (argument 1 read
// as a number); returns the integer 1.
HostValue SetDebugLevel(int32_t, HostValue *argv) {
  return objkit::SetLevel(level, "FILE T_DblLnk, ROUTINE SetDebugLevel (%d)\n", argv);
}

DblLnkList *AllocateList() {
  void *record = z_malloc(sizeof(DblLnkList));
  if (record == nullptr) errexit("Out of memory");
  return static_cast<DblLnkList *>(record);
}

DblLnkItem *DetachChain(DblLnkList *list) {
  DblLnkItem *chain = list->head;
  for (DblLnkItem *item = chain; item != nullptr; item = item->next) {
    item->list = nullptr;
    ++item->pins;
  }
  list->tail = nullptr;
  list->head = nullptr;
  list->count = 0;
  return chain;
}

HostValue TakeObject(DblLnkItem *item) {
  --item->pins;
  return LetGo(item);
}

void KeepDead(DblLnkItem *item) {
  item->object = nil_obj();
  item->list = nullptr;
  item->prev = nullptr;
  item->next = nullptr;
}

// Head first, each item is still in the list while its value hears "setkey"
// with nil (its keys and those of the items after it still name their
// entries, as in a removal), and leaves it before its value loses the
// reference. No list method reaches a released list and a second deallocate
// leaves it alone, so the chain changes only here, and the record, read after
// every drop, stays allocated until the walk ends.
void FreeList(DblLnkList *list) {
  while (DblLnkItem *item = list->head) {
    ClearKey(list, item);
    host::ref_drop(TakeOut(list, item));
  }
  z_free(list);
}

HostValue ObjectBefore(const DblLnkItem *item) {
  return item->prev == nullptr ? nil_obj() : item->prev->object;
}

void ReportRemoval(HostValue self, genobj::GenObjPayload *payload, DblLnkList *list, DblLnkItem *item) {
  const ListFrame frame{self, payload, list};
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE RemoveItem (%p, %p)\n", static_cast<void *>(frame.payload),
                static_cast<void *>(item));
  Pin(item);
  ClearKey(list, item);
  if (item->list == list) LogRemoveFromList(frame, item, ObjectBefore(item));
  const bool stays = item->list == list;
  Unpin(item);
  if (stays) host::ref_drop(TakeOut(list, item));
}

// The key is held and the item pinned across the messages; the new value is
// stored before the old one loses its reference.
void ReplaceObject(DblLnkItem *item, HostValue key, HostValue value) {
  host::ref_take(key);
  Pin(item);
  ClearKey(item->list, item);
  if (item->list != nullptr) {
    host::ref_take(value);
    const HostValue old = item->object;
    item->object = value;
    host::ref_drop(old);
    if (item->list != nullptr) EnterKey(item->list, item, key);
  }
  Unpin(item);
  host::ref_unhold(key);
}

namespace {

// True for a small integer or a float object.
bool IsNumeric(HostValue v) {
  return host::is_int(v) || host::has_type(v, host::kFloat);
}

// The value of a numeric word as a double.
double NumericValue(HostValue v) {
  return host::is_int(v) ? host::int_of(v) : host::float_of(v);
}

}  // namespace

int32_t IsEqual(HostValue a, HostValue b) {
  objkit::Trace(level, 4, "FILE T_DblLnk, ROUTINE IsEqual (%d, %d)\n", static_cast<int>(a),
                static_cast<int>(b));
  if (a == b) return 1;
  if (IsNumeric(a) && IsNumeric(b)) return NumericValue(a) == NumericValue(b) ? 1 : 0;
  if (host::has_type(a, host::kString) && host::has_type(b, host::kString)) {
    return std::strcmp(host::chars_of(a), host::chars_of(b)) == 0 ? 1 : 0;
  }
  return 0;
}

DblLnkItem *FindEqual(const DblLnkList *list, HostValue value, int32_t *position) {
  int32_t index = 0;
  for (DblLnkItem *item = list->head; item != nullptr; item = item->next, ++index) {
    if (IsEqual(item->object, value) != 0) {
      if (position != nullptr) *position = index;
      return item;
    }
  }
  return nullptr;
}

}  // namespace t_dbllnk

extern "C" {

// The symbol table: init_module, create, deallocate, dump, then the null row.
const SymbolEntry *T_DblLnk_get_symbol_table(void) {
  return t_dbllnk::kSymbols;
}

// The class's start-up, once: registers the table. Later calls only trace.
void T_DblLnk_init_module(void) {
  objkit::Trace(t_dbllnk::level, 1, "FILE T_DblLnk, PROCEDURE T_DblLnk_init_module ()\n");
  if (t_dbllnk::initialised) return;
  t_dbllnk::InitialiseZEL();
  t_dbllnk::initialised = 1;
}

// A new GenObjHandle of class T_DblLnk owned by `owner`, holding a new empty
// list with both flags 0. Nil when no handle could be made (after genobj's
// message); a full zone ends the process.
HostValue T_DblLnk_create(HostValue owner) {
  objkit::Trace(t_dbllnk::level, 1, "FILE T_DblLnk, PROCEDURE T_DblLnk_create (%p)\n", t_dbllnk::Word(owner));
  const HostValue handle = genobj_handle(genobj::kTDblLnkClass);
  if (host::is_nil(handle)) return handle;
  t_dbllnk::DblLnkList *list = t_dbllnk::AllocateList();
  list->tail = nullptr;
  list->head = nullptr;
  list->count = 0;
  genobj::GenObjPayload *payload = host::payload<genobj::GenObjPayload>(handle);
  payload->ob = owner;
  payload->data = list;
  list->enter_keys = 0;
  list->log_transactions = 0;
  list->released = 0;
  list->holds = 0;
  return handle;
}

// Releases the list of a GenObjHandle payload: every value is told of it
// ("setkey" with nil, head to tail, when the list enters keys; no
// "logremovefromlist") and loses the item's reference, and the items and the
// record go back to the zone (items still named by keys stay, dead, until
// their last key goes). A list that a running operation holds is released
// when that operation ends; a list already released is left to that release.
// The payload names a list (genobj releases only payloads that name a record)
// and is not changed. Never fails.
void T_DblLnk_deallocate(void *payload) {
  objkit::Trace(t_dbllnk::level, 1, "FILE T_DblLnk, PROCEDURE T_DblLnk_deallocate (%p)\n", payload);
  auto *list = static_cast<t_dbllnk::DblLnkList *>(static_cast<genobj::GenObjPayload *>(payload)->data);
  // A list already released is being freed by an outer call (a script run by
  // its FreeList let go of the same handle again) or waits for its last hold:
  // either way its release is under way, and its record is still allocated.
  if (list->released != 0) return;
  list->released = 1;
  if (list->holds == 0) t_dbllnk::FreeList(list);
}

// Writes T_C_Object's line and the flags line to `stream`; returns the result
// of the last write.
int32_t T_DblLnk_dump(void *payload, FILE *stream, int32_t depth) {
  objkit::Trace(t_dbllnk::level, 7, "FILE T_DblLnk, PROCEDURE T_DblLnk_dump (%p, %p, %d)\n", payload,
                static_cast<void *>(stream), static_cast<int>(depth));
  const int32_t written = T_C_Object_dump(payload, stream, depth);
  const auto *list =
      static_cast<const t_dbllnk::DblLnkList *>(static_cast<genobj::GenObjPayload *>(payload)->data);
  if (list == nullptr) return written;
  return std::fprintf(stream, "  enter_keys : <%d>, log_transactions : <%d>\n",
                      static_cast<int>(list->enter_keys), static_cast<int>(list->log_transactions));
}

}  // extern "C"
