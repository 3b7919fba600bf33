#include <gtest/gtest.h>

#include "conversion/ODCAsyncTask.h"
#include "conversion/ODCConversionStore.h"
#include "conversion/ODCError.h"
#include "conversion/odc_test_kit.h"

namespace {

using foundation::Error;
using odctest::eventually;
using odctest::onQueue;

// A step whose attempts succeed or fail as scripted (the last entry repeats).
class ScriptedTask : public ODCAsyncTask {
 public:
  ScriptedTask(std::shared_ptr<ODCContext> context, std::vector<bool> failures)
      : ODCAsyncTask(std::move(context)), failures_(std::move(failures)) {}
  void executeTask() override {
    std::size_t attempt = executions.size();
    executions.push_back({foundation::uptimeNanos(), retryCount()});
    bool fail = failures_[std::min(attempt, failures_.size() - 1)];
    finishTaskWithError(fail ? std::optional<Error>(Error("test", static_cast<std::int64_t>(attempt + 1), "failed"))
                             : std::nullopt);
  }
  struct Execution {
    std::int64_t uptimeNanos;
    std::int64_t retryCount;
  };
  std::vector<Execution> executions;

 private:
  std::vector<bool> failures_;
};

class ODCTaskChainTest : public odctest::ODCTest {
 protected:
  std::shared_ptr<ODCContext> makeContext(std::shared_ptr<ODCConversionStore> store = nullptr) {
    return std::make_shared<ODCContext>(nullptr, queue, std::move(store));
  }
  // Starts the chain and records its outcomes.
  void start(const std::shared_ptr<ODCAsyncTask>& first) {
    onQueue(queue, [&] {
      first->startTaskWithCompletion([this](const std::optional<Error>& error) {
        std::lock_guard lock(mutex);
        outcomes.push_back(error);
      });
    });
  }
  std::size_t outcomeCount() {
    std::lock_guard lock(mutex);
    return outcomes.size();
  }
  std::size_t executionCount(const std::shared_ptr<ScriptedTask>& task) {
    std::size_t count = 0;
    onQueue(queue, [&] { count = task->executions.size(); });
    return count;
  }
  std::optional<foundation::Deadline> pendingRetry(const std::shared_ptr<ODCAsyncTask>& task) {
    std::optional<foundation::Deadline> deadline;
    onQueue(queue, [&] { deadline = task->pendingRetryDeadline(); });
    return deadline;
  }

  std::shared_ptr<dispatch::Queue> queue = dispatch::Queue::create("com.tolv.test.odc");
  std::mutex mutex;
  std::vector<std::optional<Error>> outcomes;
};

TEST_F(ODCTaskChainTest, AFailingStepRunsSixTimesWithDoublingDelaysThenEndsWithTheLastError) {
  auto task = std::make_shared<ScriptedTask>(makeContext(), std::vector<bool>{true});
  start(task);
  for (double delay : {60.0, 120.0, 240.0, 480.0, 960.0}) {
    SCOPED_TRACE(delay);
    auto deadline = pendingRetry(task);
    ASSERT_TRUE(deadline);
    EXPECT_EQ(deadline->nanos, foundation::uptimeNanos() + static_cast<std::int64_t>(delay * 1e9));
    std::size_t before = executionCount(task);
    clock->advance(delay);
    ASSERT_TRUE(eventually([&] { return executionCount(task) == before + 1; }));
  }
  ASSERT_TRUE(eventually([&] { return outcomeCount() == 1; }));
  EXPECT_FALSE(pendingRetry(task));
  ASSERT_TRUE(outcomes[0]);
  EXPECT_EQ(outcomes[0]->code, 6) << "the sixth attempt's error";
  onQueue(queue, [&] {
    ASSERT_EQ(task->executions.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(task->executions[i].retryCount, static_cast<std::int64_t>(i));
  });
}

TEST_F(ODCTaskChainTest, AFailureInALaterStepRetriesOnlyThatStep) {
  auto context = makeContext();
  auto first = std::make_shared<ScriptedTask>(context, std::vector<bool>{false});
  auto second = std::make_shared<ScriptedTask>(context, std::vector<bool>{true, true, false});
  auto third = std::make_shared<ScriptedTask>(context, std::vector<bool>{false});
  first->setNextTask(second);
  second->setNextTask(third);
  start(first);
  clock->advance(60);
  ASSERT_TRUE(eventually([&] { return executionCount(second) == 2; }));
  clock->advance(120);
  ASSERT_TRUE(eventually([&] { return outcomeCount() == 1; }));
  EXPECT_FALSE(outcomes[0]) << "the chain succeeded";
  EXPECT_EQ(executionCount(first), 1u);
  EXPECT_EQ(executionCount(second), 3u);
  onQueue(queue, [&] {
    ASSERT_EQ(third->executions.size(), 1u);
    EXPECT_EQ(third->executions[0].retryCount, 0) << "each step counts its own retries";
  });
}

TEST_F(ODCTaskChainTest, ARetryOfATaskThatIsGoneDoesNothing) {
  auto task = std::make_shared<ScriptedTask>(makeContext(), std::vector<bool>{true});
  start(task);
  ASSERT_TRUE(pendingRetry(task));
  onQueue(queue, [&] { task.reset(); });
  clock->advance(60);
  onQueue(queue, [] {});
  EXPECT_EQ(outcomeCount(), 0u);
}

TEST_F(ODCTaskChainTest, CommonQueryCarriesTheAppTheRetryAndTheStoredCountPercentEncoded) {
  home.setInfoPlist({{"CFBundleIdentifier", "com.example.app&x=1"}});
  auto store = ODCConversionStore::create();
  ASSERT_TRUE(store);
  auto task = std::make_shared<ScriptedTask>(makeContext(store), std::vector<bool>{true});
  EXPECT_EQ(task->commonQueryParameters(),
            "version=1.1&bundle_id=com.example.app%26x%3D1&app_version=&sdk_version=odm-sdk-i-v2.0.0"
            "&retry_count=0&odm2_count=0&source=qvz4f");

  home.setInfoPlist({{"CFBundleIdentifier", "com.example.app"}, {"CFBundleShortVersionString", "1.2 beta"}});
  task = std::make_shared<ScriptedTask>(makeContext(store), std::vector<bool>{true});
  store->setOdm2RetryCount(7);
  task->context()->setIsSourceQVZ4F(false);
  start(task);
  std::string query;
  onQueue(queue, [&] { query = task->commonQueryParameters(); });
  EXPECT_EQ(query,
            "version=1.1&bundle_id=com.example.app&app_version=1.2%20beta&sdk_version=odm-sdk-i-v2.0.0"
            "&retry_count=1&odm2_count=7&source=aaps");
}

TEST_F(ODCTaskChainTest, OnlyStatus200And204CountAsSuccess) {
  struct Case {
    std::int64_t status;
    bool ok;
  } cases[] = {{200, true}, {204, true}, {201, false}, {304, false}, {404, false}, {503, false}};
  for (auto& c : cases) {
    DRKHTTPURLResponse response;
    response.statusCode = c.status;
    auto error = ODCAsyncTask::checkHTTPResponse(response);
    EXPECT_EQ(!error, c.ok) << c.status;
    if (error) {
      EXPECT_EQ(error->domain, kODCErrorDomain);
      EXPECT_EQ(error->code, 4000);
      EXPECT_EQ(error->description, "HTTP status code is not OK or NO_CONTENT.");
    }
  }
  EXPECT_TRUE(logged(4000, "HTTP status code is not OK or NO_CONTENT."));
}

TEST_F(ODCTaskChainTest, JSONBodiesMustBeObjects) {
  auto read = [](const std::string& text) {
    foundation::Data data(text.begin(), text.end());
    return ODCDictionaryFromJSONData(&data);
  };
  EXPECT_EQ(ODCDictionaryFromJSONData(nullptr).error().code, 2000);
  EXPECT_EQ(read("[1,2]").error().code, 2001);
  EXPECT_EQ(read("\"fragment\"").error().code, 2001);
  EXPECT_EQ(read("").error().domain, foundation::kJSONErrorDomain) << "the reader's own error";
  EXPECT_EQ(read("{\"a\":\"b\"}").value(), (foundation::Dictionary{{"a", "b"}}));

  auto written = ODCJSONDataFromDictionary({{"psm_request", "AAEC"}, {"odmed", ""}});
  ASSERT_TRUE(written);
  EXPECT_EQ(std::string(written->begin(), written->end()), "{\"odmed\":\"\",\"psm_request\":\"AAEC\"}");
  EXPECT_FALSE(ODCJSONDataFromDictionary({{"bad", std::string("\xff")}})) << "invalid UTF-8";
}

}  // namespace
