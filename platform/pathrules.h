#pragma once
// Where paths and drive roots are spelled. Everything that depends on the separator or on
// what a drive root looks like lives here, so another system's layer can sit beside this one.
#include <string>
#include <string_view>

namespace kvor::platform {

inline constexpr char kSeparator = '/';

// Appends an entry's name to its directory's path, without doubling the separator after a root.
void AppendName(std::string& path, std::string_view name);

// Makes a path absolute against `cwd` and removes ".", ".." and repeated separators,
// without looking at the file system (symlinks are not resolved). With no `cwd`, a relative
// path stays relative ("." for none), its leading ".." kept.
std::string NormalisePath(std::string_view path, std::string_view cwd);

}  // namespace kvor::platform
