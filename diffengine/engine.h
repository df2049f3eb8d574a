// The difference engine: for one step of a file's version chain (a source
// state and the next state) it finds how the end file is built from the
// source, encodes that as the five delta streams and fills the step's
// source record.
//
// Output is deterministic: the same files and settings give the same bytes
// on every platform and in every run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diffengine/memory.h"
#include "diffengine/streams.h"
#include "patchformat/container.h"
#include "platform/console.h"
#include "platform/files.h"

namespace diffengine {

// What the engine needs from its front end.
class EngineHost {
 public:
  virtual ~EngineHost() = default;
  virtual void write(platform::Stream stream, const std::string& text) = 0;
  // Phase 1 (search), 2 (presorting) or 3 (prepacking): 0 at its start,
  // percentages while it runs, 100 at its end.
  virtual void progress(int phase, long percent) = 0;
};

struct EngineSettings {
  std::int64_t memoryLimit = 0;  // bytes; 0 = no limit (-m)
  std::uint32_t engineHint = 0;  // first strategy - 1 (-y)
  int searchLevel = 8;           // -0 .. -9
  bool selfReference = false;    // copies may also come from the end file (-r)
  bool quiet = false;            // no strategy notices (-q)
  std::uint16_t mismatchGroup = 190;  // g: copies per mismatch length (-P)
  std::uint8_t literalBlockSize = 20; // b: chunk of inserted bytes (-C)
  std::uint32_t encoderMargin = 245;  // B: context before a chunk's entropy window (-B)
  bool keepSearchRecords = false;     // tests: keep a copy of the search's records
  bool weighEveryEntry = false;       // tests: no ordered groups, every entry weighed (the same result)
  // -o: the compact search (suffix array, matches grown over differences)
  // when both files fit in memory beside it; otherwise the usual search.
  bool compact = false;
  // The patch body will be LZMA (-o=lzma): the compact search ranks its
  // encodings as that body compresses them where that is quick.
  bool lzmaBody = false;
  // Threads that sort the source index and walk the end file held in
  // memory (the same result for any number; one under a memory limit).
  int threads = 1;
  std::int64_t walkSegment = 0;       // tests: end bytes per segment of a walk on several threads
};

// A state of the version chain as the job driver keeps it. The checksum is 0
// until the engine has computed it (the register over the whole file).
struct StateFile {
  std::string path;
  std::uint32_t checksum = 0;
  std::uint32_t size = 0;
};

// One instruction of the search's result: a copy of n bytes from `at`, or an
// insert of -n bytes of the end file starting at offset `at`.
struct SearchRecord {
  std::int64_t n;
  std::uint32_t at;
  bool operator==(const SearchRecord& o) const { return n == o.n && at == o.at; }
};

// What happened in the last step (for tests and the benchmark).
struct StepStats {
  int strategy = 0;            // 1, 2 or 3 as finally used
  int attempts = 0;            // preparations started
  std::uint64_t samples = 0;   // sampled positions counted (N)
  std::uint32_t keysCut = 0;   // frequent keys left out of the index
  std::uint64_t indexEntries = 0;
  std::uint64_t indexBudget = 0;
  std::uint64_t copies = 0;    // copy records after the search
  std::uint64_t copiedBytes = 0;
  std::uint64_t cappedSearches = 0;  // phases of the match search that weighed only part of a group
  std::vector<SearchRecord> searchRecords;  // only with keepSearchRecords
};

class DifferenceEngine {
 public:
  // Allocates the engine's counting and bucket tables (AllocationFailure
  // when they cannot be had). Every call reports its failures as
  // EngineError.
  // `files` and `memory` outlive the engine.
  DifferenceEngine(const EngineSettings& settings, EngineHost& host, platform::FileSystem& files, Memory& memory);
  ~DifferenceEngine();
  DifferenceEngine(const DifferenceEngine&) = delete;
  DifferenceEngine& operator=(const DifferenceEngine&) = delete;

  // Runs one step: `source` is state k, `end` state k + 1. Sets both
  // states' sizes and checksums; afterwards the streams and sourceRecord()
  // hold the step's delta.
  void searchStep(StateFile& source, StateFile& end);

  const patchformat::SourceRecord& sourceRecord() const { return record_; }
  const StepStats& stats() const { return stats_; }

  // The five streams in patch order: numbers, bits A, bits B, literals,
  // mismatch bytes. False when the sink failed.
  bool writeStreams(BlockSink& sink);
  void clearStreams();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  patchformat::SourceRecord record_;
  StepStats stats_;
};

}  // namespace diffengine
