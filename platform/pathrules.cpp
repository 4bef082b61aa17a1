#include "platform/pathrules.h"

#include <vector>

namespace kvor::platform {

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string out;
  out.reserve(dir.size() + 1 + name.size());
  out.append(dir);
  if (out.empty() || out.back() != kSeparator) out.push_back(kSeparator);
  out.append(name);
  return out;
}

std::string DriveRootFromText(std::string_view driveText) {
  // The label part is the last " [" whose text runs to a closing "]" at the end.
  if (!driveText.empty() && driveText.back() == ']') {
    const auto open = driveText.rfind(" [");
    if (open != std::string_view::npos) driveText = driveText.substr(0, open);
  }
  return std::string(driveText);
}

std::string NormalisePath(std::string_view path, std::string_view cwd) {
  std::string joined;
  if (path.empty() || path.front() != kSeparator) {
    joined.assign(cwd);
    joined.push_back(kSeparator);
  }
  joined.append(path);

  std::vector<std::string_view> parts;
  std::string_view rest = joined;
  while (!rest.empty()) {
    const auto pos = rest.find(kSeparator);
    const std::string_view part = rest.substr(0, pos);
    rest = pos == std::string_view::npos ? std::string_view{} : rest.substr(pos + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (const auto part : parts) {
    out.push_back(kSeparator);
    out.append(part);
  }
  if (out.empty()) out.push_back(kSeparator);
  return out;
}

}  // namespace kvor::platform
