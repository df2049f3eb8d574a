#include "diffengine/engine.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "diffengine/compact.h"
#include "diffengine/encoder.h"
#include "diffengine/match.h"
#include "diffengine/memory.h"
#include "diffengine/representation.h"
#include "diffengine/source_index.h"
#include "patchformat/crc.h"
#include "patchformat/delta.h"
#include "platform/files.h"

namespace diffengine {
namespace {

constexpr std::int64_t kFixedTables = 524288;                  // counters, also the bucket table's
constexpr std::int64_t kDefaultIndexBudget = 7340032;          // strategy 3 without a limit
constexpr std::int64_t kSmallestIndexBudget = 12 * 65536;      // below this the block index gains nothing by halving

// The five streams in patch order.
bool writeEncoderStreams(DeltaEncoder& e, BlockSink& sink) {
  bool ok = e.numbers.writeTo(sink);
  ok = e.bitsA.writeTo(sink) && ok;
  ok = e.bitsB.writeTo(sink) && ok;
  ok = e.writeLiterals(sink) && ok;
  return e.mismatch().writeTo(sink) && ok;
}

// Holds back what a trial encoding shows, to be shown if its result is kept.
class Recording : public EngineHost {
 public:
  explicit Recording(EngineHost& host) : host_(host) {}
  void write(platform::Stream stream, const std::string& text) override { shown_.push_back({stream, 0, 0, text}); }
  void progress(int phase, long percent) override { shown_.push_back({platform::Stream::kOut, phase, percent, {}}); }
  void replay() const {
    for (const Shown& s : shown_) {
      if (s.phase != 0) {
        host_.progress(s.phase, s.percent);
      } else {
        host_.write(s.stream, s.text);
      }
    }
  }

 private:
  struct Shown {
    platform::Stream stream;
    int phase;  // 0: a write
    long percent;
    std::string text;
  };
  EngineHost& host_;
  std::vector<Shown> shown_;
};

}  // namespace

struct DifferenceEngine::Impl {
  Impl(const EngineSettings& s, EngineHost& h, platform::FileSystem& f, Memory& m)
      : settings(s), host(h), files(f), memory(m), index(m), records(m), encoder(f, m) {
    index.setSortThreads(s.threads);
  }

  // The memory strategy for the next attempt; `prev` is the hint or the
  // strategy that failed. Prints the notice of a frugal strategy when the
  // limit asks for it or when a failed allocation brought it about.
  int chooseStrategy(std::int64_t prev, bool afterFailure, std::uint64_t S, std::uint64_t T) {
    const std::int64_t limit = settings.memoryLimit;
    const auto s = static_cast<std::int64_t>(S);
    const auto t = static_cast<std::int64_t>(T);
    const std::int64_t index = s * 4 / 5;
    const std::int64_t need1 = index + s + t + kFixedTables;
    const std::int64_t need2 = std::max(t, index) + s + kFixedTables;
    int strategy;
    if (limit == 0) {
      strategy = static_cast<int>(std::min<std::int64_t>(prev + 1, 3));
      if (afterFailure && strategy != prev) strategyNotice(strategy);
    } else if (need1 > limit || prev >= 1) {
      strategy = need2 > limit || prev >= 2 ? 3 : 2;
      strategyNotice(strategy);
    } else {
      strategy = 1;
    }
    return strategy;
  }

  void strategyNotice(int strategy) {
    // A failed attempt may have shown the first phase's label.
    if (labelShown) notice("\n");
    labelShown = false;
    notice(strategy == 3 ? "Memory/algorithm limitations suggest using less efficient alternate algorithm!\n"
                         : "Memory limitation suggests using the streaming dest algorithm!\n");
  }

  void notice(const char* text) {
    if (!settings.quiet) host.write(platform::Stream::kOut, text);
  }

  void releaseBuffers() {
    memory.release(data);
    data = nullptr;
    memory.release(endMemory);
    endMemory = nullptr;
    memory.release(chunk);
    chunk = nullptr;
    index.releaseEntries();
  }

  // Loading and index building, run again from the start after a failed
  // allocation.
  void prepare(int strategy, std::int64_t budget, StateFile& source, StateFile& end) {
    releaseBuffers();
    if (!sourceFile && !(sourceFile = files.open(source.path, platform::File::Mode::kRead))) {
      failNumbered(kEngineSourceUnreadable, source.path);
    }
    if (!endFile && !(endFile = files.open(end.path, platform::File::Mode::kRead))) failNumbered(kEngineEndUnreadable, end.path);
    if (!sourceFile->seek(0)) failNumbered(kEngineReadFailed, source.path);
    if (!endFile->seek(0)) failNumbered(kEngineReadFailed, end.path);
    const std::uint64_t S = source.size;
    const std::uint64_t T = end.size;
    if (strategy <= 2) {
      data = static_cast<std::uint8_t*>(
          memory.allocate(S + (strategy == 1 ? T : 0), "to hold the compared files in memory"));
      if (!sourceFile->readFully(data, static_cast<std::size_t>(S))) failNumbered(kEngineReadFailed, source.path);
      if (source.checksum == 0) source.checksum = patchformat::crc32_noinv(data, static_cast<std::size_t>(S));
      sourceFile.reset();
      if (strategy == 1) {
        if (!endFile->readFully(data + S, static_cast<std::size_t>(T))) failNumbered(kEngineReadFailed, end.path);
        end.checksum = patchformat::crc32_noinv(data + S, static_cast<std::size_t>(T));
        endFile.reset();
      }
    }
    if (strategy != 1) chunk = static_cast<std::uint8_t*>(memory.allocate(kEndChunk, "to stream the destination file"));

    host.progress(1, 0);
    labelShown = true;
    if (strategy == 3) {
      std::uint32_t crc = 0;
      blockSize = SourceIndex::blockSizeFor(S, budget);
      if (!index.buildBlocks(*sourceFile, S, blockSize, &crc)) failNumbered(kEngineReadFailed, source.path);
      source.checksum = crc;
    } else if (!compactStep) {
      const auto s = static_cast<std::int64_t>(S);
      const std::int64_t endEnd = strategy == 1 && settings.selfReference ? s + static_cast<std::int64_t>(T) : 0;
      index.buildFromMemory(data, s, endEnd, settings.searchLevel);
    }
  }

  // One step: open, prepare (with retries), search, encode, record.
  void step(StateFile& source, StateFile& end, StepStats& stats, patchformat::SourceRecord& record);
  void open(StateFile& source, StateFile& end, std::uint64_t* S, std::uint64_t* T);
  int prepareWithRetry(StateFile& source, StateFile& end, StepStats& stats, std::int64_t* budget);
  bool compactFits(std::uint64_t S, std::uint64_t T) const;
  MatchResult search(int strategy, std::int64_t budget, StateFile& source, StateFile& end, StepStats& stats);
  MatchResult compactSearchAndEncode(const StateFile& source, const StateFile& end, StepStats& stats);
  MatchResult kept(const MatchResult& found, std::vector<Record> walked, StepStats& stats) const;
  void encode(int strategy, const MatchResult& found, const StateFile& source, const StateFile& end,
              EngineHost& to);
  patchformat::SourceRecord sourceRecord(const StateFile& source) const;
  // The compact search's regions are long inserts of differences: larger
  // chunks cost fewer raw/difference bits there and fewer reads when applied.
  std::uint8_t literalBlockSize() const { return compactStep ? kCompactBlock : settings.literalBlockSize; }
  static constexpr std::uint8_t kCompactBlock = 64;

  EngineSettings settings;
  EngineHost& host;
  platform::FileSystem& files;
  Memory& memory;
  SourceIndex index;
  std::int64_t blockSize = 0;  // strategy 3: the index's block size
  Representation records;
  DeltaEncoder encoder;
  std::unique_ptr<platform::File> sourceFile;  // open while the step reads it
  std::unique_ptr<platform::File> endFile;
  std::uint8_t* data = nullptr;       // the source, under strategy 1 followed by the end file
  std::uint8_t* endMemory = nullptr;  // strategy 2: the end file, loaded after the search
  std::uint8_t* chunk = nullptr;      // the streamed end file's chunk
  bool compactStep = false;           // this step runs the compact search
  bool labelShown = false;            // an attempt of this step printed the first phase's label
};

// The compact search holds both files and the suffix array (4 bytes per
// source byte); under -m it runs only when that fits the limit, and never
// with a strategy hint (-y), which asks for the usual search.
bool DifferenceEngine::Impl::compactFits(std::uint64_t S, std::uint64_t T) const {
  if (!settings.compact || settings.engineHint != 0 || S >= 0x7FFFFFFFu) return false;
  if (settings.memoryLimit <= 0) return true;
  const std::uint64_t need = S + T + compactSearchBytes(S) + kFixedTables;
  return need <= static_cast<std::uint64_t>(settings.memoryLimit);
}

// Opens both states and takes their sizes; prints the sizes line.
void DifferenceEngine::Impl::open(StateFile& source, StateFile& end, std::uint64_t* S, std::uint64_t* T) {
  if (!(sourceFile = files.open(source.path, platform::File::Mode::kRead))) {
    failNumbered(kEngineSourceUnreadable, source.path);
  }
  if (!(endFile = files.open(end.path, platform::File::Mode::kRead))) failNumbered(kEngineEndUnreadable, end.path);
  if (!sourceFile->size(S)) failNumbered(kEngineReadFailed, source.path);
  if (!endFile->size(T)) failNumbered(kEngineReadFailed, end.path);
  // A patch describes sizes, addresses and lengths in 32 bits.
  if (!patchformat::fitsFormat(*S)) fail("Error, \"" + source.path + "\" is 4 GB or larger, which a patch file cannot describe!");
  if (!patchformat::fitsFormat(*T)) fail("Error, \"" + end.path + "\" is 4 GB or larger, which a patch file cannot describe!");
  if (settings.selfReference && !patchformat::fitsFormat(*S + *T)) {
    fail("Error, \"" + source.path + "\" and \"" + end.path + "\" together reach 4 GB, too much for option \"-r\"!");
  }
  source.size = patchformat::formatSize(*S);
  end.size = patchformat::formatSize(*T);
  char line[80];
  std::snprintf(line, sizeof line, "(%" PRIu64 " -> %" PRIu64 " Bytes)\n", *S, *T);
  host.write(platform::Stream::kOut, line);
}

// Prepares under the hinted strategy and, after each allocation failure,
// under a more frugal one. Returns the strategy; `budget` is the index
// budget it was prepared with.
int DifferenceEngine::Impl::prepareWithRetry(StateFile& source, StateFile& end, StepStats& stats,
                                             std::int64_t* budget) {
  const std::uint64_t S = source.size;
  const std::uint64_t T = end.size;
  std::int64_t prev = settings.engineHint;
  bool chose3 = false;
  if (compactFits(S, T)) {
    compactStep = true;
    ++stats.attempts;
    try {
      prepare(1, 0, source, end);
      return 1;
    } catch (const AllocationFailure&) {
      releaseBuffers();
      compactStep = false;
    }
  }
  for (bool first = true;; first = false) {
    const int strategy = chooseStrategy(prev, !first, S, T);
    if (settings.memoryLimit > 0) {
      *budget = settings.memoryLimit;
    } else if (first) {
      *budget = kDefaultIndexBudget;
    } else if (chose3) {
      *budget /= 2;
    }
    if (strategy == 3) chose3 = true;
    ++stats.attempts;
    try {
      prepare(strategy, *budget, source, end);
      return strategy;
    } catch (const AllocationFailure&) {
      releaseBuffers();
      // Strategy 3 can only go on with a smaller budget: a fixed limit, or
      // a budget below the fixed tables, ends the run.
      if (strategy == 3 && (settings.memoryLimit > 0 || *budget / 2 < kSmallestIndexBudget)) throw;
      prev = strategy;
    }
  }
}

// The match search over the prepared index; afterwards only what the
// encoder needs stays in memory.
MatchResult DifferenceEngine::Impl::search(int strategy, std::int64_t budget, StateFile& source, StateFile& end,
                                           StepStats& stats) {
  stats.strategy = strategy;
  stats.indexBudget = strategy == 3 ? static_cast<std::uint64_t>(budget) : 0;
  stats.samples = index.samples();
  stats.keysCut = index.keysCut();
  stats.indexEntries = index.entries();

  MatchInput in;
  in.strategy = strategy;
  in.blockSize = blockSize;
  in.weighEveryEntry = settings.weighEveryEntry;
  // Each thread keeps group orders of its own: under a limit one walks.
  in.threads = settings.memoryLimit == 0 ? settings.threads : 1;
  in.segmentBytes = settings.walkSegment;
  in.sourceSize = source.size;
  in.endSize = end.size;
  in.memory = data;
  in.sourceFile = sourceFile.get();
  in.endFile = endFile.get();
  in.chunkBuffer = chunk;
  // Under a limit the source cache takes a third of the index budget:
  // entries take 8 of the 12 bytes the budget counts for each.
  in.cacheLimit = settings.memoryLimit > 0 ? static_cast<std::uint64_t>(budget) / 3 : 0;
  in.sourceName = source.path;
  in.endName = end.path;
  records.clear();
  MatchResult found;
  if (compactStep) {
    try {
      found = compactSearchAndEncode(source, end, stats);
      stats.copies = found.copies;
      stats.copiedBytes = found.copiedBytes;
      return found;
    } catch (const AllocationFailure&) {
      // No room for the suffix array after all: the usual search, whose
      // index is built now.
      compactStep = false;
      records.clear();
      encoder.clear();
      const auto s = static_cast<std::int64_t>(source.size);
      const std::int64_t endEnd = settings.selfReference ? s + static_cast<std::int64_t>(end.size) : 0;
      index.buildFromMemory(data, s, endEnd, settings.searchLevel);
      stats.indexEntries = index.entries();
      found = runMatchSearch(in, index, records, host);
    }
  } else {
    found = runMatchSearch(in, index, records, host);
  }
  if (strategy != 1) end.checksum = found.endChecksum;
  stats.cappedSearches = found.cappedSearches;
  stats.copies = found.copies;
  stats.copiedBytes = found.copiedBytes;
  if (settings.keepSearchRecords) {
    for (std::uint64_t i = 0; i < records.size(); ++i) stats.searchRecords.push_back(records[i]);
  }
  index.releaseEntries();
  memory.release(chunk);
  chunk = nullptr;
  return found;
}

// Walks the end file with each split length of the compact search, encodes
// each walk and keeps the encoding whose streams deflate smallest. The
// last walk's encoding stays when it is the smallest; otherwise the
// smallest is encoded again.
//
// Text going into an LZMA body keeps even short exact runs in its inserts,
// without trials: the body's dictionary finds inserted text again, in this
// file or another, which a trial of one delta cannot see.
MatchResult DifferenceEngine::Impl::compactSearchAndEncode(const StateFile& source, const StateFile& end,
                                                           StepStats& stats) {
  CompactSearch search(data, source.size, data + source.size, end.size, memory, host,
                       settings.memoryLimit == 0 ? settings.threads : 1, settings.walkSegment);
  std::vector<std::int64_t> splits(std::begin(CompactSearch::kSplitRuns), std::end(CompactSearch::kSplitRuns));
  if (settings.lzmaBody && search.endIsText()) splits = {CompactSearch::kShortSplitRun};
  std::vector<Record> best;
  MatchResult bestFound;
  std::uint64_t bestSize = UINT64_MAX;
  for (std::size_t i = 0; i < splits.size(); ++i) {
    records.clear();
    // The first walk finds the regions every walk uses: the phase's work.
    const MatchResult found = search.walk(splits[i], records, i == 0 ? 0 : 100, 100);
    std::vector<Record> walked;
    walked.reserve(static_cast<std::size_t>(records.size()));
    for (std::uint64_t r = 0; r < records.size(); ++r) walked.push_back(records[r]);
    Recording trial(host);
    encode(1, found, source, end, trial);
    // Level 6 ranks the encodings as the body's level 9 does on the data
    // tried, in half the time; in pieces like the body, on the job's threads.
    std::uint64_t bytes = 0;
    if (splits.size() > 1) {
      PieceDeflateSink deflated(6, settings.threads, [&bytes](const void*, std::size_t n) {
        bytes += n;
        return true;
      });
      if (!(writeEncoderStreams(encoder, deflated) && deflated.finish())) bytes = UINT64_MAX;
    }
    if (i + 1 == splits.size() && bytes <= bestSize) {
      trial.replay();
      return kept(found, std::move(walked), stats);
    }
    encoder.clear();
    if (bytes < bestSize) {
      bestSize = bytes;
      best = std::move(walked);
      bestFound = found;
    }
  }
  records.clear();
  for (const Record& r : best) records.append(r.n, r.at);
  encode(1, bestFound, source, end, host);
  return kept(bestFound, std::move(best), stats);
}

// The search's statistics of the walk whose encoding was kept.
MatchResult DifferenceEngine::Impl::kept(const MatchResult& found, std::vector<Record> walked, StepStats& stats) const {
  if (settings.keepSearchRecords) stats.searchRecords = std::move(walked);
  return found;
}

// Strategy 2 loads the end file only now, for the encoder's fine tuning.
void DifferenceEngine::Impl::encode(int strategy, const MatchResult& found, const StateFile& source,
                                    const StateFile& end, EngineHost& to) {
  const std::uint64_t S = source.size;
  const std::uint64_t T = end.size;
  if (strategy == 2) {
    endMemory = static_cast<std::uint8_t*>(
        memory.allocate(T, "to load the dest file for fine tuning the generated representation"));
    if (!endFile->seek(0) || !endFile->readFully(endMemory, static_cast<std::size_t>(T))) {
      failNumbered(kEngineReadFailed, end.path);
    }
    endFile.reset();
  }
  EncoderInput e;
  e.sourceSize = S;
  e.endSize = T;
  e.selfReference = settings.selfReference;
  e.source = data;
  e.end = strategy == 1 ? data + S : endMemory;
  e.endName = end.path;
  e.copies = found.copies;
  e.copiedBytes = found.copiedBytes;
  e.mismatchGroup = settings.mismatchGroup;
  e.literalBlockSize = literalBlockSize();
  e.encoderMargin = settings.encoderMargin;
  encoder.encode(e, records, to);
}

// The step's source record: the source state and the streams' lengths.
patchformat::SourceRecord DifferenceEngine::Impl::sourceRecord(const StateFile& source) const {
  patchformat::SourceRecord record;
  record.checksum = source.checksum;
  record.size = source.size;
  record.streamLength[0] = patchformat::formatSize(encoder.numbers.sizeInBytes());
  record.streamLength[1] = patchformat::formatSize(encoder.bitsA.sizeInBytes());
  record.streamLength[2] = patchformat::formatSize(encoder.bitsB.sizeInBytes());
  record.streamLength[3] = patchformat::formatSize(encoder.literalsSize());
  record.streamLength[4] = patchformat::formatSize(encoder.mismatch().sizeInBytes());
  record.mismatchGroup = settings.mismatchGroup;
  record.deltaFlags = static_cast<std::uint8_t>((settings.selfReference ? patchformat::kDeltaRangeIsSum : 0) |
                                                (encoder.rawMismatch ? patchformat::kDeltaRawMismatch : 0));
  record.literalBlockSize = literalBlockSize();
  return record;
}

void DifferenceEngine::Impl::step(StateFile& source, StateFile& end, StepStats& stats,
                                  patchformat::SourceRecord& record) {
  stats = StepStats();
  compactStep = false;
  labelShown = false;
  std::uint64_t S = 0;
  std::uint64_t T = 0;
  open(source, end, &S, &T);  // sizes past 32 bits end the run here
  std::int64_t budget = 0;
  const int strategy = prepareWithRetry(source, end, stats, &budget);
  const MatchResult found = search(strategy, budget, source, end, stats);
  // The compact search encodes its own result.
  if (!compactStep) encode(strategy, found, source, end, host);
  record = sourceRecord(source);
  sourceFile.reset();
  endFile.reset();
  releaseBuffers();
  records.clear();
}

DifferenceEngine::DifferenceEngine(const EngineSettings& settings, EngineHost& host, platform::FileSystem& files,
                                   Memory& memory)
    : impl_(std::make_unique<Impl>(settings, host, files, memory)) {}

DifferenceEngine::~DifferenceEngine() {
  if (impl_) impl_->releaseBuffers();
}

void DifferenceEngine::searchStep(StateFile& source, StateFile& end) {
  try {
    impl_->step(source, end, stats_, record_);
  } catch (...) {
    impl_->sourceFile.reset();
    impl_->endFile.reset();
    impl_->releaseBuffers();
    impl_->records.clear();
    throw;
  }
}

bool DifferenceEngine::writeStreams(BlockSink& sink) { return writeEncoderStreams(impl_->encoder, sink); }

void DifferenceEngine::clearStreams() { impl_->encoder.clear(); }

}  // namespace diffengine
