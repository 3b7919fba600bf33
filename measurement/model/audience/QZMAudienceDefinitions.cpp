// Validating a configuration's audience definitions and storing them as
// event and property filters under internal names.
#include "absl/strings/str_cat.h"
#include "measurement/foundation/QZMAbslView.h"
#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/model/QZMEventNames.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/model/audience/QZMAudience.h"
#include "measurement/model/audience/QZMAudienceFilters.h"
#include "measurement/model/audience/QZMFilterComparisons.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

using foundation::Status;

namespace {

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurementBase::monitor(); }

template <class M>
std::vector<std::shared_ptr<M>> messages(const NANOMessageBase& message, std::int32_t field) {
  return NANOGetArray<M>(&message, field).value_or(std::vector<std::shared_ptr<M>>{});
}

bool hasText(const NANOMessageBase* message, std::int32_t field) {
  if (!NANOHasField(message, field)) return false;
  auto text = NANOGetString(message, field);
  return text && !text->empty();
}

Status refuse(QZMAudienceDefinitionError code, std::string_view description) {
  return qzm_errorWithCode(code, std::string(description));
}

// A parameter filter or a property's filter: exactly one of a number and a
// string filter, and that one valid.
Status checkFilter(const QZMPBFilter& filter, QZMAudienceDefinitionError code, std::string_view kind) {
  const bool hasString = NANOHasField(&filter, QZMPBFilter::kStringFilter);
  const bool hasNumber = NANOHasField(&filter, QZMPBFilter::kNumberFilter);
  if (hasString == hasNumber)
    return refuse(code, absl::StrCat(QZMAbslView(kind), " filter must have exactly one of number or string filter"));
  if (hasNumber) {
    auto number = NANOGetMessage<QZMPBNumberFilter>(&filter, QZMPBFilter::kNumberFilter);
    if (!QZMIsValidNumberFilter(number.get())) return refuse(code, absl::StrCat(QZMAbslView(kind), " filter has invalid number filter"));
  } else {
    auto string = NANOGetMessage<QZMPBStringFilter>(&filter, QZMPBFilter::kStringFilter);
    if (!QZMIsValidStringFilter(string.get())) return refuse(code, absl::StrCat(QZMAbslView(kind), " filter has invalid string filter"));
  }
  return {};
}

// The ID must lie within the audience's range and be new to it.
Status checkFilterID(const NANOMessageBase& filter, std::int32_t idField, std::int32_t maxFilters,
                     std::set<std::int32_t>& usedIDs, QZMAudienceDefinitionError code, std::string_view kind) {
  if (!NANOHasField(&filter, idField)) return refuse(code, absl::StrCat("Missing ", QZMAbslView(kind), " filter ID"));
  const std::int32_t id = NANOGetInt32(&filter, idField);
  // Held below the bit words' range too: an ID becomes a shift and an index.
  if (id < 0 || id >= maxFilters || id >= QZMFilterResultWords::kMaxFilterID)
    return refuse(code, absl::StrCat(kind == "event" ? "Event" : "Property", " filter ID is out of range"));
  if (!usedIDs.insert(id).second)
    return refuse(code, absl::StrCat("Duplicate ", QZMAbslView(kind), " filter ID"));
  return {};
}

Status checkEventFilter(const QZMPBEventFilter& filter, const QZMRemoteConfig& config,
                        std::set<std::int32_t>& usedIDs) {
  constexpr auto code = kQZMAudienceDefinitionInvalidEventFilter;
  if (!hasText(&filter, QZMPBEventFilter::kEventName)) return refuse(code, "Event filter missing event name");
  if (Status id = checkFilterID(filter, QZMPBEventFilter::kFilterId, config.maxFiltersPerAudience(), usedIDs, code,
                                "event");
      !id)
    return id;
  if (NANOHasField(&filter, QZMPBEventFilter::kEventCountFilter)) {
    auto count = NANOGetMessage<QZMPBNumberFilter>(&filter, QZMPBEventFilter::kEventCountFilter);
    if (NANOGetBool(count.get(), QZMPBNumberFilter::kIsFloat))
      return refuse(code, "Event filter has float event count filter");
    if (!QZMIsValidNumberFilter(count.get())) return refuse(code, "Event filter has invalid event count filter");
  }
  auto parameterFilters = messages<QZMPBFilter>(filter, QZMPBEventFilter::kFilters);
  if (parameterFilters.size() > static_cast<std::size_t>(std::max(config.maxParametersPerFilter(), 0)))
    return refuse(code, "Event filter parameters filters count out of range");
  for (const auto& parameterFilter : parameterFilters) {
    if (!hasText(parameterFilter.get(), QZMPBFilter::kParamName))
      return refuse(code, "Event filter missing parameter name");
    if (Status checked = checkFilter(*parameterFilter, code, "Event"); !checked) return checked;
  }
  return {};
}

Status checkPropertyFilter(const QZMPBPropertyFilter& filter, const QZMRemoteConfig& config,
                           std::set<std::int32_t>& usedIDs) {
  constexpr auto code = kQZMAudienceDefinitionInvalidPropertyFilter;
  if (!hasText(&filter, QZMPBPropertyFilter::kPropertyName))
    return refuse(code, "Property filter missing property name");
  if (Status id = checkFilterID(filter, QZMPBPropertyFilter::kFilterId, config.maxFiltersPerAudience(), usedIDs,
                                code, "property");
      !id)
    return id;
  auto inner = NANOGetMessage<QZMPBFilter>(&filter, QZMPBPropertyFilter::kFilter);
  if (!inner) return refuse(code, "Property filter has no filter");
  return checkFilter(*inner, code, "Property");
}

// The name's internal form when the map has one.
std::string internalName(const QZMNameMap& map, const std::string& name) {
  auto found = map.find(name);
  return found == map.end() ? name : found->second;
}

std::int64_t audienceIDOf(const QZMPBAudience& audience) {
  return NANOGetInt32(&audience, QZMPBAudience::kAudienceId);
}

}  // namespace

Status QZMValidateAudienceDefinition(const QZMPBAudience& audience, const std::set<std::int32_t>& acceptedAudienceIDs,
                                     const QZMRemoteConfig& remoteConfig) {
  constexpr auto code = kQZMAudienceDefinitionInvalidAudience;
  if (!NANOHasField(&audience, QZMPBAudience::kAudienceId)) return refuse(code, "Missing audience ID");
  const std::int32_t audienceID = NANOGetInt32(&audience, QZMPBAudience::kAudienceId);
  if (audienceID < 0) return refuse(code, "Audience ID is negative");
  if (acceptedAudienceIDs.count(audienceID)) return refuse(code, "Duplicate audience ID");
  if (!NANOHasField(&audience, QZMPBAudience::kEventFilters) && !NANOHasField(&audience, QZMPBAudience::kPropertyFilters))
    return refuse(code, "Audience missing filters arrays");
  auto eventFilters = messages<QZMPBEventFilter>(audience, QZMPBAudience::kEventFilters);
  auto propertyFilters = messages<QZMPBPropertyFilter>(audience, QZMPBAudience::kPropertyFilters);
  const std::size_t count = eventFilters.size() + propertyFilters.size();
  if (count < 1 || count > static_cast<std::size_t>(std::max(remoteConfig.maxFiltersPerAudience(), 0)))
    return refuse(code, "Audience filter count out of range");

  std::set<std::int32_t> usedIDs;
  for (const auto& filter : eventFilters) {
    if (Status checked = checkEventFilter(*filter, remoteConfig, usedIDs); !checked) return checked;
  }
  for (const auto& filter : propertyFilters) {
    if (Status checked = checkPropertyFilter(*filter, remoteConfig, usedIDs); !checked) return checked;
  }
  return {};
}

std::shared_ptr<QZMAudience> QZMAudience::initWithDatabase(std::shared_ptr<QZMDatabase> database) {
  return std::make_shared<QZMAudience>(std::move(database));
}

Status QZMAudience::updateAudiences(const std::vector<std::shared_ptr<QZMPBAudience>>& audiences) {
  const std::shared_ptr<QZMRemoteConfig> config = remoteConfig_;
  if (audiences.size() > static_cast<std::size_t>(std::max(config->maxAudienceCount(), 0))) {
    monitor()->logWithLevel(
        2, 6008, "Configuration contains too many audiences. Audiences will not be saved. Audience count",
        static_cast<std::int64_t>(audiences.size()));
    return {};
  }

  std::set<std::int32_t> accepted;
  std::vector<QZMStoredAudienceFilter> eventRecords;
  std::vector<QZMStoredAudienceFilter> propertyRecords;
  for (const auto& audience : audiences) {
    if (!audience) continue;
    if (Status valid = QZMValidateAudienceDefinition(*audience, accepted, *config); !valid) {
      monitor()->logWithLevel(2, 6009, "Audience definition is invalid. Audience will not be saved. Audience, error",
                              QZMLogContext::describing(absl::StrCat("<QZMPBAudience ", audienceIDOf(*audience), ">")),
                              valid.error());
      continue;
    }
    const std::int32_t audienceID = NANOGetInt32(audience.get(), QZMPBAudience::kAudienceId);
    accepted.insert(audienceID);

    for (const auto& filter : messages<QZMPBEventFilter>(*audience, QZMPBAudience::kEventFilters)) {
      std::string eventName =
          internalName(QZMPublicToInternalEventNameMap(), *NANOGetString(filter.get(), QZMPBEventFilter::kEventName));
      NANOSetString(filter.get(), QZMPBEventFilter::kEventName, eventName);
      auto parameterFilters = messages<QZMPBFilter>(*filter, QZMPBEventFilter::kFilters);
      bool renamed = false;
      NANOObjectArray items;
      for (const auto& parameterFilter : parameterFilters) {
        std::string name = *NANOGetString(parameterFilter.get(), QZMPBFilter::kParamName);
        std::string internal = internalName(QZMInternalParameterNameMap(), name);
        if (internal != name) {
          NANOSetString(parameterFilter.get(), QZMPBFilter::kParamName, internal);
          renamed = true;
        }
        items.emplace_back(std::shared_ptr<NANOMessageBase>(parameterFilter));
      }
      if (renamed) NANOSetArray(filter.get(), QZMPBEventFilter::kFilters, &items);
      eventRecords.push_back(QZMEventFilter(audienceID, NANOGetInt32(filter.get(), QZMPBEventFilter::kFilterId),
                                            eventName, filter->protoBuffer().value_or(foundation::Data{}),
                                            NANOGetBool(filter.get(), QZMPBEventFilter::kSessionScoped),
                                            NANOGetBool(filter.get(), QZMPBEventFilter::kDynamic),
                                            NANOGetBool(filter.get(), QZMPBEventFilter::kSequence))
                                 .stored());
    }
    for (const auto& filter : messages<QZMPBPropertyFilter>(*audience, QZMPBAudience::kPropertyFilters)) {
      std::string propertyName = internalName(QZMInternalUserPropertyNameMap(),
                                              *NANOGetString(filter.get(), QZMPBPropertyFilter::kPropertyName));
      NANOSetString(filter.get(), QZMPBPropertyFilter::kPropertyName, propertyName);
      propertyRecords.push_back(QZMPropertyFilter(audienceID,
                                                  NANOGetInt32(filter.get(), QZMPBPropertyFilter::kFilterId),
                                                  propertyName, filter->protoBuffer().value_or(foundation::Data{}),
                                                  NANOGetBool(filter.get(), QZMPBPropertyFilter::kSessionScoped),
                                                  NANOGetBool(filter.get(), QZMPBPropertyFilter::kDynamic),
                                                  NANOGetBool(filter.get(), QZMPBPropertyFilter::kSequence))
                                    .stored());
    }
  }

  if (Status cleaned = maybeDeleteStaleFilterResults(accepted); !cleaned) return cleaned;
  if (Status deleted = database_->deleteAllEventFilters(); !deleted) {
    monitor()->logWithLevel(1, 6010, "Unable to delete existing Audience event filters. Audiences will not be saved. Error",
                            deleted.error());
    return deleted;
  }
  if (Status deleted = database_->deleteAllPropertyFilters(); !deleted) {
    monitor()->logWithLevel(
        1, 6011, "Unable to delete existing Audience user property filters. Audiences will not be saved. Error",
        deleted.error());
    return deleted;
  }
  if (!eventRecords.empty()) {
    if (Status saved = database_->updateEventFilters(eventRecords); !saved) {
      monitor()->logWithLevel(1, 6012, "Unable to save Audience event filters. Audiences will not be saved. Error",
                              saved.error());
      return saved;
    }
  }
  if (!propertyRecords.empty()) {
    if (Status saved = database_->updatePropertyFilters(propertyRecords); !saved) {
      monitor()->logWithLevel(
          1, 6013, "Unable to save Audience user property filters. Audiences will not be saved. Error", saved.error());
      return saved;
    }
  }
  return {};
}

Status QZMAudience::maybeDeleteStaleFilterResults(const std::set<std::int32_t>& acceptedAudienceIDs) {
  auto results = database_->allFilterResults();
  if (!results) {
    monitor()->logWithLevel(1, 6015, "Unable to query Audience filter results. Audiences will not be saved. Error",
                            results.error());
    return results.error();
  }
  const std::int32_t maxResults = remoteConfig_->maxFilterResultCount();
  if (results->size() <= static_cast<std::size_t>(std::max(maxResults, 0))) return {};
  monitor()->logWithLevel(3, 6016,
                          "Too many Audience filter results. Deleting filter results for deleted Audiences. Filter "
                          "result count, max filter result count",
                          static_cast<std::int64_t>(results->size()), maxResults);
  auto storedIDs = database_->allAudienceIDs();
  if (!storedIDs) {
    monitor()->logWithLevel(1, 6017, "Unable to query current Audience IDs. Audiences will not be saved. Error",
                            storedIDs.error());
    return storedIDs.error();
  }
  for (std::int32_t id : *storedIDs) results->erase(id);
  for (std::int32_t id : acceptedAudienceIDs) results->erase(id);
  // Nothing stale is nothing to delete, not a failure of the new configuration.
  if (results->empty()) return {};
  std::vector<QZMStoredFilterResult> stale;
  for (auto& [id, result] : *results) stale.push_back(std::move(result));
  if (Status deleted = database_->deleteFilterResults(stale); !deleted) {
    monitor()->logWithLevel(1, 6018, "Unable to delete stale Audience filter results. Audiences will not be saved. Error",
                            deleted.error());
    return deleted;
  }
  return {};
}
