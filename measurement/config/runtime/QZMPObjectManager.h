// The collector. Arrays, maps and functions can refer to each other in
// cycles that counting alone never frees, so every one of them is tracked by
// its runtime's object manager. Collection marks everything reachable from
// the roots (a scope marks its whole parent chain; natives mark what they
// hold privately), then empties every tracked container left unmarked, after
// which counting frees them. It runs only between runs of program code:
// values held on the host's stack are not roots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <absl/container/flat_hash_set.h>

#include "measurement/config/runtime/QZMPObject.h"
#include "measurement/config/runtime/QZMPRuntimeValue.h"

class QZMPArrayValue;
class QZMPFunctionValue;
class QZMPMapValue;
class QZMPRuntime;
class QZMPScope;
struct QZMPFunctionBody;

// The mark phase's work list: objects are marked when first seen and traced
// later, so marking never recurses. It also tallies, roughly, the bytes of
// what it reaches: the memory the runtime keeps from one run to the next.
// Each traced object counts its own size and what it holds.
class QZMPMarker {
 public:
  // Strings hold nothing and statements hold only literals and statements,
  // so only containers and return controls are followed.
  void mark(const QZMPRuntimeValue& value) {
    const QZMPValueKind kind = value.kind();
    if (kind >= QZMPValueKind::array && kind <= QZMPValueKind::returnControl) {
      mark(value.object());
    } else if (kind == QZMPValueKind::string) {
      countString(*value.asString());
    } else if (kind == QZMPValueKind::statement) {
      countStatement(value.object());
    }
  }
  void mark(const QZMPObject* object);
  void countBytes(std::size_t bytes) { bytes_ += bytes; }
  // An object of that size, with what its allocation costs.
  void countObject(std::size_t size) { bytes_ += kQZMPAllocationBytes + size; }
  // A string kept as a value or a name; a long one is counted once however
  // often it is kept.
  void countString(const QZMPStringValue& string);
  // A statement with everything in it, counted once however many values
  // (functions sharing it as their body, statement lists) keep it.
  void countStatement(const QZMPObject* statement);

 private:
  friend class QZMPObjectManager;
  explicit QZMPMarker(std::uint32_t epoch) : epoch_(epoch) {}
  void drain();

  std::uint32_t epoch_;
  std::vector<QZMPObject*> work_;
  std::size_t bytes_ = 0;
  absl::flat_hash_set<const QZMPStringValue*> longStrings_;
  absl::flat_hash_set<const QZMPObject*> statements_;
};

// A value a program can change, and so one that can close a cycle.
class QZMPContainer : public QZMPObject {
 public:
  // The manager tracking this container; nullptr when untracked or once its
  // runtime is gone.
  QZMPObjectManager* objectManager() const { return manager_; }

  // Drops everything the container holds: the sweep of an unreachable one.
  // What is left must stay harmless to use (reads give undefined).
  virtual void clearForCollection() = 0;

  // Adds instructions to the runtime's count for work that grows with the
  // size of the data (joins, copies, searches, sorts).
  void chargeWork(std::size_t elements) const;
  // A lookup that finds a name compares it whole with the name held, so
  // long names are charged as text read, at every lookup.
  void chargeName(const QZMPStringValue& name) const {
    if (name.length() >= kQZMPCodeUnitsPerInstruction) chargeText(name.length());
  }
  void chargeText(std::size_t units) const;

  // Marks the container as being written out, so that a conversion finding
  // it again inside itself can stop; false when it already is.
  bool beginVisit() const {
    if (visiting_) return false;
    visiting_ = true;
    return true;
  }
  void endVisit() const { visiting_ = false; }

 protected:
  QZMPContainer() = default;
  ~QZMPContainer() override;

 private:
  friend class QZMPObjectManager;
  QZMPObjectManager* manager_ = nullptr;
  QZMPContainer* previous_ = nullptr;
  QZMPContainer* next_ = nullptr;
  mutable bool visiting_ = false;
};

// Instructions charged per element of bulk work.
inline constexpr std::size_t kQZMPElementsPerInstruction = 8;

class QZMPObjectManager {
 public:
  explicit QZMPObjectManager(QZMPRuntime* runtime = nullptr) : runtime_(runtime) {}
  // Empties every container still tracked, so that cycles free themselves;
  // containers the host still holds stay alive, empty and untracked.
  ~QZMPObjectManager();
  QZMPObjectManager(const QZMPObjectManager&) = delete;
  QZMPObjectManager& operator=(const QZMPObjectManager&) = delete;

  QZMPRuntime* runtime() const { return runtime_; }

  // Roots are kept alive by the manager and marked first, in order.
  void addRoot(QZMPRef<QZMPObject> root);
  // Starts tracking a container made for this runtime.
  void addObject(QZMPContainer* object);

  void collectGarbage();
  // Roughly the bytes reachable from the roots at the last collection.
  std::size_t retainedBytes() const { return retainedBytes_; }
  std::size_t trackedObjectCount() const { return trackedCount_; }

  // New values tracked by the manager of the scope (untracked when the scope
  // belongs to no runtime).
  static QZMPRef<QZMPArrayValue> arrayValueWithScope(QZMPScope& scope);
  static QZMPRef<QZMPArrayValue> arrayValueWithArray(std::span<const QZMPRuntimeValue> elements, QZMPScope& scope);
  static QZMPRef<QZMPArrayValue> subarrayWithArray(const QZMPArrayValue& array, std::int64_t start,
                                                   std::int64_t length, QZMPScope& scope);
  static QZMPRef<QZMPMapValue> mapValueWithScope(QZMPScope& scope);
  static QZMPRef<QZMPFunctionValue> functionValueWithFunctionName(QZMPRef<QZMPStringValue> functionName,
                                                                  std::vector<QZMPRef<QZMPStringValue>> parameterNames,
                                                                  std::vector<QZMPRuntimeValue> statements,
                                                                  QZMPRef<QZMPScope> definingScope);
  // The same with a body shared with its definition.
  static QZMPRef<QZMPFunctionValue> functionValueWithBody(QZMPRef<QZMPStringValue> functionName,
                                                          std::vector<QZMPRef<QZMPStringValue>> parameterNames,
                                                          QZMPFunctionBody body, QZMPRef<QZMPScope> definingScope);
  // Any container type (natives included), made and tracked here.
  template <class T, class... Args>
  QZMPRef<T> make(Args&&... args) {
    QZMPRef<T> object = QZMPMake<T>(std::forward<Args>(args)...);
    addObject(object.get());
    return object;
  }
  static void track(QZMPContainer* object, QZMPScope& scope);

 private:
  friend class QZMPContainer;
  void remove(QZMPContainer* object);
  void sweep(bool everything);

  QZMPRuntime* runtime_;
  std::vector<QZMPRef<QZMPObject>> roots_;
  QZMPContainer* first_ = nullptr;
  std::size_t trackedCount_ = 0;
  std::uint32_t epoch_ = 0;
  std::size_t retainedBytes_ = 0;
};
