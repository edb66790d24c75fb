// Script classes and procedures: the class table (names without regard to
// case), the root class zel$object, instance variables, iv_index and the
// extension obj_isa.
//
// A class lives while its value is referenced: by the class table while its
// name is bound, by each object of it (the word at byte 8), by each subclass
// (parent), by each running call of one of its methods (the language holds
// it), and by any variable or element holding the class value. The table
// drops its reference when the name is remade; the last reference frees the
// class, its method table and its procedures. The root class is permanent.
#include <algorithm>
#include <cctype>
#include <memory>
#include <unordered_map>
#include <utility>

#include "runtime/internal.h"

namespace zel::rt {
namespace detail {
namespace {

// Invariant: live is the number of Class records made and not freed; every
// class of by_name is live and holds one reference of the table.
struct Classes {
  std::unordered_map<std::string, Class *> by_name;
  std::unordered_map<std::string, const void *> procedures;  // global ones
  Class *root = nullptr;
  size_t live = 0;
  ForgetHook forget = nullptr;
};

Classes &classes() {
  static Classes &c = *new Classes;
  return c;
}

// Makes a class (permanent, or freed with its last reference), taking a
// reference to its parent, and binds its name, dropping the reference the
// table held to a class bound before. Throws ScriptError when the arena is
// full.
Class *make_class(Class *parent, std::string_view name, std::vector<std::string> ivars, bool permanent) {
  auto cls = std::make_unique<Class>();
  cls->name = std::string(name);
  cls->parent = parent;
  cls->ivars = std::move(ivars);
  cls->value =
      made_value(permanent ? new_permanent(kClass, sizeof(Class *)) : new_class_object(sizeof(Class *)));
  if (parent != nullptr) host::ref_take(parent->value);
  *host::payload<Class *>(cls->value) = cls.get();
  ++classes().live;
  Class *&bound = classes().by_name[lower(name)];
  const Class *old = std::exchange(bound, cls.release());
  if (old != nullptr) drop(old->value);
  return bound;
}

}  // namespace

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return out;
}

void make_root() {
  classes().root = make_class(nullptr, "zel$object", {}, true);
}

void release_class(Class *cls) noexcept {
  Classes &c = classes();
  next_epoch();
  --c.live;
  // Only the root has no parent, and it is permanent: a released class has one.
  const HostValue parent = cls->parent->value;
  const std::map<std::string, const void *> procedures = std::move(cls->procedures);
  delete cls;
  if (c.forget != nullptr) {
    for (const auto &[key, proc] : procedures) c.forget(proc);
  }
  drop(parent);
}

const void *global_procedure(const std::string &key) {
  auto &procedures = classes().procedures;
  auto it = procedures.find(key);
  return it == procedures.end() ? nullptr : it->second;
}

}  // namespace detail

using detail::classes;

Class *root() {
  start();
  return classes().root;
}

Class *find_class(std::string_view name) {
  start();
  auto &by_name = classes().by_name;
  auto it = by_name.find(detail::lower(name));
  return it == by_name.end() ? nullptr : it->second;
}

Class *define_class(Class *parent, std::string_view name, const std::vector<std::string> &ivars) {
  if (const Class *old = find_class(name); old != nullptr && detail::library_bound(name)) {
    throw ScriptError{"class " + old->name + " cannot be remade: the library has built-in methods for it"};
  }
  std::vector<std::string> all = parent->ivars;
  for (const std::string &iv : ivars) {
    if (std::find(all.begin(), all.end(), iv) != all.end()) {
      throw ScriptError{"class " + std::string(name) + ": instance variable " + iv + " defined twice"};
    }
    all.push_back(iv);
  }
  detail::next_epoch();
  return detail::make_class(parent, name, std::move(all), false);
}

std::vector<std::string> class_names() {
  start();
  std::vector<std::string> names;
  for (const auto &[key, cls] : classes().by_name) names.push_back(cls->name);
  return names;
}

size_t live_classes() {
  start();
  return classes().live;
}

void set_forget(ForgetHook forget) {
  classes().forget = forget;
}

HostValue &ivar(HostValue object, int32_t i) {
  return host::slot(object, i);
}

const void *define_procedure(Class *cls, std::string_view name, const void *proc) {
  detail::next_epoch();
  const std::string key = detail::lower(name);
  if (cls == nullptr) return std::exchange(classes().procedures[key], proc);
  return std::exchange(cls->procedures[key], proc);
}

}  // namespace zel::rt

extern "C" int32_t iv_index(const char *class_name, const char *var_name, int32_t zero) {
  const std::string cls_name = class_name == nullptr ? "" : class_name;
  const std::string var = var_name == nullptr ? "" : var_name;
  if (zel::rt::detail::recording()) zel::rt::detail::note_text("iv_index", cls_name + ", " + var);
  static_cast<void>(zero);
  const zel::rt::Class *cls = zel::rt::find_class(cls_name);
  if (cls == nullptr) return -1;
  auto it = std::find(cls->ivars.begin(), cls->ivars.end(), var);
  return it == cls->ivars.end() ? -1 : static_cast<int32_t>(it - cls->ivars.begin());
}

extern "C" int32_t obj_isa(HostValue value, const char *class_name) {
  const std::string name = class_name == nullptr ? "" : class_name;
  if (zel::rt::detail::recording()) zel::rt::detail::note_text("obj_isa", name);
  const std::string wanted = zel::rt::detail::lower(name);
  for (const zel::rt::Class *cls = zel::rt::class_of(value); cls != nullptr; cls = cls->parent) {
    if (zel::rt::detail::lower(cls->name) == wanted) return 1;
  }
  return 0;
}
