// Audiences: numbered sets of filters over events and user properties that
// the measurement configuration defines. QZMAudienceDefinitions.cpp
// validates a new configuration's audiences and replaces the stored filters
// with them, keeping the results of audiences that stay defined;
// QZMAudienceEvaluation.cpp evaluates the filters against events and user
// properties during bundling and hands each bundle the results.
//
// Worker queue only, as the database it works through.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/model/QZMEvent.h"
#include "measurement/model/QZMUserAttribute.h"
#include "measurement/model/audience/QZMAudienceFilters.h"
#include "measurement/model/audience/QZMAudienceTimestampsCache.h"
#include "platform/foundation/Error.h"

class QZMPBAudience;
class QZMPBAudienceLeafFilterResult;
class QZMPBUserAttribute;

// Error codes of a definition that is refused: the level at fault.
enum QZMAudienceDefinitionError : std::int64_t {
  kQZMAudienceDefinitionInvalidAudience = 9,
  kQZMAudienceDefinitionInvalidEventFilter = 10,
  kQZMAudienceDefinitionInvalidPropertyFilter = 11,
};

// Checks one audience as the configuration gives it (before any name is
// made internal) against the audiences accepted before it; the first fault
// found is the error. Filters of one audience share one set of filter IDs,
// each from 0 below maxFiltersPerAudience.
foundation::Status QZMValidateAudienceDefinition(const QZMPBAudience& audience,
                                                 const std::set<std::int32_t>& acceptedAudienceIDs,
                                                 const QZMRemoteConfig& remoteConfig);

class QZMAudience {
 public:
  static std::shared_ptr<QZMAudience> initWithDatabase(std::shared_ptr<QZMDatabase> database);
  explicit QZMAudience(std::shared_ptr<QZMDatabase> database) : database_(std::move(database)) {}

  // The configuration whose limits apply, read at each use; the shared
  // default until the engine sets its own.
  void setRemoteConfig(std::shared_ptr<QZMRemoteConfig> remoteConfig) { remoteConfig_ = std::move(remoteConfig); }
  const std::shared_ptr<QZMRemoteConfig>& remoteConfig() const { return remoteConfig_; }
  const std::shared_ptr<QZMDatabase>& database() const { return database_; }

  // Replaces the stored filters with those of the valid audiences (an
  // invalid one is left out and logged). Too many audiences change nothing
  // and succeed. Fails only when the database does: callers run it inside
  // the configuration's transaction, which then rolls back.
  foundation::Status updateAudiences(const std::vector<std::shared_ptr<QZMPBAudience>>& audiences);
  // Beyond maxFilterResultCount results, deletes those of audiences that
  // neither the stored filters nor the accepted IDs define.
  foundation::Status maybeDeleteStaleFilterResults(const std::set<std::int32_t>& acceptedAudienceIDs);

  // ---- Evaluation (QZMAudienceEvaluation.cpp) ----
  // A filter's result is true, false or not evaluated; a filter that cannot
  // be evaluated leaves its stored result as it is, so an event filter never
  // turns false by evaluation. Any failed database call fails the pass; the
  // results it had not saved yet are dropped. Without a cache a pass uses a
  // fresh one.

  foundation::Status evaluateFiltersForEvent(const QZMEvent& event, const QZMEventAggregates& eventAggregates,
                                             QZMAudienceTimestampsCache* audienceTimestampsCache);
  // The aggregates are those of the event's name, already counting it.
  foundation::Status evaluateFiltersForEventName(std::string_view eventName, const QZMParameters& eventParameters,
                                                 const QZMEventAggregates& eventAggregates, double eventTimestamp,
                                                 QZMAudienceTimestampsCache* audienceTimestampsCache);
  foundation::Status evaluateFiltersForUserProperty(const QZMUserAttribute& userProperty,
                                                    QZMAudienceTimestampsCache* audienceTimestampsCache,
                                                    double evaluationTimestamp);
  // Evaluated at the given time, else at the property's set time.
  foundation::Status evaluateFiltersForNanoUserProperty(const QZMPBUserAttribute& userProperty,
                                                        QZMAudienceTimestampsCache* audienceTimestampsCache,
                                                        std::optional<double> evaluationTime);
  // One result per audience with an evaluated filter, carrying the results
  // of the previous bundle only when they differ; the current results
  // become the previous ones. Empty when nothing was evaluated.
  foundation::Result<std::vector<std::shared_ptr<QZMPBAudienceLeafFilterResult>>> resultsForBundling();
  // Forgets the results of session-scoped filters (at a session start); an
  // audience with nothing else evaluated loses its stored result.
  foundation::Status clearEvaluationResultsForSessionScopedFilters();

  // Whether the result records the filter as evaluated and true.
  static bool isFilterResult(const QZMFilterResult* result, std::int32_t trueForFilterID);
  // The result with the filter's bits set to the evaluation (nullopt: not
  // evaluated) and the cache's timestamps of the audience; the previous
  // results stay.
  static QZMFilterResult updatedFilterResultWithFilterID(std::int32_t filterID, std::int32_t audienceID,
                                                         const QZMFilterResult* currentFilterResult,
                                                         std::optional<bool> newEvaluationResult,
                                                         QZMAudienceTimestampsCache* audienceTimestampsCache);

 private:
  std::shared_ptr<QZMDatabase> database_;
  std::shared_ptr<QZMRemoteConfig> remoteConfig_ = QZMRemoteConfig::defaultInstance();
};
