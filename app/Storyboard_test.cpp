#include "app/Storyboard.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "testing/LogCapture.h"

namespace {

// "New Release" on a computer with nothing to open links with: the tap is
// logged, not lost.
TEST(StoreLink, ALinkThatCannotBeOpenedIsLogged) {
  char pattern[] = "/tmp/tolv_link_XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  std::optional<std::string> savedPath;
  if (const char* path = std::getenv("PATH")) savedPath = path;
  ::setenv("PATH", pattern, 1);
  testkit::LogCapture log;
  app::openStoreLink("https://apps.store.invalid/app/id1000000003");
  if (savedPath) ::setenv("PATH", savedPath->c_str(), 1);
  else ::unsetenv("PATH");
  std::filesystem::remove_all(pattern);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"The link https://apps.store.invalid/app/id1000000003 could not be "
                                                  "opened: there is no xdg-open on the PATH to open it with"});
}

}  // namespace
