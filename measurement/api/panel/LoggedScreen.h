// A view of the panel that logs a screen view each time it appears, for
// hosts whose screens are panel views. Apart from the SDK, which never
// needs the panel.
#pragma once

#include <memory>
#include <string>

#include "measurement/api/ZNHAnalyticsConveniences.h"
#include "platform/panel/view.h"

// The content, with the modifier's screen view logged whenever the content
// is drawn in a frame after one in which it was not (the first frame too).
class LoggedScreenView final : public panel::View {
 public:
  LoggedScreenView(std::shared_ptr<panel::View> content, LoggedAnalyticsModifier modifier);
  void body(const panel::GeometryProxy& geometry, const panel::Environment& environment) override;
  const LoggedAnalyticsModifier& modifier() const { return modifier_; }

 private:
  const std::shared_ptr<panel::View> content_;
  const LoggedAnalyticsModifier modifier_;
  // The last frame the content was drawn in; none yet.
  int lastFrame_ = -2;
};

// The view wrapped so that it reports the screen.
std::shared_ptr<LoggedScreenView> loggedScreen(std::shared_ptr<panel::View> view, std::string name,
                                               std::string screenClass, ZNHAnalytics::Parameters extraParameters = {});
