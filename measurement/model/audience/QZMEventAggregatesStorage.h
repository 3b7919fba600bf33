// Event aggregates as the database's "events" rows hold them.
#pragma once

#include <optional>

#include "measurement/foundation/QZMDatabase.h"
#include "measurement/model/QZMEvent.h"

// nullopt for a row whose name or counts the aggregates refuse.
std::optional<QZMEventAggregates> QZMEventAggregatesFromStored(const QZMStoredEventAggregates& stored);
QZMStoredEventAggregates QZMStoredEventAggregatesFrom(const QZMEventAggregates& aggregates);
