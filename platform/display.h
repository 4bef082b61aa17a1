#pragma once
// Whether the windows can be shown at all: the display the toolkit will use, asked through the
// libraries that speak its protocol, and whether the toolkit has the plugin that speaks it.
#include <chrono>
#include <functional>
#include <string>

namespace kvor::platform {

enum class DisplayCheck { Usable, NoDisplay, NoWaylandPlugin };

// Whether the toolkit holds the platform plugin of a name ("xcb", "wayland", ...).
using HasPlugin = std::function<bool(const std::string& name)>;

// The platforms the toolkit tries, in its order: those QT_QPA_PLATFORM lists, else Wayland
// (where WAYLAND_DISPLAY or a Wayland session says so) and then X11. A Wayland platform is usable
// with its plugin and a compositor (WAYLAND_DISPLAY) that answers a round trip, X11 with its
// plugin and an X server (DISPLAY) that accepts the connection, its authorization included; any
// other platform is left to the toolkit. Without QT_QPA_PLATFORM, where some of them cannot be
// used, QT_QPA_PLATFORM is set to those that can, in the same order. No answer within `wait` (a
// server that never replies, a host name that is never resolved) counts as none.
DisplayCheck CheckDisplay(std::chrono::milliseconds wait, const HasPlugin& hasPlugin);

}  // namespace kvor::platform
