#include "measurement/experiments/QZMEExperiment.h"

#include "measurement/experiments/QZMEMonitor.h"
#include "measurement/proto/NANOFieldAccess.h"

std::optional<std::string> QZMEFlagName(const QZMEFlag& flag) {
  if (!flag) return std::nullopt;
  return NANOGetString(flag.get(), QZMPBFlag::kName);
}

std::optional<QZMEExperiment> QZMEExperiment::initWithExperimentID(std::int32_t experimentID,
                                                                   const std::vector<QZMEFlag>& flags) {
  QZMEExperiment experiment(experimentID);
  for (const QZMEFlag& flag : flags) {
    if (!flag) {
      QZMEMonitor::shared()->logWithLevel(2, 870003, "Cannot add non-flag into the experiment. Flag", QZMLogContext());
      return std::nullopt;
    }
    experiment.addFlag(flag);
  }
  return experiment;
}

QZMEExperiment QZMEExperiment::initWithProtobuf(const QZMPBExperiment& message) {
  QZMEExperiment experiment(NANOGetInt32(&message, QZMPBExperiment::kExperimentId));
  if (auto flags = NANOGetArray<QZMPBFlag>(&message, QZMPBExperiment::kFlags)) {
    for (auto& flag : *flags) experiment.addFlag(std::move(flag));
  }
  return experiment;
}

bool QZMEExperiment::addFlag(const QZMEFlag& flag) {
  if (!flag) {
    QZMEMonitor::shared()->logWithLevel(2, 870004, "Cannot add empty flag into an experiment. ID", experimentID_);
    return false;
  }
  std::optional<std::string> name = QZMEFlagName(flag);
  if (!name || name->empty()) {
    QZMEMonitor::shared()->logWithLevel(2, 870006, "Cannot add a flag without name into an experiment. ID",
                                        experimentID_);
    return false;
  }
  flagsByName_[*name] = flag;
  return true;
}

QZMEFlag QZMEExperiment::flagWithName(std::string_view name) const {
  if (name.empty()) {
    QZMEMonitor::shared()->logWithLevel(2, 870007, "Cannot retrieve a flag without a flag name");
    return nullptr;
  }
  auto found = flagsByName_.find(name);
  return found == flagsByName_.end() ? nullptr : found->second;
}

std::vector<QZMEFlag> QZMEExperiment::flags() const {
  std::vector<QZMEFlag> all;
  all.reserve(flagsByName_.size());
  for (const auto& [name, flag] : flagsByName_) all.push_back(flag);
  return all;
}

std::unique_ptr<QZMPBExperiment> QZMEExperiment::proto() const {
  std::unique_ptr<QZMPBExperiment> message = QZMPBExperiment::initWithBuffer({});
  if (!message) return nullptr;
  NANOSetInt32(message.get(), QZMPBExperiment::kExperimentId, experimentID_);
  NANOObjectArray items;
  items.reserve(flagsByName_.size());
  // The array is copied into the message; the flags themselves stay untouched.
  for (const auto& [name, flag] : flagsByName_) items.emplace_back(std::const_pointer_cast<QZMPBFlag>(flag));
  if (!NANOSetArray(message.get(), QZMPBExperiment::kFlags, &items)) return nullptr;
  return message;
}
