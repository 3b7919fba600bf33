// Points the measurement configuration at the layers above it, which it
// cannot link: the event vocabulary (public to internal event names), the
// identity (app version, app-data consent status) and, for the SDK's
// experiments client, the identity's diversion key. The engine installs it
// at start; installing it again changes nothing.
#pragma once

void QZMRemoteConfigInstallEnvironment();
