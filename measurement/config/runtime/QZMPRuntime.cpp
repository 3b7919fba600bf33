#include "measurement/config/runtime/QZMPRuntime.h"

#include "measurement/config/runtime/QZMPRuntimeEntityConverter.h"
#include "measurement/proto/generated/QZMPBMessages.h"

QZMPRuntime::QZMPRuntime() : QZMPRuntime(Options()) {}

QZMPRuntime::QZMPRuntime(Options options)
    : objectManager_(this),
      apiProvider_(std::make_shared<QZMPDynamicProvider>()),
      registrar_(options.registrar ? options.registrar : &QZMPCommandRegistrar::sharedInstance()),
      instructionLimit_(options.instructionLimit),
      initScope_(QZMPScope::rootScopeOfRuntime(this)),
      globalScope_(initScope_->createChildScope()) {
  objectManager_.addRoot(initScope_);
  objectManager_.addRoot(globalScope_);
  apiProvider_->setModuleCreator([] { return QZMPRuntimeValue(QZMPRuntimePlatform()); }, "internal.platform");
  // Untracked: it lives as long as the global scope, and every cycle through
  // it runs through the modules it caches, which are tracked.
  globalScope_->addValue(QZMPRuntimeValue(QZMPMake<QZMPRequire>(apiProvider_, this)), u"require");
  resetInstructionCount();
}

QZMPRuntime::~QZMPRuntime() {
  globalScope_ = nullptr;
  initScope_ = nullptr;
  // The object manager, destroyed next, empties what programs made.
}

QZMPRuntimeValue QZMPRuntime::executeStatements(std::span<const std::shared_ptr<QZMPBRuntimeEntity>> statements,
                                                QZMPError& error) {
  QZMPRuntimeEntityConverter converter;
  QZMPRuntimeValue last;
  for (const std::shared_ptr<QZMPBRuntimeEntity>& entity : statements) {
    if (!entity) continue;
    const QZMPRuntimeValue statement = converter.convert(*entity, error);
    if (error) return QZMPRuntimeValue();
    last = registrar_->evaluateStatement(statement, *globalScope_, error);
    if (error) return QZMPRuntimeValue();
  }
  return endRun(error) ? last : QZMPRuntimeValue();
}
