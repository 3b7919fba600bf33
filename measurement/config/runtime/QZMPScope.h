// Variables live in a chain of scopes: a run's scope, the global scope above
// it, the initial scope at the root. Lookups search up the chain; an
// assignment changes the nearest scope that holds the name, or creates the
// name in the scope it is made in. Every scope knows its runtime, whose
// object manager tracks what programs make; a scope must not outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "measurement/config/runtime/QZMPObject.h"
#include "measurement/config/runtime/QZMPPropertyMap.h"
#include "measurement/config/runtime/QZMPRuntimeValue.h"

class QZMPObjectManager;
class QZMPRuntime;

class QZMPScope final : public QZMPObject {
 public:
  // A scope under the parent (none for a root), in the parent's runtime.
  static QZMPRef<QZMPScope> initWithParentScope(QZMPScope* parent);
  // A root scope of the runtime.
  static QZMPRef<QZMPScope> rootScopeOfRuntime(QZMPRuntime* runtime);
  QZMPRef<QZMPScope> createChildScope();

  QZMPScope* parentScope() const { return parent_.get(); }
  // nullptr for a scope made outside any runtime.
  QZMPRuntime* runtime() const { return runtime_; }
  QZMPObjectManager* objectManager() const;

  bool hasName(const QZMPStringValue& name) const;
  bool hasName(std::u16string_view name) const;
  // Undefined when no scope of the chain holds the name.
  QZMPRuntimeValue valueForName(const QZMPStringValue& name) const {
    chargeName(name);
    std::size_t hops = 0;
    for (const QZMPScope* scope = this; scope; scope = scope->parent_.get(), ++hops) {
      if (const QZMPRuntimeValue* value = scope->contents_.find(name)) {
        chargeWalk(hops);
        return *value;
      }
    }
    chargeWalk(hops);
    return QZMPRuntimeValue();
  }
  QZMPRuntimeValue valueForName(std::u16string_view name) const;
  // The same, starting from where the name was last found (`slot`, kept by
  // the statement that reads it) and leaving there where it is found now.
  // The walk and its charge are those of the plain lookup.
  QZMP_HOT_INLINE QZMPRuntimeValue valueForName(const QZMPStringValue& name, std::uint32_t& slot) const {
    chargeName(name);
    if (const QZMPRuntimeValue* value = contents_.find(name, slot)) return *value;
    return valueAbove(name, slot);
  }

  // Declarations in this scope; nothing happens when this scope is frozen
  // or the name is a constant here.
  void addValue(QZMPRuntimeValue value, const QZMPStringValue& name);
  void addValue(QZMPRuntimeValue value, std::u16string_view name);
  void addImmutableValue(QZMPRuntimeValue value, const QZMPStringValue& name);
  // Room for this many declarations (a call's parameters).
  void reserveNames(std::size_t count) { contents_.reserve(count); }
  // Assignment: to the nearest scope holding the name, else here. Nothing
  // happens when a frozen scope lies between here and that scope.
  void setValue(QZMPRuntimeValue value, const QZMPStringValue& name);
  void setValue(QZMPRuntimeValue value, std::u16string_view name);
  // Assignment to a name some scope of the chain declares, in one walk;
  // false, and nothing stored, when none does.
  bool assignDeclared(QZMPRuntimeValue value, const QZMPStringValue& name);
  bool assignDeclared(QZMPRuntimeValue value, const QZMPStringValue& name, std::uint32_t& slot);

  // Scopes come and go with every call, block and loop iteration: each
  // thread keeps a few freed ones for the next.
  static void* operator new(std::size_t size);
  static void operator delete(void* memory);

  void makeImmutable() { contents_.makeImmutable(); }
  bool isImmutable() const { return contents_.isImmutable(); }
  const QZMPPropertyMap& contents() const { return contents_; }

  // Marks this scope's variables and every scope above it.
  void traceReferences(QZMPMarker& marker) override;

 private:
  // Closures can nest scopes without bound, so a walk up a long chain is
  // work the run pays for; the few scopes of ordinary code are free.
  void chargeWalk(std::size_t hops) const {
    if (hops >= kFreeHops) chargeLongWalk(hops);
  }
  void chargeLongWalk(std::size_t hops) const;
  // A name is hashed once, but a lookup that finds it compares it whole
  // with the name held: long names are charged as text read, every time.
  void chargeName(const QZMPStringValue& name) const {
    if (name.length() >= kQZMPCodeUnitsPerInstruction) chargeLongName(name.length());
  }
  void chargeLongName(std::size_t length) const;
  // The rest of a lookup that this scope could not answer, out of line so
  // that a long walk keeps its state in registers.
  QZMPRuntimeValue valueAbove(const QZMPStringValue& name, std::uint32_t& slot) const;
  static constexpr std::size_t kFreeHops = 16;
  static constexpr std::size_t kScopesPerInstruction = 4;

  QZMPScope(QZMPRef<QZMPScope> parent, QZMPRuntime* runtime) : parent_(std::move(parent)), runtime_(runtime) {}
  ~QZMPScope() override = default;
  template <class T, class... Args>
  friend QZMPRef<T> QZMPMake(Args&&... args);

  QZMPRef<QZMPScope> parent_;
  QZMPRuntime* runtime_;
  QZMPPropertyMap contents_;
};
