// The one place a statement becomes a value. Every evaluation first counts
// one instruction against the runtime's limit and one level against its
// depth limit; then a plain value is its own result, and a statement runs
// the command its opcode names, or, when no command owns the name, the
// script function of that name in scope.
//
// Adding a command family (operators, control, loops, ...):
//   1. In a file of its own (QZMP<Family>Commands.cpp) write the handlers and
//      a function that returns the family's evaluator:
//        QZMPCommandEvaluator QZMPMathCommandEvaluator() {
//          return QZMPCommandEvaluator("math", {
//              {0, &add, QZMPDispatch::evaluated, QZMPArity::exactly(2)},
//              {27, &negate, QZMPDispatch::evaluated, QZMPArity::exactly(1)},
//          });
//        }
//      `evaluated` handlers receive the argument values, evaluated left to
//      right in the caller's scope (the first failure stops evaluation and
//      the handler is not called); `raw` handlers receive the unevaluated
//      statements and evaluate what they need with QZMPEvaluator;
//      `statement` handlers (given as the command's `statementHandler`)
//      receive the statement itself, for a result that keeps its
//      arguments, as a function keeps its body. A wrong argument count sets
//      code 9: after evaluation for `evaluated` commands (before it with
//      `.checkedFirst()`), before the call for the others. Counts the arity
//      cannot express (even counts) are the handler's to check.
//   2. Declare that function in QZMPStandardCommands.h and register it in
//      QZMPRegisterStandardCommands (QZMPStandardCommands.cpp).
//   Array and string methods are tables of QZMPMethod, registered there with
//   registerArrayMethods and registerStringMethods; their arguments arrive
//   evaluated, and a name no table holds sets code 17.
// Handlers report failure through the error and return undefined; they
// never throw, and must keep argument spans valid across calls that run
// program code (pin array elements with allElements()).
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <absl/base/attributes.h>
#include <absl/container/flat_hash_map.h>

#include "measurement/config/runtime/QZMPRuntimeValue.h"
#include "measurement/config/runtime/QZMPStatementValue.h"

class QZMPRuntime;
class QZMPScope;

using QZMPCommandHandler = QZMPRuntimeValue (*)(QZMPArguments arguments, QZMPScope& scope, QZMPError& error);
using QZMPStatementHandler = QZMPRuntimeValue (*)(const QZMPStatementValue& statement, QZMPScope& scope,
                                                  QZMPError& error);
using QZMPMethodHandler = QZMPRuntimeValue (*)(const QZMPRuntimeValue& receiver, QZMPArguments arguments,
                                               QZMPScope& scope, QZMPError& error);

// How many arguments a command takes.
struct QZMPArity {
  int minimum = 0;
  int maximum = INT_MAX;
  bool checkFirst = false;  // for evaluated commands: check before evaluating

  static constexpr QZMPArity any() { return {}; }
  static constexpr QZMPArity exactly(int n) { return {n, n}; }
  static constexpr QZMPArity atLeast(int n) { return {n, INT_MAX}; }
  static constexpr QZMPArity atMost(int n) { return {0, n}; }
  static constexpr QZMPArity between(int low, int high) { return {low, high}; }
  constexpr QZMPArity checkedFirst() const { return {minimum, maximum, true}; }
  constexpr bool accepts(std::size_t count) const {
    return count >= static_cast<std::size_t>(minimum) && count <= static_cast<std::size_t>(maximum);
  }
};

enum class QZMPDispatch : unsigned char { evaluated, raw, statement };

// What a standard operator gives for two number operands, which the
// registrar computes in place of the call when both operands are numbers.
enum class QZMPNumberOperator : unsigned char {
  none,
  add,
  subtract,
  multiply,
  divide,
  remainder,
  less,
  lessOrEqual,
  greater,
  greaterOrEqual,
  strictEquals,
  strictNotEquals,
};

struct QZMPCommand {
  int opcode;
  QZMPCommandHandler handler;  // nullptr for `statement` dispatch
  QZMPDispatch dispatch;
  QZMPArity arity;
  QZMPStatementHandler statementHandler = nullptr;  // for `statement` dispatch
};

struct QZMPMethod {
  std::u16string_view name;
  QZMPMethodHandler handler;
  QZMPArity arity;
};

// One family's commands, by opcode; fixed once made.
class QZMPCommandEvaluator {
 public:
  QZMPCommandEvaluator(std::string name, std::vector<QZMPCommand> commands);

  const std::string& name() const { return name_; }
  // The opcodes as decimal strings.
  std::vector<std::string> allSupportedCommands() const;
  const std::vector<QZMPCommand>& commands() const { return commands_; }
  // Runs the command with the raw arguments; an opcode this family lacks
  // gives undefined without an error.
  QZMPRuntimeValue evaluateCommand(std::string_view command, QZMPArguments arguments, QZMPScope& scope,
                                   QZMPError& error) const;

 private:
  std::string name_;
  std::vector<QZMPCommand> commands_;
};

class QZMPCommandRegistrar {
 public:
  // The registrar with every standard family; made once, never changed.
  static const QZMPCommandRegistrar& sharedInstance();

  // An empty registrar (a runtime may be given its own, e.g. in tests).
  QZMPCommandRegistrar() = default;
  QZMPCommandRegistrar(const QZMPCommandRegistrar&) = delete;
  QZMPCommandRegistrar& operator=(const QZMPCommandRegistrar&) = delete;

  // Owns every opcode of the evaluator; a later registration of an opcode
  // replaces the earlier one.
  void registerEvaluator(QZMPCommandEvaluator evaluator);
  // The direct paths below let the hot commands skip their dispatch. Each
  // must give what the command's handler gives, with the same counts,
  // charges and nesting; registrar_test runs programs both ways at every
  // instruction limit to hold them to it.
  //
  // Marks the opcode, as registered now, as that operator on two numbers; a
  // later registration of the opcode clears the mark.
  void computeNumbersDirectly(int opcode, QZMPNumberOperator numberOperator);
  // The same for the opcode that reads a name: a name written as a literal
  // is looked up in place of the call.
  void readNamesDirectly(int opcode);
  // The same for the opcode that assigns to a declared name.
  void assignNamesDirectly(int opcode);
  // The same for the opcode that makes a return value: a function body's own
  // return statement hands its data back without making the value.
  void returnsDirectly(int opcode);
  // The method-call opcode and the array-literal opcode: a call whose
  // argument list is written as an array literal takes the arguments as
  // the literal would hold them, without making the array.
  void callsMethodsDirectly(int methodCallOpcode, int arrayLiteralOpcode);
  // The branching opcode and the statement-list opcode: a branch runs in
  // place of its dispatch, and a branch written as a list statement runs
  // that statement's arguments without making the list.
  void branchesDirectly(int branchOpcode, int statementListOpcode);
  void registerArrayMethods(std::span<const QZMPMethod> methods);
  void registerStringMethods(std::span<const QZMPMethod> methods);

  // The evaluator that owns the command name, or nullptr.
  const QZMPCommandEvaluator* evaluatorForCommand(std::string_view command) const;
  // The command an opcode runs, or nullptr.
  const QZMPCommand* commandForOpcode(int opcode) const {
    return opcode >= 0 && opcode < kQZMPOpcodeCapacity && commands_[opcode].evaluator ? &commands_[opcode].command
                                                                                     : nullptr;
  }

  QZMPRuntimeValue evaluateStatement(const QZMPRuntimeValue& statement, QZMPScope& scope, QZMPError& error) const;
  // Evaluates each argument in order in the runtime's scope into values,
  // each counted, stopping at the first error (false).
  bool evaluateArguments(QZMPArguments arguments, QZMPRuntime& runtime, QZMPScope& scope, QZMPValueList& values,
                         QZMPError& error) const;
  // A function's body run in its call's scope: the statements in order as
  // QZMPEvaluator::executeStatements runs them, then a return gives its
  // data, and a break or continue comes back as it is.
  QZMPRuntimeValue runFunctionBody(QZMPArguments statements, QZMPScope& scope, QZMPError& error) const;
  // Method calls on arrays and strings: evaluates the arguments, then runs
  // the method; an unknown name sets code 17.
  QZMPRuntimeValue evaluateArrayMethod(std::u16string_view name, const QZMPRuntimeValue& array,
                                       QZMPArguments arguments, QZMPScope& scope, QZMPError& error) const;
  QZMPRuntimeValue evaluateStringMethod(std::u16string_view name, const QZMPRuntimeValue& string,
                                        QZMPArguments arguments, QZMPScope& scope, QZMPError& error) const;

  // Runs one command with its raw arguments: the argument-count check and
  // the evaluation its dispatch asks for, then the handler. A `statement`
  // command gets a statement made to hold the arguments.
  static QZMPRuntimeValue dispatch(const QZMPCommand& command, QZMPArguments arguments, QZMPScope& scope,
                                   QZMPError& error);

 private:
  struct MethodKey {
    using is_transparent = void;
    std::size_t operator()(std::u16string_view name) const;
  };
  struct MethodEqual {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const { return a == b; }
  };
  using MethodTable = absl::flat_hash_map<std::u16string, QZMPMethod, MethodKey, MethodEqual>;
  // A copy of the command, so that dispatch reads it from the table itself.
  struct Slot {
    QZMPCommand command{};
    const QZMPCommandEvaluator* evaluator = nullptr;  // nullptr for a free opcode
    QZMPNumberOperator numberOperator = QZMPNumberOperator::none;
    bool readsName = false;
    bool assignsName = false;
    bool returnsData = false;
    bool callsMethods = false;
    bool buildsArrays = false;
    bool branches = false;
    bool listsStatements = false;
  };

  // A statement already counted, at its depth: the command its opcode names
  // with the arguments its dispatch asks for, or the script function.
  QZMPRuntimeValue evaluateCommand(const QZMPStatementValue& statement, QZMPRuntime& runtime, QZMPScope& scope,
                                   QZMPError& error) const;
  // One argument of an evaluated command, counted, into `value`; false on
  // an error.
  bool evaluateArgument(const QZMPRuntimeValue& argument, QZMPRuntime& runtime, QZMPScope& scope,
                        QZMPRuntimeValue& value, QZMPError& error) const;
  // A name read whose name is written as a literal, already counted and at
  // its depth: the literal's count and the lookup.
  static bool readName(const QZMPStatementValue& statement, QZMPRuntime& runtime, QZMPScope& scope,
                       QZMPRuntimeValue& value, QZMPError& error);
  // The operator on two operands, or an assignment to a literal name.
  QZMPRuntimeValue evaluateOperator(const Slot& slot, QZMPArguments arguments, QZMPRuntime& runtime, QZMPScope& scope,
                                    QZMPError& error) const;
  QZMPRuntimeValue evaluateAssignment(const QZMPStatementValue& statement, QZMPRuntime& runtime, QZMPScope& scope,
                                      QZMPError& error) const;
  // Whether the statement is an array literal whose elements a direct
  // method call may take in place.
  bool isArrayLiteral(const QZMPRuntimeValue& argument) const;
  QZMPRuntimeValue evaluateMethodCall(QZMPArguments arguments, QZMPRuntime& runtime, QZMPScope& scope,
                                      QZMPError& error) const;
  // An evaluated command with more arguments than fit in place; out of
  // line, so that the frame every nesting level takes stays small.
  ABSL_ATTRIBUTE_NOINLINE QZMPRuntimeValue evaluateLongCommand(const QZMPCommand& command, QZMPArguments arguments,
                                                               QZMPRuntime& runtime, QZMPScope& scope,
                                                               QZMPError& error) const;
  QZMPRuntimeValue evaluateBranch(const Slot& slot, QZMPArguments arguments, QZMPRuntime& runtime, QZMPScope& scope,
                                  QZMPError& error) const;
  static QZMPRuntimeValue evaluateMethod(const MethodTable& table, std::u16string_view name,
                                         const QZMPRuntimeValue& receiver, QZMPArguments arguments,
                                         QZMPScope& scope, QZMPError& error);

  std::vector<std::unique_ptr<QZMPCommandEvaluator>> evaluators_;
  std::array<Slot, kQZMPOpcodeCapacity> commands_{};
  MethodTable arrayMethods_;
  MethodTable stringMethods_;
};
