#include "engine/formatsize.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kvor {

namespace {

// "0.00": two decimals, half away from zero, no grouping. The product is formed in long
// double, where it is exact, so a binary half such as 1.125 rounds up as it should.
std::string RenderTwoDecimals(double value, char separator) {
  if (!std::isfinite(value)) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", value);
    return buf;
  }
  if (std::fabs(value) >= 0x1p53) {
    // Every double this large is a whole number, and its hundredths would not fit 64 bits.
    char buf[400];
    const int n = std::snprintf(buf, sizeof buf, "%.0f", value);
    return std::string(buf, static_cast<std::size_t>(n)) + separator + "00";
  }
  const long double hundredths = std::roundl(static_cast<long double>(value) * 100.0L);
  const bool negative = hundredths < 0;
  const auto magnitude = static_cast<unsigned long long>(negative ? -hundredths : hundredths);
  char buf[48];
  char* end = buf;
  if (negative) *end++ = '-';
  end = std::to_chars(end, buf + sizeof buf, magnitude / 100).ptr;
  *end++ = separator;
  *end++ = static_cast<char>('0' + magnitude % 100 / 10);
  *end++ = static_cast<char>('0' + magnitude % 10);
  return std::string(buf, end);
}

}  // namespace

char DecimalSeparator() {
  const std::lconv* conv = std::localeconv();
  return conv != nullptr && conv->decimal_point != nullptr && conv->decimal_point[0] != '\0'
             ? conv->decimal_point[0]
             : '.';
}

std::string FormatSize(double bytes) { return FormatSize(bytes, DecimalSeparator()); }

std::string FormatSize(double bytes, char decimalSeparator) {
  // The unit is chosen on the unrounded quotient: just below a threshold stays in the
  // smaller unit, and may show as 1024.00 of it.
  if (!(bytes / 1024 >= 1.0)) return RenderTwoDecimals(bytes, decimalSeparator) + " Bytes";
  if (!(bytes / 1024 / 1024 >= 1.0)) return RenderTwoDecimals(bytes / 1024, decimalSeparator) + " KB";
  if (!(bytes / 1024 / 1024 / 1024 >= 1.0))
    return RenderTwoDecimals(bytes / 1024 / 1024, decimalSeparator) + " MB";
  return RenderTwoDecimals(bytes / 1024 / 1024 / 1024, decimalSeparator) + " GB";
}

std::string FormatGeneral(double value, char decimalSeparator) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", value);
  std::string out(buf);
  for (char& c : out)
    if (c == '.') c = decimalSeparator;
  return out;
}

}  // namespace kvor
