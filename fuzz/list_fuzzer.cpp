// Fuzz target: sequences of list operations through the library's handlers,
// checked against a model of each list (a std::list of values and items).
//
// The input is read a byte at a time as operations on two list objects, a
// pool of values (objects of the script class V, numbers, strings, keys),
// six key slots and two timers. Values of class V answer every message a
// list sends them ("setkey", "logaddtolist", "logremovefromlist", "key") by
// calling the routine `react`, which reads the next byte: an even byte does
// nothing, an odd one runs one more operation nested inside the list
// operation that sent the message (up to three deep). So a message handler
// can remove the entry being worked on, add, flush, re-create the list, drop
// the last reference to a list, replace a list's handle, make another value
// the current timer or drive the profiler hooks.
//
// After every operation at the top the invariants of each list record are
// checked (chain, count, back-pointers, owner, no hold left). An operation
// that ran nothing nested must also have done exactly what the model says,
// with the result the model says; after one that ran a nested operation (or
// re-created, dropped or replaced a list) the model is taken again from the
// records. After each input everything is dropped, and every object and zone
// block the input made must be gone.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <list>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "T_DblLnk/dbllnk.h"
#include "genobj/genobj.h"
#include "lang/boot.h"
#include "lang/lang.h"
#include "objkit/builtin.h"
#include "objkit/exports.h"
#include "runtime/runtime.h"

namespace {

namespace rt = zel::rt;
using t_dbllnk::DblLnkItem;
using t_dbllnk::DblLnkList;

constexpr int kLists = 2;
constexpr int kValues = 4;
constexpr int kKeys = 6;
constexpr int kTimers = 2;
constexpr int kMaxDepth = 3;

constexpr const char kSetUp[] =
    "zel$object:subclass \"V\", \"key\";"
    "procedure V:setkey (k); key == k; react (self); end "
    "procedure V:logaddtolist (l, p); react (self); end "
    "procedure V:logremovefromlist (l, p); react (self); end "
    "procedure V:key (); react (self); return key; end";

[[noreturn]] void finding(const std::string &what) {
  std::fprintf(stderr, "list_fuzzer: %s\n", what.c_str());
  std::abort();
}

// The input, a byte at a time; 0 once it is used up.
struct Input {
  const uint8_t *next = nullptr;
  size_t left = 0;

  uint8_t byte() {
    if (left == 0) return 0;
    --left;
    return *next++;
  }
};

// One entry as the model sees it: the value's word and the item that holds it.
struct Entry {
  HostValue value;
  const DblLnkItem *item;
};

struct ModelList {
  std::list<Entry> entries;
  bool enter_keys = false;
  bool log_transactions = false;
};

// Everything an input works on. Each HostValue holds one reference.
struct World {
  HostValue lists[kLists];
  HostValue values[kValues];
  HostValue keys[kKeys];
  HostValue timers[kTimers];
  std::map<const DblLnkList *, ModelList> model;  // by record: two handles may share one
  Input in;
  int depth = 0;
  bool nested = false;  // an operation ran inside a message
};

World world;

bool is_type(HostValue v, uint8_t type) {
  return host::is_object(v) && host::type_of(v) == type;
}

// The record of a list object, or null when it has none (nil, never created).
DblLnkList *record_of(HostValue list) {
  if (!rt::class_of(list) || rt::slot_count(list) <= 4) return nullptr;
  const HostValue handle = host::slot(list, 4);
  if (!is_type(handle, genobj::kGenObjHandle)) return nullptr;
  return static_cast<DblLnkList *>(host::payload<genobj::GenObjPayload>(handle)->data);
}

// The item a key names, or null for anything that is not a key.
const DblLnkItem *item_of(HostValue key) {
  return is_type(key, genobj::kRefObjHandle) ? t_dbllnk::ItemOf(key) : nullptr;
}

// The entries of a record, after checking its invariants.
ModelList read_record(const DblLnkList *list) {
  ModelList m;
  m.enter_keys = list->enter_keys != 0;
  m.log_transactions = list->log_transactions != 0;
  if (list->released != 0 || list->holds != 0) finding("a reachable list is released or still held");
  if ((list->head == nullptr) != (list->tail == nullptr) || (list->head == nullptr) != (list->count == 0)) {
    finding("head, tail and count disagree");
  }
  const DblLnkItem *prev = nullptr;
  for (const DblLnkItem *item = list->head; item != nullptr; item = item->next) {
    if (item->list != list || item->prev != prev) finding("an item's list or prev is wrong");
    if (item->pins < 0) finding("an item's pins are negative");
    m.entries.push_back(Entry{item->object, item});
    if (m.entries.size() > static_cast<size_t>(list->count)) finding("the chain is longer than count");
    prev = item;
  }
  if (prev != list->tail || m.entries.size() != static_cast<size_t>(list->count)) {
    finding("the chain does not end at tail after count items");
  }
  return m;
}

// Checks every reachable record and takes the model from them.
void resync() {
  world.model.clear();
  for (HostValue list : world.lists) {
    if (const DblLnkList *r = record_of(list)) world.model.try_emplace(r, read_record(r));
  }
}

// Compares one record with its model.
void compare(const DblLnkList *r) {
  const ModelList actual = read_record(r);
  const ModelList &expected = world.model[r];
  if (actual.enter_keys != expected.enter_keys || actual.log_transactions != expected.log_transactions) {
    finding("a flag differs from the model");
  }
  if (actual.entries.size() != expected.entries.size()) finding("the count differs from the model");
  auto e = expected.entries.begin();
  for (const Entry &a : actual.entries) {
    if (a.value != e->value || a.item != e->item) finding("an entry differs from the model");
    ++e;
  }
}

// Equal values as lists compare them: the same word, numbers of equal value,
// strings of equal text.
bool same_value(HostValue a, HostValue b) {
  if (a == b) return true;
  auto number = [](HostValue v, double &d) {
    if (host::is_int(v))
      d = host::int_of(v);
    else if (is_type(v, host::kFloat))
      d = host::float_of(v);
    else
      return false;
    return true;
  };
  double x, y;
  if (number(a, x) && number(b, y)) return x == y;
  return is_type(a, host::kString) && is_type(b, host::kString) &&
         std::strcmp(host::chars_of(a), host::chars_of(b)) == 0;
}

// With LIST_FUZZER_TRACE set, every step goes to standard error, indented
// by its depth, values named by the slot that holds them: what a test made
// of a finding must do.
bool tracing = false;

std::string name_of(HostValue v) {
  const std::pair<const char *, std::span<HostValue>> slots[] = {
      {"list", world.lists}, {"value", world.values}, {"key", world.keys}, {"timer", world.timers}};
  for (const auto &[name, held] : slots) {
    for (size_t i = 0; i < held.size(); ++i) {
      if (held[i] == v && !host::is_nil(v)) return name + std::to_string(i);
    }
  }
  if (const rt::Class *cls = rt::as_class(v)) return cls->name;
  return host::is_int(v) || is_type(v, host::kString) || is_type(v, host::kFloat) ? rt::show(v)
                                                                                  : rt::describe(v);
}

void trace(const std::string &step) {
  if (tracing) std::fprintf(stderr, "%*s%s\n", 2 * world.depth, "", step.c_str());
}

// Sends and gives the result; an error (a refused call, a failed message)
// gives nothing and is forgotten.
bool send(HostValue to, const char *selector, std::vector<HostValue> args, rt::Ref &result) {
  if (tracing) {
    std::string call = name_of(to) + ":" + selector + " (";
    for (size_t i = 0; i < args.size(); ++i) call += (i ? ", " : "") + name_of(args[i]);
    trace(call + ")");
  }
  try {
    result = rt::send(to, selector, args);
    rt::take_stray_error();
    return true;
  } catch (const rt::ScriptError &error) {
    trace("  fails: " + error.message);
    rt::take_stray_error();
    return false;
  }
}

rt::Ref value_from(uint8_t b) {
  switch (b % 10) {
    case 0:
    case 1:
    case 2:
    case 3:
      return rt::Ref::share(world.values[b % 10]);
    case 4:
      return rt::make_int(b / 10 - 12);
    case 5:
      return rt::make_string(b & 0x10 ? "a" : "b");
    case 6:
      return rt::make_float(2.0);
    case 7:
      return rt::nil();
    case 8:
      return rt::Ref::share(world.keys[b % kKeys]);
    default:
      return rt::make_int(2);
  }
}

// Where an entry with this item is in the model of r, or end.
std::list<Entry>::iterator find_item(ModelList &m, const DblLnkItem *item) {
  for (auto it = m.entries.begin(); it != m.entries.end(); ++it) {
    if (it->item == item) return it;
  }
  return m.entries.end();
}

// The operations. Each reads its operands from the input. `check` is true
// at the top, where the model is kept.
enum Op : uint8_t {
  kAddAtHead,
  kAddAtTail,
  kAddBefore,
  kAddAfter,
  kSetAtKey,
  kSetVal,
  kRem,
  kRemAtKey,
  kRemAtHead,
  kRemAtTail,
  kFlush,
  kCreate,
  kSetFlag,
  kQuery,
  kNewOrDropList,
  kReplaceHandle,
  kRemoveOwnEntry,
  kSetCurrent,
  kTimerMethod,
  kProfilerHook,
  kNewOrDropTimer,
  kKeySlot,
  kOpCount
};

void run_op(uint8_t code, HostValue self);

// A list operation: sends it and, at the top, checks the result and the list
// against the model. Returns the result.
rt::Ref list_op(Op op) {
  const int s = world.in.byte() % kLists;
  const rt::Ref list = rt::Ref::share(world.lists[s]);
  const int k = world.in.byte() % kKeys;
  const rt::Ref key = rt::Ref::share(world.keys[k]);
  const rt::Ref value = value_from(world.in.byte());
  DblLnkList *const r = record_of(list.get());
  const bool check = world.depth == 1 && r != nullptr;
  ModelList *m = check ? &world.model[r] : nullptr;
  const DblLnkItem *const key_item = item_of(key.get());
  auto key_entry = m ? find_item(*m, key_item) : std::list<Entry>::iterator{};
  const bool key_live = m && key_item != nullptr && key_entry != m->entries.end();

  static constexpr const char *kSelectors[] = {"AddAtHead", "AddAtTail", "AddBefore", "AddAfter",
                                               "SetAtKey",  "setval",    "Rem",       "RemAtKey",
                                               "RemAtHead", "RemAtTail", "Flush"};
  // The entry Rem takes out, found before the call: once it is out its value
  // may be gone.
  auto rem_at = key_entry;
  if (op == kRem && m) {
    rem_at = std::find_if(m->entries.begin(), m->entries.end(),
                          [&](const Entry &e) { return same_value(e.value, value.get()); });
  }
  const bool takes_key =
      op == kAddBefore || op == kAddAfter || op == kSetAtKey || op == kSetVal || op == kRemAtKey;
  std::vector<HostValue> args;
  if (takes_key) args.push_back(key.get());
  if (op <= kRem && op != kRemAtKey) args.push_back(value.get());
  const bool refused = takes_key && !is_type(key.get(), genobj::kRefObjHandle);
  const HostValue to = op == kSetVal ? rt::find_class("T_DblLnk")->value : list.get();
  rt::Ref result;
  const bool sent = send(to, kSelectors[op], args, result);
  // setval works on the key's list, whatever it is; a message that failed
  // (sent to a value that is no object) fails the call once it is done, and
  // its result is lost. The caller takes the model again from the records.
  if (!check || world.nested || op == kSetVal || (!sent && !refused)) return result;
  if (!sent) {
    compare(r);
    return result;
  }
  auto &entries = m->entries;
  const bool adds = op <= kAddAfter;
  if (adds && (op <= kAddAtTail || key_live)) {
    if (!is_type(result.get(), genobj::kRefObjHandle)) finding("an add did not return a key");
    const Entry added{value.get(), item_of(result.get())};
    if (op == kAddAtHead)
      entries.push_front(added);
    else if (op == kAddAtTail)
      entries.push_back(added);
    else
      entries.insert(op == kAddBefore ? key_entry : std::next(key_entry), added);
  } else if (adds) {
    if (!host::is_nil(result.get())) finding("an add next to a bad key returned something");
  } else if (op == kSetAtKey && key_live) {
    key_entry->value = value.get();
  } else if (op == kRem && rem_at != entries.end()) {
    entries.erase(rem_at);
  } else if (op == kRemAtKey && key_live) {
    entries.erase(key_entry);
  } else if (op == kRemAtHead && !entries.empty()) {
    entries.pop_front();
  } else if (op == kRemAtTail && !entries.empty()) {
    entries.pop_back();
  } else if (op == kFlush) {
    entries.clear();
  }
  compare(r);
  return result;
}

// Queries, checked against the model at the top.
void query() {
  const int s = world.in.byte() % kLists;
  const rt::Ref list = rt::Ref::share(world.lists[s]);
  const uint8_t what = world.in.byte();
  const rt::Ref key = rt::Ref::share(world.keys[what % kKeys]);
  const rt::Ref value = value_from(world.in.byte());
  const int32_t position = static_cast<int32_t>(what % 5) - 1;
  DblLnkList *const r = record_of(list.get());
  rt::Ref result;
  const HostValue lists_class = rt::find_class("T_DblLnk")->value;
  struct Query {
    const char *selector;
    bool on_class;
    int args;  // 1: the position, 2: the key, 3: the value
  };
  static constexpr Query kQueries[] = {
      {"Used", false, 0},     {"KeyAt", false, 1}, {"KeyAtHead", false, 0}, {"KeyAtTail", false, 0},
      {"Head", false, 0},     {"Tail", false, 0},  {"IndexOf", false, 3},   {"KeyOf", false, 3},
      {"ObjectOf", false, 2}, {"val", true, 2},    {"after", true, 2},      {"before", true, 2},
  };
  const Query &q = kQueries[(what / kKeys) % std::size(kQueries)];
  std::vector<HostValue> args;
  if (q.args == 1) args.push_back(host::make_int(position));
  if (q.args == 2) args.push_back(key.get());
  if (q.args == 3) args.push_back(value.get());
  const bool sent = send(q.on_class ? lists_class : list.get(), q.selector, args, result);
  if (world.depth != 1 || world.nested || r == nullptr) return;
  const ModelList &m = world.model[r];
  const auto &e = m.entries;
  const std::string name = q.selector;
  const DblLnkItem *const key_item = item_of(key.get());
  auto at = e.begin();
  int32_t index = 0;
  while (at != e.end() && at->item != key_item) ++at, ++index;
  const bool key_here = key_item != nullptr && at != e.end();
  auto expect_key = [&](const DblLnkItem *item) {
    if (item == nullptr ? !host::is_nil(result.get()) : item_of(result.get()) != item) {
      finding(name + " gave the wrong key");
    }
  };
  auto expect_value = [&](bool some, HostValue v) {
    if (some ? result.get() != v : !host::is_nil(result.get())) finding(name + " gave the wrong value");
  };
  // KeyOf asks the value for its key when the list enters keys, and a value
  // that is no object fails it.
  if (!sent) {
    const bool refused = q.args == 2 && !is_type(key.get(), genobj::kRefObjHandle);
    if (!refused && !(name == "KeyOf" && m.enter_keys)) finding(name + " failed");
  } else if (name == "Used") {
    if (result.get() != host::make_int(static_cast<int32_t>(e.size())))
      finding("Used differs from the model");
  } else if (name == "KeyAt") {
    expect_key(position >= 0 && static_cast<size_t>(position) < e.size()
                   ? std::next(e.begin(), position)->item
                   : nullptr);
  } else if (name == "KeyAtHead" || name == "KeyAtTail") {
    expect_key(e.empty() ? nullptr : (name == "KeyAtHead" ? e.front().item : e.back().item));
  } else if (name == "Head" || name == "Tail") {
    expect_value(!e.empty(), e.empty() ? 0 : (name == "Head" ? e.front().value : e.back().value));
  } else if (name == "IndexOf" || (name == "KeyOf" && !m.enter_keys)) {
    auto it = e.begin();
    int32_t i = 0;
    while (it != e.end() && !same_value(it->value, value.get())) ++it, ++i;
    if (name == "KeyOf")
      expect_key(it == e.end() ? nullptr : it->item);
    else if (result.get() != (it == e.end() ? rt::nil_value() : host::make_int(i)))
      finding("IndexOf differs");
  } else if (name == "ObjectOf" || (name == "val" && key_here)) {
    expect_value(key_here, key_here ? at->value : 0);
  } else if ((name == "after" || name == "before") && key_here) {
    if (name == "after")
      expect_key(std::next(at) == e.end() ? nullptr : std::next(at)->item);
    else
      expect_key(at == e.begin() ? nullptr : std::prev(at)->item);
  }
  compare(r);
}

void set_flag() {
  const int s = world.in.byte() % kLists;
  const rt::Ref list = rt::Ref::share(world.lists[s]);
  const uint8_t b = world.in.byte();
  static constexpr int32_t kFlags[] = {0, 1, 256, -1, 2};
  const int32_t flag = kFlags[(b >> 1) % std::size(kFlags)];
  rt::Ref result;
  send(list.get(), b & 1 ? "setenterkeys" : "setlogtransactions", {host::make_int(flag)}, result);
  DblLnkList *const r = record_of(list.get());
  if (world.depth != 1 || world.nested || r == nullptr) return;
  (b & 1 ? world.model[r].enter_keys : world.model[r].log_transactions) = (flag & 0xFF) != 0;
  compare(r);
}

// What `setcurrent` and `setValue` are given: a timer (not to `setValue`,
// where it would make a cycle), a list, a value.
rt::Ref any_value(uint8_t b, bool timers) {
  switch (b % 4) {
    case 0:
      if (timers) return rt::Ref::share(world.timers[(b >> 2) % kTimers]);
      return rt::nil();
    case 1:
      return rt::Ref::share(world.lists[(b >> 2) % kLists]);
    default:
      return value_from(b >> 2);
  }
}

void timer_op(Op op) {
  const uint8_t b = world.in.byte();
  const rt::Ref timer = rt::Ref::share(world.timers[b % kTimers]);
  rt::Ref result;
  switch (op) {
    case kSetCurrent:
      send(rt::find_class("T_Timer")->value, "setcurrent", {any_value(world.in.byte(), true).get()}, result);
      break;
    case kTimerMethod: {
      static constexpr const char *kMethods[] = {"start", "stop", "reset", "lap", "setValue"};
      const char *method = kMethods[(b >> 1) % std::size(kMethods)];
      const rt::Ref value = any_value(world.in.byte(), false);
      send(timer.get(), method,
           std::strcmp(method, "setValue") == 0 ? std::vector{value.get()} : std::vector<HostValue>{},
           result);
      break;
    }
    case kProfilerHook:
      trace(b & 1 ? "profiler stop hook" : "profiler start hook");
      b & 1 ? rt::profile_stop() : rt::profile_start();
      rt::take_stray_error();
      break;
    default:
      trace(std::string(host::is_nil(timer.get()) ? "new " : "drop ") + "timer" +
            std::to_string(b % kTimers));
      if (host::is_nil(timer.get())) {
        send(rt::find_class("T_Timer")->value, "new", {}, result);
        rt::assign_ref(world.timers[b % kTimers], result);
      } else {
        rt::assign_ref(world.timers[b % kTimers], rt::nil());
      }
      rt::take_stray_error();
  }
}

void run_op(uint8_t code, HostValue self) {
  ++world.depth;
  const Op op = static_cast<Op>(code % kOpCount);
  rt::Ref result;
  switch (op) {
    case kCreate: {
      const rt::Ref list = rt::Ref::share(world.lists[world.in.byte() % kLists]);
      send(list.get(), "create", {}, result);
      break;
    }
    case kSetFlag:
      set_flag();
      break;
    case kQuery:
      query();
      break;
    case kNewOrDropList: {
      const int s = world.in.byte() % kLists;
      HostValue &slot = world.lists[s];
      trace(std::string(host::is_nil(slot) ? "new " : "drop ") + "list" + std::to_string(s));
      if (host::is_nil(slot) && send(rt::find_class("T_DblLnk")->value, "new", {}, result)) {
        rt::assign_ref(slot, result);
      } else {
        rt::assign_ref(slot, rt::nil());
        rt::take_stray_error();
      }
      break;
    }
    case kReplaceHandle: {
      const uint8_t b = world.in.byte();
      const rt::Ref to = rt::Ref::share(world.lists[b % kLists]);
      const rt::Ref from = rt::Ref::share(world.lists[(b >> 1) % kLists]);
      if (record_of(to.get()) && record_of(from.get())) {
        trace(name_of(to.get()) + ".handle = " + name_of(from.get()) + ".handle");
        rt::assign_value(host::slot(to.get(), 4), rt::Ref::share(host::slot(from.get(), 4)));
        rt::take_stray_error();
      }
      break;
    }
    case kRemoveOwnEntry: {
      const rt::Ref list = rt::Ref::share(world.lists[world.in.byte() % kLists]);
      const HostValue v = rt::class_of(self) ? self : world.values[world.in.byte() % kValues];
      const rt::Ref key = rt::Ref::share(host::slot(v, 0));
      if (is_type(key.get(), genobj::kRefObjHandle)) send(list.get(), "RemAtKey", {key.get()}, result);
      break;
    }
    case kSetCurrent:
    case kTimerMethod:
    case kProfilerHook:
    case kNewOrDropTimer:
      timer_op(op);
      break;
    case kKeySlot: {
      const uint8_t b = world.in.byte();
      HostValue &slot = world.keys[b % kKeys];
      trace("key" + std::to_string(b % kKeys) +
            (b & 0x80 ? " = nil" : " = key" + std::to_string((b >> 3) % kKeys)));
      if (b & 0x80) {
        rt::assign_ref(slot, rt::nil());
      } else {
        rt::assign_value(slot, rt::Ref::share(world.keys[(b >> 3) % kKeys]));
      }
      rt::take_stray_error();
      break;
    }
    default:
      result = list_op(op);
  }
  // Add results go to a key slot, as a script keeps its keys.
  if (op <= kAddAfter && is_type(result.get(), genobj::kRefObjHandle)) {
    const int k = world.in.byte() % kKeys;
    trace("  key" + std::to_string(k) + " == the new key");
    rt::assign_ref(world.keys[k], result);
  }
  --world.depth;
}

// The routine `react (v)` that V's message handlers call: an odd byte runs
// one operation nested in the list operation that sent the message.
HostValue React(int32_t argc, HostValue *argv) {
  if (world.depth >= kMaxDepth || world.in.left == 0) return host::kZero;
  const uint8_t b = world.in.byte();
  if ((b & 1) == 0) return host::kZero;
  world.nested = true;
  const HostValue self = argc >= 1 ? argv[-1] : rt::nil_value();
  trace("while " + name_of(self) + " hears a message:");
  run_op(b >> 1, self);
  return host::kZero;
}

constexpr BuiltinRecord kReactTable[] = {objkit::Routine("react", objkit::kAnyCount, React),
                                         objkit::kEndOfTable};

// Drops what the slots hold; they end nil.
void clear(std::span<HostValue> slots) {
  for (HostValue &v : slots) rt::assign_ref(v, rt::nil());
}

size_t objects_at_start = 0;
size_t blocks_at_start = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  tracing = std::getenv("LIST_FUZZER_TRACE") != nullptr;
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, STDOUT_FILENO);
  zel::boot();
  objkit_init_module();
  zel::rt::fake_clock(true);
  init_built_in(kReactTable);
  if (const std::string error = zel::run(kSetUp); !error.empty()) finding("set-up failed: " + error);
  for (std::span<HostValue> slots :
       {std::span<HostValue>(world.keys), std::span<HostValue>(world.lists),
        std::span<HostValue>(world.values), std::span<HostValue>(world.timers)}) {
    std::fill(slots.begin(), slots.end(), rt::nil_value());
  }
  objects_at_start = rt::live_objects();
  blocks_at_start = rt::live_zone_blocks();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  world.in = Input{data, size};
  zel::lang::set_step_budget(100000);
  rt::Ref made;
  for (HostValue &v : world.values) {
    send(rt::find_class("V")->value, "new", {}, made);
    rt::assign_ref(v, made);
  }
  for (HostValue &list : world.lists) {
    send(rt::find_class("T_DblLnk")->value, "new", {}, made);
    rt::assign_ref(list, made);
    send(list, "create", {}, made);
  }
  send(rt::find_class("T_Timer")->value, "new", {}, made);
  rt::assign_ref(world.timers[0], made);
  made = rt::nil();
  resync();
  while (world.in.left > 0) {
    world.nested = false;
    run_op(world.in.byte(), rt::nil_value());
    resync();
  }
  rt::Ref result;
  send(rt::find_class("T_Timer")->value, "setcurrent", {rt::nil_value()}, result);
  result = rt::nil();
  clear(world.keys);
  clear(world.lists);
  clear(world.values);
  clear(world.timers);
  rt::take_stray_error();
  world.model.clear();
  zel::lang::set_step_budget(0);
  if (rt::live_objects() != objects_at_start || rt::live_zone_blocks() != blocks_at_start) {
    rt::report_leaks(stderr);
    finding("the input left objects or zone blocks live");
  }
  return 0;
}
