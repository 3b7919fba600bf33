#include "measurement/model/audience/QZMAudienceFilters.h"

#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

struct Flags {
  bool sessionScoped = false;
  bool dynamic = false;
  bool sequence = false;
};

template <class M>
Flags flagsOf(const foundation::Data& data, std::int32_t sessionScoped, std::int32_t dynamic, std::int32_t sequence) {
  std::unique_ptr<M> message = M::initWithBuffer(data);
  if (!message) return {};
  return {NANOGetBool(message.get(), sessionScoped), NANOGetBool(message.get(), dynamic),
          NANOGetBool(message.get(), sequence)};
}

std::vector<std::uint64_t> wordsOf(const QZMPBResultData* resultData, std::int32_t field) {
  std::vector<std::uint64_t> words;
  if (!resultData) return words;
  for (const NANOObject& item : NANOGetArray(resultData, field).value_or(NANOObjectArray{})) {
    const auto* word = std::get_if<foundation::Object>(&item);
    words.push_back(word ? static_cast<std::uint64_t>(word->int64Value()) : 0);
  }
  return words;
}

bool setWords(QZMPBResultData* resultData, std::int32_t field, const std::vector<std::uint64_t>& words) {
  NANOObjectArray items;
  for (std::uint64_t word : words) items.emplace_back(foundation::Object(static_cast<std::int64_t>(word)));
  return NANOSetArray(resultData, field, &items);
}

bool hasBit(std::int32_t filterID) { return filterID >= 0 && filterID < QZMFilterResultWords::kMaxFilterID; }

}  // namespace

QZMEventFilter QZMEventFilter::fromStored(const QZMStoredAudienceFilter& stored) {
  Flags flags = flagsOf<QZMPBEventFilter>(stored.data, QZMPBEventFilter::kSessionScoped, QZMPBEventFilter::kDynamic,
                                          QZMPBEventFilter::kSequence);
  return {stored.audienceID, stored.filterID, stored.name, stored.data, flags.sessionScoped, flags.dynamic,
          flags.sequence};
}

QZMStoredAudienceFilter QZMEventFilter::stored() const {
  return {audienceID_, filterID_, eventName_, data_, sessionScoped_};
}

QZMPropertyFilter QZMPropertyFilter::fromStored(const QZMStoredAudienceFilter& stored) {
  Flags flags = flagsOf<QZMPBPropertyFilter>(stored.data, QZMPBPropertyFilter::kSessionScoped,
                                             QZMPBPropertyFilter::kDynamic, QZMPBPropertyFilter::kSequence);
  return {stored.audienceID, stored.filterID, stored.name, stored.data, flags.sessionScoped, flags.dynamic,
          flags.sequence};
}

QZMStoredAudienceFilter QZMPropertyFilter::stored() const {
  return {audienceID_, filterID_, propertyName_, data_, sessionScoped_};
}

QZMFilterResultWords QZMFilterResultWords::fromResultData(const QZMPBResultData* resultData) {
  QZMFilterResultWords words;
  words.status_ = wordsOf(resultData, QZMPBResultData::kStatus);
  words.results_ = wordsOf(resultData, QZMPBResultData::kResults);
  std::size_t length = std::max(words.status_.size(), words.results_.size());
  words.status_.resize(length);
  words.results_.resize(length);
  return words;
}

bool QZMFilterResultWords::writeTo(QZMPBResultData* resultData) const {
  return setWords(resultData, QZMPBResultData::kStatus, status_) &&
         setWords(resultData, QZMPBResultData::kResults, results_);
}

bool QZMFilterResultWords::bit(const std::vector<std::uint64_t>& words, std::int32_t filterID) {
  if (!hasBit(filterID)) return false;
  auto word = static_cast<std::size_t>(filterID / 64);
  return word < words.size() && (words[word] >> (filterID % 64) & 1) != 0;
}

bool QZMFilterResultWords::isEvaluated(std::int32_t filterID) const { return bit(status_, filterID); }

bool QZMFilterResultWords::isTrue(std::int32_t filterID) const {
  return bit(status_, filterID) && bit(results_, filterID);
}

bool QZMFilterResultWords::setResult(std::int32_t filterID, bool value) {
  if (!hasBit(filterID)) return false;
  auto word = static_cast<std::size_t>(filterID / 64);
  if (word >= status_.size()) {
    status_.resize(word + 1);
    results_.resize(word + 1);
  }
  const std::uint64_t mask = std::uint64_t{1} << (filterID % 64);
  status_[word] |= mask;
  if (value) {
    results_[word] |= mask;
  } else {
    results_[word] &= ~mask;
  }
  return true;
}

void QZMFilterResultWords::clearResult(std::int32_t filterID) {
  if (!hasBit(filterID)) return;
  auto word = static_cast<std::size_t>(filterID / 64);
  if (word >= status_.size()) return;
  const std::uint64_t mask = std::uint64_t{1} << (filterID % 64);
  status_[word] &= ~mask;
  results_[word] &= ~mask;
}

bool QZMFilterResultWords::isEmpty() const {
  for (std::uint64_t word : status_)
    if (word) return false;
  return true;
}
