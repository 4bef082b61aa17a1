#include "engine/rowtext.h"

#include <cstring>

#include "engine/escape.h"
#include "engine/formatsize.h"
#include "platform/problems.h"

namespace kvor {

std::string RowText(const ScanResult& scan, NodeStore::Index node, char sep) {
  return RowText(scan, node, sep, scan.tree.Name(node));
}

std::string RowText(const ScanResult& scan, NodeStore::Index node, char sep, std::string_view shownName) {
  const NodeStore::Node& n = scan.tree[node];
  const auto size = [sep](Int128 bytes) { return FormatSize(static_cast<double>(bytes), sep); };
  std::string text(shownName);
  switch (n.form) {
    case NodeStore::Form::Root:
      return "Root";
    case NodeStore::Form::RootWalked: {
      // The drive's own used figure; the lost space is what files and directories (a cluster
      // each) leave unexplained.
      const Int128 lost = Int128{scan.gUsedBytes} - FoundBytes(scan);
      return text.append(" ").append(std::to_string(n.files)).append(" file(s) [")
          .append(size(scan.gUsedBytes)).append("], Lost space [").append(size(lost)).append("]");
    }
    case NodeStore::Form::Ordinary:
      text.append("     ").append(std::to_string(n.files)).append(" file(s), [");
      break;
    case NodeStore::Form::HiddenChild:
      text.append("    ").append(std::to_string(n.files)).append(" files(s) [");
      break;
  }
  return text.append(size(n.bytes)).append("], Lost space [").append(size(n.lost)).append("]");
}

std::string ProblemText(const NodeStore& tree, NodeStore::Index node, ProblemWords words) {
  const NodeStore::Node& n = tree[node];
  if (n.problems == 0) return {};
  const bool window = words == ProblemWords::Window;
  const std::string reason = std::strerror(n.error), path = window ? std::string() : Escape(tree.Path(node));
  // The worst first: a listing that failed counts what it read; a directory replaced while read
  // counts empty, whatever else was said of it; then what was listed but not whole.
  if (n.problems & platform::kCannotEnter)
    return window ? "Cannot be read: " + reason : "cannot read " + path + ": " + reason;
  if (n.problems & platform::kListedInPart)
    return window ? "Read only in part: " + reason : "cannot read " + path + ": " + reason;
  if (n.problems & platform::kChanged) {
    if (!window) return "changed while read: " + path;
    return n.error == 0 ? "Changed while read: counted under another name" : "Changed while read: no longer a directory";
  }
  if (n.problems & platform::kSizesUnreadable)
    return window ? "Sizes cannot be read: " + reason : "cannot read sizes in " + path + ": " + reason;
  return window ? "Figures too large: " + reason : "figures too large in " + path + ": " + reason;
}

}  // namespace kvor
