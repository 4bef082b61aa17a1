// The words the tree and the report make of a node's numbers: its row, and why it is not whole.
#include <gtest/gtest.h>

#include <cerrno>

#include "engine/formatsize.h"
#include "engine/rowtext.h"
#include "platform/listing.h"

namespace kvor {
namespace {

TEST(RowText, EachFormOfRow) {
  ScanResult scan;
  scan.gUsedBytes = 1 << 20, scan.gClusterSize = 4096, scan.gTotalDirs = 2, scan.gTotalFileBytes = 1000;
  using enum NodeStore::Form;
  const struct { NodeStore::Form form; uint64_t files; Int128 bytes, lost; char separator; std::string text; } rows[] = {
      {Root, 7, 1, 1, '.', "Root"},
      // The drive's used bytes; lost is what neither files nor a cluster per directory explain.
      {RootWalked, 3, 0, 0, '.', "n 3 file(s) [1.00 MB], Lost space [" + FormatSize((1 << 20) - 2 * 4096 - 1000) + "]"},
      {Ordinary, 12, 1536, 2560, '.', "n     12 file(s), [1.50 KB], Lost space [2.50 KB]"},
      {Ordinary, 0, 0, 4096, ',', "n     0 file(s), [0,00 Bytes], Lost space [4,00 KB]"},
      {HiddenChild, 3, 1536, 2560, '.', "n    3 files(s) [1.50 KB], Lost space [2.50 KB]"},
      // Sums beyond 64 bits, as sparse files give.
      {Ordinary, 2, Int128{INT64_MAX} * 4, 0, '.',
       "n     2 file(s), [" + FormatSize(4.0 * INT64_MAX, '.') + "], Lost space [0.00 Bytes]"}};
  for (const auto& row : rows) {
    scan.tree.AddRoot("/d");
    const auto n = row.form == Root || row.form == RootWalked ? 0 : scan.tree.Add(0, "x", false);
    scan.tree[n].form = row.form, scan.tree[n].files = row.files, scan.tree[n].bytes = row.bytes, scan.tree[n].lost = row.lost;
    EXPECT_EQ(RowText(scan, n, row.separator, "n"), row.text);
  }
  EXPECT_EQ(RowText(scan, 1, '.'), "x     2 file(s), [" + FormatSize(4.0 * INT64_MAX, '.') + "], Lost space [0.00 Bytes]");
}

// The worst problem named, in the window's words and in the report's; both agree which.
TEST(ProblemText, WorstProblemInBothWords) {
  const struct { uint8_t problems; int error; const char *window, *report; } rows[] = {
      {0, 0, "", ""},
      {platform::kCannotEnter, EACCES, "Cannot be read: Permission denied", "cannot read /d/n\\x09: Permission denied"},
      {platform::kCannotEnter | platform::kSumTooLarge, EACCES, "Cannot be read: Permission denied",
       "cannot read /d/n\\x09: Permission denied"},
      {platform::kListedInPart | platform::kSizesUnreadable, EIO, "Read only in part: Input/output error",
       "cannot read /d/n\\x09: Input/output error"},
      {platform::kChanged, ENOTDIR, "Changed while read: no longer a directory", "changed while read: /d/n\\x09"},
      {platform::kChanged, 0, "Changed while read: counted under another name", "changed while read: /d/n\\x09"},
      {platform::kChanged | platform::kSizesUnreadable, 0, "Changed while read: counted under another name",
       "changed while read: /d/n\\x09"},
      {platform::kSizesUnreadable | platform::kSumTooLarge, EACCES, "Sizes cannot be read: Permission denied",
       "cannot read sizes in /d/n\\x09: Permission denied"},
      {platform::kSumTooLarge, EOVERFLOW, "Figures too large: Value too large for defined data type",
       "figures too large in /d/n\\x09: Value too large for defined data type"}};
  for (const auto& row : rows) {
    NodeStore tree;
    tree.AddRoot("/d");
    const auto n = tree.Add(0, "n\t", false);
    tree[n].problems = row.problems, tree[n].error = static_cast<int16_t>(row.error);
    EXPECT_EQ(ProblemText(tree, n, ProblemWords::Window), row.window);
    EXPECT_EQ(ProblemText(tree, n, ProblemWords::Report), row.report);
  }
}

}  // namespace
}  // namespace kvor
