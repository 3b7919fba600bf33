#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"

#include <cstdio>
#include <vector>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPEvaluator.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPNumberConversion.h"
#include "measurement/config/runtime/QZMPRuntimeEntityConverter.h"
#include "measurement/config/runtime/QZMPStatementValue.h"
#include "measurement/config/runtime/testkit/QZMPAssembler.h"

namespace {

std::string quote(const QZMPStringValue& string) {
  std::string out = "\"";
  for (char16_t unit : string.view()) {
    if (unit == '"' || unit == '\\') {
      out += '\\';
      out += static_cast<char>(unit);
    } else if (unit >= 0x20 && unit < 0x7F) {
      out += static_cast<char>(unit);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(unit));
      out += buffer;
    }
  }
  return out + "\"";
}

void describe(const QZMPRuntimeValue& value, std::vector<const QZMPObject*>& path, std::string& out) {
  const QZMPObject* object = value.object();
  if (object) {
    for (const QZMPObject* seen : path) {
      if (seen == object) {
        out += "<cycle>";
        return;
      }
    }
    if (path.size() > 32) {
      out += "...";
      return;
    }
  }
  path.push_back(object);
  switch (value.kind()) {
    case QZMPValueKind::undefined: out += "undefined"; break;
    case QZMPValueKind::null: out += "null"; break;
    case QZMPValueKind::hole: out += "<hole>"; break;
    case QZMPValueKind::boolean: out += value.asBoolean() ? "true" : "false"; break;
    case QZMPValueKind::number: out += QZMPNumberToString(value.asNumber()); break;
    case QZMPValueKind::string: out += quote(*value.asString()); break;
    case QZMPValueKind::breakControl: out += "<break>"; break;
    case QZMPValueKind::continueControl: out += "<continue>"; break;
    case QZMPValueKind::returnControl:
      out += "<return ";
      describe(value.asReturn()->data(), path, out);
      out += ">";
      break;
    case QZMPValueKind::array: {
      const QZMPArrayValue& array = *value.asArray();
      out += "[";
      for (std::size_t i = 0; i < array.count(); ++i) {
        if (i) out += ", ";
        describe(array.slotAt(i), path, out);
      }
      if (const QZMPPropertyMap* properties = array.propertyMap()) {
        properties->forEach([&](const QZMPStringValue& name, const QZMPRuntimeValue& item) {
          out += out.back() == '[' ? "" : ", ";
          out += quote(name) + ": ";
          describe(item, path, out);
        });
      }
      out += "]";
      break;
    }
    case QZMPValueKind::map: {
      out += "{";
      bool first = true;
      value.asMap()->propertyMap().forEach([&](const QZMPStringValue& name, const QZMPRuntimeValue& item) {
        if (!first) out += ", ";
        first = false;
        out += quote(name) + ": ";
        describe(item, path, out);
      });
      out += "}";
      break;
    }
    case QZMPValueKind::function:
      out += "<function " + value.asFunction()->functionName().utf8() + ">";
      break;
    case QZMPValueKind::statement: {
      const QZMPStatementValue& statement = *value.asStatement();
      out += "(" + (statement.opcode() >= 0 ? statement.functionName().utf8() : quote(statement.functionName()));
      for (const QZMPRuntimeValue& argument : statement.arguments()) {
        out += " ";
        describe(argument, path, out);
      }
      out += ")";
      break;
    }
  }
  path.pop_back();
}

}  // namespace

std::string QZMPDescribe(const QZMPRuntimeValue& value) {
  std::vector<const QZMPObject*> path;
  std::string out;
  describe(value, path, out);
  return out;
}

std::string QZMPDescribe(const QZMPError& error) {
  if (!error) return "no error";
  const std::string& domain = error.domain();
  const char* name = domain == kQZMPGlintErrorDomain     ? "glint"
                     : domain == kQZMPEditingErrorDomain ? "editing"
                                                         : domain.c_str();
  return std::string("error ") + name + " " + std::to_string(error.code());
}

std::string QZMPOutcome::describe() const { return error ? QZMPDescribe(error) : QZMPDescribe(value); }

QZMPOutcome QZMPRun(QZMPRuntime& runtime, std::string_view text) {
  QZMPOutcome outcome;
  auto statements = QZMPAssembleStatements(text);
  if (!statements) {
    ADD_FAILURE() << "does not assemble: " << text << ": " << statements.error().description;
    return outcome;
  }
  outcome.value = runtime.executeStatements(*statements, outcome.error);
  return outcome;
}

QZMPRuntimeValue QZMPValueOf(std::string_view text) {
  auto entity = QZMPAssembleEntity(text);
  if (!entity) {
    ADD_FAILURE() << "does not assemble: " << text << ": " << entity.error().description;
    return QZMPRuntimeValue();
  }
  QZMPError error;
  QZMPRuntimeValue value = QZMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(**entity, error);
  if (error) ADD_FAILURE() << "does not convert: " << text << ": " << QZMPDescribe(error);
  return value;
}

QZMPOutcome QZMPEvaluateIn(QZMPScope& scope, std::string_view text) {
  QZMPOutcome outcome;
  const QZMPRuntimeValue statement = QZMPValueOf(text);
  outcome.value = QZMPEvaluator::evaluateStatement(statement, scope, outcome.error);
  return outcome;
}

QZMPRuntimeTest::~QZMPRuntimeTest() {
  EXPECT_EQ(QZMPObject::liveCount(), 0) << "runtime objects outlived the test";
}

std::uint32_t QZMPFNV1a(std::u16string_view text) {
  std::uint32_t hash = 2166136261u;
  for (char16_t unit : text) hash = (hash ^ unit) * 16777619u;
  return hash;
}

std::vector<std::u16string> QZMPFNVCollidingKeys(const std::u16string& prefix, std::size_t count) {
  constexpr std::uint32_t kPrime = 16777619u;
  std::uint32_t inverse = kPrime;  // Newton's iteration for the inverse modulo 2^32
  for (int i = 0; i < 5; ++i) inverse *= 2u - kPrime * inverse;
  const std::uint32_t start = QZMPFNV1a(prefix);
  // The state before the last unit that every key must reach, up to the
  // unit's own 16 bits.
  const std::uint32_t beforeLast = QZMPFNV1a(prefix + u"abc") * inverse;
  std::vector<std::u16string> keys;
  for (std::uint32_t first = 0; first < 0x10000 && keys.size() < count; ++first) {
    for (std::uint32_t second = 0; second < 0x10000 && keys.size() < count; ++second) {
      const std::uint32_t third = ((((start ^ first) * kPrime) ^ second) * kPrime) ^ beforeLast;
      if (third >= 0x10000) continue;
      std::u16string key = prefix;
      key += static_cast<char16_t>(first);
      key += static_cast<char16_t>(second);
      key += static_cast<char16_t>(third);
      keys.push_back(std::move(key));
    }
  }
  return keys;
}
