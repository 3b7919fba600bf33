#include "measurement/engine/QZMQueuedEvent.h"

#include <cstring>

namespace {

// What a packed object is: a tag, then its content. Lengths and counts are
// variable-length integers; numbers take their eight bytes.
enum Tag : char {
  kNull = 'n',
  kFalse = 'F',
  kTrue = 'T',
  kInteger = 'i',
  kFloating = 'f',
  kString = 's',
  kData = 'd',
  kDate = 't',
  kValue = 'V',
  kArray = 'A',
  kDictionary = 'D',
};

void putLength(std::size_t length, std::string& out) {
  while (length >= 0x80) {
    out.push_back(static_cast<char>(length | 0x80));
    length >>= 7;
  }
  out.push_back(static_cast<char>(length));
}

template <class T>
void putFixed(T value, std::string& out) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  out.append(bytes, sizeof(T));
}

void putText(std::string_view text, std::string& out) {
  putLength(text.size(), out);
  out.append(text);
}

void put(const QZMObject& object, std::string& out);

void putArray(const QZMArray& array, std::string& out) {
  putLength(array.size(), out);
  for (const QZMObject& item : array) put(item, out);
}

void putPlain(const foundation::Object& object, std::string& out) {
  using Kind = foundation::Object::Kind;
  switch (object.kind()) {
    case Kind::boolean: out.push_back(object.boolValue() ? kTrue : kFalse); return;
    case Kind::integer:
      out.push_back(kInteger);
      putFixed(object.int64Value(), out);
      return;
    case Kind::floating:
      out.push_back(kFloating);
      putFixed(object.doubleValue(), out);
      return;
    case Kind::string:
      out.push_back(kString);
      putText(*object.string(), out);
      return;
    case Kind::data:
      out.push_back(kData);
      putText(std::string_view(reinterpret_cast<const char*>(object.data()->data()), object.data()->size()), out);
      return;
    case Kind::date:
      out.push_back(kDate);
      putFixed(object.date()->secondsSince1970, out);
      return;
    // A plain object holds no collection: those become QZMArray and QZMDictionary.
    case Kind::null:
    case Kind::array:
    case Kind::dictionary: out.push_back(kNull); return;
  }
}

void put(const QZMObject& object, std::string& out) {
  if (const foundation::Object* plain = object.plain()) {
    putPlain(*plain, out);
  } else if (const QZMValue* value = object.value()) {
    out.push_back(kValue);
    out.push_back(static_cast<char>(value->valueType()));
    const QZMValue::Storage& storage = value->storage();
    out.push_back(static_cast<char>(storage.index()));
    if (const double* number = std::get_if<double>(&storage)) {
      putFixed(*number, out);
    } else if (const std::int64_t* integer = std::get_if<std::int64_t>(&storage)) {
      putFixed(*integer, out);
    } else if (const std::string* text = std::get_if<std::string>(&storage)) {
      putText(*text, out);
    } else {
      const auto& items = std::get<std::shared_ptr<const QZMArray>>(storage);
      putArray(items ? *items : QZMArray(), out);
    }
  } else if (const QZMArray* array = object.array()) {
    out.push_back(kArray);
    putArray(*array, out);
  } else {
    out.push_back(kDictionary);
    QZMPackDictionary(*object.dictionary(), out);
  }
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  bool atEnd() const { return position_ == bytes_.size(); }

  bool length(std::size_t& out) {
    out = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (position_ == bytes_.size()) return false;
      auto byte = static_cast<unsigned char>(bytes_[position_++]);
      out |= static_cast<std::size_t>(byte & 0x7f) << shift;
      if (!(byte & 0x80)) return true;
    }
    return false;
  }

  template <class T>
  bool fixed(T& out) {
    if (bytes_.size() - position_ < sizeof(T)) return false;
    std::memcpy(&out, bytes_.data() + position_, sizeof(T));
    position_ += sizeof(T);
    return true;
  }

  bool text(std::string_view& out) {
    std::size_t size = 0;
    if (!length(size) || bytes_.size() - position_ < size) return false;
    out = bytes_.substr(position_, size);
    position_ += size;
    return true;
  }

  bool byte(char& out) { return fixed(out); }

  bool array(QZMArray& out) {
    std::size_t count = 0;
    if (!length(count) || count > bytes_.size() - position_) return false;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      QZMObject item;
      if (!object(item)) return false;
      out.push_back(std::move(item));
    }
    return true;
  }

  bool dictionary(QZMDictionary& out) {
    std::size_t count = 0;
    if (!length(count) || count > bytes_.size() - position_) return false;
    for (std::size_t i = 0; i < count; ++i) {
      std::string_view key;
      QZMObject item;
      if (!text(key) || !object(item)) return false;
      out.emplace_hint(out.end(), std::string(key), std::move(item));
    }
    return true;
  }

  bool object(QZMObject& out) {
    char tag = 0;
    if (!byte(tag)) return false;
    switch (tag) {
      case kNull: out = QZMObject(); return true;
      case kFalse: out = QZMObject(false); return true;
      case kTrue: out = QZMObject(true); return true;
      case kInteger: return plainNumber<std::int64_t>(out);
      case kFloating: return plainNumber<double>(out);
      case kDate: {
        double seconds = 0;
        if (!fixed(seconds)) return false;
        out = QZMObject(foundation::Date{seconds});
        return true;
      }
      case kString: {
        std::string_view content;
        if (!text(content)) return false;
        out = QZMObject(std::string(content));
        return true;
      }
      case kData: {
        std::string_view content;
        if (!text(content)) return false;
        out = QZMObject(foundation::Data(content.begin(), content.end()));
        return true;
      }
      case kValue: return value(out);
      case kArray: {
        QZMArray items;
        if (!array(items)) return false;
        out = QZMObject(std::move(items));
        return true;
      }
      case kDictionary: {
        QZMDictionary entries;
        if (!dictionary(entries)) return false;
        out = QZMObject(std::move(entries));
        return true;
      }
      default: return false;
    }
  }

 private:
  template <class T>
  bool plainNumber(QZMObject& out) {
    T number{};
    if (!fixed(number)) return false;
    out = QZMObject(foundation::Object(number));
    return true;
  }

  bool value(QZMObject& out) {
    char type = 0, index = 0;
    if (!byte(type) || !byte(index)) return false;
    QZMValue::Storage storage;
    switch (index) {
      case 0: {
        double number = 0;
        if (!fixed(number)) return false;
        storage = number;
        break;
      }
      case 1: {
        std::int64_t integer = 0;
        if (!fixed(integer)) return false;
        storage = integer;
        break;
      }
      case 2: {
        std::string_view content;
        if (!text(content)) return false;
        storage = std::string(content);
        break;
      }
      case 3: {
        QZMArray items;
        if (!array(items)) return false;
        storage = std::make_shared<const QZMArray>(std::move(items));
        break;
      }
      default: return false;
    }
    out = QZMObject(QZMValue::initWithValueType(static_cast<QZMValueType>(type), std::move(storage)));
    return true;
  }

  std::string_view bytes_;
  std::size_t position_ = 0;
};

// A section of the packed buffer that the queued event itself wrote.
QZMDictionary unpackSection(std::string_view packed) {
  return QZMUnpackDictionary(packed).value_or(QZMDictionary());
}

}  // namespace

void QZMPackDictionary(const QZMDictionary& dictionary, std::string& out) {
  putLength(dictionary.size(), out);
  for (const auto& [key, item] : dictionary) {
    putText(key, out);
    put(item, out);
  }
}

std::optional<QZMDictionary> QZMUnpackDictionary(std::string_view packed) {
  Reader reader(packed);
  QZMDictionary out;
  if (!reader.dictionary(out) || !reader.atEnd()) return std::nullopt;
  return out;
}

QZMQueuedEvent::QZMQueuedEvent(std::string_view origin, bool isPublicEvent, std::string_view name,
                               const QZMDictionary& parameters, double timestamp, bool enabled, bool ignoreEnabled,
                               bool ignoreInterceptor, QZMLogEventInterceptor interceptor,
                               const QZMDictionary& addedScreenParameters)
    : timestamp_(timestamp) {
  packed_.append(origin);
  originEnd_ = static_cast<std::uint32_t>(packed_.size());
  packed_.append(name);
  nameEnd_ = static_cast<std::uint32_t>(packed_.size());
  QZMPackDictionary(parameters, packed_);
  parametersEnd_ = static_cast<std::uint32_t>(packed_.size());
  QZMPackDictionary(addedScreenParameters, packed_);
  // The buffer lives as long as the event waits: no spare room.
  packed_.shrink_to_fit();
  if (isPublicEvent) flags_ |= kPublic;
  if (enabled) flags_ |= kEnabled;
  if (ignoreEnabled) flags_ |= kIgnoreEnabled;
  if (ignoreInterceptor) flags_ |= kIgnoreInterceptor;
  if (interceptor) interceptor_ = std::make_unique<QZMLogEventInterceptor>(std::move(interceptor));
}

std::string QZMQueuedEvent::origin() const { return packed_.substr(0, originEnd_); }

std::string QZMQueuedEvent::name() const { return packed_.substr(originEnd_, nameEnd_ - originEnd_); }

QZMDictionary QZMQueuedEvent::parameters() const {
  return unpackSection(std::string_view(packed_).substr(nameEnd_, parametersEnd_ - nameEnd_));
}

QZMDictionary QZMQueuedEvent::addedScreenParameters() const {
  return unpackSection(std::string_view(packed_).substr(parametersEnd_));
}

const QZMLogEventInterceptor& QZMQueuedEvent::interceptor() const {
  static const auto* none = new QZMLogEventInterceptor;
  return interceptor_ ? *interceptor_ : *none;
}
