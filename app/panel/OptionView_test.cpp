#include "app/panel/OptionView.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/support/ManualMainQueue.h"

namespace {

class RecordingHost : public OptionViewHost {
 public:
  void syncMusicState() override { calls.push_back("sync"); }
  void setupSwiftUIControls() override {
    calls.push_back("build");
    hasPanel = true;
  }
  void layoutPanel() override { calls.push_back("layout"); }
  void pushPanelState() override { calls.push_back("push"); }
  void dropPanel() override {
    calls.push_back("drop");
    hasPanel = false;
  }
  void savePreferences() override { calls.push_back("save"); }
  std::vector<std::string> calls;
  bool hasPanel = false;
};

class OptionViewTest : public ::testing::Test {
 protected:
  OptionViewTest() { options.setupCommonInterface(); }
  app::ManualMainQueue queue;
  RecordingHost host;
  OptionView options{queue, host};
};

TEST_F(OptionViewTest, OpeningBuildsAFreshPanelAndFadesIn) {
  options.toggleOptionView();
  EXPECT_EQ(host.calls, (std::vector<std::string>{"sync", "build", "layout", "push"}));
  EXPECT_TRUE(options.isOptionVisible());
  EXPECT_EQ(options.settingsOpenCount(), 1);
  EXPECT_FALSE(options.containerHidden());
  EXPECT_FLOAT_EQ(options.containerAlpha(), 0.0f);
  queue.advance(0.25);
  EXPECT_NEAR(options.containerAlpha(), 0.5f, 0.01f);
  queue.advance(0.25);
  EXPECT_FLOAT_EQ(options.containerAlpha(), 1.0f);
}

TEST_F(OptionViewTest, EveryWayOfClosingSavesAndHidesAtTheEndOfTheFade) {
  struct Row {
    const char* how;
    bool byCloseButton;
    std::vector<std::string> calls;
  };
  const Row rows[] = {{"settings button", false, {"save"}}, {"close button", true, {"drop", "save"}}};
  for (const Row& row : rows) {
    options.toggleOptionView();
    queue.advance(1);
    host.calls.clear();
    if (row.byCloseButton) {
      options.closeOptionView();
    } else {
      options.toggleOptionView();
    }
    EXPECT_EQ(host.calls, row.calls) << row.how;
    EXPECT_FALSE(options.isOptionVisible());
    queue.advance(0.45);
    EXPECT_FALSE(options.containerHidden()) << row.how;
    EXPECT_GT(options.containerAlpha(), 0.0f);
    queue.advance(0.1);
    EXPECT_TRUE(options.containerHidden()) << row.how;
    EXPECT_FLOAT_EQ(options.containerAlpha(), 0.0f);
  }
  EXPECT_EQ(options.settingsOpenCount(), 2);
}

TEST_F(OptionViewTest, AQuickReopenIsNotHiddenByTheEarlierClose) {
  options.toggleOptionView();
  queue.advance(1);
  options.toggleOptionView();  // close
  queue.advance(0.2);
  options.toggleOptionView();  // open again before the fade ended
  queue.advance(1);
  EXPECT_TRUE(options.isOptionVisible());
  EXPECT_FALSE(options.containerHidden());
  EXPECT_FLOAT_EQ(options.containerAlpha(), 1.0f);

  // Close, reopen, close again: hidden when the last fade ends, not the first.
  options.toggleOptionView();
  queue.advance(0.1);
  options.toggleOptionView();
  queue.advance(0.1);
  options.toggleOptionView();
  queue.advance(0.35);
  EXPECT_FALSE(options.containerHidden());
  queue.advance(0.2);
  EXPECT_TRUE(options.containerHidden());
}

TEST_F(OptionViewTest, TheCloseButtonOfAFadingPanelDoesNotReopenIt) {
  options.toggleOptionView();
  queue.advance(1);
  options.closeOptionView();
  queue.advance(0.2);
  host.calls.clear();
  options.closeOptionView();
  EXPECT_TRUE(host.calls.empty());
  EXPECT_FALSE(options.isOptionVisible());
  queue.advance(0.3);
  EXPECT_TRUE(options.containerHidden());
}

class FakeSheet : public store::ProductViewController {
 public:
  explicit FakeSheet(bool loads) : loads(loads) {}
  void loadProduct(std::int64_t itemIdentifier, Completion completion) override {
    requested = itemIdentifier;
    completion(loads ? std::nullopt : std::optional<store::Error>(store::Error("test", 1, "no store")));
  }
  bool loads;
  std::int64_t requested = 0;
};

TEST(StoreSheet, PicksTheProductByOpeningsAndFallsBackToItsLink) {
  struct Row {
    std::int64_t openings;
    std::size_t picked;
    bool loads;
    std::int64_t expectedProduct;
    const char* opened;  // "" when the sheet was presented
  };
  StoreProducts products{{StoreProduct{"https://one.invalid", 11}, StoreProduct{"https://two.invalid", 22}},
                         StoreProduct{"https://single.invalid", 33}};
  const Row rows[] = {
      {1, 0, false, 11, "https://one.invalid"}, {1, 1, false, 22, "https://two.invalid"},
      {2, 1, false, 33, "https://single.invalid"}, {3, 1, true, 22, ""}, {0, 0, true, 33, ""},
  };
  for (const Row& row : rows) {
    std::shared_ptr<FakeSheet> made;
    std::vector<std::string> opened;
    int presented = 0;
    StoreSheet sheet(
        products, [&] { return made = std::make_shared<FakeSheet>(row.loads); },
        [&](const std::string& link) { opened.push_back(link); },
        [&](std::shared_ptr<store::ProductViewController> shown) { presented += shown == made ? 1 : 100; },
        [&](std::size_t count) {
          EXPECT_EQ(count, 2u);
          return row.picked;
        });
    sheet.handleSpecialButtonTap(row.openings);
    ASSERT_TRUE(made);
    EXPECT_EQ(made->requested, row.expectedProduct) << row.openings;
    if (*row.opened) {
      EXPECT_EQ(opened, std::vector<std::string>{row.opened});
      EXPECT_EQ(presented, 0);
    } else {
      EXPECT_TRUE(opened.empty());
      EXPECT_EQ(presented, 1);
    }
  }
}

TEST(StoreSheet, TheDesktopSheetAlwaysFallsBackAndThePlaceholdersNeverResolve) {
  StoreProducts products = StoreProducts::placeholders();
  for (const StoreProduct& p : {products.list[0], products.list[1], products.single}) {
    EXPECT_NE(p.link.find(".invalid/"), std::string::npos) << p.link;
  }
  std::vector<std::string> opened;
  StoreSheet sheet(
      products, [] { return std::make_shared<store::DesktopProductViewController>(); },
      [&](const std::string& link) { opened.push_back(link); }, [](auto) { FAIL() << "nothing to present"; });
  sheet.handleSpecialButtonTap(2);
  EXPECT_EQ(opened, std::vector<std::string>{products.single.link});
}

}  // namespace
