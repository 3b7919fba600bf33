// Audiences: numbered sets of filters over events and user properties that
// the measurement configuration defines. This part validates a new
// configuration's audiences and replaces the stored filters with them,
// keeping the results of audiences that stay defined.
//
// Worker queue only, as the database it works through.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/foundation/QZMDatabase.h"
#include "platform/foundation/Error.h"

class QZMPBAudience;

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

 private:
  std::shared_ptr<QZMDatabase> database_;
  std::shared_ptr<QZMRemoteConfig> remoteConfig_ = QZMRemoteConfig::defaultInstance();
};
