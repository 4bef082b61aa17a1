#include <gtest/gtest.h>

#include "engine/diskspace.h"
#include "tempdrive.h"

namespace kvor {
namespace {

TEST(GetDiskSpace, FiguresFromClustersOfTheQuery) {
  test::FakeSystem system;
  system.figures = {64, 512, 10000, 65000};
  ScanState s;
  EXPECT_EQ(GetDiskSpace(s, system, "/", "FREE"), 327680000);
  EXPECT_EQ(s.gClusterSize, 32768);
  EXPECT_EQ(GetDiskSpace(s, system, "/", "TOTAL"), 2129920000);
  EXPECT_EQ(GetDiskSpace(s, system, "/", "USED"), 1802240000);
}

TEST(GetDiskSpace, UnknownKindsAndFailedQueries) {
  test::FakeSystem system;
  system.figures = {8, 512, 10, 20};
  ScanState s;
  EXPECT_EQ(GetDiskSpace(s, system, "/", "free"), 0);  // kinds are exact
  EXPECT_EQ(s.gClusterSize, 4096);                      // but the cluster is recorded
  system.queryFails = true;
  for (const char* kind : {"FREE", "USED", "TOTAL"}) EXPECT_EQ(GetDiskSpace(s, system, "/", kind), 0);
  EXPECT_EQ(s.gClusterSize, 0);
}

TEST(GetDiskSpace, DrivesBeyondThirtyTwoBits) {
  // 16 TiB with 4 KiB clusters, 3 TiB free: every figure overflows 32 bits.
  test::FakeSystem system;
  system.figures = {1, 4096, 3LL << 28, 1LL << 32};
  ScanState s;
  EXPECT_EQ(GetDiskSpace(s, system, "/", "TOTAL"), 1LL << 44);
  EXPECT_EQ(GetDiskSpace(s, system, "/", "FREE"), 3LL << 40);
  EXPECT_EQ(GetDiskSpace(s, system, "/", "USED"), 13LL << 40);
}

TEST(GetDiskSpace, RealFileSystem) {
  ScanState s;
  const auto& system = platform::LocalSystem();
  const int64_t total = GetDiskSpace(s, system, "/", "TOTAL");
  const int64_t used = GetDiskSpace(s, system, "/", "USED");
  EXPECT_GT(total, 0);
  EXPECT_GT(s.gClusterSize, 0);
  EXPECT_LE(used, total);
  EXPECT_EQ(GetDiskSpace(s, system, "/no/such/root", "TOTAL"), 0);
  EXPECT_EQ(s.gClusterSize, 0);
}

}  // namespace
}  // namespace kvor
