// One interpreter: its initial scope (the root) and global scope, the object
// manager that tracks what its programs make, the command registrar that
// runs their statements, the modules its programs can require, and the
// budgets every run is held to. The instruction counter lives here, where
// no program can reach it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "measurement/config/runtime/QZMPCommandRegistrar.h"
#include "measurement/config/runtime/QZMPModules.h"
#include "measurement/config/runtime/QZMPObjectManager.h"
#include "measurement/config/runtime/QZMPRuntimeValue.h"
#include "measurement/config/runtime/QZMPScope.h"

class QZMPBRuntimeEntity;

// Evaluations allowed between two resets of the counter.
inline constexpr std::uint64_t kQZMPInstructionLimit = 1'000'000;
// Statements evaluated inside one another. Each level takes a few stack
// frames of the evaluator, so this bounds the native stack a program uses.
inline constexpr std::uint32_t kQZMPMaxEvaluationDepth = 1000;

class QZMPRuntime {
 public:
  struct Options {
    std::uint64_t instructionLimit = kQZMPInstructionLimit;
    // The shared registrar when none is given.
    const QZMPCommandRegistrar* registrar = nullptr;
  };

  QZMPRuntime();
  explicit QZMPRuntime(Options options);
  // Frees everything the runtime's programs made, cycles included.
  ~QZMPRuntime();
  QZMPRuntime(const QZMPRuntime&) = delete;
  QZMPRuntime& operator=(const QZMPRuntime&) = delete;

  static std::int64_t runtimeVersion() { return 0; }

  QZMPScope& initScope() const { return *initScope_; }
  QZMPScope& globalScope() const { return *globalScope_; }
  // A fresh child of the global scope, for one run.
  QZMPRef<QZMPScope> getRunScope() const { return globalScope_->createChildScope(); }
  const QZMPCommandRegistrar& registrar() const { return *registrar_; }
  QZMPObjectManager& objectManager() { return objectManager_; }

  // Stores or replaces the creator of the module that "require" hands out
  // under the name; a module already required stays as it was made.
  void setModuleCreator(QZMPModuleCreator creator, std::string name) {
    apiProvider_->setModuleCreator(std::move(creator), std::move(name));
  }

  // Converts each entity and evaluates it in the global scope. A conversion
  // error stops with undefined; an evaluation error ends the run with it; a
  // control value does not stop the list. The last value otherwise.
  QZMPRuntimeValue executeStatements(std::span<const std::shared_ptr<QZMPBRuntimeEntity>> statements,
                                     QZMPError& error);

  void resetInstructionCount() { instructionCount_ = 0; }
  std::uint64_t getInstructionCount() const { return instructionCount_; }
  std::uint64_t instructionLimit() const { return instructionLimit_; }
  // Counts one evaluation; false with code 18 once the limit is reached.
  QZMP_HOT_INLINE bool countInstruction(QZMPError& error) {
    if (instructionCount_ >= instructionLimit_) {
      error.set(QZMPGlintErrorInstructionLimit);
      return false;
    }
    ++instructionCount_;
    return true;
  }
  // Adds bulk work to the count; the next evaluation fails once it exceeds
  // the limit.
  void chargeInstructions(std::uint64_t instructions) {
    instructionCount_ = instructions > UINT64_MAX - instructionCount_ ? UINT64_MAX : instructionCount_ + instructions;
  }
  // The same for work that goes on after the charge (a long sort or scan):
  // false with code 18 once the count is past the limit, so it can stop.
  bool chargeInstructions(std::uint64_t instructions, QZMPError& error) {
    chargeInstructions(instructions);
    if (instructionCount_ <= instructionLimit_) return true;
    error.set(QZMPGlintErrorInstructionLimit);
    return false;
  }

  // Where a run ends: bulk work charged after its last evaluation may have
  // taken the count past the limit, and such a run fails with code 18 as
  // one stopped by the limit does. False then (an error already set stays).
  bool endRun(QZMPError& error) const {
    if (error || instructionCount_ <= instructionLimit_) return !error;
    error.set(QZMPGlintErrorInstructionLimit);
    return false;
  }

  // Nesting of evaluations; false with code 19 when one more would be too
  // deep (then the level is not taken).
  QZMP_HOT_INLINE bool enterEvaluation(QZMPError& error) {
    if (evaluationDepth_ >= kQZMPMaxEvaluationDepth) {
      error.set(QZMPGlintErrorTooDeep);
      return false;
    }
    ++evaluationDepth_;
    return true;
  }
  QZMP_HOT_INLINE void leaveEvaluation() { --evaluationDepth_; }
  std::uint32_t evaluationDepth() const { return evaluationDepth_; }

  void addGarbageCollectionRoot(QZMPRef<QZMPObject> root) { objectManager_.addRoot(std::move(root)); }
  // Only between runs: values held by the host are not roots.
  void collectGarbage() { objectManager_.collectGarbage(); }
  // Roughly what the roots kept at the last collection, in bytes.
  std::size_t retainedBytes() const { return objectManager_.retainedBytes(); }

 private:
  // Declared first so that it goes last, after the scopes it tracks values of.
  QZMPObjectManager objectManager_;
  std::shared_ptr<QZMPDynamicProvider> apiProvider_;
  const QZMPCommandRegistrar* registrar_;
  std::uint64_t instructionLimit_;
  std::uint64_t instructionCount_ = 0;
  std::uint32_t evaluationDepth_ = 0;
  QZMPRef<QZMPScope> initScope_;
  QZMPRef<QZMPScope> globalScope_;
};
