#include "engine/escape.h"

#include <cstdint>

namespace kvor {

namespace {

// Length of the valid UTF-8 sequence at `s` (2 to 4 bytes), or 0; its code point in `cp`.
std::size_t Utf8SequenceLength(std::string_view s, uint32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  std::size_t n = 0;
  cp = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (s.size() < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  // No overlong forms, no surrogates, nothing past U+10FFFF.
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

// Code points that draw nothing but move a terminal's cursor or a line's text: the C1 controls
// (U+009B starts a control sequence), the line and paragraph separators, and the marks,
// embeddings, overrides and isolates that set the direction of the text around them.
bool Unprintable(uint32_t cp) {
  return (cp >= 0x80 && cp <= 0x9F) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

void AppendHex(std::string& out, unsigned char byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out.append("\\x");
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 0x0F]);
}

}  // namespace

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      if (byte >= 0x20 && byte < 0x7F && byte != '\\')
        out.push_back(static_cast<char>(byte));
      else
        AppendHex(out, byte);
      ++i;
      continue;
    }
    uint32_t cp = 0;
    const std::size_t n = Utf8SequenceLength(text.substr(i), cp);
    if (n == 0) {
      AppendHex(out, byte);
      ++i;
    } else if (Unprintable(cp)) {
      for (std::size_t k = 0; k < n; ++k) AppendHex(out, static_cast<unsigned char>(text[i + k]));
      i += n;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace kvor
