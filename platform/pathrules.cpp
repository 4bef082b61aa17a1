#include "platform/pathrules.h"

#include <vector>

namespace kvor::platform {

void AppendName(std::string& path, std::string_view name) {
  if (path.empty() || path.back() != kSeparator) path.push_back(kSeparator);
  path.append(name);
}

std::string NormalisePath(std::string_view path, std::string_view cwd) {
  const bool relative = (path.empty() || path.front() != kSeparator) && cwd.empty();
  std::string joined;
  if (!relative && (path.empty() || path.front() != kSeparator)) {
    joined.assign(cwd);
    joined.push_back(kSeparator);
  }
  joined.append(path);

  std::vector<std::string_view> parts;
  std::size_t up = 0;  // of a relative path, the ".." that lead above where it starts
  std::string_view rest = joined;
  while (!rest.empty()) {
    const auto pos = rest.find(kSeparator);
    const std::string_view part = rest.substr(0, pos);
    rest = pos == std::string_view::npos ? std::string_view{} : rest.substr(pos + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      else if (relative) ++up;
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (std::size_t i = 0; i < up; ++i) out.append(i == 0 ? ".." : "/..");
  for (const auto part : parts) {
    if (!out.empty() || !relative) out.push_back(kSeparator);
    out.append(part);
  }
  if (out.empty()) out.push_back(relative ? '.' : kSeparator);
  return out;
}

}  // namespace kvor::platform
