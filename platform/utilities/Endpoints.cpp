#include "platform/utilities/Endpoints.h"

#include <memory>
#include <mutex>
#include <optional>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"

namespace utilities {
namespace {

constexpr const char* kCABundleKey = "CA_BUNDLE";

struct Layers {
  std::mutex mutex;
  bool loaded = false;
  // The main bundle the layers were read from: a new one is read again.
  std::shared_ptr<foundation::Bundle> bundle;
  std::map<std::string, std::string> configured;  // service list, then file
  std::optional<std::string> configuredCA;
  std::map<std::string, std::string> overrides;
  std::optional<std::string> overrideCA;
};
// Never destroyed: a transfer may still start while the program ends.
Layers& layers() {
  static auto* l = new Layers;
  return *l;
}

std::string trimmed(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

void apply(const foundation::Object& layer, const std::string& source, Layers& l) {
  if (!layer.isDictionary()) {
    foundation::logLine("Endpoints: ignoring " + source + ": not a dictionary");
    return;
  }
  for (const auto& [name, value] : *layer.dictionary()) {
    if (!value.isString() || value.string()->empty()) {
      foundation::logLine("Endpoints: ignoring \"" + name + "\" in " + source + ": not a text value");
      continue;
    }
    if (name == kCABundleKey) {
      l.configuredCA = *value.string();
    } else {
      l.configured[name] = trimmed(*value.string());
    }
  }
}

void loadLocked(Layers& l) {
  auto bundle = foundation::Bundle::main();
  if (l.loaded && bundle == l.bundle) return;
  l.loaded = true;
  l.bundle = bundle;
  l.configured.clear();
  l.configuredCA.reset();
  if (auto path = bundle->pathForResource("DralixService-Info", "plist")) {
    auto service = foundation::readPropertyListDictionary(*path);
    if (!service) {
      foundation::logLine("Endpoints: ignoring the service property list: " + service.error().description);
    } else if (auto it = service->find(kServiceInfoEndpointsKey); it != service->end()) {
      apply(it->second, *path, l);
    }
  }
  if (auto file = foundation::ProcessInfo::environmentValue(kEndpointsFileVariable); file && !file->empty()) {
    auto asPlist = foundation::readPropertyListFile(*file);
    auto object = asPlist ? asPlist : foundation::readJSONFile(*file);
    if (!object) {
      foundation::logLine(std::string("Endpoints: ignoring $") + kEndpointsFileVariable + ": " +
                          object.error().description);
    } else {
      apply(*object, *file, l);
    }
  }
}

}  // namespace

std::string Endpoints::baseURL(const std::string& name) {
  Layers& l = layers();
  std::lock_guard lock(l.mutex);
  loadLocked(l);
  if (auto it = l.overrides.find(name); it != l.overrides.end()) return it->second;
  if (auto it = l.configured.find(name); it != l.configured.end()) return it->second;
  return "https://" + name + ".endpoints.invalid";
}

std::string Endpoints::caBundle() {
  Layers& l = layers();
  std::lock_guard lock(l.mutex);
  loadLocked(l);
  if (l.overrideCA) return *l.overrideCA;
  if (l.configuredCA) return *l.configuredCA;
  return kDefaultCABundle;
}

std::map<std::string, std::string> Endpoints::all() {
  Layers& l = layers();
  std::lock_guard lock(l.mutex);
  loadLocked(l);
  auto out = l.configured;
  for (const auto& [name, url] : l.overrides) out[name] = url;
  return out;
}

void Endpoints::setOverride(const std::string& name, const std::string& url) {
  std::lock_guard lock(layers().mutex);
  layers().overrides[name] = trimmed(url);
}

void Endpoints::setCABundleOverride(const std::string& path) {
  std::lock_guard lock(layers().mutex);
  layers().overrideCA = path;
}

void Endpoints::reset() {
  std::lock_guard lock(layers().mutex);
  layers().overrides.clear();
  layers().overrideCA.reset();
  layers().loaded = false;
}

}  // namespace utilities
