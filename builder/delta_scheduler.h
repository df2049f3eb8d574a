// The search of patched files' deltas, apart from writing them: each chain
// is searched the last pair first into temporary files (a source record and
// the streams per step), so that its record can be written oldest first.
// A chain whose deltas would cost more than the final file is stored whole
// instead (stored_whole.h).
// A directory patch's files are searched on worker threads ahead of the
// job, which takes the deltas in writing order; copies of a file (the same
// bytes in every state) are searched once. The patch and the transcript are
// those of a run that searched every file in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "builder/engine_host.h"
#include "builder/messages.h"
#include "builder/options.h"
#include "builder/recording_console.h"
#include "builder/scanning.h"
#include "builder/search_ahead.h"
#include "diffengine/engine.h"
#include "diffengine/memory.h"
#include "patchformat/container.h"
#include "platform/files.h"

namespace builder {

// A file of one state in a patched file's chain.
struct StateName {
  std::string fullPath;
  std::string relativePath;
  std::uint32_t size;
  const FileEntry* entry;  // what scanning found out about it
};
StateName stateName(const FileEntry& e);
std::vector<StateName> stateNames(const std::vector<const FileEntry*>& chain);

// A patched file's deltas, searched before they are written: a source
// record and a temporary file of streams per step of the chain (oldest
// first), the final state's checksum and size, and (searched on a worker)
// what the search printed and how it failed. The temporaries go with it.
struct ChainDeltas {
  explicit ChainDeltas(platform::FileSystem& f) : files(f) {}
  // Deletes the parked streams; a failure goes to the caller. The
  // destructor deletes what is left, letting no failure out.
  void release();
  ~ChainDeltas();
  ChainDeltas(const ChainDeltas&) = delete;
  ChainDeltas& operator=(const ChainDeltas&) = delete;

  platform::FileSystem& files;
  std::vector<patchformat::SourceRecord> records;
  std::vector<std::string> temporaries;
  diffengine::StateFile finalState;
  std::vector<RecordingConsole::Event> output;
  std::exception_ptr failure;
  // Stored whole (stored_whole.h): the deltas would have cost more.
  bool storedWhole = false;
};

// The threads the job may use (-w, else one per core), 1 .. kMaxWorkers.
int jobThreads(const Options& options, unsigned cores);
// The threads that search `searchedFiles` files of a directory patch: 1
// where the run could not promise the patch of a run in turn otherwise.
int searchWorkers(const Options& options, unsigned cores, std::size_t searchedFiles);
// The order in which `workers` start searches of the given amounts of work
// (bytes of a chain's states), listed in writing order: that order, so that
// the job writes each file's streams while the workers search the next
// ones; only chains so large that one started late would keep a worker busy
// alone at the end start first, the largest first.
std::vector<std::size_t> searchOrder(const std::vector<std::uint64_t>& work, int workers);

// The job's difference engine and what searching a chain needs.
class DeltaSearch {
 public:
  DeltaSearch(const Options& options, platform::FileSystem& files, Output& out, diffengine::Memory& memory);

  // Searches a chain (oldest first) on the job's own thread, after its
  // "Examining" heading; a failure is raised.
  std::shared_ptr<ChainDeltas> inTurn(const std::string& relativeName, const std::vector<StateName>& states,
                                      bool directoryMode);

 private:
  friend class DeltaScheduler;

  void printExamining(Output& out, const std::string& relativeName, const std::vector<StateName>& states,
                      bool directoryMode);
  // With `out` and `engine`, the job's own or a worker's.
  void searchChain(Output& out, HostedEngine& engine, const std::vector<StateName>& states,
                   ChainDeltas* result);
  // Replaces the chain's deltas by the final file stored whole when they
  // would cost more in the body (about: both coded as the body is), and
  // says so.
  void storeWholeWhenSmaller(Output& out, const std::vector<StateName>& states, ChainDeltas* result);

  const Options& options_;
  platform::FileSystem& files_;
  Output& out_;
  ConsoleEngineHost host_;
  diffengine::EngineSettings settings_;
  std::unique_ptr<HostedEngine> engine_;
};

// The deltas of a directory patch's patched files, handed out in writing
// order. Workers start searching when the scheduler is made and stop (after
// the searches they run) when it goes.
class DeltaScheduler {
 public:
  struct Chain {
    std::string relativeName;
    std::vector<StateName> states;  // oldest first
  };

  DeltaScheduler(DeltaSearch& search, std::vector<Chain> chains);
  ~DeltaScheduler();
  DeltaScheduler(const DeltaScheduler&) = delete;
  DeltaScheduler& operator=(const DeltaScheduler&) = delete;

  // The deltas of chain `i`, taken once each, in order. What their search
  // printed is shown now, as in a run in turn; a failed search is raised.
  std::shared_ptr<ChainDeltas> take(std::size_t i);

 private:
  struct Worker;

  // For each chain the earlier one whose states are, state for state, the
  // same bytes and whose deltas it takes; npos for none.
  std::vector<std::size_t> sameChains() const;
  bool sameBytes(const StateName& a, const StateName& b) const;

  DeltaSearch& search_;
  const std::vector<Chain> chains_;
  std::vector<std::size_t> from_;       // sameChains()
  std::vector<std::size_t> lastTaker_;  // per chain: the last one that takes its deltas, npos for none
  std::vector<std::size_t> searched_;   // chains with deltas of their own, the workers' tasks
  std::size_t nextTask_ = 0;
  // Deltas kept for later takers until the last of them has them.
  std::vector<std::shared_ptr<ChainDeltas>> kept_;
  std::vector<std::unique_ptr<Worker>> pool_;
  std::vector<std::shared_ptr<ChainDeltas>> results_;  // by chain, as the workers finish
  std::unique_ptr<SearchAhead> ahead_;  // last: stops its threads before the rest goes
};

}  // namespace builder
