#pragma once
#include <string>

namespace kvor {

// Byte count as display text: two decimals and " Bytes", " KB", " MB" or " GB", with the
// decimal separator of the user's locale (LC_NUMERIC).
std::string FormatSize(double bytes);
std::string FormatSize(double bytes, char decimalSeparator);

// The general number format: up to 15 significant digits, no trailing zeros, no grouping.
std::string FormatGeneral(double value, char decimalSeparator);

// The locale's decimal separator (LC_NUMERIC), '.' when it has none.
char DecimalSeparator();

}  // namespace kvor
