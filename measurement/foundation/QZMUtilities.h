// What the measurement components take from the utilities framework and from
// the process: the OS logger with its level, the launch arguments, whether a
// class is present in the process, and random numbers. One replaceable
// instance serves the whole SDK; tests install their own.
//
// The defaults stand on the platform: the utilities framework's OS log and
// logger level, the process's launch arguments, the kernel's secure random
// source, and the classes of the core framework linked into the program.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"

class QZMUtilities {
 public:
  // Logger levels as the utilities framework numbers them (syslog's).
  static constexpr int kLevelError = 3;
  static constexpr int kLevelWarning = 4;
  static constexpr int kLevelNotice = 5;
  static constexpr int kLevelDebug = 7;

  virtual ~QZMUtilities() = default;

  // One console line; a forced line is written whatever the logger's level.
  virtual void osLogBasic(int level, std::string_view subsystem, std::string_view category, bool force,
                          std::string_view messageCode, std::string_view message);
  void osLogWarning(std::string_view subsystem, std::string_view category, std::string_view messageCode,
                    std::string_view message) {
    osLogBasic(kLevelWarning, subsystem, category, false, messageCode, message);
  }
  void osLogError(std::string_view subsystem, std::string_view category, std::string_view messageCode,
                  std::string_view message) {
    osLogBasic(kLevelError, subsystem, category, false, messageCode, message);
  }
  // Lines up to this level are shown; notice until set.
  virtual void setLoggerLevel(int level);
  virtual bool isLoggableLevel(int level) const;

  // The program's name first, as main() recorded them.
  virtual std::vector<std::string> launchArguments() const;
  // Whether the process offers a class of that name: the core framework's
  // classes, and those a linked library announced with registerClassName.
  virtual bool classExists(std::string_view className) const;
  static void registerClassName(std::string className);
  // A class method, taking and answering nothing, that a linked library
  // offers under its class's name; an empty implementation withdraws it.
  static void registerClassMethod(std::string className, std::string selector, std::function<void()> implementation);
  // Empty when the class does not answer the selector.
  static std::function<void()> classMethod(std::string_view className, std::string_view selector);
  // What a linked library offers of a class beyond its name: an object of a
  // type the library and its callers agree on (its initialisers, its shared
  // instance). An empty object withdraws it.
  static void registerClassObject(std::string className, std::any object);
  // Empty when nothing was registered under the name.
  static std::any classObject(std::string_view className);

  // Eight bytes from the system's secure random source.
  virtual foundation::Result<std::uint64_t> secureRandomUInt64();
  // A uniformly drawn number below the bound; 0 for a bound of 0.
  virtual std::uint32_t uniformRandom(std::uint32_t upperBound);

  static std::shared_ptr<QZMUtilities> shared();
  // nullptr restores the default services.
  static void setShared(std::shared_ptr<QZMUtilities> utilities);
};
