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
#include "patchformat/crc.h"
#include "patchformat/delta.h"

namespace applier {
namespace {

constexpr std::size_t kChecksumBlock = 1 << 16;

// The checksum of a whole file, skipping its exclusion window.
bool fileChecksum(platform::File& file, const patchformat::ExclusionWindow& window, std::uint32_t* crc) {
  patchformat::WindowedCrc sum(window);
  std::vector<std::uint8_t> buffer(kChecksumBlock);
  if (!file.seek(0)) return false;
  for (;;) {
    const long n = file.read(buffer.data(), buffer.size());
    if (n < 0) return false;
    if (n == 0) break;
    sum.update(buffer.data(), static_cast<std::size_t>(n));
  }
  *crc = sum.value();
  return true;
}

int deltaMessage(patchformat::DeltaError e) {
  switch (e) {
    case patchformat::DeltaError::kWriteFailed: return kMsgWriteFailed;
    case patchformat::DeltaError::kSourceReadFailed: return kMsgSourceReadFailed;
    case patchformat::DeltaError::kPatchReadFailed: return kMsgPatchReadFailed;
    default: return kMsgCorrupt;
  }
}

// Calls `tick` whenever the decoder reads further into its instructions.
template <typename Tick>
class PumpingReader : public patchformat::ByteReader {
 public:
  PumpingReader(patchformat::ByteReader& inner, Tick tick) : inner_(inner), tick_(tick) {}
  long read(void* buffer, std::size_t n) override {
    tick_();
    return inner_.read(buffer, n);
  }

 private:
  patchformat::ByteReader& inner_;
  Tick tick_;
};

std::string joined(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

}  // namespace

// An interrupt in the apply pass waits for the file operation under way;
// the walk then stops at its next step, and the run ends like a failing
// one, with every change undone. In the check pass it ends the run at once.
void PatchEngine::locate_and_process(Pass pass) {
  std::optional<platform::InterruptsDeferred> deferred;
  if (pass == Pass::kApply) deferred.emplace();
  applying_ = pass == Pass::kApply;
  struct Applying {
    bool& flag;
    ~Applying() { flag = false; }
  } applying{applying_};
  locator_.begin(directoryPatch_);
  creatableDirs_.clear();
  seekBody(firstSeries_);
  for (std::size_t k = 0;; ++k) {
    patchformat::SeriesHeader series;
    if (!reader().readSeriesHeader(directoryPatch_, k, &series)) bodyFailed();
    if (!locator_.place(series)) fail(kMsgRegistryFailed);
    if (directoryPatch_) {
      backupDirName_ = series.backupDir;
      requireSafe(backupDirName_, false);
    }
    seriesPosition_ = body_->position();  // where probes and walks of this series start

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
    target_ = locator_.target();
    frontEnd_.located(target_.oldPath);
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
      if (!files_.fileStatus(target_.oldPath, &status)) fail(kMsgTargetMissing, target_.oldPath);
      claimTarget(target_);
      if (!process_series(Walk::kCheck)) fail(kMsgNotApplicable, target_.oldPath);
    }
    // A file that the check pass could rebuild may have changed since (or
    // its result was not kept): the apply pass then ends like its other
    // errors, with every change undone.
    if (pass == Pass::kApply) {
      startJournal();
      if (!process_series(Walk::kApply)) fail(kMsgNotApplicable, target_.oldPath);
    }
    if (!series.moreFollow()) {
      if (pass == Pass::kApply) commitChanges();
      return;
    }
    seekBody(body_->position());  // the next series header follows the last record
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
  target_ = candidate;
  pendingObstacle_ = Obstacle();
  probedPlaces_.clear();
  // A candidate where a run was killed is put right first: the probe then
  // sees the files as they were before that run.
  const bool claimedFirst = !request_.testMode && files_.fileExists(journalDirectory(candidate) + RunJournal::kFileName);
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
  seekBody(seriesPosition_);
  newBytes_ = 0;
  knownFiles_ = 0;
  if (walk == Walk::kProbe) ++probes_;
  // Every new file of the series stands beside its earlier version (which
  // only moves into the backup) before the run is complete, so the target's
  // volume must hold all of them at once.
  const auto requireRoomForAll = [this, walk] {
    if (walk == Walk::kCheck) requireRoom(directoryPatch_ ? target_.newPath : directoryPart(target_.newPath), newBytes_);
    return true;
  };
  for (;;) {
    pump();
    patchformat::RecordType type = patchformat::kRecordPatched;
    if (directoryPatch_ && !reader().readRecordType(&type)) bodyFailed();
    switch (type) {
      case patchformat::kRecordEnd:
        return requireRoomForAll();
      case patchformat::kRecordPatched:
        if (!patchedFile(walk)) return false;
        break;
      case patchformat::kRecordEmbedded:
        embeddedFile(walk);
        break;
      case patchformat::kRecordObsolete:
        obsoleteFile(walk);
        break;
    }
    if (!directoryPatch_) return requireRoomForAll();
  }
}

bool PatchEngine::matchesFinal(const std::string& path, const patchformat::FinalInfo& info,
                               const patchformat::ExclusionWindow& window) {
  const std::unique_ptr<platform::File> file = files_.open(path, platform::File::Mode::kRead);
  std::uint64_t size = 0;
  if (!file || !file->size(&size) || size != info.size) return false;
  std::uint32_t crc = 0;
  if (!fileChecksum(*file, window, &crc)) fail(kMsgSourceReadFailed);
  return crc == info.checksum;
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
    const std::size_t cut = dir.find_last_of("\\/");
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

// Runs the version chain from the first source that is found (at its
// place or in the backup directory) to the final file; empty when no source
// matches. The last step of a real run writes beside the target, so that
// the finished file only has to be renamed into place.
std::string PatchEngine::rebuild(const std::vector<SourceEntry>& sources, const patchformat::FinalInfo& info,
                                 const patchformat::ExclusionWindow& finalWindow, const std::string& target,
                                 Walk walk, std::uint32_t* checksum) {
  const bool writesBeside = walk == Walk::kApply;
  std::string result;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const bool last = i + 1 == sources.size();
    DeltaOutput out;
    if (last) {
      out.dir = writesBeside ? directoryPart(target) : std::string();
      out.window = &finalWindow;
      if (writesBeside) make_dirs(target);
    }
    const std::uint32_t size = last ? info.size : sources[i + 1].record.size;
    if (result.empty()) {
      const std::string at = directoryPatch_ ? joined(target_.oldPath, sources[i].name) : target_.oldPath;
      bool ok = apply_delta(sources[i], at, size, true, false, &out);
      if (!ok && directoryPatch_) {
        // An earlier run may have moved the source into the backup directory.
        const std::string backup = joined(joined(target_.oldPath, backupDirName_), sources[i].name);
        ok = apply_delta(sources[i], backup, size, true, false, &out);
      }
      if (!ok) continue;
    } else {
      apply_delta(sources[i], result, size, false, true, &out);
      temps_.drop(result);
    }
    result = out.path;
    *checksum = out.checksum;
  }
  return result;
}

bool PatchEngine::patchedFile(Walk walk) {
  const std::uint64_t recordKey = body_->position();
  patchformat::FinalInfo info;
  patchformat::ExclusionWindow finalWindow;
  std::string name;
  if (!reader().readPatchedFile(directoryPatch_, &info, &finalWindow, &name)) bodyFailed();
  if (directoryPatch_) requireSafe(name, false);
  if (walk != Walk::kProbe) noteTemporaryPlaces(name);
  std::vector<SourceEntry> sources(info.sourceCount);
  for (SourceEntry& s : sources) {
    if (!reader().readSource(directoryPatch_, info, &s.name, &s.record, &s.window)) bodyFailed();
    requireSafe(s.name, true);
    if (s.name.empty()) s.name = name;
    s.streamOffset = body_->position();
    skipBody(s.record.streamsTotal());
  }
  const std::uint64_t recordEnd = body_->position();
  const std::string shown = directoryPatch_ ? name : target_.oldPath;
  const std::string target = directoryPatch_ ? joined(target_.newPath, name) : target_.newPath;
  const std::string inPlace = directoryPatch_ ? joined(target_.oldPath, name) : target_.oldPath;
  const bool report = walk == Walk::kApply || (walk == Walk::kCheck && directoryPatch_);
  if (walk == Walk::kApply) showFile(kMsgUpdatingFile, shown);
  if (walk == Walk::kCheck && directoryPatch_) showFile(kMsgCheckingFile, shown);

  bool finalInPlace = false;
  bool resultStaged = false;
  std::uint32_t resultChecksum = 0;
  std::string result;
  const bool alreadyUpdated = matchesFinal(target, info, finalWindow);
  if (!alreadyUpdated && inPlace != target && matchesFinal(inPlace, info, finalWindow)) {
    finalInPlace = true;
    result = inPlace;
    resultChecksum = info.checksum;  // just checked
  }
  const auto keptHere = kept_.find(recordKey);
  if (!alreadyUpdated && !finalInPlace && walk == Walk::kApply && keptHere != kept_.end()) {
    result = keptHere->second;  // verified by the check pass
    kept_.erase(keptHere);
    resultChecksum = info.checksum;
  } else if (!alreadyUpdated && !finalInPlace) {
    result = rebuild(sources, info, finalWindow, target, walk, &resultChecksum);  // checked while written
    resultStaged = !result.empty() && walk == Walk::kApply;
  }
  seekBody(recordEnd);

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
        checkCreatable(backupLocation(name), kMsgBackupDenied, name, walk);
      }
      if (!finalInPlace && !request_.testMode && kept_.count(recordKey) == 0 &&
          keptBytes_ + info.size <= keepBudget_) {
        kept_[recordKey] = result;
        keptBytes_ += info.size;
        result.clear();
      }
    } else {
      replace_file(result, resultStaged, finalInPlace, target, name, info.size, info.dosDateTime);
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

void PatchEngine::embeddedFile(Walk walk) {
  std::string name;
  std::uint32_t size = 0, dosDateTime = 0;
  std::uint16_t attributes = 0;
  if (!reader().readEmbeddedHeader(&name, &size, &dosDateTime, &attributes)) bodyFailed();
  requireSafe(name, false);
  if (walk != Walk::kProbe) noteTemporaryPlaces(name);
  if (walk != Walk::kProbe) showFile(walk == Walk::kCheck ? kMsgSkippingEmbedded : kMsgWritingEmbedded, name);
  const std::string target = joined(target_.newPath, name);
  const std::uint64_t content = body_->position();

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
      if (walk == Walk::kCheck) requireRoom(directoryPart(target), size);
      newBytes_ += size;
      checkReplaceable(target, kMsgBackupDenied, name, walk);
      checkCreatable(target, kMsgWritingFileFailed, name, walk);
      if (files_.fileExists(target)) checkCreatable(backupLocation(name), kMsgBackupDenied, name, walk);
      if (!body_->stream(content, size, nullptr)) bodyFailed();  // what the comparison left, if it stopped
    }
    seekBody(content + size);
    return;
  }
  if (!same) write_embedded(target, name, content, size, dosDateTime);
  seekBody(content + size);
  files_.setAttributes(target, attributes);
}

void PatchEngine::obsoleteFile(Walk walk) {
  std::string name;
  if (!reader().readObsolete(&name)) bodyFailed();
  requireSafe(name, false);
  if (walk != Walk::kProbe) noteTemporaryPlaces(name);
  const std::string target = joined(target_.newPath, name);
  if (!files_.fileExists(target)) return;
  // Both messages show during probes too.
  if (walk != Walk::kApply) {
    showFile(kMsgObsoleteLater, name);
    checkReplaceable(target, kMsgBackupDenied, name, walk);
    checkCreatable(backupLocation(name), kMsgBackupDenied, name, walk);
  } else {
    showFile(kMsgRemovingObsolete, name);
    backup_file(target, name);
    removeEmptiedDirectories(target);
  }
}

bool PatchEngine::apply_delta(const SourceEntry& source, const std::string& sourcePath, std::uint32_t targetSize,
                              bool verifySource, bool sourceMustExist, DeltaOutput* output) {
  const std::unique_ptr<platform::File> in = files_.open(sourcePath, platform::File::Mode::kRead);
  if (!in) {
    if (!sourceMustExist) return false;
    fail(kMsgOpenForPatchingFailed, sourcePath);
  }
  std::uint64_t size = 0;
  if (!in->size(&size)) fail(kMsgSourceReadFailed);
  if (verifySource) {
    std::uint32_t crc = 0;
    if (size != source.record.size) return false;
    if (!fileChecksum(*in, source.window, &crc)) fail(kMsgSourceReadFailed);
    if (crc != source.record.checksum) return false;
  }
  // The streams are read where the expanded body holds them.
  const std::uint64_t end = source.streamOffset + source.record.streamsTotal();
  if (!body_->ensure(end)) bodyFailed();
  requireRoom(output->dir.empty() ? files_.tempDirectory() : output->dir, targetSize);
  std::unique_ptr<platform::File> out;
  std::string outPath;
  if (!temps_.create(output->dir, &out, &outPath)) fail(output->dir.empty() ? kMsgTempOpenFailed : kMsgReplaceDenied);
  const patchformat::DeltaParams params = source.record.params(static_cast<std::uint32_t>(size), targetSize);
  std::vector<std::unique_ptr<FileStreamReader>> readers;
  patchformat::DeltaStreams streams;
  std::uint64_t at = source.streamOffset;
  for (int i = 0; i < patchformat::kDeltaStreamCount; ++i) {
    readers.push_back(
        std::make_unique<FileStreamReader>(*tempFile_, body_->physical(at), source.record.streamLength[i]));
    streams.reader[i] = readers.back().get();
    streams.length[i] = source.record.streamLength[i];
    at += source.record.streamLength[i];
  }
  PumpingReader numbers(*streams.reader[0], [this] { pump(); });
  streams.reader[0] = &numbers;
  FileSource from(*in);
  FileOutput to(*out, output->window);
  const patchformat::DeltaError e = patchformat::decodeDelta(params, streams, from, to);
  if (e != patchformat::DeltaError::kNone) fail(deltaMessage(e));
  // The decoder never writes more than the record's size; instructions
  // that end before it mean a record that lies about its size.
  if (to.written() != targetSize) fail(kMsgCorrupt);
  // A file written beside its target is on the disk before it is renamed into place.
  if (!to.flush() || !(output->dir.empty() || out->flushToDisk()) || !out->close()) fail(kMsgWriteFailed);
  output->path = outPath;
  output->checksum = to.checksum();
  return true;
}

}  // namespace applier
