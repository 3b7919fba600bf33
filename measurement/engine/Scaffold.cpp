// SCAFFOLD: not committed.
#include "measurement/engine/QZMMeasurement.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/model/QZMUserAttribute.h"
void QZMMeasurement::setUserAttributeOnWorkerQueue(const QZMUserAttribute& a) { if (auto d = database()) (void)d->updateUserAttribute(a.stored()); }
void QZMMeasurement::removeUserAttributeOnWorkerQueue(const QZMUserAttribute& a) { if (auto d = database()) (void)d->deleteUserAttributeWithName(a.name()); }
