// The compact search (-o): a suffix array of the source gives the longest
// match at each position; each match is grown forward and backward over
// small differences while most bytes still agree, and such an approximate
// region becomes copies of its exact runs with the differing stretches
// between them as inserts that the encoder codes as differences to the
// aligned source bytes. Both files are in memory (strategy 1).
#pragma once

#include <cstdint>
#include <vector>

#include "diffengine/match.h"
#include "diffengine/memory.h"
#include "diffengine/representation.h"

namespace diffengine {

// Bytes the compact search needs beside the two files (the suffix array).
std::uint64_t compactSearchBytes(std::uint64_t sourceSize);

// The suffix array of data[0, n): sa[i] is the start of the i-th smallest
// suffix. The same array on every platform whichever sorter built it.
void suffixSort(const std::uint8_t* data, std::int32_t n, std::int32_t* sa);
// The sorter used where the system has no suffix sorting library; public so
// that tests compare the two.
void suffixSortFallback(const std::uint8_t* data, std::int32_t n, std::int32_t* sa);

// Appends records covering end[0, T) to `records`. The suffix array comes
// from `memory` (AllocationFailure when it cannot be had).
MatchResult runCompactSearch(const std::uint8_t* source, std::uint64_t S, const std::uint8_t* end, std::uint64_t T,
                             Memory& memory, Representation& records, EngineHost& host);

}  // namespace diffengine
