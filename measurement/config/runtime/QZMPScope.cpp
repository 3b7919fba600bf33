#include "measurement/config/runtime/QZMPScope.h"

#include <sanitizer/asan_interface.h>

#include "measurement/config/runtime/QZMPObjectManager.h"
#include "measurement/config/runtime/QZMPRuntime.h"

namespace {

// Freed scopes kept for reuse on this thread. Under the address sanitiser a
// kept scope stays poisoned until it is handed out again, so that a use
// after free is still caught.
struct FreedScopes {
  static constexpr std::size_t kKept = 16;
  void* blocks[kKept];
  std::size_t count = 0;
  ~FreedScopes();
};

// Set once the thread's list is gone: scopes freed later, as the thread
// ends, go straight back to the allocator.
thread_local bool tFreedScopesGone = false;
thread_local FreedScopes tFreedScopes;

FreedScopes::~FreedScopes() {
  while (count > 0) {
    void* block = blocks[--count];
    ASAN_UNPOISON_MEMORY_REGION(block, sizeof(QZMPScope));
    ::operator delete(block);
  }
  tFreedScopesGone = true;
}

}  // namespace

void* QZMPScope::operator new(std::size_t size) {
  if (!tFreedScopesGone && tFreedScopes.count > 0 && size == sizeof(QZMPScope)) {
    void* block = tFreedScopes.blocks[--tFreedScopes.count];
    ASAN_UNPOISON_MEMORY_REGION(block, sizeof(QZMPScope));
    return block;
  }
  return ::operator new(size);
}

void QZMPScope::operator delete(void* memory) {
  if (!tFreedScopesGone && tFreedScopes.count < FreedScopes::kKept) {
    ASAN_POISON_MEMORY_REGION(memory, sizeof(QZMPScope));
    tFreedScopes.blocks[tFreedScopes.count++] = memory;
    return;
  }
  ::operator delete(memory);
}

QZMPRef<QZMPScope> QZMPScope::initWithParentScope(QZMPScope* parent) {
  return QZMPMake<QZMPScope>(QZMPRef<QZMPScope>(parent), parent ? parent->runtime_ : nullptr);
}

QZMPRef<QZMPScope> QZMPScope::rootScopeOfRuntime(QZMPRuntime* runtime) {
  return QZMPMake<QZMPScope>(QZMPRef<QZMPScope>(), runtime);
}

QZMPRef<QZMPScope> QZMPScope::createChildScope() { return initWithParentScope(this); }

QZMPObjectManager* QZMPScope::objectManager() const { return runtime_ ? &runtime_->objectManager() : nullptr; }

void QZMPScope::chargeLongWalk(std::size_t hops) const {
  if (runtime_) runtime_->chargeInstructions(hops / kScopesPerInstruction);
}

void QZMPScope::chargeLongName(std::size_t length) const {
  if (runtime_) runtime_->chargeInstructions(length / kQZMPCodeUnitsPerInstruction);
}

bool QZMPScope::hasName(const QZMPStringValue& name) const {
  chargeName(name);
  std::size_t hops = 0;
  for (const QZMPScope* scope = this; scope; scope = scope->parent_.get(), ++hops) {
    if (scope->contents_.hasName(name)) {
      chargeWalk(hops);
      return true;
    }
  }
  chargeWalk(hops);
  return false;
}

bool QZMPScope::hasName(std::u16string_view name) const {
  std::size_t hops = 0;
  for (const QZMPScope* scope = this; scope; scope = scope->parent_.get(), ++hops) {
    if (scope->contents_.hasName(name)) {
      chargeWalk(hops);
      return true;
    }
  }
  chargeWalk(hops);
  return false;
}

QZMPRuntimeValue QZMPScope::valueAbove(const QZMPStringValue& name, std::uint32_t& slot) const {
  std::size_t hops = 1;
  for (const QZMPScope* scope = parent_.get(); scope; scope = scope->parent_.get(), ++hops) {
    if (const QZMPRuntimeValue* value = scope->contents_.find(name, slot)) {
      chargeWalk(hops);
      return *value;
    }
  }
  chargeWalk(hops);
  return QZMPRuntimeValue();
}

QZMPRuntimeValue QZMPScope::valueForName(std::u16string_view name) const {
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

void QZMPScope::addValue(QZMPRuntimeValue value, const QZMPStringValue& name) {
  chargeName(name);
  contents_.setValue(std::move(value), name);
}

void QZMPScope::addValue(QZMPRuntimeValue value, std::u16string_view name) {
  contents_.setValue(std::move(value), name);
}

void QZMPScope::addImmutableValue(QZMPRuntimeValue value, const QZMPStringValue& name) {
  chargeName(name);
  contents_.setImmutableValue(std::move(value), name);
}

void QZMPScope::setValue(QZMPRuntimeValue value, const QZMPStringValue& name) {
  chargeName(name);
  QZMPScope* target = this;
  std::size_t hops = 0;
  for (QZMPScope* scope = this; scope; scope = scope->parent_.get(), ++hops) {
    if (scope->contents_.hasName(name)) {
      target = scope;
      break;
    }
  }
  chargeWalk(hops);
  for (QZMPScope* scope = this;; scope = scope->parent_.get()) {
    if (scope->contents_.isImmutable()) return;
    if (scope == target) break;
  }
  target->contents_.setValue(std::move(value), name);
}

bool QZMPScope::assignDeclared(QZMPRuntimeValue value, const QZMPStringValue& name) {
  std::uint32_t slot = UINT32_MAX;
  return assignDeclared(std::move(value), name, slot);
}

bool QZMPScope::assignDeclared(QZMPRuntimeValue value, const QZMPStringValue& name, std::uint32_t& slot) {
  chargeName(name);
  bool frozen = false;
  std::size_t hops = 0;
  for (QZMPScope* scope = this; scope; scope = scope->parent_.get(), ++hops) {
    frozen = frozen || scope->contents_.isImmutable();
    if (frozen ? scope->contents_.find(name, slot) != nullptr : scope->contents_.assign(std::move(value), name, slot)) {
      chargeWalk(hops);
      return true;
    }
  }
  chargeWalk(hops);
  return false;
}

void QZMPScope::setValue(QZMPRuntimeValue value, std::u16string_view name) {
  setValue(std::move(value), *QZMPStringValue::withUTF16(name));
}

void QZMPScope::traceReferences(QZMPMarker& marker) {
  marker.countObject(sizeof(QZMPScope));
  contents_.traceReferences(marker);
  marker.mark(parent_.get());
}
