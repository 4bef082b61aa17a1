#pragma once
// What the program does before any window: its command line, and where the toolkit's platform
// plugins are.
#include <cstdio>
#include <optional>
#include <string>

namespace kvor {

// --help and --version print their text and give 0; any other argument is named in one line on
// `err` and gives 2; no argument gives nothing, and the program goes on.
std::optional<int> CommandLine(int argc, char** argv, std::FILE* out, std::FILE* err);

// Whether the toolkit would find its platform plugin `name` ("xcb", "wayland", ...) where it
// looks: QT_QPA_PLATFORM_PLUGIN_PATH, and "platforms" in each of its library folders.
bool HasPlatformPlugin(const std::string& name);

}  // namespace kvor
