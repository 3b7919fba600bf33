// Opening a store link on a desktop: it goes to xdg-open, found along the
// PATH; without one the link is reported as not opened.
#include "platform/store/store.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;

class OpenURLTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tolv_store_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    if (const char* path = std::getenv("PATH")) savedPath = path;
  }
  void TearDown() override {
    if (savedPath) ::setenv("PATH", savedPath->c_str(), 1);
    else ::unsetenv("PATH");
    fs::remove_all(dir);
  }
  // A stand-in for xdg-open that writes the link it is given into a pipe.
  void installOpener(const fs::path& where, const fs::path& pipe) {
    fs::create_directories(where);
    std::ofstream(where / "xdg-open") << "#!/bin/sh\nprintf '%s' \"$1\" > '" << pipe.string() << "'\n";
    fs::permissions(where / "xdg-open", fs::perms::owner_all);
  }

  fs::path dir;
  std::optional<std::string> savedPath;
};

TEST_F(OpenURLTest, WithoutAnOpenerOnThePathTheLinkIsReportedNotOpened) {
  const std::string link = "https://apps.store.invalid/app/id1000000003";
  // An empty folder; one holding an xdg-open that may not run; one holding a
  // folder of that name.
  fs::create_directories(dir / "empty");
  fs::create_directories(dir / "not-runnable");
  std::ofstream(dir / "not-runnable" / "xdg-open") << "#!/bin/sh\n";
  fs::permissions(dir / "not-runnable" / "xdg-open", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_directories(dir / "folder" / "xdg-open");
  for (const char* path : {"empty", "not-runnable", "folder"}) {
    ::setenv("PATH", (dir / path).c_str(), 1);
    foundation::Status opened = store::openURL(link);
    ASSERT_FALSE(opened.ok()) << path;
    EXPECT_EQ(opened.error().domain, store::kStoreErrorDomain);
    EXPECT_EQ(opened.error().description,
              "The link " + link + " could not be opened: there is no xdg-open on the PATH to open it with");
  }
}

TEST_F(OpenURLTest, AnOpenerFurtherAlongThePathIsGivenTheLink) {
  const fs::path pipe = dir / "opened";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  installOpener(dir / "bin", pipe);
  fs::create_directories(dir / "empty");
  ::setenv("PATH", ((dir / "empty").string() + "::" + (dir / "bin").string()).c_str(), 1);
  // Opened before the opener runs, so that its write has a reader.
  const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);

  const std::string link = "https://apps.store.invalid/app/id1000000001";
  foundation::Status opened = store::openURL(link);
  ASSERT_TRUE(opened.ok()) << opened.error().text();

  // The opener runs on its own; its link arrives when it writes and closes.
  std::string received;
  pollfd wait{reader, POLLIN, 0};
  for (int turns = 0; turns < 100; ++turns) {
    if (::poll(&wait, 1, 30000) <= 0) break;
    char buffer[256];
    const ssize_t n = ::read(reader, buffer, sizeof buffer);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(reader);
  EXPECT_EQ(received, link);
}

}  // namespace
