// Functions: a name, parameter names, body statements and the scope they
// were defined in, plus named properties. Invoking one binds the arguments
// in a fresh child of the defining scope and runs the body there. Natives
// (modules and host functions) subclass this and override the invocation.
//
// The body is never copied: every function a definition makes shares the
// statements of that definition, which it keeps alive.
#pragma once

#include <vector>

#include "measurement/config/runtime/QZMPObjectManager.h"
#include "measurement/config/runtime/QZMPPropertyContainer.h"
#include "measurement/config/runtime/QZMPRuntimeValue.h"
#include "measurement/config/runtime/QZMPScope.h"
#include "measurement/config/runtime/QZMPStatementValue.h"

// The statements a function runs: the arguments of `holder` from `first`
// on.
struct QZMPFunctionBody {
  QZMPRef<const QZMPStatementValue> holder;
  std::size_t first = 0;

  // A holder made for statements given as a list.
  static QZMPFunctionBody of(std::vector<QZMPRuntimeValue> statements);
  QZMPArguments statements() const { return holder ? holder->arguments().subspan(first) : QZMPArguments(); }
};

class QZMPFunctionValue : public QZMPPropertyContainer {
 public:
  static constexpr QZMPValueKind kValueKind = QZMPValueKind::function;

  QZMPFunctionValue(QZMPRef<QZMPStringValue> functionName, std::vector<QZMPRef<QZMPStringValue>> parameterNames,
                    QZMPFunctionBody body, QZMPRef<QZMPScope> definingScope);
  // A native: a name and nothing to run.
  explicit QZMPFunctionValue(QZMPRef<QZMPStringValue> functionName);

  const QZMPStringValue& functionName() const { return *functionName_; }
  const std::vector<QZMPRef<QZMPStringValue>>& parameterNames() const { return parameterNames_; }
  QZMPArguments statements() const { return body_.statements(); }
  QZMPScope* definingScope() const { return definingScope_.get(); }

  // Evaluates the arguments in the caller's scope, left to right, stopping
  // at the first error, then invokes with the values.
  virtual QZMPRuntimeValue invokeWithArguments(QZMPArguments arguments, QZMPScope& scope, QZMPError& error);
  // Runs the body in a child of the defining scope with each parameter bound
  // to the argument at its position (undefined when missing). A return
  // control gives its data; any other result comes back as it is.
  virtual QZMPRuntimeValue invokeWithEvaluatedArguments(QZMPArguments arguments, QZMPError& error);
  virtual QZMPRuntimeValue applyWithName(std::u16string_view name, QZMPArguments arguments, QZMPScope& scope,
                                         QZMPError& error);

  // Natives that hold values privately extend these two.
  void traceReferences(QZMPMarker& marker) override;
  void clearForCollection() override;

 private:
  QZMPRef<QZMPStringValue> functionName_;
  std::vector<QZMPRef<QZMPStringValue>> parameterNames_;
  QZMPFunctionBody body_;
  QZMPRef<QZMPScope> definingScope_;
};

inline QZMPFunctionValue* QZMPRuntimeValue::asFunction() const {
  return isFunction() ? static_cast<QZMPFunctionValue*>(object_) : nullptr;
}
