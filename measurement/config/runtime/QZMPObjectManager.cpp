#include "measurement/config/runtime/QZMPObjectManager.h"

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/QZMPScope.h"
#include "measurement/config/runtime/QZMPStatementValue.h"

namespace {

// Strings at least this long are counted once each; shorter ones once per
// place that keeps them, which errs high by little.
constexpr std::size_t kLongStringLength = 256;

}  // namespace

void QZMPMarker::mark(const QZMPObject* object) {
  if (object == nullptr || object->markEpoch_ == epoch_) return;
  auto* marked = const_cast<QZMPObject*>(object);
  marked->markEpoch_ = epoch_;
  work_.push_back(marked);
}

void QZMPMarker::countString(const QZMPStringValue& string) {
  // Strings are shared across runtimes, so they carry no mark of ours.
  if (string.length() >= kLongStringLength && !longStrings_.insert(&string).second) return;
  bytes_ += kQZMPAllocationBytes + sizeof(QZMPStringValue) + (string.length() + 1) * sizeof(char16_t);
}

void QZMPMarker::countStatement(const QZMPObject* statement) {
  if (statement != nullptr && statements_.insert(statement).second) {
    bytes_ += static_cast<const QZMPStatementValue*>(statement)->treeBytes();
  }
}

void QZMPMarker::drain() {
  while (!work_.empty()) {
    QZMPObject* object = work_.back();
    work_.pop_back();
    object->traceReferences(*this);
  }
}

QZMPContainer::~QZMPContainer() {
  if (manager_) manager_->remove(this);
}

void QZMPContainer::chargeWork(std::size_t elements) const {
  if (manager_ && manager_->runtime()) {
    manager_->runtime()->chargeInstructions((elements + kQZMPElementsPerInstruction - 1) / kQZMPElementsPerInstruction);
  }
}

void QZMPContainer::chargeText(std::size_t units) const {
  if (manager_ && manager_->runtime()) manager_->runtime()->chargeInstructions(units / kQZMPCodeUnitsPerInstruction);
}

QZMPObjectManager::~QZMPObjectManager() {
  roots_.clear();
  sweep(true);
  // What the host still holds lives on, empty and on its own.
  while (first_) remove(first_);
}

void QZMPObjectManager::addRoot(QZMPRef<QZMPObject> root) {
  if (root) roots_.push_back(std::move(root));
}

void QZMPObjectManager::addObject(QZMPContainer* object) {
  if (object == nullptr || object->manager_) return;
  object->manager_ = this;
  object->previous_ = nullptr;
  object->next_ = first_;
  if (first_) first_->previous_ = object;
  first_ = object;
  ++trackedCount_;
}

void QZMPObjectManager::remove(QZMPContainer* object) {
  if (object->previous_) {
    object->previous_->next_ = object->next_;
  } else {
    first_ = object->next_;
  }
  if (object->next_) object->next_->previous_ = object->previous_;
  object->previous_ = object->next_ = nullptr;
  object->manager_ = nullptr;
  --trackedCount_;
}

void QZMPObjectManager::collectGarbage() {
  if (++epoch_ == 0) epoch_ = 1;  // 0 is the mark of objects never marked
  QZMPMarker marker(epoch_);
  for (const QZMPRef<QZMPObject>& root : roots_) marker.mark(root.get());
  marker.drain();
  retainedBytes_ = marker.bytes_;
  sweep(false);
}

void QZMPObjectManager::sweep(bool everything) {
  // First hold every unreachable container, then empty them, then let go:
  // nothing is freed while the list is walked or while a container is being
  // emptied.
  std::vector<QZMPRef<QZMPContainer>> unreachable;
  for (QZMPContainer* object = first_; object; object = object->next_) {
    if (everything || object->markEpoch_ != epoch_) unreachable.emplace_back(object);
  }
  for (const QZMPRef<QZMPContainer>& object : unreachable) object->clearForCollection();
}

void QZMPObjectManager::track(QZMPContainer* object, QZMPScope& scope) {
  if (QZMPObjectManager* manager = scope.objectManager()) manager->addObject(object);
}

QZMPRef<QZMPArrayValue> QZMPObjectManager::arrayValueWithScope(QZMPScope& scope) {
  QZMPRef<QZMPArrayValue> array = QZMPMake<QZMPArrayValue>();
  track(array.get(), scope);
  return array;
}

QZMPRef<QZMPArrayValue> QZMPObjectManager::arrayValueWithArray(std::span<const QZMPRuntimeValue> elements,
                                                               QZMPScope& scope) {
  QZMPRef<QZMPArrayValue> array =
      QZMPMake<QZMPArrayValue>(std::vector<QZMPRuntimeValue>(elements.begin(), elements.end()));
  track(array.get(), scope);
  array->chargeWork(elements.size());
  return array;
}

QZMPRef<QZMPArrayValue> QZMPObjectManager::subarrayWithArray(const QZMPArrayValue& array, std::int64_t start,
                                                             std::int64_t length, QZMPScope& scope) {
  QZMPRef<QZMPArrayValue> subarray = QZMPMake<QZMPArrayValue>(array.slotsInRange(start, length));
  track(subarray.get(), scope);
  return subarray;
}

QZMPRef<QZMPMapValue> QZMPObjectManager::mapValueWithScope(QZMPScope& scope) {
  QZMPRef<QZMPMapValue> map = QZMPMake<QZMPMapValue>();
  track(map.get(), scope);
  return map;
}

QZMPRef<QZMPFunctionValue> QZMPObjectManager::functionValueWithFunctionName(
    QZMPRef<QZMPStringValue> functionName, std::vector<QZMPRef<QZMPStringValue>> parameterNames,
    std::vector<QZMPRuntimeValue> statements, QZMPRef<QZMPScope> definingScope) {
  return functionValueWithBody(std::move(functionName), std::move(parameterNames),
                               QZMPFunctionBody::of(std::move(statements)), std::move(definingScope));
}

QZMPRef<QZMPFunctionValue> QZMPObjectManager::functionValueWithBody(QZMPRef<QZMPStringValue> functionName,
                                                                    std::vector<QZMPRef<QZMPStringValue>> parameterNames,
                                                                    QZMPFunctionBody body,
                                                                    QZMPRef<QZMPScope> definingScope) {
  QZMPScope* scope = definingScope.get();
  QZMPRef<QZMPFunctionValue> function = QZMPMake<QZMPFunctionValue>(
      std::move(functionName), std::move(parameterNames), std::move(body), std::move(definingScope));
  if (scope) track(function.get(), *scope);
  return function;
}
