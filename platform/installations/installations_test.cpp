#include <gtest/gtest.h>

#include <atomic>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/installations/ZNHInstallations.h"
#include "testing/TemporaryHome.h"

namespace {

struct Answer {
  std::optional<std::string> id;
  std::string queue;
};

Answer ask() {
  dispatch::Semaphore done;
  Answer answer;
  ZNHInstallations::installations()->installationIDWithCompletion(
      [&](const std::optional<std::string>& id, const std::optional<foundation::Error>& error) {
        EXPECT_FALSE(error.has_value());
        answer = {id, dispatch::currentQueueLabel()};
        done.signal();
      });
  EXPECT_TRUE(done.wait(foundation::Deadline::afterSeconds(10)));
  return answer;
}

TEST(ZNHInstallations, IdentifierIsKeptUntilDeletedAndChangesAreAnnounced) {
  testkit::TemporaryHome home;
  std::atomic<int> changes{0};
  auto token = foundation::NotificationCenter::defaultCenter().addObserverForName(
      ZNHInstallationIDDidChangeNotification, nullptr, nullptr, [&](const foundation::Notification&) { ++changes; });

  Answer first = ask();
  ASSERT_TRUE(first.id.has_value());
  EXPECT_EQ(first.id->size(), 22u);
  EXPECT_EQ(first.id->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
            std::string::npos);
  EXPECT_EQ(first.queue, "global");
  EXPECT_EQ(changes, 1);

  home.relaunch();
  EXPECT_EQ(ask().id, first.id);
  EXPECT_EQ(changes, 1);

  dispatch::Semaphore deleted;
  ZNHInstallations::installations()->deleteWithCompletion([&](const std::optional<foundation::Error>& error) {
    EXPECT_FALSE(error.has_value());
    deleted.signal();
  });
  ASSERT_TRUE(deleted.wait(foundation::Deadline::afterSeconds(10)));
  EXPECT_EQ(changes, 2);
  Answer renewed = ask();
  EXPECT_NE(renewed.id, first.id);
  EXPECT_EQ(changes, 3);
  foundation::NotificationCenter::defaultCenter().removeObserver(token);
}

}  // namespace
