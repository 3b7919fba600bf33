// What the message runtime costs beside libprotobuf: one upload batch of 20
// bundles, each with 50 events of 5 parameters and 10 user properties, encoded
// and decoded by the runtime and by libprotobuf's generated classes for the
// same schema, on the same bytes. Encoding is also set beside nanopb's own
// pb_encode of the same batch held in nanopb's structs, the way a program
// using nanopb alone would encode it (lists through callbacks, each
// sub-message written with pb_encode_submessage): the runtime writes through
// nanopb, so that is its floor.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <pb_common.h>
#include <pb_encode.h>

#include "measurement.pb.h"
#include "measurement/proto/NANOFieldAccess.h"
#include "measurement/proto/NANOMessageFunctions.h"
#include "measurement/proto/generated/QZMPBMessages.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBundles = 20;
constexpr int kEvents = 50;
constexpr int kParams = 5;
constexpr int kUserProperties = 10;
constexpr int kRuns = 31;
constexpr int kIterations = 20;

void report(const std::string& name, double value, const char* unit) {
  std::printf("%s %.3f %s\n", name.c_str(), value, unit);
  std::fflush(stdout);
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "proto_bench: %s\n", what);
  std::exit(1);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Microseconds per call of the runtime's work and of the reference's, and
// their ratio. The two take turns run by run, so that a machine whose load
// changes meanwhile slows both alike; each figure is the median over runs.
struct Comparison {
  double ours;
  double reference;
  double ratio;
};

template <class Ours, class Reference>
Comparison sideBySide(Ours&& ours, Reference&& reference) {
  auto perCall = [](auto& work) {
    auto start = Clock::now();
    for (int i = 0; i < kIterations; ++i) work();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kIterations;
  };
  std::vector<double> oursRuns, referenceRuns, ratios;
  for (int run = 0; run < kRuns; ++run) {
    oursRuns.push_back(perCall(ours));
    referenceRuns.push_back(perCall(reference));
    ratios.push_back(oursRuns.back() / referenceRuns.back());
  }
  return {median(oursRuns), median(referenceRuns), median(ratios)};
}

std::shared_ptr<NANOMessageBase> makeParam(int event, int index) {
  std::shared_ptr<QZMPBEventParam> param = QZMPBEventParam::initWithMessageInfo(nullptr);
  static const char* names[kParams] = {"_o", "screen_class_reported", "value", "level", "_et"};
  NANOSetString(param.get(), QZMPBEventParam::kName, names[index]);
  switch (index) {
    case 0: NANOSetString(param.get(), QZMPBEventParam::kStringValue, "auto"); break;
    case 1: NANOSetString(param.get(), QZMPBEventParam::kStringValue, "ViewController"); break;
    case 2: NANOSetDouble(param.get(), QZMPBEventParam::kDoubleValue, 4.99 + event); break;
    default: NANOSetInt64(param.get(), QZMPBEventParam::kIntValue, 1000LL * event + index); break;
  }
  return param;
}

std::shared_ptr<NANOMessageBase> makeEvent(int bundle, int index) {
  std::shared_ptr<QZMPBEvent> event = QZMPBEvent::initWithMessageInfo(nullptr);
  static const char* names[] = {"screen_view", "level_up", "purchase", "session_start", "user_engagement"};
  NANOSetString(event.get(), QZMPBEvent::kName, names[index % 5]);
  int64_t time = 1714000000000LL + bundle * 3600000LL + index * 1500LL;
  NANOSetInt64(event.get(), QZMPBEvent::kTimestampMillis, time);
  if (index > 0) NANOSetInt64(event.get(), QZMPBEvent::kPreviousTimestampMillis, time - 1500);
  NANOObjectArray params;
  for (int p = 0; p < kParams; ++p) params.emplace_back(makeParam(index, p));
  NANOSetArray(event.get(), QZMPBEvent::kParams, &params);
  return event;
}

std::shared_ptr<NANOMessageBase> makeUserProperty(int bundle, int index) {
  std::shared_ptr<QZMPBUserAttribute> property = QZMPBUserAttribute::initWithMessageInfo(nullptr);
  NANOSetInt64(property.get(), QZMPBUserAttribute::kSetTimestampMillis, 1713990000000LL + bundle * 1000LL + index);
  NANOSetString(property.get(), QZMPBUserAttribute::kName, "property_" + std::to_string(index));
  if (index % 2 == 0) {
    NANOSetString(property.get(), QZMPBUserAttribute::kStringValue, "value_" + std::to_string(index * 7));
  } else {
    NANOSetInt64(property.get(), QZMPBUserAttribute::kIntValue, index * 12345LL);
  }
  return property;
}

std::shared_ptr<NANOMessageBase> makeBundle(int index) {
  std::shared_ptr<QZMPBMeasurementBundle> bundle = QZMPBMeasurementBundle::initWithMessageInfo(nullptr);
  using B = QZMPBMeasurementBundle;
  auto* b = bundle.get();
  int64_t start = 1714000000000LL + index * 3600000LL;
  NANOSetInt32(b, B::kProtocolVersion, 1);
  NANOSetInt64(b, B::kUploadTimestampMillis, start + 7200000);
  NANOSetInt64(b, B::kStartTimestampMillis, start);
  NANOSetInt64(b, B::kEndTimestampMillis, start + kEvents * 1500LL);
  NANOSetString(b, B::kPlatform, "desktop");
  NANOSetString(b, B::kOsVersion, "17.4.1");
  NANOSetString(b, B::kDeviceModel, "Model15,3");
  NANOSetString(b, B::kUserDefaultLanguage, "en-gb");
  NANOSetInt32(b, B::kTimezoneOffsetMinutes, 60);
  NANOSetString(b, B::kAppId, "com.example.fluidtoy");
  NANOSetString(b, B::kAppVersion, "2.3.1");
  NANOSetInt64(b, B::kLibraryVersion, 110200);
  NANOSetInt64(b, B::kUploadLibraryVersion, 110200);
  NANOSetBool(b, B::kLimitedAdTracking, false);
  NANOSetString(b, B::kAppInstanceId, "6c1a4b2e9f8d4c7ab0e3d5f60718293a");
  NANOSetInt32(b, B::kBundleIndex, index + 1);
  NANOSetString(b, B::kDxvAppId, "1:1234567890:desktop:abcdef01");
  NANOSetInt64(b, B::kConfigVersion, 1713000000000LL);
  NANOSetString(b, B::kConsentSignals, "G1--");
  NANOSetInt32(b, B::kDeliveryIndex, index);
  NANOObjectArray events;
  for (int e = 0; e < kEvents; ++e) events.emplace_back(makeEvent(index, e));
  NANOSetArray(b, B::kEvents, &events);
  NANOObjectArray properties;
  for (int u = 0; u < kUserProperties; ++u) properties.emplace_back(makeUserProperty(index, u));
  NANOSetArray(b, B::kUserAttributes, &properties);
  return bundle;
}

std::unique_ptr<QZMPBMeasurementBatch> makeBatch() {
  std::unique_ptr<QZMPBMeasurementBatch> batch = QZMPBMeasurementBatch::initWithMessageInfo(nullptr);
  NANOObjectArray bundles;
  for (int b = 0; b < kBundles; ++b) bundles.emplace_back(makeBundle(b));
  if (!batch || !NANOSetArray(batch.get(), QZMPBMeasurementBatch::kBundles, &bundles)) fail("cannot build the batch");
  return batch;
}

// A record in nanopb's own form: its codec struct, with the items of every
// message list as structs of their own, encoded by pb_encode_submessage.
struct BareMessage {
  const NANOMessageSchema* schema = nullptr;
  std::vector<std::uint8_t> codec;
  std::vector<std::unique_ptr<std::vector<BareMessage>>> lists;
};

bool encodeBareList(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  for (const BareMessage& item : *static_cast<const std::vector<BareMessage>*>(*arg)) {
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, item.schema->codecFields, item.codec.data())) {
      return false;
    }
  }
  return true;
}

// Points the message lists of a filled codec struct (and of the sub-messages
// embedded in it) at item structs of their own.
void bareLists(BareMessage& owner, const NANOMessageSchema* schema, const NANOMessageInfo* record, void* codec) {
  pb_field_iter_t iter;
  if (!pb_field_iter_begin(&iter, schema->codecFields, codec)) fail("nanopb has no fields for a struct");
  for (int32_t i = 0; i < schema->fieldCount; ++i) {
    const NANOFieldSchema& field = schema->fields[i];
    if (!NANOFieldIsMessage(field.flags) || record->fields[i] == nullptr) continue;
    if (!pb_field_iter_find(&iter, field.tag)) fail("nanopb has no member for a field");
    if (!NANOFieldIsRepeated(field.flags)) {
      bareLists(owner, field.message, static_cast<const NANOMessageInfo*>(record->fields[i]), iter.pData);
      continue;
    }
    const auto* array = static_cast<const NANOArray*>(record->fields[i]);
    if (array->count == 0) continue;
    auto items = std::make_unique<std::vector<BareMessage>>();
    items->reserve(array->count);
    for (std::uint32_t k = 0; k < array->count; ++k) {
      const auto* item = static_cast<const NANOMessageInfo*>(array->items[k]);
      BareMessage bare{field.message, std::vector<std::uint8_t>(field.message->codecSize), {}};
      if (!NANOSetEncoders(field.message, item, bare.codec.data())) fail("cannot fill an item's struct");
      bareLists(bare, field.message, item, bare.codec.data());
      items->push_back(std::move(bare));
    }
    auto* callback = static_cast<pb_callback_t*>(iter.pData);
    callback->funcs.encode = &encodeBareList;
    callback->arg = items.get();
    owner.lists.push_back(std::move(items));
  }
}

BareMessage bareMessage(const NANOMessageBase& message) {
  BareMessage bare{&message.schema(), std::vector<std::uint8_t>(message.schema().codecSize), {}};
  if (!NANOSetEncoders(bare.schema, message.messageInfo(), bare.codec.data())) fail("cannot fill the batch's struct");
  bareLists(bare, bare.schema, message.messageInfo(), bare.codec.data());
  return bare;
}

// What a nanopb program does to get the bytes: a buffer of the size it
// knows, pb_encode into it.
std::vector<std::uint8_t> bareEncode(const BareMessage& message, std::size_t size) {
  std::vector<std::uint8_t> out(size);
  pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
  if (!pb_encode(&stream, message.schema->codecFields, message.codec.data())) fail("nanopb cannot encode the batch");
  out.resize(stream.bytes_written);
  return out;
}

}  // namespace

int main() {
  std::unique_ptr<QZMPBMeasurementBatch> batch = makeBatch();
  std::optional<foundation::Data> bytes = batch->protoBuffer();
  if (!bytes) fail("the runtime cannot encode the batch");

  // Both sides must agree on the bytes: libprotobuf reads what the runtime
  // wrote and writes it back unchanged, and the runtime reads it back too.
  measurement::MeasurementBatch reference;
  if (!reference.ParseFromArray(bytes->data(), static_cast<int>(bytes->size()))) fail("libprotobuf cannot parse");
  std::string referenceBytes;
  if (!reference.SerializeToString(&referenceBytes)) fail("libprotobuf cannot serialise");
  if (referenceBytes != std::string(bytes->begin(), bytes->end())) fail("the two encodings differ");
  {
    auto decoded = QZMPBMeasurementBatch::initWithBuffer(*bytes);
    if (!decoded || decoded->protoBuffer() != bytes) fail("the runtime does not read back what it wrote");
  }
  report("proto_batch_size", static_cast<double>(bytes->size()), "bytes");
  const BareMessage bare = bareMessage(*batch);
  if (bareEncode(bare, bytes->size()) != *bytes) fail("nanopb's encoding differs");

  Comparison encode = sideBySide(
      [&] {
        std::optional<foundation::Data> out = batch->protoBuffer();
        if (!out || out->size() != bytes->size()) fail("encode failed");
      },
      [&] {
        std::string out;
        if (!reference.SerializeToString(&out) || out.size() != bytes->size()) fail("reference encode failed");
      });
  Comparison encodeBare = sideBySide(
      [&] {
        std::optional<foundation::Data> out = batch->protoBuffer();
        if (!out || out->size() != bytes->size()) fail("encode failed");
      },
      [&] {
        if (bareEncode(bare, bytes->size()).size() != bytes->size()) fail("nanopb encode failed");
      });
  Comparison decode = sideBySide(
      [&] {
        auto decoded = QZMPBMeasurementBatch::initWithBuffer(*bytes);
        if (!decoded) fail("decode failed");
      },
      [&] {
        measurement::MeasurementBatch parsed;
        if (!parsed.ParseFromArray(bytes->data(), static_cast<int>(bytes->size()))) fail("reference decode failed");
      });

  report("proto_encode_batch", encode.ours, "us");
  report("proto_encode_batch_libprotobuf", encode.reference, "us");
  report("proto_encode_ratio", encode.ratio, "x");
  report("proto_encode_batch_bare_nanopb", encodeBare.reference, "us");
  report("proto_encode_to_bare_nanopb_ratio", encodeBare.ratio, "x");
  report("proto_decode_batch", decode.ours, "us");
  report("proto_decode_batch_libprotobuf", decode.reference, "us");
  report("proto_decode_ratio", decode.ratio, "x");
  return 0;
}
