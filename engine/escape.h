#pragma once
// Names as text that cannot be misread: what the report prints and the windows show where
// a name's own bytes cannot be drawn.
#include <string>
#include <string_view>

namespace kvor {

// As \xHH: bytes that are not valid UTF-8, TAB, newline and "\", and every byte of a code
// point that is not printable: C0 and C1 controls, DEL, the line and paragraph separators and
// the controls of text direction (marks, embeddings, overrides, isolates).
std::string Escape(std::string_view text);

}  // namespace kvor
