#include "applier/engine.h"

#include <cstdint>
#include <limits>
#include <new>

#include "applier/delta_files.h"

namespace applier {

bool safeRelativeName(const std::string& name) {
  if (name.empty() || name[0] == '\\' || name[0] == '/') return false;
  if (name.find(':') != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  return true;
}

bool carriesPatch(const std::string& path, platform::FileSystem& files) {
  const std::unique_ptr<platform::File> file = files.open(path, platform::File::Mode::kRead);
  if (!file) return false;
  FileSource source(*file);
  return patchformat::carriesPatchData(source);
}

std::string unexpectedErrorText(Numbering numbering, std::exception_ptr error) {
  std::string what = "unknown error";
  try {
    std::rethrow_exception(error);
  } catch (const std::bad_alloc&) {
    what = kNoMemoryReason;
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  return numberedMessage(numbering, kMsgUnexpected, MessageValues{"", what, ""});
}

PatchEngine::PatchEngine(FrontEnd& frontEnd, Numbering numbering, platform::Machine& machine, ApplyRequest request)
    : request_(std::move(request)),
      frontEnd_(frontEnd),
      numbering_(numbering),
      files_(machine.files),
      programs_(machine.programs),
      temps_(machine.files),
      locator_(
          request_, numbering, machine, frontEnd, [this](const TargetPaths& candidate) { return probe(candidate); },
          [this](const TargetPaths& candidate) {
            startRefusal_.clear();
            releaseTarget(candidate);
          }),
      changes_(machine.files, temps_),
      rebuilder_(machine.files, temps_, [this] { pump(); }) {}

std::string PatchEngine::text(int consoleNumber, const std::string& argument, const std::string& name) const {
  return numberedMessage(numbering_, consoleNumber, MessageValues{request_.patchName, argument, name});
}

std::string PatchEngine::message(int consoleNumber, const std::string& argument) const {
  return text(consoleNumber, argument, "");
}

void PatchEngine::fail(int consoleNumber, const std::string& argument) {
  stop(consoleNumber, text(consoleNumber, argument, ""));
}

void PatchEngine::failFile(int consoleNumber, const std::string& name) {
  stop(consoleNumber, text(consoleNumber, "", name));
}

void PatchEngine::stop(int consoleNumber, const std::string& text) {
  stop(consoleNumber, text, causeOfMessage(consoleNumber));
}

void PatchEngine::stop(int consoleNumber, const std::string& text, platform::Failure cause) {
  undoRun();
  throw ApplierError(consoleNumber, text, cause);
}

// The undo runs while the run's temporaries are still there (a staged file
// that is there was never placed); the directories the run made follow
// once they are gone.
void PatchEngine::undoRun() {
  closeFiles();
  changes_.undo();
  temps_.deleteAll();
  changes_.removeLeftDirectories();
  claims_.clear();  // only once the target is as it was
}

PatchEngine::~PatchEngine() {
  // The last line of defence for a run that an exception ended outside of
  // guarded(): nothing more can be reported from here.
  try {
    undoRun();
  } catch (...) {
  }
}

namespace {

// "a.exe (12)", "a.exe (12) and b.exe (34)", "a.exe (12), b.exe (34) and c.exe (56)".
std::string holderList(const std::vector<platform::FileHolder>& holders) {
  std::string list;
  for (std::size_t i = 0; i < holders.size(); ++i) {
    if (i > 0) list += i + 1 == holders.size() ? " and " : ", ";
    list += holders[i].program + " (" + std::to_string(holders[i].processId) + ")";
  }
  return list;
}

}  // namespace

void PatchEngine::failObstacle(int consoleNumber, platform::Failure cause, const std::string& path,
                               const std::string& shown) {
  if (cause == platform::Failure::kInUse) {
    const std::vector<platform::FileHolder> holders = programs_.holders(path);
    if (holders.empty()) stop(kMsgInUse, text(kMsgInUse, "", shown), cause);
    stop(kMsgInUseBy, text(kMsgInUseBy, holderList(holders), shown), cause);
  }
  if (cause == platform::Failure::kAccessDenied) stop(kMsgNeedsRights, text(kMsgNeedsRights, "", shown), cause);
  stop(consoleNumber, text(consoleNumber, "", shown), cause);
}

std::string PatchEngine::claimKey(const TargetPaths& target) const {
  std::string dir = platform::absolutePath(directoryPatch_ ? target.newPath : directoryPart(target.newPath));
  // A root ("/", "C:\") keeps its separator.
  const auto root = [&dir] { return dir.size() <= 1 || (dir.size() == 3 && dir[1] == ':'); };
  while (!root() && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  return dir;
}

void PatchEngine::claimTarget(const TargetPaths& target) {
  if (request_.testMode) {  // a check changes nothing: it may run beside an apply
    settleEarlierRun(target);
    return;
  }
  const std::string key = claimKey(target);
  if (claims_.count(key) != 0) return;
  std::unique_ptr<platform::TargetClaim> claim = programs_.claim(key);
  if (!claim) stop(kMsgAnotherRun, text(kMsgAnotherRun, target.newPath, ""), platform::Failure::kOther);
  claims_[key] = std::move(claim);
  settleEarlierRun(target);
}

// Only with the target claimed: a journal there is then no other run's
// that is still at work.
void PatchEngine::settleEarlierRun(const TargetPaths& target) {
  const std::string dir = targetRoot(directoryPatch_, target.newPath);
  if (!settled_.insert(dir).second || !files_.fileExists(dir + RunJournal::kFileName)) return;
  if (request_.testMode) {
    show(kMsgEarlierRunPending, target.newPath);
    return;
  }
  switch (RunJournal::settleEarlierRun(files_, dir)) {
    case RunJournal::Found::kUndone: show(kMsgEarlierRunUndone, target.newPath); break;
    case RunJournal::Found::kCompleted: show(kMsgEarlierRunCompleted, target.newPath); break;
    case RunJournal::Found::kStuck: fail(kMsgEarlierRunStuck, target.newPath);
    case RunJournal::Found::kNothing: break;
  }
}

void PatchEngine::releaseTarget(const TargetPaths& target) { claims_.erase(claimKey(target)); }

void PatchEngine::cleanup() {
  closeFiles();
  temps_.deleteAll();
}

void PatchEngine::closeFiles() {
  rebuilder_.setBody(nullptr, nullptr);
  body_.reset();
  rebuilder_.forgetKept();
  patch_.reset();
  tempFile_.reset();
}

void PatchEngine::closePatch() { patch_.reset(); }

void PatchEngine::bodyFailed() {
  const PartFailure f = bodyFailure(*body_, files_.tempDirectory());
  stop(f.number(), text(f.number(), f.argument(), f.name()), f.cause());
}

// Names are checked while the check pass reads them, so a hostile patch
// ends before anything was changed.
void PatchEngine::requireSafe(const std::string& name, bool mayBeEmpty) {
  if (name.empty() ? !mayBeEmpty : !safeRelativeName(name)) fail(kMsgCorrupt);
}

void PatchEngine::load_patch() {
  cleanup();
  claims_.clear();
  settled_.clear();
  if (!(patch_ = files_.open(request_.patchName, platform::File::Mode::kRead))) fail(kMsgCannotOpenPatch);
  FileSource source(*patch_);
  const patchformat::PatchLocation where = patchformat::locatePatch(source, request_.compareMagic);
  if (where.status == patchformat::LocateStatus::kUnreadable) fail(kMsgUnreadable);
  if (where.status == patchformat::LocateStatus::kTruncated) fail(kMsgTruncated);
  if (where.status == patchformat::LocateStatus::kNotPatch) fail(kMsgNoPatchFile);
  show(kMsgPleaseWait);
  header_ = where.header;
  if (where.status == patchformat::LocateStatus::kWrongVersion) fail(kMsgWrongVersion, std::to_string(header_.version));
  // A version, flags and LZMA fields that contradict each other: no body
  // coding reads such a body. (A stub that compares no version gets here
  // with whatever version the header holds.)
  if (header_.bodyCoding() == patchformat::BodyCoding::kInvalid) fail(kMsgCorrupt);
  std::string tempPath;
  if (!temps_.create("", &tempFile_, &tempPath)) fail(kMsgBufferingFailed);
  body_ = std::make_unique<ExpandedBody>(*patch_, where.bodyStart, where.bodyEnd, header_, *tempFile_);
  body_->setRoomCheck([this](std::uint64_t bytes) { return hasRoom(files_, files_.tempDirectory(), bytes); });
  rebuilder_.setBody(body_.get(), tempFile_.get());
  directoryPatch_ = request_.kind == ApplyRequest::Kind::kFromHeader ? header_.isDirectoryPatch()
                                                                     : request_.kind == ApplyRequest::Kind::kDirectory;
  // The body's length is known only once it is expanded: reads past its
  // end come back short, which the walk takes as a corrupt patch.
  body_->seek(0);
  patchformat::BodyWalker texts = patchformat::BodyWalker::fromStart(*body_, header_, directoryPatch_);
  if (texts.next() != patchformat::BodyStep::kTexts) bodyFailed();
  creator_ = texts.creator();
  comment_ = texts.comment();
  firstSeries_ = texts.position();
  creatorRaw_ = creator_;
  for (char& c : comment_) {
    if (c == '\0') c = '\x01';
  }
  for (char& c : creator_) {
    if (c == '\0') c = '\x01';
  }
  where_ = where;
}

}  // namespace applier
