// Figures and their texts: sizes, drive space, the walk's text helpers.
#include <gtest/gtest.h>

#include <clocale>

#include "engine/diskspace.h"
#include "engine/formatsize.h"
#include "scanfixture.h"

namespace kvor {
namespace {

TEST(FormatSize, UnitsRoundingAndSeparator) {
  const std::pair<double, const char*> cases[] = {
      {0, "0.00 Bytes"}, {1023, "1023.00 Bytes"}, {1024, "1.00 KB"}, {1536, "1.50 KB"},
      {1152, "1.13 KB"},          // exactly 1.125: half rounds away from zero
      {1024 * 2.005, "2.00 KB"},  // 2.005 is not exact: it lies below
      {1048575, "1024.00 KB"}, {1048576, "1.00 MB"}, {1073741823, "1024.00 MB"}, {1073741824, "1.00 GB"},
      {5 * 1099511627776.0, "5120.00 GB"}, {9.0e18, "8381903171.54 GB"},
      // Negative counts stay in bytes, down to the most negative 64-bit figure.
      {-0.5, "-0.50 Bytes"}, {-2.125, "-2.13 Bytes"}, {-5e9, "-5000000000.00 Bytes"},
      {-9007199254740993.0, "-9007199254740992.00 Bytes"}, {-0x1p63, "-9223372036854775808.00 Bytes"},
      {1.0 / 0.0, "inf GB"}, {-1.0 / 0.0, "-inf Bytes"}};
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatSize(bytes, '.'), text) << bytes;
  EXPECT_EQ(FormatSize(1536, ',') + FormatSize(-1e17, ','), "1,50 KB-100000000000000000,00 Bytes");
  for (const auto& [value, text] : {std::pair{32.0, "32"}, {0.5, "0,5"}, {0.0, "0"}, {1048576.0, "1048576"},
                                     {3.0 / 1024, "0,0029296875"}})
    EXPECT_EQ(FormatGeneral(value, ','), text);
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "no de_DE.UTF-8 locale";
  EXPECT_EQ(FormatSize(1536), "1,50 KB");  // the locale's separator
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(FormatSize(1536), "1.50 KB");
}

TEST(GetDiskSpace, FiguresFromClustersOfTheQueryAndTheirTexts) {
  test::FakeSystem system;
  ScanState s;
  const struct {
    platform::DiskFreeSpace figures;
    bool fails;
    int64_t cluster, free, used, total;
  } cases[] = {{{64, 512, 10000, 65000}, false, 32768, 327680000, 1802240000, 2129920000},
               {{1, 4096, 3LL << 28, 1LL << 32}, false, 4096, 3LL << 40, 13LL << 40, 1LL << 44},  // beyond 32 bits
               {{8, 512, 10, 20}, true, 0, 0, 0, 0}};
  for (const auto& c : cases) {
    system.figures = c.figures;
    system.queryFails = c.fails;
    EXPECT_EQ(GetDiskSpace(s, system, "/", "free"), 0);  // kinds are exact
    EXPECT_EQ(GetDiskSpace(s, system, "/", "FREE"), c.free);
    EXPECT_EQ(s.gClusterSize, c.cluster);
    EXPECT_EQ(GetDiskSpace(s, system, "/", "USED"), c.used);
    EXPECT_EQ(GetDiskSpace(s, system, "/", "TOTAL"), c.total);
  }
  struct Panel : DiskInfoPanel {
    std::string text;
    void SetUsed(std::string_view t) override { text.append("used ").append(t).append(", "); }
    void SetFree(std::string_view t) override { text.append("free ").append(t).append(", "); }
    void SetTotal(std::string_view t) override { text.append("total ").append(t).append("; "); }
  } panel;
  test::TempDir t;
  test::ScanFixture f;
  f.scanner.ShowDiskInfo(1, "/ [sda1]", &panel);  // not where the list stands: asked by path
  ASSERT_TRUE(f.scanner.dirList.SetPath(t.path()));
  f.system.figures = {2, 512, 1, 3};
  f.scanner.ShowDiskInfo(1, t.path() + " [x]", &panel);  // where it stands: through its root
  EXPECT_EQ(panel.text, "used 386.72 MB, free 3.91 MB, total 390.63 MB; used 2.00 KB, free 1.00 KB, total 3.00 KB; ");
  f.system.queryFails = true;
  EXPECT_FALSE(f.scanner.QueryRoot(&panel));
  EXPECT_EQ(f.s.gTotalBytes, 0);
}

TEST(StoreTree, AddFindsTheParentByKey) {
  platform::NodeStore store;
  StoreTree tree(store);
  const auto root = tree.Add({}, 0, "0?/", "Root", "closed", "open");
  EXPECT_EQ(store.Parent(tree.Add("0?/", tvwChild, "1?/a", "a", "hclosed", "hopen")), root);
  EXPECT_EQ(store.Parent(tree.Add("0?/", tvwChild + 1, "2?/b", "b", "closed", "open")), platform::NodeStore::kNone);
  EXPECT_EQ(store.Image(1), platform::Picture::HClosed);
}

TEST(PathText, LeafParentPairFieldsAndSlack) {
  EXPECT_EQ(PathLeaf("/usr/share/doc") + "|" + PathLeaf("/usr/") + "|" + PathLeaf("plain"), "doc||plain");
  EXPECT_EQ(PathParent("/usr/share/doc") + "|" + PathParent("/usr") + "|" + PathParent("x"), "/usr/share||");
  EXPECT_EQ(PairField("6000000001,12288", 1), 6000000001LL);
  EXPECT_EQ(PairField("123,456", 2) + PairField("123,456", 0) + PairField("123", 2), 912);
  for (const auto& [size, lost] : {std::pair{0, 0}, {4096, 0}, {4097, 4095}, {1, 4095}})
    EXPECT_EQ(platform::SlackOf(size, 4096), lost) << size;
  EXPECT_EQ(platform::SlackOf(100, 0), 0);
}

}  // namespace
}  // namespace kvor
