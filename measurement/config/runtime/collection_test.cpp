#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "measurement/config/runtime/QZMPArrayValue.h"
#include "measurement/config/runtime/QZMPFunctionValue.h"
#include "measurement/config/runtime/QZMPMapValue.h"
#include "measurement/config/runtime/QZMPRuntime.h"
#include "measurement/config/runtime/testkit/QZMPRuntimeTestKit.h"
#include "test_commands.h"

namespace {

using V = QZMPRuntimeValue;

QZMPRef<QZMPStringValue> name(const char* text) { return QZMPStringValue::withASCII(text); }

class ScopesTest : public QZMPRuntimeTest {
 protected:
  QZMPRuntime runtime_{{.registrar = &QZMPTestRegistrar()}};
};

TEST_F(ScopesTest, AssignmentReachesTheNearestDeclaration) {
  QZMPScope& global = runtime_.globalScope();
  global.addValue(V::number(1), u"g");
  QZMPRef<QZMPScope> run = runtime_.getRunScope();
  run->setValue(V::number(2), u"g");
  run->setValue(V::number(3), u"fresh");
  EXPECT_EQ(QZMPDescribe(global.valueForName(u"g")), "2");
  EXPECT_TRUE(run->contents().hasName(u"fresh"));
  EXPECT_FALSE(global.hasName(u"fresh"));
  EXPECT_FALSE(runtime_.getRunScope()->hasName(u"fresh"));
  EXPECT_EQ(QZMPDescribe(run->valueForName(u"nowhere")), "undefined");
  EXPECT_EQ(QZMPDescribe(runtime_.initScope().valueForName(u"nowhere")), "undefined");
}

TEST_F(ScopesTest, ConstantsAndFrozenScopesKeepTheirValues) {
  QZMPScope& global = runtime_.globalScope();
  global.addImmutableValue(V::number(1), *name("c"));
  global.setValue(V::number(2), u"c");
  global.addValue(V::number(3), u"c");
  runtime_.getRunScope()->setValue(V::number(4), u"c");
  EXPECT_EQ(QZMPDescribe(global.valueForName(u"c")), "1");

  global.addValue(V::number(1), u"v");
  global.makeImmutable();
  global.addValue(V::number(2), u"v");
  global.addValue(V::number(2), u"w");
  global.setValue(V::number(2), u"v");
  QZMPRef<QZMPScope> run = runtime_.getRunScope();
  run->setValue(V::number(3), u"v");
  EXPECT_EQ(QZMPDescribe(global.valueForName(u"v")), "1");
  EXPECT_FALSE(global.hasName(u"w"));
  // A name the frozen scope does not hold is still the run's own to make.
  run->setValue(V::number(5), u"local");
  EXPECT_EQ(QZMPDescribe(run->valueForName(u"local")), "5");
}

class CollectionTest : public QZMPRuntimeTest {
 protected:
  QZMPRuntime runtime_{{.registrar = &QZMPTestRegistrar()}};
  QZMPScope& global_ = runtime_.globalScope();

  QZMPRef<QZMPMapValue> map(QZMPScope& scope, const char* key, V value) {
    QZMPRef<QZMPMapValue> made = QZMPObjectManager::mapValueWithScope(scope);
    made->setValue(std::move(value), *name(key));
    return made;
  }
};

TEST_F(CollectionTest, FreesUnreachableCyclesAndKeepsReachableValues) {
  {
    QZMPRef<QZMPMapValue> a = map(global_, "x", V::number(1));
    QZMPRef<QZMPMapValue> b = map(global_, "peer", V(a));
    a->setValue(V(b), *name("peer"));
    global_.addValue(V(map(global_, "kept", V::number(7))), u"root");
  }
  EXPECT_EQ(runtime_.objectManager().trackedObjectCount(), 3u);
  const std::int64_t before = QZMPObject::liveCount();
  runtime_.collectGarbage();
  EXPECT_EQ(runtime_.objectManager().trackedObjectCount(), 1u);
  EXPECT_LT(QZMPObject::liveCount(), before);
  EXPECT_EQ(QZMPDescribe(global_.valueForName(u"root")), "{\"kept\": 7}");
  runtime_.collectGarbage();  // a second pass changes nothing reachable
  EXPECT_EQ(QZMPDescribe(global_.valueForName(u"root")), "{\"kept\": 7}");
}

// A function defined two scopes below a run scope keeps that run scope's
// variables alive: marking follows the whole chain of its defining scope.
TEST_F(CollectionTest, KeepsWhatNestedClosuresReach) {
  {
    QZMPRef<QZMPScope> outer = runtime_.getRunScope();
    outer->addValue(V(map(*outer, "x", V::number(1))), u"kept");
    QZMPRef<QZMPScope> inner = outer->createChildScope();
    QZMPRef<QZMPScope> innermost = inner->createChildScope();
    global_.addValue(V(QZMPObjectManager::functionValueWithFunctionName(name("f"), {}, {QZMPValueOf("(103 \"kept\")")},
                                                                        innermost)),
                     u"f");
    // A closure that only its own scope refers to is garbage.
    QZMPRef<QZMPScope> orphan = runtime_.getRunScope();
    orphan->addValue(V(QZMPObjectManager::functionValueWithFunctionName(name("self"), {}, {}, orphan)), u"self");
  }
  EXPECT_EQ(runtime_.objectManager().trackedObjectCount(), 3u);
  runtime_.collectGarbage();
  EXPECT_EQ(runtime_.objectManager().trackedObjectCount(), 2u);
  EXPECT_EQ(QZMPRun(runtime_, "($f)").describe(), "{\"x\": 1}");
}

// A native holding a value where no property map shows it.
class Holder final : public QZMPFunctionValue {
 public:
  Holder() : QZMPFunctionValue(QZMPStringValue::withASCII("holder")) {}
  V held;
  void traceReferences(QZMPMarker& marker) override {
    QZMPFunctionValue::traceReferences(marker);
    marker.mark(held);
  }
  void clearForCollection() override {
    QZMPFunctionValue::clearForCollection();
    held = V();
  }
};

TEST_F(CollectionTest, NativesMarkWhatTheyHoldPrivately) {
  {
    QZMPRef<Holder> rooted = runtime_.objectManager().make<Holder>();
    rooted->held = V(map(global_, "cached", V::boolean(true)));
    global_.addValue(V(rooted), u"module");
    // Unreachable, and in a cycle through its private reference.
    QZMPRef<Holder> loose = runtime_.objectManager().make<Holder>();
    loose->held = V(map(global_, "back", V(loose)));
  }
  runtime_.collectGarbage();
  EXPECT_EQ(runtime_.objectManager().trackedObjectCount(), 2u);
  V module = global_.valueForName(u"module");
  EXPECT_EQ(QZMPDescribe(static_cast<Holder*>(module.asFunction())->held), "{\"cached\": true}");
}

TEST_F(CollectionTest, SweepingManyChainsFreesEachOnce) {
  // Each unreachable array is the only holder of the next one; emptying one
  // must not free another while the sweep is still walking.
  for (int chain = 0; chain < 500; ++chain) {
    QZMPRef<QZMPArrayValue> head = QZMPObjectManager::arrayValueWithScope(global_);
    QZMPArrayValue* tail = head.get();
    QZMPError error;
    for (int i = 0; i < 4; ++i) {
      QZMPRef<QZMPArrayValue> next = QZMPObjectManager::arrayValueWithScope(global_);
      tail->appendElements(std::vector<V>{V(next)}, error);
      tail = next.get();
    }
    tail->appendElements(std::vector<V>{V(head)}, error);  // closes the cycle
  }
  EXPECT_EQ(runtime_.objectManager().trackedObjectCount(), 2500u);
  runtime_.collectGarbage();
  EXPECT_EQ(runtime_.objectManager().trackedObjectCount(), 0u);
}

TEST_F(CollectionTest, LongChainsAreFreedWithoutRecursion) {
  constexpr int kDepth = 200000;
  // By counting alone.
  {
    QZMPRef<QZMPArrayValue> chain = QZMPMake<QZMPArrayValue>();
    QZMPError error;
    for (int i = 0; i < kDepth; ++i) {
      QZMPRef<QZMPArrayValue> outer = QZMPMake<QZMPArrayValue>();
      outer->appendElements(std::vector<V>{V(chain)}, error);
      chain = outer;
    }
    QZMPRef<QZMPScope> scope = runtime_.getRunScope();
    for (int i = 0; i < kDepth; ++i) scope = scope->createChildScope();
  }
  EXPECT_EQ(runtime_.objectManager().trackedObjectCount(), 0u);
  // By the collector, the chain closed into a cycle.
  {
    QZMPRef<QZMPArrayValue> first = QZMPObjectManager::arrayValueWithScope(global_);
    QZMPRef<QZMPArrayValue> chain = first;
    QZMPError error;
    for (int i = 0; i < kDepth; ++i) {
      QZMPRef<QZMPArrayValue> outer = QZMPObjectManager::arrayValueWithScope(global_);
      outer->appendElements(std::vector<V>{V(chain)}, error);
      chain = outer;
    }
    first->appendElements(std::vector<V>{V(chain)}, error);
  }
  runtime_.collectGarbage();
  EXPECT_EQ(runtime_.objectManager().trackedObjectCount(), 0u);
}

TEST(RuntimeLifetime, DestroyingTheRuntimeFreesEverythingItMade) {
  V survivor;
  {
    QZMPRuntime runtime({.registrar = &QZMPTestRegistrar()});
    QZMPScope& global = runtime.globalScope();
    QZMPRef<QZMPMapValue> a = QZMPObjectManager::mapValueWithScope(global);
    QZMPRef<QZMPFunctionValue> f = QZMPObjectManager::functionValueWithFunctionName(
        QZMPStringValue::withASCII("f"), {}, {QZMPValueOf("(108 1 2)")}, QZMPRef<QZMPScope>(&global));
    a->setValue(V(f), *QZMPStringValue::withASCII("f"));
    global.addValue(V(a), u"a");  // a -> f -> global scope -> a
    global.addValue(V(f), u"f");
    survivor = V(f);
    EXPECT_EQ(QZMPRun(runtime, "($f)").describe(), "3");
  }
  // The host's reference outlives the runtime: emptied, harmless, untracked.
  EXPECT_EQ(survivor.asFunction()->objectManager(), nullptr);
  QZMPError error;
  EXPECT_EQ(QZMPDescribe(survivor.asFunction()->invokeWithEvaluatedArguments({}, error)), "undefined");
  EXPECT_FALSE(error);
  survivor = V();
  EXPECT_EQ(QZMPObject::liveCount(), 0);
}

// Every thread tallies its own objects: the count is right for objects
// made on one thread and freed on another, and after threads have ended.
TEST(LiveCount, SumsEveryThreadIncludingEndedOnes) {
  const std::int64_t before = QZMPObject::liveCount();
  std::vector<QZMPRef<QZMPStringValue>> made;
  std::thread maker([&] {
    for (int i = 0; i < 100; ++i) made.push_back(QZMPStringValue::withASCII("made"));
  });
  maker.join();
  EXPECT_EQ(QZMPObject::liveCount(), before + 100);
  std::thread freer([&] { made.clear(); });
  freer.join();
  EXPECT_EQ(QZMPObject::liveCount(), before);
  // A later thread takes over an ended thread's tally.
  std::int64_t seen = 0;
  std::thread later([&] {
    const QZMPRef<QZMPStringValue> kept = QZMPStringValue::withASCII("kept");
    seen = QZMPObject::liveCount();
  });
  later.join();
  EXPECT_EQ(seen, before + 1);
  EXPECT_EQ(QZMPObject::liveCount(), before);
}

}  // namespace
