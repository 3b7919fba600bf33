// Evaluation of the stored audience filters against the events and user
// properties of a bundle, and the results handed to the bundle. An
// audience's state is its QZMPBResultData: per filter a status bit
// (evaluated) and a result bit (true), and the times at which dynamic,
// session-scoped and sequence filters were true.
#include <algorithm>
#include <functional>
#include <map>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/model/QZMEventNames.h"
#include "measurement/model/audience/QZMAudience.h"
#include "measurement/model/audience/QZMAudienceFilterEvaluation.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

using foundation::Data;
using foundation::Result;
using foundation::Status;

namespace {

std::shared_ptr<QZMMonitor> monitor() { return QZMMeasurementBase::monitor(); }

// nullptr for no data or data that does not decode.
std::unique_ptr<QZMPBResultData> decodedResultData(const Data& data) {
  if (data.empty()) return nullptr;
  return QZMPBResultData::initWithBuffer(data);
}

Data encoded(const QZMPBResultData& data) { return data.protoBuffer().value_or(Data()); }

template <class M>
NANOObjectArray objects(const std::vector<std::shared_ptr<M>>& messages) {
  NANOObjectArray items;
  for (const auto& message : messages) items.emplace_back(std::shared_ptr<NANOMessageBase>(message));
  return items;
}

template <class M>
std::vector<std::shared_ptr<M>> messageList(const QZMPBResultData* data, std::int32_t field) {
  if (!data) return {};
  return NANOGetArray<M>(data, field).value_or(std::vector<std::shared_ptr<M>>{});
}

// Keeps the timestamp entries whose filter the predicate does not drop.
template <class M>
void dropTimestampEntries(QZMPBResultData* data, std::int32_t field, std::int32_t filterIDField,
                          const std::vector<std::int32_t>& filterIDs) {
  auto entries = messageList<M>(data, field);
  std::erase_if(entries, [&](const std::shared_ptr<M>& entry) {
    return std::find(filterIDs.begin(), filterIDs.end(), NANOGetInt32(entry.get(), filterIDField)) != filterIDs.end();
  });
  NANOObjectArray items = objects(entries);
  NANOSetArray(data, field, &items);
}

// What tells one evaluation pass from the other: its log codes and texts.
struct PassTexts {
  std::int64_t queryFiltersCode;
  const char* queryFilters;
  std::int64_t queryResultCode;
  const char* queryResult;
  std::int64_t saveCode;
  const char* save;
};

constexpr PassTexts kEventPass{
    6000, "Unable to query event filters for event. Event will not be evaluated. Event name, error",
    6001, "Unable to query filter result for audience. Event will not be evaluated. Event name, error",
    6003, "Unable to save updated Audience filter results. Event will not be evaluated. Event name, error"};
constexpr PassTexts kPropertyPass{
    6004, "Unable to query property filters for property. Property will not be evaluated. Property name, error",
    6005, "Unable to query filter result for audience. Property will not be evaluated. Property name, error",
    6007,
    "Unable to save updated Audience filter results. User property will not be evaluated. User property name, error"};

// One pass over the filters of one event or property. evaluate answers the
// filter's evaluation (nullopt: skip it); settle turns a true-or-false
// answer into the result to store.
template <class Filter>
Status evaluatePass(QZMDatabase& database, const std::vector<Filter>& filters, const PassTexts& texts,
                    const std::string& subject, double timestamp, QZMAudienceTimestampsCache* cache,
                    const std::function<std::optional<bool>(const Filter&, bool wasTrue)>& evaluate,
                    const std::function<bool(const Filter&, bool result, bool wasTrue)>& settle) {
  QZMAudienceTimestampsCache passCache;
  if (!cache) cache = &passCache;
  std::map<std::int32_t, QZMFilterResult> updated;
  std::map<std::int32_t, std::optional<QZMFilterResult>> loaded;
  for (const Filter& filter : filters) {
    const std::int32_t audienceID = filter.audienceID();
    const QZMFilterResult* current = nullptr;
    if (auto found = updated.find(audienceID); found != updated.end()) {
      current = &found->second;
    } else {
      auto cached = loaded.find(audienceID);
      if (cached == loaded.end()) {
        auto stored = database.filterResultForAudienceID(audienceID);
        if (!stored) {
          monitor()->logWithLevel(1, texts.queryResultCode, texts.queryResult, subject, stored.error());
          return stored.error();
        }
        std::optional<QZMFilterResult> result;
        if (*stored) result = QZMFilterResult::fromStored(**stored);
        cached = loaded.emplace(audienceID, std::move(result)).first;
      }
      if (cached->second) current = &*cached->second;
    }
    const bool wasTrue = QZMAudience::isFilterResult(current, filter.filterID());
    if (!QZMShouldEvaluateFilter(filter, wasTrue)) continue;
    std::optional<bool> evaluation = evaluate(filter, wasTrue);
    if (!evaluation) continue;
    cache->populateCachedTimestamps(current, audienceID);
    if (*evaluation) cache->addEvaluationTimestamp(timestamp, filter);
    QZMFilterResult next = QZMAudience::updatedFilterResultWithFilterID(
        filter.filterID(), audienceID, current, settle(filter, *evaluation, wasTrue), cache);
    loaded.erase(audienceID);
    updated.insert_or_assign(audienceID, std::move(next));
  }
  if (updated.empty()) return {};
  std::vector<QZMStoredFilterResult> results;
  for (const auto& [audienceID, result] : updated) results.push_back(result.stored());
  if (Status saved = database.updateFilterResults(results); !saved) {
    monitor()->logWithLevel(1, texts.saveCode, texts.save, subject, saved.error());
    return saved;
  }
  return {};
}

}  // namespace

Status QZMAudience::evaluateFiltersForEvent(const QZMEvent& event, const QZMEventAggregates& eventAggregates,
                                            QZMAudienceTimestampsCache* audienceTimestampsCache) {
  return evaluateFiltersForEventName(event.name(), event.parameters(), eventAggregates, event.timestamp(),
                                     audienceTimestampsCache);
}

Status QZMAudience::evaluateFiltersForEventName(std::string_view eventName, const QZMParameters& eventParameters,
                                                const QZMEventAggregates& eventAggregates, double eventTimestamp,
                                                QZMAudienceTimestampsCache* audienceTimestampsCache) {
  const std::string subject = QZMEventNameForLogging(eventName);
  auto stored = database_->eventFiltersForEventName(eventName);
  if (!stored) {
    monitor()->logWithLevel(1, kEventPass.queryFiltersCode, kEventPass.queryFilters, subject, stored.error());
    return stored.error();
  }
  std::vector<QZMEventFilter> filters;
  for (const auto& filter : *stored) filters.push_back(QZMEventFilter::fromStored(filter));
  return evaluatePass<QZMEventFilter>(
      *database_, filters, kEventPass, subject, eventTimestamp, audienceTimestampsCache,
      [&](const QZMEventFilter& filter, bool) {
        return QZMEvaluateStoredEventFilter(filter, eventParameters, eventAggregates);
      },
      // An event that was counted stays counted.
      [](const QZMEventFilter&, bool result, bool wasTrue) { return result || wasTrue; });
}

Status QZMAudience::evaluateFiltersForUserProperty(const QZMUserAttribute& userProperty,
                                                   QZMAudienceTimestampsCache* audienceTimestampsCache,
                                                   double evaluationTimestamp) {
  const std::string subject = QZMUserPropertyNameForLogging(userProperty.name());
  auto stored = database_->propertyFiltersForPropertyName(userProperty.name());
  if (!stored) {
    monitor()->logWithLevel(1, kPropertyPass.queryFiltersCode, kPropertyPass.queryFilters, subject, stored.error());
    return stored.error();
  }
  std::vector<QZMPropertyFilter> filters;
  for (const auto& filter : *stored) filters.push_back(QZMPropertyFilter::fromStored(filter));
  return evaluatePass<QZMPropertyFilter>(
      *database_, filters, kPropertyPass, subject, evaluationTimestamp, audienceTimestampsCache,
      [&](const QZMPropertyFilter& filter, bool wasTrue) {
        return QZMEvaluateStoredPropertyFilter(wasTrue, filter, userProperty);
      },
      [](const QZMPropertyFilter& filter, bool result, bool wasTrue) {
        return QZMShouldTakePropertyResult(filter, result) ? result : wasTrue;
      });
}

Status QZMAudience::evaluateFiltersForNanoUserProperty(const QZMPBUserAttribute& userProperty,
                                                       QZMAudienceTimestampsCache* audienceTimestampsCache,
                                                       std::optional<double> evaluationTime) {
  auto attribute = QZMUserAttributeFromNanoUserProperty(userProperty);
  if (!attribute) {
    monitor()->logWithLevel(2, 6039, "Could not convert user property from nano format.");
    return qzm_errorWithCode(1, "Could not convert user property from nano format.");
  }
  return evaluateFiltersForUserProperty(*attribute, audienceTimestampsCache,
                                        evaluationTime.value_or(attribute->lastSetTimestamp()));
}

bool QZMAudience::isFilterResult(const QZMFilterResult* result, std::int32_t trueForFilterID) {
  if (!result || result->currentResults().empty()) return false;
  auto data = decodedResultData(result->currentResults());
  auto count = [&](std::int32_t field) {
    return data ? NANOGetArray(data.get(), field).value_or(NANOObjectArray{}).size() : 0;
  };
  if (count(QZMPBResultData::kStatus) == 0 || count(QZMPBResultData::kResults) == 0) {
    monitor()->logWithLevel(2, 6023,
                            "Audience filter result is non-nil and is missing status or results array. Audience "
                            "result will not be bundled. Audience ID, result data",
                            result->audienceID(), result->currentResults());
    return false;
  }
  return QZMFilterResultWords::fromResultData(data.get()).isTrue(trueForFilterID);
}

QZMFilterResult QZMAudience::updatedFilterResultWithFilterID(std::int32_t filterID, std::int32_t audienceID,
                                                             const QZMFilterResult* currentFilterResult,
                                                             std::optional<bool> newEvaluationResult,
                                                             QZMAudienceTimestampsCache* audienceTimestampsCache) {
  std::unique_ptr<QZMPBResultData> current;
  if (currentFilterResult) current = decodedResultData(currentFilterResult->currentResults());
  auto words = QZMFilterResultWords::fromResultData(current.get());
  // Setting grows both lists to the filter's word; no answer then clears.
  words.setResult(filterID, newEvaluationResult.value_or(false));
  if (!newEvaluationResult) words.clearResult(filterID);

  std::unique_ptr<QZMPBResultData> next = QZMPBResultData::initWithBuffer({});
  words.writeTo(next.get());
  if (audienceTimestampsCache) {
    NANOObjectArray dynamic = objects(audienceTimestampsCache->dynamicTimestampsForAudienceID(audienceID));
    NANOSetArray(next.get(), QZMPBResultData::kDynamicFilterTimestamps, &dynamic);
    if (auto sequence = audienceTimestampsCache->sequenceTimestampsForAudienceID(audienceID)) {
      NANOObjectArray items = objects(*sequence);
      NANOSetArray(next.get(), QZMPBResultData::kSequenceFilterTimestamps, &items);
    }
  }
  return QZMFilterResult(audienceID, encoded(*next),
                         currentFilterResult ? currentFilterResult->previousResults() : Data());
}

Result<std::vector<std::shared_ptr<QZMPBAudienceLeafFilterResult>>> QZMAudience::resultsForBundling() {
  auto all = database_->allFilterResults();
  if (!all) {
    monitor()->logWithLevel(1, 6019, "Unable to query Audience filter results. Audience results will not be bundled. Error",
                            all.error());
    return all.error();
  }
  std::vector<std::shared_ptr<QZMPBAudienceLeafFilterResult>> leaves;
  std::vector<QZMStoredFilterResult> bundled;
  for (const auto& [audienceID, stored] : *all) {
    auto current = decodedResultData(stored.currentResults);
    if (!current) {
      monitor()->logWithLevel(2, 6020, "Current result data is nil. Audience result will not be bundled. Audience ID",
                              audienceID);
      continue;
    }
    if (QZMFilterResultWords::fromResultData(current.get()).isEmpty()) {
      monitor()->logWithLevel(2, 6021, "Current result status is 0. Audience result will not be bundled. Audience ID",
                              audienceID);
      continue;
    }
    std::shared_ptr<QZMPBAudienceLeafFilterResult> leaf = QZMPBAudienceLeafFilterResult::initWithBuffer({});
    NANOSetInt32(leaf.get(), QZMPBAudienceLeafFilterResult::kAudienceId, audienceID);
    if (!stored.previousResults.empty()) {
      NANOSetBool(leaf.get(), QZMPBAudienceLeafFilterResult::kNewAudience, false);
      auto previous = decodedResultData(stored.previousResults);
      if (previous && encoded(*previous) == encoded(*current)) {
        // Unchanged since the last bundle: no previous copy, and the first
        // sequence filter keeps only its latest time.
        auto sequence = messageList<QZMPBSequenceFilterResultTimestamp>(
            current.get(), QZMPBResultData::kSequenceFilterTimestamps);
        if (!sequence.empty()) {
          auto& first = sequence.front();
          auto times = NANOGetArray(first.get(), QZMPBSequenceFilterResultTimestamp::kEvalTimestamps)
                           .value_or(NANOObjectArray{});
          if (times.size() >= 2) {
            NANOObjectArray last{times.back()};
            NANOSetArray(first.get(), QZMPBSequenceFilterResultTimestamp::kEvalTimestamps, &last);
            NANOObjectArray items = objects(sequence);
            NANOSetArray(current.get(), QZMPBResultData::kSequenceFilterTimestamps, &items);
          }
        }
      } else if (previous) {
        NANOSetMessage(leaf.get(), QZMPBAudienceLeafFilterResult::kPreviousData, previous.get());
      }
    } else {
      NANOSetBool(leaf.get(), QZMPBAudienceLeafFilterResult::kNewAudience, true);
    }
    NANOSetMessage(leaf.get(), QZMPBAudienceLeafFilterResult::kCurrentData, current.get());
    leaves.push_back(std::move(leaf));
    bundled.push_back({audienceID, encoded(*current), stored.currentResults});
  }
  // An app without evaluated audiences has nothing to save, which is no
  // failure.
  if (bundled.empty()) return leaves;
  if (Status saved = database_->updateFilterResults(bundled); !saved) {
    monitor()->logWithLevel(1, 6022,
                            "Unable to save updated Audience filter results. Audience results will not be bundled. Error",
                            saved.error());
    return saved.error();
  }
  return leaves;
}

Status QZMAudience::clearEvaluationResultsForSessionScopedFilters() {
  auto scoped = database_->allSessionScopedFilters();
  if (!scoped) {
    monitor()->logWithLevel(
        1, 6040, "Unable to query all session scoped filters. Session scoped results will not be cleared. Error",
        scoped.error());
    return scoped.error();
  }
  auto all = database_->allFilterResults();
  if (!all) {
    monitor()->logWithLevel(1, 6041,
                            "Unable to query all filter results. Session scoped results will not be cleared. Error",
                            all.error());
    return all.error();
  }
  for (const auto& [audienceID, filterIDs] : *scoped) {
    auto stored = all->find(audienceID);
    if (stored == all->end()) continue;
    auto current = decodedResultData(stored->second.currentResults);
    auto words = QZMFilterResultWords::fromResultData(current.get());
    for (std::int32_t filterID : filterIDs) words.clearResult(filterID);
    if (words.isEmpty()) {
      if (Status deleted = database_->deleteFilterResults({stored->second}); !deleted) {
        monitor()->logWithLevel(1, 6042,
                                "Unable to delete filter results. Session scoped results will not be cleared. Error",
                                deleted.error());
        return deleted;
      }
      continue;
    }
    // Words remain, so the stored data decoded.
    words.writeTo(current.get());
    dropTimestampEntries<QZMPBDynamicFilterResultTimestamp>(current.get(), QZMPBResultData::kDynamicFilterTimestamps,
                                                            QZMPBDynamicFilterResultTimestamp::kFilterId, filterIDs);
    dropTimestampEntries<QZMPBSequenceFilterResultTimestamp>(
        current.get(), QZMPBResultData::kSequenceFilterTimestamps, QZMPBSequenceFilterResultTimestamp::kFilterId,
        filterIDs);
    if (Status saved =
            database_->updateFilterResults({{audienceID, encoded(*current), stored->second.currentResults}});
        !saved) {
      monitor()->logWithLevel(2, 6043,
                              "Unable to update filter results. Session scoped results will not be cleared. Error",
                              saved.error());
      return saved;
    }
  }
  return {};
}
