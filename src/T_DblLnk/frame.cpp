// The list method frame's tests: self holds a list, a key names an entry of
// it, an argument is a number.
#include <cstdio>

#include "T_DblLnk/dbllnk.h"
#include "objkit/trace.h"

namespace t_dbllnk {

// Only nil is what `create` has not yet replaced; anything else that is not
// a live list's GenObjHandle (a script assigned to `handle`) is refused with
// a line of its own rather than read as one.
void RefuseFrame(HostValue handle) {
  if (host::is_nil(handle)) {
    std::printf("Error : Object was not created properly\n");
  } else {
    std::printf("Error : Object does not hold a list\n");
  }
}

DblLnkItem *RefuseKey(const DblLnkList *holder) {
  if (holder == nullptr) {
    std::printf("Error : Key names an entry that has left its list\n");
  } else {
    std::printf("Error : Key does not name an entry of this list\n");
  }
  return nullptr;
}

// Floats outside the 32-bit range (and NaN) are refused like other values,
// since truncating them has no defined result.
bool NumberArgument(HostValue arg, const char *error, int32_t &value) {
  if (host::has_type(arg, host::kFloat)) {
    const double number = host::float_of(arg);
    if (!(number > -2147483649.0 && number < 2147483648.0)) {
      std::printf("%s", error);
      return false;
    }
  }
  return objkit::ReadNumber(arg, error, value);
}

}  // namespace t_dbllnk
