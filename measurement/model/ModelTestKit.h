// Test support for the model: the foundation fixture plus a running engine
// whose remote configuration a test can set, and short ways to build values.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "measurement/config/QZMMeasurementSettings.h"
#include "measurement/config/QZMRemoteConfig.h"
#include "measurement/foundation/QZMDatabase.h"
#include "measurement/foundation/QZMPersistedConfig.h"
#include "measurement/foundation/testkit/FoundationTestKit.h"
#include "measurement/model/QZMValue.h"

inline void PrintTo(const QZMValue& value, std::ostream* os) { *os << value.description(); }
inline void PrintTo(const QZMObject& object, std::ostream* os) { *os << object.className() << " " << object.description(); }

namespace modeltest {

inline QZMValue str(std::string_view text) { return *QZMValue::initWithString(text); }
inline QZMValue i64(std::int64_t value) { return QZMValue::initWithInt64(value); }
inline QZMValue dbl(double value) { return QZMValue::initWithDouble(value); }

// Text of n characters, each the given UTF-8 character.
inline std::string repeated(std::string_view character, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += character;
  return out;
}

class ModelTest : public testkit::FoundationTest {
 protected:
  struct Engine : testkit::MeasurementDouble {
    std::shared_ptr<QZMRemoteConfig> remoteConfigInstance() const override { return config; }
    std::shared_ptr<QZMRemoteConfig> config = std::make_shared<QZMRemoteConfig>();
  };

  void SetUp() override {
    FoundationTest::SetUp();
    engine = std::make_shared<Engine>();
    QZMMeasurementBase::setSharedInstance(engine);
  }

  // Puts these server settings in force on the engine's configuration.
  void configure(const std::vector<QZMMeasurementSettings::Text>& texts) {
    engine->config->setSettings(QZMMeasurementSettings::settingsWithTexts(texts));
  }

  // The message codes logged so far, in order.
  std::vector<std::int64_t> codes() const {
    std::vector<std::int64_t> out;
    for (const auto& line : monitorLines()) out.push_back(line.messageCode);
    return out;
  }

  // Opens the engine's database in the test's home.
  void openDatabase(std::shared_ptr<QZMDatabase>& into) {
    auto opened = QZMDatabase::initWithDatabaseName(kQZMDatabaseName,
                                                    QZMPersistedConfig::initWithSuiteName(kQZMPersistedConfigSuiteName));
    ASSERT_TRUE(opened.ok()) << opened.error().text();
    into = *opened;
  }

  void enterDebugMode() {
    monitor->setDebugModeEnabled(true);
    utilities->addClass("ZNHAnalytics");
    clearMonitorLines();
  }

  std::shared_ptr<Engine> engine;
};

}  // namespace modeltest
