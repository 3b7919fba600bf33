#include "measurement/model/QZMEventNames.h"

#include <algorithm>
#include <array>
#include <vector>

#include "measurement/foundation/QZMMeasurementBase.h"
#include "measurement/foundation/QZMMonitor.h"
#include "measurement/foundation/QZMUtilities.h"
#include "platform/foundation/Strings.h"

namespace {

constexpr std::string_view kCampaignPrefix = "zarnholt_";

bool inDebugMode() { return QZMMeasurementBase::monitor()->isDebugModeEnabled(); }

}  // namespace

const QZMNameMap& QZMPublicToInternalEventNameMap() {
  static const auto* map = new QZMNameMap{
      {"adunit_exposure", "_xu"},
      {"ad_activeview", "_aa"},
      {"ad_click", "_ac"},
      {"ad_exposure", "_xa"},
      {"ad_impression", "_ai"},
      {"ad_query", "_aq"},
      {"ad_reward", "_ar"},
      {"app_clear_data", "_cd"},
      {"app_exception", "_ae"},
      {"app_remove", "_ui"},
      {"app_store_refund", "_asr"},
      {"app_store_subscription_cancel", "_asse"},
      {"app_store_subscription_convert", "_assc"},
      {"app_store_subscription_renew", "_assr"},
      {"app_update", "_au"},
      {"session_start_with_rollout", "_ssr"},
      {"app_upgrade", "_ug"},
      {"error", "_err"},
      {"zarnholt_campaign", "_cmp"},
      {"first_open", "_f"},
      {"first_visit", "_v"},
      {"qvz_campaign", "_cmp"},
      {"qvz_extra_parameter", "_ep"},
      {"in_app_purchase", "_iap"},
      {"notification_dismiss", "_nd"},
      {"notification_foreground", "_nf"},
      {"notification_open", "_no"},
      {"notification_receive", "_nr"},
      {"os_update", "_ou"},
      {"screen_view", "_vs"},
      {"session_start", "_s"},
      {"user_engagement", "_e"},
  };
  return *map;
}

const QZMNameMap& QZMInternalToPublicEventNameMap() {
  static const auto* map = [] {
    auto* reverse = new QZMNameMap;
    for (const auto& [publicName, internalName] : QZMPublicToInternalEventNameMap()) {
      auto [slot, inserted] = reverse->emplace(internalName, publicName);
      // Of two public names, the one without the old prefix is shown.
      if (!inserted && slot->second.starts_with(kCampaignPrefix)) slot->second = publicName;
    }
    return reverse;
  }();
  return *map;
}

const QZMNameMap& QZMAllowedReservedEventNameMap() {
  static const auto* map = new QZMNameMap{{"ad_impression", "_ai"}};
  return *map;
}

const QZMNameMap& QZMInternalParameterNameMap() {
  static const auto* map = new QZMNameMap{
      {"ad_event_id", "_aeid"},
      {"ad_unit_id", "_ai"},
      {"app_in_background", "_aib"},
      {"customer_type", "_ct"},
      {"deferred_analytics_collection", "_dac"},
      {"engagement_time_msec", "_et"},
      {"exposure_time", "_xt"},
      {"zarnholt_conversion", "_c"},
      {"zarnholt_debug", "_dbg"},
      {"zarnholt_error", "_err"},
      {"zarnholt_error_length", "_el"},
      {"zarnholt_error_value", "_ev"},
      {"zarnholt_event_origin", "_o"},
      {"zarnholt_feature_rollouts", "_ffr"},
      {"zarnholt_previous_class", "_pc"},
      {"zarnholt_previous_id", "_pi"},
      {"zarnholt_previous_screen", "_pn"},
      {"zarnholt_realtime", "_r"},
      {"zarnholt_screen", "_sn"},
      {"zarnholt_screen_class", "_sc"},
      {"zarnholt_screen_id", "_si"},
      {"qvz_conversion", "_c"},
      {"qvz_debug", "_dbg"},
      {"qvz_dedupe_id", "_did"},
      {"qvz_error", "_err"},
      {"qvz_error_length", "_el"},
      {"qvz_error_value", "_ev"},
      {"qvz_event_id", "_eid"},
      {"qvz_event_name", "_en"},
      {"qvz_event_origin", "_o"},
      {"qvz_extra_params_ct", "_epc"},
      {"qvz_group_name", "_gn"},
      {"qvz_index", "_i"},
      {"qvz_list_length", "_ll"},
      {"qvz_previous_class", "_pc"},
      {"qvz_previous_id", "_pi"},
      {"qvz_previous_screen", "_pn"},
      {"qvz_realtime", "_r"},
      {"qvz_screen", "_sn"},
      {"qvz_screen_class", "_sc"},
      {"qvz_screen_id", "_si"},
      {"message_id", "_nmid"},
      {"message_name", "_nmn"},
      {"message_time", "_nmt"},
      {"message_tracking_id", "_nmtid"},
      {"message_type", "_nmc"},
      {"message_device_time", "_ndt"},
      {"previous_app_version", "_pv"},
      {"previous_first_open_count", "_pfo"},
      {"previous_dxv_app_id", "_pdxv"},
      {"previous_os_version", "_po"},
      {"session_id", "_sid"},
      {"session_number", "_sno"},
      {"topic", "_nt"},
      {"update_with_analytics", "_uwa"},
  };
  return *map;
}

const std::map<std::int64_t, std::string>& QZMEventErrorCodeNameMap() {
  static const auto* map = new std::map<std::int64_t, std::string>{
      {0, "NoError"},
      {1, "InvalidDXVAppID"},
      {2, "InvalidEventName"},
      {3, "InvalidParameterName"},
      {4, "InvalidParameterValue"},
      {5, "ParameterLimitReached"},
      {6, "InvalidUserPropertyName"},
      {7, "UserPropertyValueTooLong"},
      {8, "EventLimitReached"},
      {9, "UserPropertyLimitReached"},
      {10, "ConversionEventLimitReached"},
      {11, "EventIsBlocked"},
      {12, "UserPropertyIsBlocked"},
      {13, "EventNameIsReserved"},
      {14, "ParameterNameIsReserved"},
      {15, "UserPropertyNameIsReserved"},
      {16, "PublicEventLimitReached"},
      {17, "TooManyExtraParamEvents"},
      {18, "ValueIsNotNumeric"},
      {19, "CurrencyCodeIsMissingOrInvalid"},
      {20, "InvalidArrayParamName"},
      {21, "InvalidArrayParamEventName"},
      {22, "InvalidArrayParamNesting"},
      {23, "CustomParamsInArrayElement"},
      {28, "ItemScopedCustomParameterLimitReached"},
  };
  return *map;
}

bool QZMIsStandardItemParameterName(std::string_view name) {
  static constexpr std::array<std::string_view, 33> kNames = {
      "affiliation",    "coupon",         "creative_name",  "creative_slot",    "currency",
      "discount",       "index",          "item_id",        "item_brand",       "item_category",
      "item_category2", "item_category3", "item_category4", "item_category5",   "item_list_name",
      "item_list_id",   "item_name",      "item_variant",   "location_id",      "payment_type",
      "price",          "promotion_id",   "promotion_name", "quantity",         "shipping",
      "shipping_tier",  "tax",            "transaction_id", "value",            "checkout_step",
      "checkout_option", "item_list",     "item_location_id",
  };
  return std::find(kNames.begin(), kNames.end(), name) != kNames.end();
}

bool QZMIsPublicName(const QZMValidatorInput& name) {
  const std::string_view* text = name.text();
  if (text == nullptr) {
    QZMMeasurementBase::monitor()->logWithLevel(2, 18002, "Cannot check the name. Name is not a string");
    return false;
  }
  if (text->empty()) {
    QZMMeasurementBase::monitor()->logWithLevel(2, 18003, "Cannot check the name. Name is empty");
    return false;
  }
  return text->front() != '_';
}

// ---- Display forms ----

std::string QZMDisplayNameWithMap(const QZMValidatorInput& input, const QZMNameMap& map) {
  if (input.text() == nullptr) return input.description();
  const std::string_view name = *input.text();
  if (name.empty() || map.empty() || name.front() != '_') return std::string(name);
  if (!inDebugMode() || !QZMUtilities::shared()->classExists("ZNHAnalytics")) return std::string(name);
  const std::string* found = nullptr;
  for (const auto& [key, value] : map) {
    if (value != name) continue;
    found = &key;
    if (!key.starts_with(kCampaignPrefix)) break;
  }
  if (found == nullptr) return std::string(name);
  return *found + " (" + std::string(name) + ")";
}

std::string QZMEventNameForLogging(std::string_view name) {
  return QZMDisplayNameWithMap(name, QZMPublicToInternalEventNameMap());
}

std::string QZMParameterNameForLogging(std::string_view name) {
  return QZMDisplayNameWithMap(name, QZMInternalParameterNameMap());
}

std::string QZMUserPropertyNameForLogging(std::string_view name) {
  if (name.starts_with("_exp_")) return "experiment_id (" + std::string(name) + ")";
  return QZMDisplayNameWithMap(name, QZMInternalUserPropertyNameMap());
}

std::string QZMParametersForLogging(const QZMObject& object) { return QZMDictionaryDescriptionWithIndent(object, ""); }

std::string QZMParametersForLogging(const QZMParameters& parameters) {
  return QZMParametersForLogging(QZMObject(QZMDictionaryFromParameters(parameters)));
}

std::string QZMDictionaryDescriptionWithIndent(const QZMObject& object, std::string_view indent) {
  const QZMDictionary* entries = object.dictionary();
  if (!inDebugMode() || entries == nullptr) return object.description();
  struct Line {
    std::string sortKey;
    std::string text;
  };
  std::vector<Line> lines;
  for (const auto& [name, item] : *entries) {
    std::string valueText;
    const QZMValue* value = item.value();
    if (item.array() != nullptr || (value != nullptr && value->arrayValue() != nullptr)) {
      valueText = QZMArrayDescription(item);
    } else if (name == "_err" && value != nullptr && value->isInt64()) {
      const auto& names = QZMEventErrorCodeNameMap();
      auto known = names.find(value->int64Value());
      valueText = known != names.end() ? known->second + " (" + std::to_string(value->int64Value()) + ")"
                                       : std::to_string(value->int64Value());
    } else {
      valueText = item.description();
    }
    std::string text = std::string(indent) + "    " + QZMParameterNameForLogging(name) + " = " + valueText + ";\n";
    lines.push_back({foundation::lowercased(text), std::move(text)});
  }
  std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.sortKey < b.sortKey; });
  std::string out = std::string(indent) + "{\n";
  for (const Line& line : lines) out += line.text;
  return out + std::string(indent) + "}";
}

std::string QZMArrayDescription(const QZMObject& object) {
  const QZMArray* items = object.array();
  if (items == nullptr && object.value() != nullptr) items = object.value()->arrayValue();
  if (!inDebugMode() || items == nullptr) return object.description();
  std::string out = "[\n";
  for (std::size_t i = 0; i < items->size(); ++i) {
    if (i > 0) out += ",\n";
    out += QZMDictionaryDescriptionWithIndent((*items)[i], "    ");
  }
  return out + "\n    ]";
}
