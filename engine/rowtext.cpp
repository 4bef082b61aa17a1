#include "engine/rowtext.h"

#include "engine/formatsize.h"

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

}  // namespace kvor
