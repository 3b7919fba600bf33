// An event as event editing sees it: the interpreter's event object is made
// from, and read back into, these fields. Parameters are plain objects:
// strings, integer or floating numbers, and arrays of item dictionaries.
// Kept apart from QZMEvent so that the interpreter can use it without the
// model's library.
#pragma once

#include <string>

#include "platform/foundation/Object.h"

struct QZMEditEvent {
  std::string name;
  double timestamp = 0;
  foundation::Dictionary parameters;
};
