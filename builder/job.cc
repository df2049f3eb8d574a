#include "builder/job.h"

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "builder/autofind.h"
#include "builder/cleanup.h"
#include "builder/delta_scheduler.h"
#include "builder/follow_ups.h"
#include "builder/messages.h"
#include "builder/patch_output.h"
#include "builder/patch_writer.h"
#include "builder/plan.h"
#include "builder/scanning.h"
#include "builder/start_costs.h"
#include "builder/verify.h"
#include "patchformat/container.h"
#include "platform/console.h"
#include "platform/files.h"

namespace builder {
namespace {

// The job in the order it runs: the checks before any output, then per
// target the scan, the plan, the deltas and the records, then the trailer,
// the stub, the check of the finished patch, the log and the archive.
class Job {
 public:
  Job(const Options& o, Context& context)
      : o_(o),
        ctx_(context),
        files_(context.files),
        out_(context.out),
        dates_(o.dateMode, context.files),
        search_(o, context.files, context.out, context.memory),
        output_(context.files),
        writer_(output_, context.files, context.out) {}

  // Everything that can refuse the job before any output exists.
  void check();
  void run();

 private:
  // Whether a start state is a directory; then all of them must be.
  bool anyDirectory(const TargetOptions& target) const;
  void checkStates(const TargetOptions& target);
  // Creates the output and writes the header and the comment; starts the log.
  void openOutput();
  // Reads the log template and creates the log (-l).
  void openLog();
  // A file of the log's name that is no log stops the job before any work.
  void refuseForeignLog();
  void writeTarget(const TargetOptions& target, bool last);
  void filePatch(const TargetOptions& target);
  void directoryPatch(const TargetOptions& target);
  // Tells and writes what the plan says, file by file, searching the deltas
  // ahead on workers; counts what each start state takes in `costs`.
  void writePlan(const DirectoryPlan& plan, StartCosts& costs);
  // Tells what each start state of a target with several takes (not with -q).
  void reportCosts(const TargetOptions& target, const StartCosts& costs);
  // A patched file's chain in the log; one stored whole among the embedded files.
  void logPatched(const std::vector<StateName>& states, const ChainDeltas& deltas);
  ScanContext context(const TargetOptions& target) {
    ScanContext c(files_, out_);
    c.target = &target;
    c.includeHidden = o_.includeHidden;
    c.quiet = o_.quiet;
    c.latestDate = dates_.latest();
    return c;
  }
  void print(const std::string& en, const std::string& de, MsgArg a = MsgArg(), MsgArg b = MsgArg()) {
    out_.bilingualFormat(en.c_str(), de.c_str(), a, b, platform::Stream::kOut);
    out_.flush(platform::Stream::kOut);
  }

  const Options& o_;
  Context& ctx_;
  platform::FileSystem& files_;
  Output& out_;
  RecordDates dates_;
  DeltaSearch search_;
  // Before the writer, which writes into it: on an error the writer goes
  // first, then the output discards the incomplete patch.
  PatchOutput output_;
  PatchWriter writer_;
  bool directoryMode_ = false;
  bool directoryPatch_ = false;  // the header's kind: a directory patch or several targets
  bool byPathUsed_ = false;
};

void Job::openOutput() {
  // An executable patch is written to a temporary file first, which is
  // joined behind its stub at the end.
  if (o_.executable ? !output_.createTemporary() : !output_.create(o_.finalName)) {
    out_.failNumbered(o_.executable ? kBuilderMsgNoTemporaryFile : kBuilderMsgCannotOpenPatch);
  }
  patchformat::PatchHeader header;
  header.kind = o_.targets.size() > 1 ? patchformat::kKindSeveralTargets
                : directoryMode_      ? patchformat::kKindDirectory
                                      : patchformat::kKindFile;
  directoryPatch_ = header.isDirectoryPatch();
  header.flags = o_.internalCompression ? patchformat::kHeaderCompressed : 0;
  if (o_.lzmaBody && o_.internalCompression) header.markLzmaBody(0);  // its size once it is written
  header.commentLength = static_cast<std::uint16_t>(o_.commentText.size());
  writer_.begin(header, o_.commentText, o_.internalCompression, jobThreads(o_, std::thread::hardware_concurrency()),
                o_.compact);
  ctx_.directoryPatch = directoryPatch_;
  if (o_.logEnabled) openLog();
}

void Job::refuseForeignLog() {
  try {
    packaging::requireOwnLog(files_, o_.baseName + ".log");
  } catch (const packaging::LogFailure& failure) {
    ctx_.logFailed(failure);
  }
}

void Job::openLog() {
  const std::string templatePath = ctx_.programDirectory + "template\\logfile." + (o_.logAsText ? "txt" : "htm");
  try {
    ctx_.log = std::make_unique<packaging::LogFile>(files_, templatePath, o_.baseName + ".log");
  } catch (const packaging::LogFailure& failure) {
    ctx_.logFailed(failure);
  }
  registerLogOutput(ctx_.log->file(), ctx_.log->name());
}

bool Job::anyDirectory(const TargetOptions& target) const {
  bool any = false;
  for (std::uint32_t k = 0; k + 1 < target.nameCount(); ++k) any = any || files_.isDirectory(target.stateNames[k]);
  return any;
}

void Job::checkStates(const TargetOptions& target) {
  const std::uint32_t n = target.nameCount();
  const bool directory = anyDirectory(target);
  if (directory) {
    for (std::uint32_t k = 0; k + 1 < n; ++k) {
      if (!files_.isDirectory(target.stateNames[k])) out_.failNumbered(kBuilderMsgNotADirectory, target.stateNames[k]);
    }
  }
  const std::string& endName = target.stateNames[n - 1];
  if (o_.targets.size() > 1 || directory) {
    // A missing end directory would read as "no files", and with -d as
    // "remove everything": it is refused instead.
    if (!files_.isDirectory(endName)) out_.failNumbered(kBuilderMsgNotADirectory, endName);
  } else {
    if (!files_.fileExists(endName)) out_.failNumbered(kBuilderMsgCannotFindFile, endName);
    if (!files_.open(endName, platform::File::Mode::kRead)) out_.failNumbered(kBuilderMsgCannotReadFile, endName);
  }
}

void Job::check() {
  checkPacker(o_, ctx_);
  checkVersionStrings(o_, ctx_);
  if (o_.logEnabled) refuseForeignLog();
  if (o_.targets.size() > kMaxTargets) {
    out_.failBilingual("Error, a patch file can hold at most 11 targets!",
                       "Fehler, eine Patchdatei kann h\x94" "chstens 11 Ziele enthalten!");
  }
  // A name or a size no patch can hold stops the job before the patch file is opened.
  for (const TargetOptions& target : o_.targets) refuseUnfitFiles(target, context(target));
  for (const TargetOptions& target : o_.targets) {
    // Start-up shows the usage text for a target without states; a caller
    // that did not is told the same.
    if (target.nameCount() == 0) out_.failNumbered(kBuilderMsgUsage);
    checkStates(target);
  }
}

void Job::run() {
  check();
  for (std::size_t i = 0; i < o_.targets.size(); ++i) {
    const TargetOptions& target = o_.targets[i];
    directoryMode_ = o_.targets.size() > 1 || anyDirectory(target);
    if (i == 0) openOutput();
    writeTarget(target, i + 1 == o_.targets.size());
  }
  if (o_.localStub) writer_.localStubMarker();
  const std::uint32_t length = writer_.finish();
  // The finished output (the program, with -s) is read back and checked
  // before it counts as made: until then an error or an interrupt deletes it.
  const std::uint64_t made = o_.executable ? joinStub(o_, ctx_, directoryPatch_, output_, &writer_.written()) : length;
  if (o_.verify) verifyPatch(files_, o_.finalName, writer_.written(), out_);
  output_.accept();
  ctx_.writeLog();
  // Sizes as text: a 32-bit long would show a patch of 2 GiB or more as negative.
  if (!o_.executable) {
    print("\nCreated plain patch file \"%s\" with %s Bytes.\n", "\nEinfache Patchdatei \"%s\" mit %s Bytes erzeugt.\n",
          o_.finalName, std::to_string(made));
  } else {
    print("\nCreated executable patch file \"%s\" with %s Bytes.\n",
          "\nAusf\x81hrbare Patchdatei \"%s\" mit %s Bytes erzeugt.\n", o_.finalName, std::to_string(made));
  }
  if (o_.packAfterwards) packOutput(o_, ctx_);
}

void Job::writeTarget(const TargetOptions& target, bool last) {
  if (target.findMethod == patchformat::kLocateGivenPath) {
    if (byPathUsed_) out_.failNumbered(kBuilderMsgOneTargetByPath);
    byPathUsed_ = true;
  }
  if (target.findMethod == patchformat::kLocateRegistry) {
    registryCheckReport(target, o_.quiet, ctx_.machine.registry, out_);
  }
  writer_.beginSeries(patchformat::SeriesHeader{target.findMethod,
                                                static_cast<std::uint8_t>(last ? 0 : patchformat::kSeriesMoreFollow),
                                                target.rootKey, target.registryKey, target.registryValue,
                                                target.backupDir},
                      directoryMode_);
  if (directoryMode_) {
    directoryPatch(target);
    writer_.endSeries();
  } else {
    filePatch(target);
  }
}

void Job::filePatch(const TargetOptions& target) {
  const ScanContext c = context(target);
  const std::uint32_t n = target.nameCount();
  const std::string& endName = target.stateNames[n - 1];
  const std::unique_ptr<FileEntry> end = scanFile(endName, endName, c);
  std::vector<std::unique_ptr<DirectoryStream>> streams;
  std::vector<DirectoryStream*> starts;
  for (std::uint32_t k = 0; k + 1 < n; ++k) {
    auto s = std::make_unique<DirectoryStream>();
    s->rootPath = target.stateNames[k];
    s->index = k;
    s->entries.push_back(scanFile(s->rootPath, s->rootPath, c));
    starts.push_back(s.get());
    streams.push_back(std::move(s));
  }
  StartCosts costs({starts.begin(), starts.end()}, false);
  const FilePlan plan = planFile(*end, starts, o_.forceAll);
  if (plan.refusal == FilePlan::Refusal::kNoMatch) out_.failNumbered(kBuilderMsgNoMatch);
  if (plan.refusal == FilePlan::Refusal::kIdentical) out_.failNumbered(kBuilderMsgIdentical, endName);
  const std::vector<StateName> states = stateNames(plan.chain);
  const std::shared_ptr<ChainDeltas> deltas = search_.inTurn(endName, states, false);
  logPatched(states, *deltas);
  // The final file's own date and attributes, whichever state the chain ends in.
  writer_.patchedFile(endName, states, dates_.of(end->date), end->attributes, 0, *deltas);
  costs.patched(endName, states, *deltas);
  deltas->release();
  reportCosts(target, costs);
}

void Job::directoryPatch(const TargetOptions& target) {
  const ScanContext c = context(target);
  const std::uint32_t n = target.nameCount();
  std::vector<std::unique_ptr<DirectoryStream>> streams;
  std::vector<DirectoryStream*> starts;
  for (std::uint32_t k = 0; k < n; ++k) {
    auto s = std::make_unique<DirectoryStream>();
    s->rootPath = target.stateNames[k];
    s->index = k;
    s->isEnd = k + 1 == n;
    if (!s->isEnd) starts.push_back(s.get());
    streams.push_back(std::move(s));
  }
  walkStates(streams, c, jobThreads(o_, std::thread::hardware_concurrency()));
  StartCosts costs({starts.begin(), starts.end()}, true);
  writePlan(planDirectory(starts, *streams.back(), target, o_.forceAll), costs);
  reportCosts(target, costs);
}

void Job::reportCosts(const TargetOptions& target, const StartCosts& costs) {
  if (o_.quiet || costs.bytes().size() < 2) return;
  print("Each start state's part of the patch (bytes of the records its update takes, before compression):\n",
        "Anteil jedes Ausgangsstands am Patch (Bytes der Eintr\x84ge, die sein Update braucht, vor der "
        "Kompression):\n");
  for (std::size_t k = 0; k < costs.bytes().size(); ++k) {
    print("  \"%s\": %s\n", "  \"%s\": %s\n", target.stateNames[k], std::to_string(costs.bytes()[k]));
  }
}

// Embedded files can make the latest date (-t=latest) later, so each
// patched file's date is taken when it is written, in order.
void Job::writePlan(const DirectoryPlan& plan, StartCosts& costs) {
  {
    std::vector<DeltaScheduler::Chain> chains;
    for (const PlannedFile& p : plan.files) {
      if (p.kind == PlannedFile::Kind::kPatch) chains.push_back({p.file->relativePath, stateNames(p.chain)});
    }
    DeltaScheduler deltas(search_, std::move(chains));
    std::size_t next = 0;
    for (const PlannedFile& p : plan.files) {
      const FileEntry& f = *p.file;
      if (p.kind == PlannedFile::Kind::kEmbed) {
        if (!o_.quiet) {
          print("No source for \"%s\", embedding file.\n", "Keine Quelle f\x81r \"%s\", bette Datei ein.\n",
                f.relativePath);
        }
        writer_.embeddedFile(f.fullPath, f.relativePath, dates_, ctx_.log.get());
        costs.embedded(f.size);
      } else if (p.kind == PlannedFile::Kind::kSkip) {
        if (!o_.quiet) {
          print("File \"%s\" identical in all sources, skipped.\n", "Datei \"%s\" identisch vorhanden, ignoriert.\n",
                f.relativePath);
        }
        if (ctx_.log) ctx_.log->skipped(logInfo(f.fullPath, f.relativePath, f.size));
      } else {
        const std::vector<StateName> states = stateNames(p.chain);
        const std::shared_ptr<ChainDeltas> result = deltas.take(next++);
        logPatched(states, *result);
        writer_.patchedFile(f.relativePath, states, dates_.ofPatched(f.date), f.attributes, p.flags, *result);
        costs.patched(f.relativePath, states, *result);
        // Deltas that a later identical file takes again stay until it has.
        if (result.use_count() == 1) result->release();
      }
    }
  }
  for (const PlannedRemoval& removal : plan.removals) {
    if (!o_.quiet && removal.named) {
      print("Inserting remove instruction for \"%s\" due to use of option \"-D\".\n",
            "Inserting remove instruction for \"%s\" due to use of option \"-D\".\n", removal.name);
    } else if (!o_.quiet) {
      // The pattern is no system text: it joins the formatted name as written.
      out_.write(platform::Stream::kOut,
                 formatMessage("Inserting remove instruction for \"%s\" due to pattern \"", removal.name) +
                     platform::consoleText(removal.pattern) + "\".\n");
      out_.flush(platform::Stream::kOut);
    }
    writer_.obsoleteFile(removal.name);
  }
}

void Job::logPatched(const std::vector<StateName>& states, const ChainDeltas& deltas) {
  if (!ctx_.log) return;
  if (deltas.storedWhole) {
    const StateName& last = states.back();
    ctx_.log->embedded(logInfo(last.fullPath, last.relativePath, last.size));
    return;
  }
  std::vector<packaging::FileLogInfo> logged;
  for (const StateName& state : states) logged.push_back(logInfo(state.fullPath, state.relativePath, state.size));
  ctx_.log->patched(logged);
}

}  // namespace

void runJob(const Options& options, Context& context) {
  Job job(options, context);
  job.run();
}

void checkJob(const Options& options, Context& context) {
  Job job(options, context);
  job.check();
}

}  // namespace builder
