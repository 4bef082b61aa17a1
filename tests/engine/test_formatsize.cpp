#include <clocale>
#include <cstdint>
#include <gtest/gtest.h>

#include "engine/formatsize.h"

namespace kvor {
namespace {

TEST(FormatSize, UnitBoundaries) {
  const struct {
    double bytes;
    const char* text;
  } cases[] = {
      {0, "0.00 Bytes"},
      {1, "1.00 Bytes"},
      {1023, "1023.00 Bytes"},
      {1024, "1.00 KB"},
      {1536, "1.50 KB"},
      {1152, "1.13 KB"},  // exactly 1.125: half rounds away from zero
      {1048575, "1024.00 KB"},
      {1048576, "1.00 MB"},
      {1073741823, "1024.00 MB"},
      {1073741824, "1.00 GB"},
      {1099511627776.0, "1024.00 GB"},
      {5 * 1099511627776.0, "5120.00 GB"},
      {9.0e18, "8381903171.54 GB"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatSize(c.bytes, '.'), c.text) << c.bytes;
}

TEST(FormatSize, NegativeCountsStayInBytes) {
  EXPECT_EQ(FormatSize(-4096, '.'), "-4096.00 Bytes");
  EXPECT_EQ(FormatSize(-5e9, '.'), "-5000000000.00 Bytes");
  EXPECT_EQ(FormatSize(-0.5, '.'), "-0.50 Bytes");
  // Down to the most negative 64-bit figure, whose hundredths no 64-bit integer holds.
  EXPECT_EQ(FormatSize(-1.8e17, '.'), "-180000000000000000.00 Bytes");
  EXPECT_EQ(FormatSize(-9007199254740993.0, '.'), "-9007199254740992.00 Bytes");
  EXPECT_EQ(FormatSize(static_cast<double>(INT64_MIN), ','), "-9223372036854775808,00 Bytes");
  EXPECT_EQ(FormatSize(static_cast<double>(INT64_MAX), '.'), "8589934592.00 GB");
}

TEST(FormatSize, HalvesRoundAwayFromZero) {
  EXPECT_EQ(FormatSize(1024 * 2.005, '.'), "2.00 KB");  // 2.005 is not exact: it lies below
  EXPECT_EQ(FormatSize(1024 * 1.375, '.'), "1.38 KB");
  EXPECT_EQ(FormatSize(-2.125, '.'), "-2.13 Bytes");
}

TEST(FormatSize, LocaleDecimalSeparator) {
  EXPECT_EQ(FormatSize(1536, ','), "1,50 KB");
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "no de_DE.UTF-8 locale";
  EXPECT_EQ(DecimalSeparator(), ',');
  EXPECT_EQ(FormatSize(1536), "1,50 KB");
  EXPECT_EQ(FormatSize(0), "0,00 Bytes");
  EXPECT_EQ(FormatGeneral(0.5, DecimalSeparator()), "0,5");
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(FormatSize(1536), "1.50 KB");
}

TEST(FormatGeneral, NoTrailingZerosNoGrouping) {
  EXPECT_EQ(FormatGeneral(32, '.'), "32");
  EXPECT_EQ(FormatGeneral(0.5, '.'), "0.5");
  EXPECT_EQ(FormatGeneral(0, '.'), "0");
  EXPECT_EQ(FormatGeneral(1048576, '.'), "1048576");
  EXPECT_EQ(FormatGeneral(3.0 / 1024, '.'), "0.0029296875");
}

}  // namespace
}  // namespace kvor
