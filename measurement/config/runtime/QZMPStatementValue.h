// The two values that are not data: statements (a command or function name
// with unevaluated arguments, made from a program's entities) and the
// controls break, continue and return. Neither converts to text, number or
// Boolean. Break and continue live in the value itself; a return carries
// its data on the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "measurement/config/runtime/QZMPRuntimeValue.h"

class QZMPStatementValue final : public QZMPObject {
 public:
  static constexpr QZMPValueKind kValueKind = QZMPValueKind::statement;

  // Arguments hold only literals and statements.
  static QZMPRef<QZMPStatementValue> withFunctionName(QZMPRef<QZMPStringValue> functionName,
                                                      std::vector<QZMPRuntimeValue> arguments);

  const QZMPStringValue& functionName() const { return *functionName_; }
  QZMPArguments arguments() const { return arguments_; }
  // The command number the name spells in canonical decimal ("22", not
  // "022"), or -1; looked up once here so that dispatch is a table index.
  int opcode() const { return opcode_; }
  // Where the name this statement reads, assigns or calls was last found
  // in its scope's variables: a hint the lookup checks before it trusts it,
  // so that a statement resolves its name once and not on every run.
  std::uint32_t& nameSlot() const { return nameSlot_; }
  // The memory this statement and its arguments, nested statements and
  // literals included, take.
  std::size_t treeBytes() const { return treeBytes_; }

 private:
  QZMPStatementValue(QZMPRef<QZMPStringValue> functionName, std::vector<QZMPRuntimeValue> arguments);
  ~QZMPStatementValue() override = default;
  template <class T, class... Args>
  friend QZMPRef<T> QZMPMake(Args&&... args);

  QZMPRef<QZMPStringValue> functionName_;
  std::vector<QZMPRuntimeValue> arguments_;
  int opcode_;
  mutable std::uint32_t nameSlot_ = UINT32_MAX;
  std::size_t treeBytes_;
};

// Parses a canonical decimal opcode below kQZMPOpcodeCapacity; -1 otherwise.
inline constexpr int kQZMPOpcodeCapacity = 128;
int QZMPOpcodeFromName(std::u16string_view name);

class QZMPControlValue final : public QZMPObject {
 public:
  static constexpr QZMPValueKind kValueKind = QZMPValueKind::returnControl;

  static QZMPRuntimeValue breakValue();
  static QZMPRuntimeValue continueValue();
  static QZMPRuntimeValue returnValueWithData(QZMPRuntimeValue data);

  // "break", "continue" or "return"; empty for a value that is no control.
  static std::u16string_view type(const QZMPRuntimeValue& control);
  // A return's data; undefined for break, continue and anything else.
  static QZMPRuntimeValue data(const QZMPRuntimeValue& control);

  const QZMPRuntimeValue& data() const { return data_; }
  void traceReferences(QZMPMarker& marker) override;

 private:
  explicit QZMPControlValue(QZMPRuntimeValue data) : data_(std::move(data)) {}
  ~QZMPControlValue() override = default;
  template <class T, class... Args>
  friend QZMPRef<T> QZMPMake(Args&&... args);

  QZMPRuntimeValue data_;
};

inline QZMPStatementValue* QZMPRuntimeValue::asStatement() const {
  return isStatement() ? static_cast<QZMPStatementValue*>(object_) : nullptr;
}
inline QZMPControlValue* QZMPRuntimeValue::asReturn() const {
  return isReturn() ? static_cast<QZMPControlValue*>(object_) : nullptr;
}
