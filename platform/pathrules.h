#pragma once
// Where paths and drive roots are spelled. Everything that depends on the separator or on
// what a drive root looks like lives here, so another system's layer can sit beside this one.
#include <string>
#include <string_view>

namespace kvor::platform {

inline constexpr char kSeparator = '/';

// Joins a directory path and an entry name without doubling the separator after a root.
std::string JoinPath(std::string_view dir, std::string_view name);

// A drive list entry's text is the root path, a blank and "[label]"; this gives the root back.
std::string DriveRootFromText(std::string_view driveText);

// Makes a path absolute against `cwd` and removes ".", ".." and repeated separators,
// without looking at the file system (symlinks are not resolved).
std::string NormalisePath(std::string_view path, std::string_view cwd);

}  // namespace kvor::platform
