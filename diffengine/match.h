// The match search: walks the end file of a step and decides at each
// position whether a copy starts there and which one, appending copy and
// insert records to the step's representation.
#pragma once

#include <cstdint>
#include <string>

#include "diffengine/engine.h"
#include "diffengine/representation.h"
#include "diffengine/source_index.h"
#include "platform/files.h"

namespace diffengine {

constexpr std::size_t kEndChunk = 100000;  // end-file chunk under strategies 2 and 3
constexpr std::uint32_t kMinimumCopy = 12;

// What one step's search works on.
struct MatchInput {
  int strategy = 1;
  std::uint64_t sourceSize = 0;  // S
  std::uint64_t endSize = 0;     // T
  // Strategy 1: the source followed by the end file; strategy 2: the source.
  const std::uint8_t* memory = nullptr;
  platform::File* sourceFile = nullptr;  // strategy 3 reads candidates from it
  platform::File* endFile = nullptr;     // strategies 2 and 3 stream it
  std::uint8_t* chunkBuffer = nullptr;   // kEndChunk bytes for the streamed end file
  std::uint64_t cacheLimit = 0;          // strategy 3: most bytes of source cache, 0 for no limit
  std::string sourceName, endName;       // for read errors
};

struct MatchResult {
  std::uint64_t copies = 0;
  std::uint64_t copiedBytes = 0;
  std::uint32_t endChecksum = 0;  // set when the end file was streamed
};

// Runs the whole walk and calls progress phase 1 with 100 at its end.
MatchResult runMatchSearch(const MatchInput& input, const SourceIndex& index, Representation& records,
                           EngineHost& host);

// Length of the common prefix of a and b, at most `limit` bytes.
std::size_t commonLength(const std::uint8_t* a, const std::uint8_t* b, std::int64_t limit);

}  // namespace diffengine
