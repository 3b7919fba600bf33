#include "measurement/api/panel/LoggedScreen.h"

#include <imgui.h>

#include <utility>

LoggedScreenView::LoggedScreenView(std::shared_ptr<panel::View> content, LoggedAnalyticsModifier modifier)
    : content_(std::move(content)), modifier_(std::move(modifier)) {}

void LoggedScreenView::body(const panel::GeometryProxy& geometry, const panel::Environment& environment) {
  int frame = ImGui::GetFrameCount();
  // Drawn twice in one frame, or in consecutive frames, it stayed on screen.
  if (frame != lastFrame_ && frame != lastFrame_ + 1) modifier_.logScreenView();
  lastFrame_ = frame;
  if (content_) content_->body(geometry, environment);
}

std::shared_ptr<LoggedScreenView> loggedScreen(std::shared_ptr<panel::View> view, std::string name,
                                               std::string screenClass, ZNHAnalytics::Parameters extraParameters) {
  return std::make_shared<LoggedScreenView>(
      std::move(view), LoggedAnalyticsModifier{std::move(name), std::move(screenClass), std::move(extraParameters)});
}
