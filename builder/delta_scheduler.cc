#include "builder/delta_scheduler.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>
#include <unordered_map>

#include "builder/stored_whole.h"
#include "platform/process.h"

namespace builder {
namespace {

// Collects a delta's streams in a temporary file.
class FileSink : public diffengine::BlockSink {
 public:
  explicit FileSink(platform::File& file) : file_(file) {}
  bool write(const void* data, std::size_t n) override { return file_.write(data, n); }

 private:
  platform::File& file_;
};

void printTo(Output& out, const std::string& en, const std::string& de, MsgArg a = MsgArg(), MsgArg b = MsgArg()) {
  out.bilingualFormat(en.c_str(), de.c_str(), a, b, platform::Stream::kOut);
  out.flush(platform::Stream::kOut);
}

}  // namespace

StateName stateName(const FileEntry& e) { return StateName{e.fullPath, e.relativePath, e.size, &e}; }

std::vector<StateName> stateNames(const std::vector<const FileEntry*>& chain) {
  std::vector<StateName> states;
  for (const FileEntry* e : chain) states.push_back(stateName(*e));
  return states;
}

void ChainDeltas::release() {
  for (std::string& t : temporaries) {
    if (t.empty()) continue;
    files.deleteFile(t);  // a failure leaves it to the destructor
    platform::forgetTemporary(t);
    t.clear();
  }
}

ChainDeltas::~ChainDeltas() {
  try {
    release();
  } catch (...) {  // a destructor lets nothing out: it would end the program
  }
}

int jobThreads(const Options& options, unsigned cores) {
  const int n = options.workers != 0 ? options.workers : static_cast<int>(cores);
  return std::max(1, std::min(n, kMaxWorkers));
}

// Every step's result depends on its own files alone, so searches on
// several threads give the very patch of a run in turn. A memory limit is
// the job's, not each thread's: under one the searches take turns.
int searchWorkers(const Options& options, unsigned cores, std::size_t searchedFiles) {
  if (searchedFiles < 2 || options.memoryLimit != 0) return 1;
  return static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(jobThreads(options, cores)), searchedFiles));
}

std::vector<std::size_t> searchOrder(const std::vector<std::uint64_t>& work, int workers) {
  std::uint64_t allWork = 0;
  for (const std::uint64_t w : work) allWork += w;
  const std::uint64_t large = allWork / (2 * static_cast<std::uint64_t>(workers));
  std::vector<std::size_t> start(work.size());
  for (std::size_t k = 0; k < start.size(); ++k) start[k] = k;
  std::stable_sort(start.begin(), start.end(), [&](std::size_t a, std::size_t b) {
    const bool largeA = work[a] > large, largeB = work[b] > large;
    return largeA != largeB ? largeA : largeA && work[a] > work[b];
  });
  return start;
}

DeltaSearch::DeltaSearch(const Options& o, platform::FileSystem& files, Output& out, diffengine::Memory& memory)
    : options_(o), files_(files), out_(out), host_(out) {
  settings_.memoryLimit = o.memoryLimit;
  settings_.engineHint = o.engineHint;
  settings_.searchLevel = o.searchLevel;
  settings_.selfReference = o.selfReference;
  settings_.compact = o.compact;
  settings_.lzmaBody = o.lzmaBody;
  settings_.quiet = o.quiet;
  settings_.mismatchGroup = o.mismatchGroupSize;
  settings_.literalBlockSize = static_cast<std::uint8_t>(o.literalBlockSize);
  settings_.encoderMargin = static_cast<std::uint32_t>(o.encoderMargin);
  settings_.threads = jobThreads(o, std::thread::hardware_concurrency());
  engine_ = std::make_unique<HostedEngine>(settings_, host_, files_, memory);
}

std::shared_ptr<ChainDeltas> DeltaSearch::inTurn(const std::string& relativeName, const std::vector<StateName>& states,
                                                 bool directoryMode) {
  printExamining(out_, relativeName, states, directoryMode);
  auto deltas = std::make_shared<ChainDeltas>(files_);
  searchChain(out_, *engine_, states, deltas.get());
  return deltas;
}

void DeltaSearch::printExamining(Output& out, const std::string& relativeName, const std::vector<StateName>& states,
                                 bool directoryMode) {
  if (states.size() == 2 && directoryMode) {
    printTo(out, "Examining \"%s\" to \"%s\": ", "Bearbeite \"%s\" zu \"%s\": ", states[0].relativePath, relativeName);
  } else {
    printTo(out, "Examining \"%s\": ", "Bearbeite \"%s\": ", relativeName);
  }
}

void DeltaSearch::searchChain(Output& out, HostedEngine& engine, const std::vector<StateName>& states,
                              ChainDeltas* result) {
  const std::size_t count = states.size();
  std::vector<diffengine::StateFile> files(count);
  for (std::size_t k = 0; k < count; ++k) files[k].path = states[k].fullPath;
  result->temporaries.assign(count - 1, std::string());
  result->records.assign(count - 1, patchformat::SourceRecord());
  for (std::size_t k = count - 1; k-- > 0;) {
    if (count >= 3) {
      if (k == count - 2) out.write(platform::Stream::kOut, "\n");
      printTo(out, "Step \"%s\" to \"%s\": ", "Schritt \"%s\" auf \"%s\": ", files[k].path, files[k + 1].path);
    }
    engine.searchStep(files[k], files[k + 1]);
    result->records[k] = engine.sourceRecord();
    std::string& temporary = result->temporaries[k];
    if (!files_.createTempFile("ks", &temporary)) out.failNumbered(kBuilderMsgNoTemporaryFile);
    platform::recordTemporary(temporary);
    const std::unique_ptr<platform::File> t = files_.open(temporary, platform::File::Mode::kCreate);
    if (!t) out.failNumbered(kBuilderMsgNoTemporaryFile);
    FileSink sink(*t);
    if (!engine.writeStreams(sink) || !t->close()) out.failNumbered(kBuilderMsgCannotWritePatch);
    engine.clearStreams();
  }
  result->finalState = files[count - 1];
  storeWholeWhenSmaller(out, states, result);
}

void DeltaSearch::storeWholeWhenSmaller(Output& out, const std::vector<StateName>& states, ChainDeltas* result) {
  const StateName& last = states.back();
  if (last.size == 0) return;
  // Both sides coded as the body will code them, about; the file on a
  // thread of its own, and only until it is sure to cost more than the
  // deltas can (no coding makes data more than a little larger).
  std::uint64_t raw = 0;
  for (const patchformat::SourceRecord& record : result->records) raw += record.streamsTotal();
  const std::uint64_t enough = raw + raw / 32 + 4096;
  std::uint64_t whole = 0, deltas = 0;
  const auto estimate = [&](BodyCoding coding) {
    bool wholeRead = false, deltasRead = true;
    std::thread file([&] {
      try {
        whole = codedSize(files_, last.fullPath, coding, &wholeRead, enough);
      } catch (const std::bad_alloc&) {
        wholeRead = false;  // no estimate: the deltas stay
      }
    });
    deltas = 0;
    for (std::size_t k = 0; deltasRead && k < result->temporaries.size(); ++k) {
      deltas += codedSize(files_, result->temporaries[k], coding, &deltasRead);
    }
    file.join();
    return wholeRead && deltasRead;
  };
  BodyCoding coding = options_.internalCompression ? BodyCoding::kDeflate : BodyCoding::kStored;
  if (!estimate(coding)) return;
  // LZMA gains more on machine code than on deltas, and its estimate costs
  // a few seconds per hundred MB: taken where deflate finds the two close.
  // Its fast level understates what the body's encoder gains on the file
  // (biome 2.5.15 to 2.6.9: 0.2 % against 4 %), so no margin is added.
  if (options_.internalCompression && options_.lzmaBody && deltas * 10 > whole * 7) {
    coding = BodyCoding::kLzma;
    if (!estimate(coding)) return;
  }
  // A file deflated alone misses what the body's window gives both sides:
  // the file must win by a sixteenth (one of typescript's 20 KB files
  // deflated 3 % smaller than its deltas alone, and 8 % larger in the body).
  const std::uint64_t margin = coding == BodyCoding::kDeflate ? whole / 16 : 0;
  if (deltas <= whole + margin) return;
  const std::unique_ptr<platform::File> finalFile = files_.open(last.fullPath, platform::File::Mode::kRead);
  if (!finalFile) out.failNumbered(kBuilderMsgCannotReadFile, last.fullPath);
  for (std::size_t k = 0; k + 1 < states.size(); ++k) {
    const std::unique_ptr<platform::File> t = files_.open(result->temporaries[k], platform::File::Mode::kCreate);
    if (!t) out.failNumbered(kBuilderMsgNoTemporaryFile);
    FileSink sink(*t);
    patchformat::SourceRecord& record = result->records[k];
    const bool written = k + 2 < states.size()
                             ? writeZeroStep(states[k].size, states[k + 1].size, sink, &record)
                             : writeStoredStep(states[k].size, *finalFile, last.size, sink, &record);
    if (!written || !t->close()) out.failNumbered(kBuilderMsgCannotWritePatch);
  }
  result->storedWhole = true;
  if (!options_.quiet) {
    printTo(out, "Deltas of about %s Bytes would cost more than the file (about %s Bytes): storing it whole.\n",
            "Deltas von etwa %s Bytes w\x84ren teurer als die Datei (etwa %s Bytes): speichere sie ganz.\n",
            std::to_string(deltas), std::to_string(whole));
  }
}

// Each worker searches with an engine, an output and memory of its own;
// results wait by chain until the job takes them.
struct DeltaScheduler::Worker {
  Worker(diffengine::EngineSettings s, platform::FileSystem& files, bool german)
      : out(console), host(out), engine(oneThread(s), host, files, memory) {
    out.setGerman(german);
  }
  // The workers keep the cores busy already.
  static diffengine::EngineSettings oneThread(diffengine::EngineSettings s) {
    s.threads = 1;
    return s;
  }
  RecordingConsole console;
  Output out;
  ConsoleEngineHost host;
  diffengine::Memory memory;
  HostedEngine engine;
};

DeltaScheduler::DeltaScheduler(DeltaSearch& search, std::vector<Chain> chains)
    : search_(search), chains_(std::move(chains)) {
  from_ = sameChains();
  lastTaker_.assign(chains_.size(), std::string::npos);
  for (std::size_t i = 0; i < chains_.size(); ++i) {
    if (from_[i] == std::string::npos) {
      searched_.push_back(i);
    } else {
      lastTaker_[from_[i]] = i;
    }
  }
  kept_.resize(chains_.size());
  results_.resize(chains_.size());
  const int workers = searchWorkers(search_.options_, std::thread::hardware_concurrency(), searched_.size());
  if (workers <= 1) return;
  for (int w = 0; w < workers; ++w) {
    pool_.push_back(std::make_unique<Worker>(search_.settings_, search_.files_, search_.out_.german()));
  }
  std::vector<std::uint64_t> work(searched_.size());
  for (std::size_t k = 0; k < searched_.size(); ++k) {
    for (const StateName& state : chains_[searched_[k]].states) work[k] += state.size;
  }
  ahead_ = std::make_unique<SearchAhead>(searchOrder(work, workers), workers, [this](std::size_t k, int w) {
    const Chain& chain = chains_[searched_[k]];
    Worker& worker = *pool_[static_cast<std::size_t>(w)];
    auto result = std::make_shared<ChainDeltas>(search_.files_);
    try {
      search_.printExamining(worker.out, chain.relativeName, chain.states, true);
      search_.searchChain(worker.out, worker.engine, chain.states, result.get());
    } catch (...) {
      result->failure = std::current_exception();
    }
    result->output = std::move(worker.console.events);
    worker.console.events.clear();
    results_[searched_[k]] = std::move(result);
  });
}

DeltaScheduler::~DeltaScheduler() = default;

std::shared_ptr<ChainDeltas> DeltaScheduler::take(std::size_t i) {
  const Chain& chain = chains_[i];
  std::shared_ptr<ChainDeltas> result;
  const std::size_t source = from_[i];
  if (source != std::string::npos) {
    search_.printExamining(search_.out_, chain.relativeName, chain.states, true);
    printTo(search_.out_, "identical to \"%s\", its deltas used again.\n",
            "identisch mit \"%s\", Deltas wiederverwendet.\n", chains_[source].relativeName);
    result = kept_[source];
  } else if (!ahead_) {
    result = search_.inTurn(chain.relativeName, chain.states, true);
  } else {
    ahead_->waitFor(nextTask_++);
    result = std::move(results_[i]);
    replay(result->output, search_.out_);
    if (result->failure) std::rethrow_exception(result->failure);
  }
  if (lastTaker_[i] != std::string::npos) kept_[i] = result;
  if (source != std::string::npos && lastTaker_[source] == i) kept_[source].reset();
  return result;
}

// Keys of size and checksum find the candidates; a byte comparison makes
// sure, since deltas taken for a different file would rebuild the wrong one.
std::vector<std::size_t> DeltaScheduler::sameChains() const {
  std::vector<std::size_t> from(chains_.size(), std::string::npos);
  std::unordered_map<std::uint64_t, std::vector<std::size_t>> byKey;
  for (std::size_t i = 0; i < chains_.size(); ++i) {
    const std::vector<StateName>& states = chains_[i].states;
    std::uint64_t key = states.size();
    for (const StateName& state : states) {
      key = key * 1000003u ^ (static_cast<std::uint64_t>(state.size) << 32 | state.entry->checksum);
    }
    std::vector<std::size_t>& candidates = byKey[key];
    for (const std::size_t c : candidates) {
      const std::vector<StateName>& earlier = chains_[c].states;
      if (earlier.size() != states.size()) continue;
      bool same = true;
      for (std::size_t s = 0; same && s < earlier.size(); ++s) {
        same = identical(*earlier[s].entry, *states[s].entry) && sameBytes(earlier[s], states[s]);
      }
      if (same) {
        from[i] = c;
        break;
      }
    }
    if (from[i] == std::string::npos) candidates.push_back(i);
  }
  return from;
}

// A file that cannot be read counts as different; its own search then
// says why.
bool DeltaScheduler::sameBytes(const StateName& a, const StateName& b) const {
  if (a.fullPath == b.fullPath) return true;
  platform::FileSystem& files = search_.files_;
  const std::unique_ptr<platform::File> x = files.open(a.fullPath, platform::File::Mode::kRead);
  const std::unique_ptr<platform::File> y = files.open(b.fullPath, platform::File::Mode::kRead);
  if (!x || !y) return false;
  std::vector<std::uint8_t> bx(1 << 16), by(1 << 16);
  for (std::uint64_t left = a.size; left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, bx.size()));
    if (!x->readFully(bx.data(), n) || !y->readFully(by.data(), n) || std::memcmp(bx.data(), by.data(), n) != 0) {
      return false;
    }
    left -= n;
  }
  return true;
}

}  // namespace builder
