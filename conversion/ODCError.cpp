#include "conversion/ODCError.h"

#include <cinttypes>

#include "platform/foundation/JSON.h"
#include "platform/foundation/Log.h"
#include "platform/utilities/DRKLogger.h"

namespace {

void log(int level, std::int64_t code, std::string_view message) {
  DRKOSLogBasic(level, kODCLogSubsystem, kODCLogCategory, false, ODCMessageCode(code), message);
}

}  // namespace

std::string ODCMessageCode(std::int64_t code) { return foundation::format("I-ODC%06" PRId64, code); }

void ODCLogError(std::int64_t code, std::string_view message) { log(DRKLoggerLevelError, code, message); }
void ODCLogWarning(std::int64_t code, std::string_view message) { log(DRKLoggerLevelWarning, code, message); }
void ODCLogDebug(std::int64_t code, std::string_view message) { log(DRKLoggerLevelDebug, code, message); }

foundation::Error ODCErrorWithCode(std::int64_t code, std::string_view message) {
  ODCLogError(code, message);
  return foundation::Error(kODCErrorDomain, code, std::string(message));
}

foundation::Result<foundation::Dictionary> ODCDictionaryFromJSONData(const foundation::Data* data) {
  if (!data) return ODCErrorWithCode(kODCErrorJSONDataNil, "Data is nil.");
  auto object = foundation::parseJSON(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
  if (!object) return object.error();
  if (!object->isDictionary()) return ODCErrorWithCode(kODCErrorJSONRootNotDictionary, "JSON root is not a dictionary.");
  return std::move(*object->dictionary());
}

std::optional<foundation::Data> ODCJSONDataFromDictionary(const foundation::Dictionary& dictionary) {
  auto text = foundation::serializeJSON(foundation::Object(dictionary));
  if (!text) return std::nullopt;
  return foundation::Data(text->begin(), text->end());
}
