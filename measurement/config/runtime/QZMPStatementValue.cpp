#include "measurement/config/runtime/QZMPStatementValue.h"

#include "measurement/config/runtime/QZMPObjectManager.h"

int QZMPOpcodeFromName(std::u16string_view name) {
  if (name.empty() || name.size() > 3 || (name.size() > 1 && name[0] == u'0')) return -1;
  int opcode = 0;
  for (char16_t unit : name) {
    if (unit < u'0' || unit > u'9') return -1;
    opcode = opcode * 10 + (unit - u'0');
  }
  return opcode < kQZMPOpcodeCapacity ? opcode : -1;
}

namespace {

std::size_t stringBytes(const QZMPStringValue& string) {
  return kQZMPAllocationBytes + sizeof(QZMPStringValue) + (string.length() + 1) * sizeof(char16_t);
}

}  // namespace

QZMPStatementValue::QZMPStatementValue(QZMPRef<QZMPStringValue> functionName, std::vector<QZMPRuntimeValue> arguments)
    : functionName_(functionName ? std::move(functionName) : QZMPStringValue::empty()),
      arguments_(std::move(arguments)),
      opcode_(QZMPOpcodeFromName(functionName_->view())) {
  // Arguments are made before the statement holding them, so their sizes
  // are known here.
  treeBytes_ = kQZMPAllocationBytes + sizeof(QZMPStatementValue) + stringBytes(*functionName_) +
               arguments_.capacity() * sizeof(QZMPRuntimeValue);
  for (const QZMPRuntimeValue& argument : arguments_) {
    if (const QZMPStatementValue* statement = argument.asStatement()) {
      treeBytes_ += statement->treeBytes_;
    } else if (const QZMPStringValue* string = argument.asString()) {
      treeBytes_ += stringBytes(*string);
    }
  }
}

QZMPRef<QZMPStatementValue> QZMPStatementValue::withFunctionName(QZMPRef<QZMPStringValue> functionName,
                                                                 std::vector<QZMPRuntimeValue> arguments) {
  return QZMPMake<QZMPStatementValue>(std::move(functionName), std::move(arguments));
}

QZMPRuntimeValue QZMPControlValue::breakValue() { return QZMPRuntimeValue::breakValue(); }

QZMPRuntimeValue QZMPControlValue::continueValue() { return QZMPRuntimeValue::continueValue(); }

QZMPRuntimeValue QZMPControlValue::returnValueWithData(QZMPRuntimeValue data) {
  if (data.isHole()) data = QZMPRuntimeValue();
  return QZMPRuntimeValue(QZMPMake<QZMPControlValue>(std::move(data)));
}

std::u16string_view QZMPControlValue::type(const QZMPRuntimeValue& control) {
  switch (control.kind()) {
    case QZMPValueKind::breakControl:
      return u"break";
    case QZMPValueKind::continueControl:
      return u"continue";
    case QZMPValueKind::returnControl:
      return u"return";
    default:
      return {};
  }
}

QZMPRuntimeValue QZMPControlValue::data(const QZMPRuntimeValue& control) {
  const QZMPControlValue* value = control.asReturn();
  return value ? value->data_ : QZMPRuntimeValue();
}

void QZMPControlValue::traceReferences(QZMPMarker& marker) {
  marker.countObject(sizeof(QZMPControlValue));
  marker.mark(data_);
}
