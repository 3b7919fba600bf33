// Event editing: a program from the measurement configuration registers
// "edit" and "create" callbacks when it loads; then, for every event the
// engine handles, the edit callbacks may rename the event and change its
// parameters, and the create callbacks may queue new events. Callbacks run
// in ascending priority; an edit callback that fails, or that returns
// nothing or 2, has its changes dropped.
//
// One instance per configuration, used only on the worker queue.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/config/runtime/QZMPEvent.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPModules.h"
#include "measurement/config/runtime/QZMPRuntime.h"

class QZMPBOgtActivity;
class QZMPBProgram;

// Callbacks one instance may hold, edit and create together.
inline constexpr std::size_t kQZMPMaxCallbacks = 1000;
// Memory a program may keep from one event to the next (its globals and
// callbacks and all they reach). Each run's own work is bounded by its
// instruction budget; this bounds what piles up across runs.
inline constexpr std::size_t kQZMPMaxRetainedBytes = std::size_t{16} << 20;
inline constexpr std::int32_t kQZMPDefaultCallbackPriority = 1000;

// The registered callbacks by kind and priority; a collection root, so that
// they survive between events.
class QZMPEditingCallbackHandler final : public QZMPObject {
 public:
  // Code 4 of the editing domain when the instance is full, 3 for a rule
  // type other than "edit" or "create". A priority already taken in that
  // kind becomes the kind's largest plus one, so the later callback runs
  // after the others.
  bool registerWithPriority(std::int32_t priority, const QZMPRef<QZMPFunctionValue>& callback,
                            std::string_view ruleType, QZMPError& error);

  // Runs the edit callbacks, then the create callbacks, on the context's
  // event. The first error ends the run (an edit callback's changes are
  // dropped first).
  bool triggerCallbacksWithScope(QZMPScope& scope, const std::shared_ptr<QZMPEventContext>& eventContext,
                                 QZMPError& error);
  // 2 when the call fails, the 32-bit unsigned form of a number result, and
  // 4294967295 for any other result.
  static std::uint32_t invokeCallbackWithScope(QZMPScope& scope, QZMPFunctionValue& function,
                                               const QZMPRuntimeValue& eventHandler, QZMPError& error);

  std::size_t callbackCount() const { return editCallbacks_.size() + createCallbacks_.size(); }
  // Priorities in the order the callbacks run.
  std::vector<std::int64_t> editPriorities() const;
  std::vector<std::int64_t> createPriorities() const;
  void removeAllCallbacks();

  void traceReferences(QZMPMarker& marker) override;

 private:
  // Keys are wider than the priorities programs give, so that the largest
  // plus one always exists.
  using Callbacks = std::map<std::int64_t, QZMPRuntimeValue>;
  static void addCallback(const QZMPRef<QZMPFunctionValue>& callback, Callbacks& callbacks, std::int64_t priority);

  Callbacks editCallbacks_;
  Callbacks createCallbacks_;
};

// The event-handler object every callback gets: a map whose methods read
// and change the handled event.
class QZMPEventNativeFunctions final : public QZMPMapValue {
 public:
  explicit QZMPEventNativeFunctions(std::shared_ptr<QZMPEventContext> eventContext)
      : eventContext_(std::move(eventContext)) {}

  QZMPRuntimeValue applyWithName(std::u16string_view name, QZMPArguments arguments, QZMPScope& scope,
                                 QZMPError& error) override;
  void clearForCollection() override;

 private:
  std::shared_ptr<QZMPEventContext> eventContext_;
};

class QZMPEventEditing {
 public:
  QZMPEventEditing();
  explicit QZMPEventEditing(QZMPRuntime::Options options);
  QZMPEventEditing(const QZMPEventEditing&) = delete;
  QZMPEventEditing& operator=(const QZMPEventEditing&) = delete;

  // For the host's own modules, registered before the program loads.
  void setModuleCreator(QZMPModuleCreator creator, std::string name) {
    runtime_->setModuleCreator(std::move(creator), std::move(name));
  }

  // Runs the program's statements, then calls each activity's rule with
  // each of its data maps; collects garbage after. Stops at the first error;
  // a program that keeps more than its memory budget fails with code 20.
  bool loadProgram(const QZMPBProgram& program, QZMPError& error);
  bool loadActivityData(const QZMPBOgtActivity& activity, QZMPError& error);
  // Calls the function the name holds in a fresh run scope with the rule.
  bool registerRuleWithName(std::u16string_view name, const QZMPRuntimeValue& rule, QZMPError& error);

  // Runs the callbacks over the event. False with the error when one
  // failed; otherwise whether the event was changed or events were queued.
  // A run after which the program keeps more than its memory budget fails
  // with code 20 and unloads the program (logged): from then on every event
  // passes unchanged.
  bool handleEvent(const QZMEditEvent& event, QZMPError& error);
  bool isUnloaded() const { return unloaded_; }

  const QZMPEventContext& eventContext() const { return *eventContext_; }
  // The output event differs from the input.
  bool hasEdits() const { return !eventContext_->outputEvent().isEqualToEvent(eventContext_->inputEvent()); }
  bool hasCreatedEvents() const { return !eventContext_->eventsToLog().empty(); }

  QZMPRuntime& runtime() { return *runtime_; }
  const QZMPEditingCallbackHandler& callbackHandler() const { return *callbackHandler_; }

 private:
  // First, so that it goes last: its collector frees what the rest held.
  std::unique_ptr<QZMPRuntime> runtime_;
  std::shared_ptr<QZMPEventContext> eventContext_;
  QZMPRef<QZMPEditingCallbackHandler> callbackHandler_;
  QZMPRuntime::Options options_;
  bool unloaded_ = false;

  // False with code 20 when the program keeps more than its budget.
  bool withinMemoryBudget(QZMPError& error) const;
  // Lets go of everything the program made.
  void unload();
};

// The two modules an editing instance adds: "internal.registerCallback"
// (register(unused, callback, {type, priority})) and "internal.eventLogger"
// (log(name, timestamp, parameters)).
QZMPRef<QZMPFunctionValue> QZMPRegisterCallbackNativeFunctionValue(QZMPRef<QZMPEditingCallbackHandler> handler);
QZMPRef<QZMPFunctionValue> QZMPEventLogger(std::shared_ptr<QZMPEventContext> eventContext);
