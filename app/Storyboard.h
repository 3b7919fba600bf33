// The program's window: what the main storyboard holds on a device. It makes
// the panel's layer and a ViewController with the real services (the main
// queue, SDL2_mixer, the user defaults, the browser for store links) and runs
// the application loop with them.
#pragma once

#include <string>

#include "platform/foundation/Error.h"
#include "platform/ui/Main.h"

namespace app {

// Runs the program in a window until the user quits. An error means no window
// could be opened (nothing ran).
foundation::Result<int> runWindowed(const ui::RunHooks& hooks = {});

// Opens a store link in the user's browser; a link that cannot be opened is
// logged with the reason.
void openStoreLink(const std::string& link);

}  // namespace app
