// The application's main queue on platform/dispatch: blocks run when the
// event loop drains the main queue; time is the platform clock's uptime.
#pragma once

#include "app/support/MainQueue.h"

namespace app {

class DispatchMainQueue : public MainQueue {
 public:
  void async(Block block) override;
  void after(double seconds, Block block) override;
  double now() const override;
};

}  // namespace app
