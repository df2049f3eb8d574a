// The series of a patch, each located and then walked record by record:
// for every patched file decide what it can be rebuilt from (already
// final, final in place, or a state of the version chain), rebuild and
// verify it, and hand it on for writing; embedded and obsolete files go
// straight to the writing side.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "applier/delta_files.h"
#include "applier/engine.h"
#include "patchformat/body_walk.h"
#include "patchformat/crc.h"
#include "patchformat/delta.h"

namespace applier {
namespace {

std::string joined(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

}  // namespace

// An interrupt in the apply pass waits for the file operation under way;
// the walk then stops at its next step, and the run ends like a failing
// one, with every change undone. In the check pass it ends the run at once.
void PatchEngine::locate_and_process(Pass pass) {
  std::optional<platform::InterruptsDeferred> deferred;
  if (pass == Pass::kApply) deferred.emplace();
  applying_ = pass == Pass::kApply;
  // The journal names the temporaries the apply pass makes in the
  // temporary directory too: a run that finds it after a kill removes them.
  if (applying_) temps_.watchTemporaryDirectory([this](const std::string& path) { changes_.noteTemporary(path); });
  struct Applying {
    bool& flag;
    TempFiles& temps;
    ~Applying() {
      flag = false;
      temps.watchTemporaryDirectory(nullptr);
    }
  } applying{applying_, temps_};
  try {
    walkSeries(pass);
  } catch (const PartFailure& f) {
    stop(f.number(), text(f.number(), f.argument(), f.name()), f.cause());
  }
}

void PatchEngine::setTarget(const TargetPaths& target) {
  changes_.setTarget(directoryPatch_, target.newPath, backupDirName_);
}

void PatchEngine::walkSeries(Pass pass) {
  locator_.begin(directoryPatch_);
  creatableDirs_.clear();
  std::uint64_t at = firstSeries_;
  for (std::size_t k = 0;; ++k) {
    body_->seek(at);
    patchformat::BodyWalker head = patchformat::BodyWalker::fromSeries(*body_, directoryPatch_, at, k);
    if (head.next() != patchformat::BodyStep::kSeries) bodyFailed();
    const patchformat::SeriesHeader& series = series_ = head.series();
    seriesIndex_ = k;
    if (!locator_.place(series)) fail(kMsgRegistryFailed);
    if (directoryPatch_) {
      backupDirName_ = series.backupDir;
      requireSafe(backupDirName_, false);
    }
    seriesPosition_ = head.position();  // where probes and walks of this series start

    probes_ = 0;
    startRefusal_.clear();
    const TargetLocator::Settled settled = locator_.settle(k, pass);
    if (settled == TargetLocator::Settled::kNotFound) {
      // Nothing fits, but where the search began is the software with a
      // file changed: that file is what to set right, not where to look.
      if (!startRefusal_.empty() && !frontEnd_.abortRequested()) {
        frontEnd_.refused(startRefusal_);
        fail(kMsgNotApplicable, locator_.target().oldPath);
      }
      fail(kMsgNotFound);
    }
    setTarget(locator_.target());
    frontEnd_.located(locator_.target().oldPath);
    // The accepted candidate was the last one probed.
    if (settled == TargetLocator::Settled::kSearched && pass == Pass::kCheck) {
      if (pendingObstacle_.consoleNumber >= 0) {
        failObstacle(pendingObstacle_.consoleNumber, pendingObstacle_.cause, pendingObstacle_.path,
                     pendingObstacle_.shown);
      }
      for (const Place& p : probedPlaces_) checkCreatable(p.path, p.consoleNumber, p.name, Walk::kCheck);
    }
    // A target the series' rule placed is claimed here, one that a search
    // found when it was probed.
    if (settled == TargetLocator::Settled::kPlaced && pass == Pass::kCheck) {
      // A path that names nothing is said to, rather than that each of its
      // files is missing (or cannot be made there).
      platform::FileStatus status;
      if (!files_.fileStatus(locator_.target().oldPath, &status)) fail(kMsgTargetMissing, locator_.target().oldPath);
      claimTarget(locator_.target());
      if (!process_series(Walk::kCheck)) fail(kMsgNotApplicable, locator_.target().oldPath);
    }
    // A file that the check pass could rebuild may have changed since (or
    // its result was not kept): the apply pass then ends like its other
    // errors, with every change undone.
    if (pass == Pass::kApply) {
      changes_.startJournal(temps_.heldInTemporaryDirectory());
      if (!process_series(Walk::kApply)) fail(kMsgNotApplicable, locator_.target().oldPath);
    }
    if (!series.moreFollow()) {
      if (pass == Pass::kApply) changes_.commit();
      return;
    }
    at = seriesEnd_;  // the next series header follows the last record
  }
}

// In the apply pass an interrupt, or a window's request to stop, ends the
// run between two file operations, with every change undone.
void PatchEngine::pump() {
  frontEnd_.pump();
  if (applying_ && (platform::interruptRequested() || frontEnd_.abortRequested())) {
    platform::clearInterruptRequest();
    fail(kMsgInterrupted);
  }
}

bool PatchEngine::probe(const TargetPaths& candidate) {
  setTarget(candidate);
  pendingObstacle_ = Obstacle();
  probedPlaces_.clear();
  // A candidate where a run was killed is put right first: the probe then
  // sees the files as they were before that run.
  const bool claimedFirst =
      !request_.testMode && files_.fileExists(targetRoot(directoryPatch_, candidate.newPath) + RunJournal::kFileName);
  if (claimedFirst) claimTarget(candidate);
  if (!process_series(Walk::kProbe)) {
    if (claimedFirst) releaseTarget(candidate);
    return false;
  }
  // Claimed before the user is asked: no other run takes it meanwhile.
  claimTarget(candidate);
  return true;
}

bool PatchEngine::process_series(Walk walk) {
  body_->seek(seriesPosition_);
  patchformat::BodyWalker records =
      patchformat::BodyWalker::fromRecords(*body_, directoryPatch_, seriesPosition_, seriesIndex_, series_);
  newBytes_ = 0;
  knownFiles_ = 0;
  if (walk == Walk::kProbe) ++probes_;
  // Every new file of the series stands beside its earlier version (which
  // only moves into the backup) before the run is complete, so the target's
  // volume must hold all of them at once.
  const auto requireRoomForAll = [this, walk] {
    const std::string& at = locator_.target().newPath;
    if (walk == Walk::kCheck) requireRoom(files_, directoryPatch_ ? at : directoryPart(at), newBytes_);
    return true;
  };
  // A single-file patch's series is its one record.
  for (bool first = true;; first = false) {
    if (directoryPatch_ || first) pump();
    switch (records.next()) {
      case patchformat::BodyStep::kPatchedFile:
        if (!patchedFile(records, walk)) return false;
        break;
      case patchformat::BodyStep::kEmbeddedFile:
        embeddedFile(records, walk);
        break;
      case patchformat::BodyStep::kObsoleteFile:
        obsoleteFile(records, walk);
        break;
      case patchformat::BodyStep::kSeriesEnd:
        seriesEnd_ = records.position();
        return requireRoomForAll();
      default:
        bodyFailed();
    }
  }
}

void PatchEngine::checkReplaceable(const std::string& path, int consoleNumber, const std::string& shown, Walk walk) {
  if (request_.testMode || !files_.fileExists(path) || files_.canReplace(path)) return;
  const platform::Failure cause = platform::lastFailure();
  if (walk != Walk::kProbe) failObstacle(consoleNumber, cause, path, shown);
  if (pendingObstacle_.consoleNumber < 0) pendingObstacle_ = Obstacle{consoleNumber, cause, path, shown};
}

void PatchEngine::checkCreatable(const std::string& path, int consoleNumber, const std::string& name, Walk walk) {
  if (walk == Walk::kApply || request_.testMode) return;
  if (walk == Walk::kProbe) {
    probedPlaces_.push_back(Place{path, consoleNumber, name});
    return;
  }
  std::string dir = path;
  for (;;) {
    const std::size_t cut = platform::lastSeparator(dir);
    if (cut == std::string::npos) {
      dir = ".";
      break;
    }
    dir.erase(cut == 0 ? 1 : cut);  // a root keeps its separator
    if (cut == 0 || files_.isDirectory(dir)) break;
    // A file where a directory must be made.
    if (files_.fileExists(dir)) stop(consoleNumber, text(consoleNumber, "", name), platform::Failure::kOther);
  }
  if (!creatableDirs_.insert(dir).second) return;
  std::unique_ptr<platform::File> probe;
  std::string made;
  if (!temps_.create(dir + "\\", &probe, &made)) failObstacle(consoleNumber, platform::lastFailure(), dir, name);
  probe.reset();
  temps_.drop(made);
}

bool PatchEngine::patchedFile(patchformat::BodyWalker& records, Walk walk) {
  const std::uint64_t recordKey = records.offset();
  const patchformat::FinalInfo info = records.patchedFile().info;
  const patchformat::ExclusionWindow finalWindow = records.patchedFile().window;
  const std::string name = records.patchedFile().name;
  if (directoryPatch_) requireSafe(name, false);
  if (walk != Walk::kProbe) changes_.noteTemporaryPlaces(name);
  std::vector<SourceEntry> sources(info.sourceCount);
  for (SourceEntry& s : sources) {
    if (records.next() != patchformat::BodyStep::kSource) bodyFailed();
    const patchformat::DeltaSource& read = records.source();
    s.name = read.name;
    s.record = read.record;
    s.window = read.window;
    requireSafe(s.name, true);
    if (s.name.empty()) s.name = name;
    s.streamOffset = read.streams;
    // The streams are expanded now (the rebuild reads them from the file
    // that holds the body), not read through the walk.
    if (!body_->ensure(read.end())) bodyFailed();
    body_->seek(read.end());
    records.contentPassed();
  }
  const std::uint64_t recordEnd = records.position();
  const std::string shown = directoryPatch_ ? name : locator_.target().oldPath;
  const std::string target = directoryPatch_ ? joined(locator_.target().newPath, name) : locator_.target().newPath;
  const std::string inPlace = directoryPatch_ ? joined(locator_.target().oldPath, name) : locator_.target().oldPath;
  const bool report = walk == Walk::kApply || (walk == Walk::kCheck && directoryPatch_);
  if (walk == Walk::kApply) showFile(kMsgUpdatingFile, shown);
  if (walk == Walk::kCheck && directoryPatch_) showFile(kMsgCheckingFile, shown);

  using Outcome = ChainRebuilder::Outcome;
  ChainRebuilder::Result found = rebuilder_.findFinal(info, finalWindow, target, inPlace);
  const std::string kept =
      found.outcome == Outcome::kNoMatchingSource && walk == Walk::kApply ? rebuilder_.takeKept(recordKey) : "";
  bool resultStaged = false;
  if (!kept.empty()) {
    found = {Outcome::kRebuilt, kept, info.checksum};  // verified by the check pass
  } else if (found.outcome == Outcome::kNoMatchingSource) {
    // A source is looked for at its place, and in a directory patch also in
    // the backup directory, where an earlier run may have moved it.
    const auto sourcePaths = [this](const SourceEntry& source) {
      if (!directoryPatch_) return std::vector<std::string>{locator_.target().oldPath};
      return std::vector<std::string>{joined(locator_.target().oldPath, source.name),
                                      joined(joined(locator_.target().oldPath, backupDirName_), source.name)};
    };
    const bool writesBeside = walk == Walk::kApply;
    found = rebuilder_.rebuild(sources, info, finalWindow, sourcePaths, writesBeside ? directoryPart(target) : "",
                               [this, &target] { changes_.makeDirectories(target); });  // checked while written
    resultStaged = found.outcome == Outcome::kRebuilt && writesBeside;
  }
  body_->seek(recordEnd);
  const bool alreadyUpdated = found.outcome == Outcome::kAlreadyFinal;
  const bool finalInPlace = found.outcome == Outcome::kFinalInPlace;
  const std::uint32_t resultChecksum = found.checksum;
  std::string result = alreadyUpdated ? std::string() : found.path;

  if (!result.empty()) {
    if (resultChecksum != info.checksum) {
      if (walk != Walk::kProbe) fail(kMsgChecksumMismatch);
      if (!finalInPlace) temps_.drop(result);
      return false;
    }
    if (walk != Walk::kApply) {
      if (!finalInPlace) newBytes_ += info.size;
      checkReplaceable(target, directoryPatch_ && !finalInPlace ? kMsgBackupDenied : kMsgReplaceDenied, shown, walk);
      // The new file is made beside the target; the earlier one goes to the backup.
      checkCreatable(target, kMsgReplaceDenied, shown, walk);
      if (files_.fileExists(target) && directoryPatch_ && !finalInPlace) {
        checkCreatable(changes_.backupLocation(name), kMsgBackupDenied, name, walk);
      }
      if (!finalInPlace && !request_.testMode && rebuilder_.keep(recordKey, result, info.size)) result.clear();
    } else {
      changes_.replaceFile(result, resultStaged, finalInPlace, target, name, info.size, info.dosDateTime);
    }
    if (!finalInPlace && !result.empty()) temps_.drop(result);
    if (report) show(kMsgOk);
    ++knownFiles_;
  } else if (alreadyUpdated) {
    if (report) show(kMsgAlreadyUpdated);
    ++knownFiles_;
  } else if (info.fileFlags & patchformat::kFileOptional) {
    if (walk != Walk::kProbe) show(kMsgOptionalMissing);
  } else {
    // A file that is there but matches no source was changed by hand or
    // belongs to another release (or changed after the check pass): say so
    // rather than that it is missing.
    const bool there = files_.fileExists(inPlace);
    if (walk != Walk::kProbe && there) {
      frontEnd_.refused(text(kMsgNoKnownVersion, "", shown));
    } else if (walk != Walk::kProbe && directoryPatch_) {
      show(kMsgRequiredMissing);
    } else if (walk == Walk::kProbe && there && probes_ == 1 && (request_.oldPath != "." || knownFiles_ > 0)) {
      // The search's starting point, named by the user or holding other
      // files of the patch in a version it knows, is the software.
      startRefusal_ = text(kMsgNoKnownVersion, "", shown);
    }
    return false;
  }
  if (walk == Walk::kApply) files_.setAttributes(target, info.attributes);
  return true;
}

void PatchEngine::embeddedFile(patchformat::BodyWalker& records, Walk walk) {
  const patchformat::EmbeddedFileRecord embedded = records.embeddedFile();
  const std::string& name = embedded.name;
  const std::uint32_t size = embedded.size;
  requireSafe(name, false);
  if (walk != Walk::kProbe) changes_.noteTemporaryPlaces(name);
  if (walk != Walk::kProbe) showFile(walk == Walk::kCheck ? kMsgSkippingEmbedded : kMsgWritingEmbedded, name);
  const std::string target = joined(locator_.target().newPath, name);
  const std::uint64_t content = embedded.content;

  // A target that already holds exactly these bytes is left alone, so that
  // running a patch again never puts the new version into the backup. The
  // content is compared as it is expanded and is not kept: the apply pass
  // expands it again straight into the new file.
  bool same = false;
  std::unique_ptr<platform::File> file = files_.open(target, platform::File::Mode::kRead);
  std::uint64_t existing = 0;
  if (file && file->size(&existing) && existing == size) {
    std::vector<std::uint8_t> held;
    std::uint64_t at = 0;
    bool unreadable = false;
    same = body_->stream(content, size, [&](const std::uint8_t* data, std::size_t n) {
      held.resize(n);
      if (!file->readAt(at, held.data(), n)) return unreadable = true, false;
      at += n;
      return std::equal(data, data + n, held.begin());
    });
    if (unreadable) fail(kMsgSourceReadFailed);
    if (!same && body_->error() != BodyError::kNone) bodyFailed();
  }
  file.reset();
  if (walk != Walk::kApply) {
    if (!same) {
      // Checked before the content is expanded: a file that cannot be
      // written costs no time.
      if (walk == Walk::kCheck) requireRoom(files_, directoryPart(target), size);
      newBytes_ += size;
      checkReplaceable(target, kMsgBackupDenied, name, walk);
      checkCreatable(target, kMsgWritingFileFailed, name, walk);
      if (files_.fileExists(target)) checkCreatable(changes_.backupLocation(name), kMsgBackupDenied, name, walk);
      if (!body_->stream(content, size, nullptr)) bodyFailed();  // what the comparison left, if it stopped
    }
  } else if (!same) {
    write_embedded(target, name, content, size, embedded.dosDateTime);
  }
  body_->seek(content + size);
  records.contentPassed();
  if (walk == Walk::kApply) files_.setAttributes(target, embedded.attributes);
}

void PatchEngine::obsoleteFile(const patchformat::BodyWalker& records, Walk walk) {
  const std::string& name = records.obsoleteName();
  requireSafe(name, false);
  if (walk != Walk::kProbe) changes_.noteTemporaryPlaces(name);
  const std::string target = joined(locator_.target().newPath, name);
  if (!files_.fileExists(target)) return;
  // Both messages show during probes too.
  if (walk != Walk::kApply) {
    showFile(kMsgObsoleteLater, name);
    checkReplaceable(target, kMsgBackupDenied, name, walk);
    checkCreatable(changes_.backupLocation(name), kMsgBackupDenied, name, walk);
  } else {
    showFile(kMsgRemovingObsolete, name);
    changes_.backupFile(target, name);
    changes_.removeEmptiedDirectories(target);
  }
}

void PatchEngine::write_embedded(const std::string& target, const std::string& name, std::uint64_t content,
                                 std::uint32_t size, std::uint32_t dosDateTime) {
  changes_.makeDirectories(target);
  requireRoom(files_, directoryPart(target), size);
  std::unique_ptr<platform::File> out;
  std::string staged;
  if (!temps_.create(directoryPart(target), &out, &staged)) failFile(kMsgWritingFileFailed, name);
  bool writeFailed = false;
  if (!body_->stream(content, size, [&](const std::uint8_t* data, std::size_t n) {
        return out->write(data, n) || (writeFailed = true, false);
      })) {
    if (writeFailed) failFile(kMsgWritingFileFailed, name);
    bodyFailed();
  }
  if (!out->flushToDisk() || !out->close()) failFile(kMsgWritingFileFailed, name);
  changes_.putInPlace(staged, target, name, dosDateTime, true);
}

}  // namespace applier
