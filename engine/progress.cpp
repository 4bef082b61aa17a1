#include "engine/progress.h"

namespace kvor {

namespace {

bool Continues(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

void ShortenPath(std::string_view path, std::size_t ends, std::string& out) {
  if (path.size() <= 2 * ends) {
    out.assign(path);
    return;
  }
  // A cut before a continuation byte moves to the start of its sequence (at most three back);
  // bytes that are not UTF-8 are cut where they fall.
  std::size_t head = ends, tail = path.size() - ends;
  for (int i = 0; i < 3 && head > 0 && Continues(path[head]); ++i) --head;
  for (int i = 0; i < 3 && tail < path.size() && Continues(path[tail]); ++i) ++tail;
  out.assign(path.substr(0, head)).append("\u2026").append(path.substr(tail));
}

}  // namespace kvor
