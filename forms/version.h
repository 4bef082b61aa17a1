#pragma once
// The program's identity, as the version record states it.
namespace kvor::forms {

inline constexpr const char* kProductName = "Korvane";
inline constexpr const char* kVersionText = "1.05";
inline constexpr const char* kDescription = "Shows disk space usage of entire subdirectory levels.";
inline constexpr const char* kTitle = "Korvane 1.5";      // main window, about title, message boxes
inline constexpr const char* kShortTitle = "KVOR 1.5";    // drive dialog, about caption
// The desktop entry, icon and AppStream data are installed under this name (see dist/).
inline constexpr const char* kAppId = "org.korvane.Korvane";

}  // namespace kvor::forms
