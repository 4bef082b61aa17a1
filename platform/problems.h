#pragma once
// What a directory's figures are made of and why they may not be whole: the numbers a node of
// the scan's tree holds, whoever shows them.
#include <cstdint>

namespace kvor::platform {

// Sums of sizes: every entry may be near 2^63 bytes (sparse files), so they add up in 128 bits.
__extension__ typedef __int128 Int128;

// What kept a directory's figures from being whole; several may hold at once.
enum ReadProblem : uint8_t {
  kCannotEnter = 1,      // could not be opened or listed at all
  kListedInPart = 2,     // the listing failed part way; what came before it is kept
  kSizesUnreadable = 4,  // some entries were listed but their size could not be read
  kSumTooLarge = 8,      // a figure of the scan state stopped at its largest value
  kChanged = 16,         // listed as a directory, something else by the time it was entered
};

}  // namespace kvor::platform
