#include "measurement/foundation/QZMLogContext.h"

bool QZMLogContext::isNil() const {
  const foundation::Object* o = object();
  return o && o->isNull();
}

const std::string* QZMLogContext::otherDescription() const {
  const Described* described = std::get_if<Described>(&value_);
  return described ? &described->description : nullptr;
}
