#include "measurement/experiments/QZMESnapshot.h"

#include "measurement/experiments/QZMEMonitor.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "platform/foundation/Clock.h"

std::optional<QZMESnapshot> QZMESnapshot::initWithSDKName(std::string_view SDKName,
                                                          const std::vector<QZMEExperiment>& experiments) {
  if (SDKName.empty()) {
    QZMEMonitor::shared()->logWithLevel(2, 840000, "Cannot create snapshot with an invalid SDK name");
    return std::nullopt;
  }
  QZMESnapshot snapshot{std::string(SDKName), foundation::now()};
  for (const QZMEExperiment& experiment : experiments) {
    snapshot.experimentsByID_.insert_or_assign(experiment.experimentID(), experiment);
  }
  return snapshot;
}

std::optional<QZMESnapshot> QZMESnapshot::initWithProtobuf(const QZMPBSnapshot& message) {
  std::vector<QZMEExperiment> experiments;
  if (auto items = NANOGetArray<QZMPBExperiment>(&message, QZMPBSnapshot::kExperiments)) {
    for (const auto& item : *items) experiments.push_back(QZMEExperiment::initWithProtobuf(*item));
  }
  return initWithSDKName(NANOGetString(&message, QZMPBSnapshot::kSdkName).value_or(""), experiments);
}

QZMEFlag QZMESnapshot::flagByName(std::string_view name) const {
  for (const auto& [id, experiment] : experimentsByID_) {
    if (QZMEFlag flag = experiment.flagWithName(name)) return flag;
  }
  return nullptr;
}

bool QZMESnapshot::addFlag(const QZMEFlag& flag, std::optional<std::int32_t> forExperimentID) {
  if (!forExperimentID) {
    QZMEMonitor::shared()->logWithLevel(2, 840003, "Cannot add flag into empty experiment ID");
    return false;
  }
  if (!flag) {
    QZMEMonitor::shared()->logWithLevel(2, 840004, "Cannot add an invalid flag into a snapshot", QZMLogContext());
    return false;
  }
  auto found = experimentsByID_.find(*forExperimentID);
  if (found != experimentsByID_.end()) return found->second.addFlag(flag);
  std::optional<QZMEExperiment> experiment = QZMEExperiment::initWithExperimentID(*forExperimentID, {});
  if (!experiment || !experiment->addFlag(flag)) return false;
  experimentsByID_.emplace(*forExperimentID, std::move(*experiment));
  return true;
}

bool QZMESnapshot::addFlags(const std::vector<QZMEFlag>& flags, std::int32_t forExperimentID) {
  bool all = true;
  for (const QZMEFlag& flag : flags) all = addFlag(flag, forExperimentID) && all;
  return all;
}

std::vector<QZMEExperiment> QZMESnapshot::experiments() const {
  std::vector<QZMEExperiment> all;
  all.reserve(experimentsByID_.size());
  for (const auto& [id, experiment] : experimentsByID_) all.push_back(experiment);
  return all;
}

std::unique_ptr<QZMPBSnapshot> QZMESnapshot::proto() const {
  std::unique_ptr<QZMPBSnapshot> message = QZMPBSnapshot::initWithBuffer({});
  if (!message || !NANOSetString(message.get(), QZMPBSnapshot::kSdkName, SDKName_)) return nullptr;
  NANOObjectArray items;
  items.reserve(experimentsByID_.size());
  for (const auto& [id, experiment] : experimentsByID_) {
    std::unique_ptr<QZMPBExperiment> item = experiment.proto();
    if (!item) return nullptr;
    items.emplace_back(std::shared_ptr<NANOMessageBase>(std::move(item)));
  }
  if (!NANOSetArray(message.get(), QZMPBSnapshot::kExperiments, &items)) return nullptr;
  return message;
}
