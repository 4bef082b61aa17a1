#pragma once
// Whether the windows can be shown at all: the display the toolkit will use, asked through the
// libraries that speak its protocol.
#include <chrono>

namespace kvor::platform {

// True when the toolkit will find a display it can use: the platform that QT_QPA_PLATFORM names
// if it is neither X11 nor Wayland; else a Wayland compositor (WAYLAND_DISPLAY) that answers a
// round trip, or an X server (DISPLAY) that accepts the connection, its authorization included.
// Without QT_QPA_PLATFORM, a Wayland display that does not answer is taken out of the environment
// so the toolkit takes the X server. False when no answer comes within `wait` (a server that
// never replies, a host name that is never resolved).
bool HasDisplay(std::chrono::milliseconds wait);

}  // namespace kvor::platform
