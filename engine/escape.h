#pragma once
// Names as text that cannot be misread: what the report prints and the windows show where
// a name's own bytes cannot be drawn.
#include <string>
#include <string_view>

namespace kvor {

// Bytes that are not printable or not valid UTF-8, TAB, newline and "\" as \xHH.
std::string Escape(std::string_view text);

}  // namespace kvor
