// A minimal sample screen: a slider from 0 to 100 and a read-out of its value
// that is red while the slider is held. SwiftUIViewFactory wraps it in a
// hosting controller. Nothing in the program shows it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/panel/view.h"

class SwiftUIView : public panel::View {
 public:
  void body(const panel::GeometryProxy& geometry, const panel::Environment& environment) override;

  // The read-out: the value with six decimals.
  std::string readout() const;
  ImU32 readoutColour() const;

  double speed = 50.0;
  bool isEditing = false;
};

class SwiftUIViewFactory {
 public:
  // The dismiss handler is neither kept nor called.
  static std::shared_ptr<panel::ViewController> makeSwiftUIView(std::function<void()> dismissHandler);
};
