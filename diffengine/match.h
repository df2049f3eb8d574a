// The match search: walks the end file of a step and decides at each
// position whether a copy starts there and which one, appending copy and
// insert records to the step's representation.
#pragma once

#include <cstdint>
#include <functional>
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
  std::int64_t blockSize = 0;    // strategy 3: the index's block size
  bool weighEveryEntry = false;  // strategies 1 and 2: no ordered groups (tests)
  // Strategy 1: threads that walk the end file, in segments of this many
  // bytes (0: chosen by its size); the records are those of one thread.
  int threads = 1;
  std::int64_t segmentBytes = 0;
  std::uint64_t sourceSize = 0;  // S
  std::uint64_t endSize = 0;     // T
  // Strategy 1: the source followed by the end file; strategy 2: the source.
  const std::uint8_t* memory = nullptr;
  platform::File* sourceFile = nullptr;  // strategy 3 reads the source from it
  platform::File* endFile = nullptr;     // strategies 2 and 3 stream it
  std::uint8_t* chunkBuffer = nullptr;   // kEndChunk bytes for the streamed end file
  std::uint64_t cacheLimit = 0;          // strategy 3: most bytes of source cache, 0 for no limit
  std::string sourceName, endName;       // for read errors
};

struct MatchResult {
  std::uint64_t copies = 0;
  std::uint64_t copiedBytes = 0;
  std::uint64_t cappedSearches = 0;  // phases that weighed only some of the entries agreeing at length
  std::uint32_t endChecksum = 0;  // set when the end file was streamed
};

// Runs the whole walk and calls progress phase 1 with 100 at its end.
MatchResult runMatchSearch(const MatchInput& input, const SourceIndex& index, Representation& records,
                           EngineHost& host);

// Length of the common prefix of a and b, at most `limit` bytes.
std::size_t commonLength(const std::uint8_t* a, const std::uint8_t* b, std::int64_t limit);

// What a number costs in the delta's records: one, four or eight bytes.
inline std::int64_t numberCost(std::uint64_t x) { return x < 256 ? 1 : x < 65536 ? 4 : 8; }
inline std::uint64_t distance(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : b - a; }

// The first phase's percentage: the end offsets the walk has passed.
class SearchProgress {
 public:
  SearchProgress(std::uint64_t endSize, EngineHost& host);
  void to(std::int64_t d);
  void finish() { host_.progress(1, 100); }

 private:
  EngineHost& host_;
  std::uint64_t threshold_[101];
  int percent_ = 0;
};

// Strategies 2 and 3: reads the end file in chunks of kEndChunk bytes into
// the input's chunk buffer and searches each as the range [start, start + n).
// Returns the end file's checksum register.
std::uint32_t streamEndFile(const MatchInput& in,
                            const std::function<void(std::int64_t start, const std::uint8_t* bytes, std::int64_t n)>& search);

}  // namespace diffengine
