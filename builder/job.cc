#include "builder/job.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "builder/autofind.h"
#include "builder/cleanup.h"
#include "builder/engine_host.h"
#include "builder/messages.h"
#include "builder/scanning.h"
#include "builder/search_ahead.h"
#include "builder/verify.h"
#include "diffengine/engine.h"
#include "packaging/archive.h"
#include "packaging/stub_join.h"
#include "patchformat/container.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/process.h"

namespace builder {
namespace {

constexpr std::size_t kCopyPiece = 2000;

[[noreturn]] void diskFull(const Output& out) {
  out.failBilingual("Error, cannot write data to temporary patchfile. Make sure you have sufficient disk space.",
                    "Fehler, kann Daten nicht in tempor\x84re Patchdatei speichern, bitte stellen Sie sicher, da\xe1 \n"
                    "gen\x81gend Platz vorhanden ist.");
}

// The patch body on its way into the file: raw deflate at level 9, or the
// plain bytes with -j. What it is handed is already encoded.
class BodyOutput {
 public:
  BodyOutput(platform::File& file, bool compress, const Output& out) : file_(file), out_(out) {
    if (!compress) return;
    deflate_.emplace(9, [this](const void* data, std::size_t n) { return file_.write(data, n); });
    if (!deflate_->started()) {
      out_.failBilingual("Error, internal compression failed to initialized. Out of memory situation suspected.",
                         "Fehler, interne Kompression konnte nicht initialisiert werden. Speichermangel wird vermutet.");
    }
  }

  void write(const void* data, std::size_t n) {
    if (n == 0) return;
    if (!(deflate_ ? deflate_->write(data, n) : file_.write(data, n))) diskFull(out_);
  }
  void write(const std::string& bytes) { write(bytes.data(), bytes.size()); }

  void finish() {
    if (deflate_ && !deflate_->finish()) diskFull(out_);
    deflate_.reset();
  }

 private:
  platform::File& file_;
  const Output& out_;
  std::optional<diffengine::DeflateSink> deflate_;
};

// Collects a delta's streams in a temporary file.
class FileSink : public diffengine::BlockSink {
 public:
  explicit FileSink(platform::File& file) : file_(file) {}
  bool write(const void* data, std::size_t n) override { return file_.write(data, n); }

 private:
  platform::File& file_;
};

struct StateName {
  std::string fullPath;
  std::string relativePath;
  std::uint32_t size;
  const FileEntry* entry;  // what scanning found out about it
};
StateName stateName(const FileEntry& e) { return StateName{e.fullPath, e.relativePath, e.size, &e}; }

// A console that keeps what is written, for output made on a worker
// thread and shown later in its place.
class RecordingConsole : public platform::Console {
 public:
  struct Event {
    Out stream;
    std::string text;
  };
  void write(platform::Stream stream, const std::string& text) override {
    events.push_back({stream == platform::Stream::kOut ? Out::kStdout : Out::kStderr, text});
  }
  void flush(platform::Stream) override {}
  int readKey(int) override { return -1; }
  std::vector<Event> events;
};

// A patched file's deltas, searched before they are written: a source
// record and a temporary file of streams per step of the chain, the final
// state's checksum and size, and (searched on a worker) what the search
// printed and how it failed.
struct Examined {
  explicit Examined(platform::FileSystem& f) : files(f) {}
  ~Examined() {
    for (const std::string& t : temporaries) {
      if (t.empty()) continue;
      files.deleteFile(t);
      platform::forgetTemporary(t);
    }
  }
  Examined(const Examined&) = delete;
  Examined& operator=(const Examined&) = delete;

  platform::FileSystem& files;
  std::vector<patchformat::SourceRecord> records;
  std::vector<std::string> temporaries;
  diffengine::StateFile finalState;
  std::vector<RecordingConsole::Event> output;
  std::exception_ptr failure;
  bool sampled = false;  // a step drew a sample, which depends on the steps before it
};

// What a directory patch does with a file of the end state, decided before
// any delta is searched.
struct FilePlan {
  enum class Kind { kEmbed, kSkip, kPatch } kind;
  const FileEntry* file;
  std::vector<StateName> states;  // kPatch: the chain, oldest first
  std::uint32_t date = 0;
  std::uint16_t flags = 0;
};

void printTo(Output& out, const std::string& en, const std::string& de, MsgArg a = MsgArg(), MsgArg b = MsgArg()) {
  out.bilingualFormat(en.c_str(), de.c_str(), a, b, Out::kStdout);
  out.flush(Out::kStdout);
}

packaging::FileLogInfo logInfo(const std::string& fullPath, const std::string& relativePath, std::uint64_t size) {
  return packaging::FileLogInfo{platform::absolutePath(fullPath), relativePath, patchformat::formatSize(size)};
}

class Job {
 public:
  Job(const Options& o, Context& context) : o_(o), ctx_(context), files_(context.files), out_(context.out), host_(out_) {
    settings_.memoryLimit = o.memoryLimit;
    settings_.engineHint = o.engineHint;
    settings_.searchLevel = o.searchLevel;
    settings_.selfReference = o.selfReference;
    settings_.compact = o.compact;
    settings_.quiet = o.quiet;
    settings_.mismatchGroup = o.mismatchGroupSize;
    settings_.literalBlockSize = static_cast<std::uint8_t>(o.literalBlockSize);
    settings_.encoderMargin = static_cast<std::uint32_t>(o.encoderMargin);
    settings_.threads = threads();
    engine_ = std::make_unique<diffengine::DifferenceEngine>(settings_, host_, files_, ctx_.memory);
  }

  // Everything that can refuse the job before any output exists.
  void check();
  void run();

 private:
  // Whether a start state is a directory; then all of them must be.
  bool anyDirectory(const TargetOptions& target) const;
  void checkStates(const TargetOptions& target);
  void openOutput();
  // Reads the log template and creates the log (-l).
  void openLog();
  // A file of the log's name that is no log stops the job before any work.
  void refuseForeignLog();
  // Joins the stub in front of the closed temporary patch file as the
  // output; returns the output's length.
  std::uint64_t joinStub();
  // -R: the values are for the self-applying program; a plain patch leaves
  // them out with a notice. Refuses a program name too long for the room
  // the stubs reserve.
  void checkVersionStrings();
  // The values the stub's copy gets (-R and the program's own file name);
  // none without -R.
  std::vector<packaging::VersionString> stubStrings() const;
  // The packer's check before the job, and packing the finished output.
  void checkPacker();
  void packOutput();
  [[noreturn]] void failedPacking(const packaging::PackResult& result);
  [[noreturn]] void failedJoin(const packaging::JoinResult& joined, const std::string& relativeStub);
  void writeTarget(const TargetOptions& target, bool last);
  void filePatch(const TargetOptions& target);
  void directoryPatch(const TargetOptions& target);
  // Searches a file's deltas on the job's own thread, with its heading and
  // log entry.
  std::shared_ptr<Examined> examineInTurn(const std::string& relativeName, const std::vector<StateName>& states);
  // For each patched plan, the earlier plan whose chain is state for state
  // the same bytes and whose deltas it takes; npos for none.
  std::vector<std::size_t> sameChains(const std::vector<FilePlan>& plans);
  bool sameBytes(const StateName& a, const StateName& b);
  // The halves of examining a file: its heading, the search of its deltas
  // (with `out` and `engine`, the job's own or a worker's), the log entry,
  // and writing the records and streams into the patch.
  void printExamining(Output& out, const std::string& relativeName, const std::vector<StateName>& states);
  void searchChain(Output& out, diffengine::DifferenceEngine& engine, const std::vector<StateName>& states,
                   Examined* result);
  void logPatched(const std::vector<StateName>& states);
  void writeExamined(const std::string& relativeName, const std::vector<StateName>& states, std::uint32_t date,
                     std::uint32_t attributes, std::uint16_t flags, Examined& examined);
  // Reads every state of a directory patch: on a thread each when the job
  // has several, their notices then shown in the order of the states.
  void walkStates(std::vector<std::unique_ptr<DirectoryStream>>& streams, const ScanContext& c);
  // Shows what a worker thread printed.
  void show(const std::vector<RecordingConsole::Event>& output) {
    for (const RecordingConsole::Event& e : output) {
      out_.write(e.stream, e.text);
      out_.flush(e.stream);
    }
  }
  // The threads the job may use (-w, else one per core).
  int threads() const;
  // The threads that search a directory patch's files: 1 when the run
  // cannot promise the patch of a run in turn otherwise.
  int workerCount(std::size_t patchedFiles) const;
  void writePlans(const std::vector<FilePlan>& plans);
  void embedFile(const std::string& path, const std::string& relativeName);
  void writeRemoveRecord(const std::string& relativeName) {
    emit(records_.writeObsolete(relativeName));
    written_.series.back().records.emplace_back(WrittenRecord::Kind::kObsolete, relativeName);
  }
  // Hands what `records_` encoded to the body; `stored` is the writer's
  // result, false when a name was too long to store.
  void emit(bool stored = true) {
    if (!stored) out_.failNumbered(kMsgNameTooLong);
    body_->write(encoded_);
    encoded_.clear();
  }
  std::uint32_t dateOf(std::uint32_t fileDate) {
    if (o_.dateMode != DateMode::kNow) return fileDate;
    if (now_ == 0) now_ = files_.dosDateTimeNow();
    return now_;
  }
  ScanContext context(const TargetOptions& target) {
    ScanContext c(files_, out_);
    c.target = &target;
    c.includeHidden = o_.includeHidden;
    c.quiet = o_.quiet;
    c.latestDate = &latestDate_;
    return c;
  }
  void print(const std::string& en, const std::string& de, MsgArg a = MsgArg(), MsgArg b = MsgArg()) {
    out_.bilingualFormat(en.c_str(), de.c_str(), a, b, Out::kStdout);
    out_.flush(Out::kStdout);
  }

  const Options& o_;
  Context& ctx_;
  platform::FileSystem& files_;
  Output& out_;
  ConsoleEngineHost host_;
  diffengine::EngineSettings settings_;
  std::unique_ptr<diffengine::DifferenceEngine> engine_;
  std::unique_ptr<BodyOutput> body_;
  std::string encoded_;  // records encoded, not yet handed to body_
  patchformat::BodyWriter records_{&encoded_};
  bool directoryMode_ = false;
  bool directoryPatch_ = false;  // the header's kind: a directory patch or several targets
  bool byPathUsed_ = false;
  std::uint32_t latestDate_ = 0;
  std::uint32_t now_ = 0;
  WrittenPatch written_;  // what the finished patch is checked against
};

void Job::openOutput() {
  // An executable patch is written to a temporary file first; from here on
  // the patch output is that file, and the error exit deletes it.
  if (o_.executable ? !ctx_.openTemporaryPatch() : !ctx_.openPatch(o_.finalName)) {
    out_.failNumbered(o_.executable ? kMsgNoTemporaryFile : kMsgCannotOpenPatch);
  }
  platform::File& patch = ctx_.patch();
  patchformat::PatchHeader header;
  header.kind = o_.targets.size() > 1 ? patchformat::kKindSeveralTargets
                : directoryMode_      ? patchformat::kKindDirectory
                                      : patchformat::kKindFile;
  directoryPatch_ = header.isDirectoryPatch();
  header.flags = o_.internalCompression ? patchformat::kHeaderCompressed : 0;
  header.commentLength = static_cast<std::uint16_t>(o_.commentText.size());
  written_.header = header;
  written_.directoryPatch = directoryPatch_;
  written_.comment = o_.commentText;
  if (!patch.write(header.encode().data(), patchformat::kHeaderSize)) out_.failNumbered(kMsgCannotWritePatch);
  body_ = std::make_unique<BodyOutput>(patch, o_.internalCompression, out_);
  records_.writeTexts("", o_.commentText);
  emit();
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
      if (!files_.isDirectory(target.stateNames[k])) out_.failNumbered(kMsgNotADirectory, target.stateNames[k]);
    }
  }
  const std::string& endName = target.stateNames[n - 1];
  if (o_.targets.size() > 1 || directory) {
    // A missing end directory would read as "no files", and with -d as
    // "remove everything": it is refused instead.
    if (!files_.isDirectory(endName)) out_.failNumbered(kMsgNotADirectory, endName);
  } else {
    if (!files_.fileExists(endName)) out_.failNumbered(kMsgCannotFindFile, endName);
    if (!files_.open(endName, platform::File::Mode::kRead)) out_.failNumbered(kMsgCannotReadFile, endName);
  }
}

void Job::check() {
  checkPacker();
  checkVersionStrings();
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
    if (target.nameCount() == 0) out_.failNumbered(kMsgUsage);
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
  if (o_.localStub) {
    records_.writeLocalStubMarker();
    emit();
    written_.localStubMarker = true;
  }
  body_->finish();
  platform::File& patch = ctx_.patch();
  std::uint64_t size = 0;
  if (!patch.size(&size)) out_.failNumbered(kMsgCannotWritePatch);
  patchformat::PatchTrailer trailer;
  if (!patchformat::fitsFormat(size + patchformat::kTrailerSize)) {
    out_.failBilingualFormat("Error, the patch file would reach 4 GiB (%s Bytes), more than a patch file can hold.",
                             "Fehler, die Patchdatei w\x81rde 4 GiB erreichen (%s Bytes), mehr als eine Patchdatei "
                             "fassen kann.",
                             std::to_string(size + patchformat::kTrailerSize));
  }
  trailer.length = patchformat::formatSize(size + patchformat::kTrailerSize);
  if (!patch.write(trailer.encode().data(), patchformat::kTrailerSize)) out_.failNumbered(kMsgCannotWritePatch);
  if (!ctx_.closePatch()) diskFull(out_);
  // The finished output (the program, with -s) is read back and checked
  // before it counts as made: until then the error exit deletes it.
  const std::uint64_t made = o_.executable ? joinStub() : trailer.length;
  if (o_.verify) verifyPatch(files_, o_.finalName, written_, out_);
  ctx_.acceptPatch();
  ctx_.writeLog();
  // Sizes as text: a 32-bit long would show a patch of 2 GiB or more as negative.
  if (!o_.executable) {
    print("\nCreated plain patch file \"%s\" with %s Bytes.\n", "\nEinfache Patchdatei \"%s\" mit %s Bytes erzeugt.\n",
          o_.finalName, std::to_string(made));
  } else {
    print("\nCreated executable patch file \"%s\" with %s Bytes.\n",
          "\nAusf\x81hrbare Patchdatei \"%s\" mit %s Bytes erzeugt.\n", o_.finalName, std::to_string(made));
  }
  if (o_.packAfterwards) packOutput();
}

void Job::checkPacker() {
  const std::size_t row = packaging::packerRowByName(packerName(o_.packer));
  const std::string searchPath = platform::getEnv("PATH");
  // Only -z looks for the program: with -x alone a missing packer shows
  // when the archive is missing after the patch was made.
  const packaging::PackResult checked = packaging::checkPacker(files_, row, o_.packOptionGiven, searchPath);
  if (checked.error != packaging::PackError::kNone) failedPacking(checked);
  // A command that cannot be built (a name the interpreter cannot take, a
  // line too long) is refused now, not after the difference work.
  if (!o_.packAfterwards || row == packaging::kInternalZip) return;
  const packaging::PackResult command = packaging::packerCommand(files_, row, o_.baseName, o_.finalName, searchPath);
  if (command.error != packaging::PackError::kNone) failedPacking(command);
}

void Job::packOutput() {
  const packaging::PackResult packed =
      packaging::pack(files_, ctx_.machine.commands, packaging::packerRowByName(packerName(o_.packer)), o_.baseName,
                      o_.finalName, platform::getEnv("PATH"));
  if (packed.error != packaging::PackError::kNone) failedPacking(packed);
  print("Compressed patch file into archive \"%s\" with %s Bytes.\n",
        "Patchdatei in Archiv \"%s\" mit %s Bytes gepackt.\n", packed.archive, std::to_string(packed.size));
}

void Job::failedPacking(const packaging::PackResult& result) {
  using packaging::PackError;
  switch (result.error) {
    case PackError::kUnknownPlatform:
      out_.failBilingual("Error, packer support for selected packer unknown on this platform. "
                         "Please inform us, if this is wrong!",
                         "Fehler, die Packerunterst\x81tzung f\x81r den ausgew\x84hlten Packer ist unter diesem "
                         "Betriebssystem nicht m\x94glich.\nBitte informieren Sie uns, falls das unzutreffend ist!");
    case PackError::kNotFound:
      out_.failNumbered(kMsgPackerNotFound, result.name, result.detail);
    case PackError::kUnquotable:
      out_.failBilingualFormat(
          "Error, the name \"%s\" cannot be handed safely to the packer through the command interpreter.\n"
          "Please choose a patch name without \", %%, ^, ! or control characters.",
          "Fehler, der Name \"%s\" kann nicht sicher \x81" "ber den Befehlsinterpreter an den Packer "
          "\x81" "bergeben werden.\n"
          "Bitte w\x84hlen Sie einen Patchnamen ohne \", %%, ^, ! oder Steuerzeichen.",
          result.name);
    case PackError::kCommandTooLong:
      out_.failBilingualFormat("Error, the packer's command line would be longer than %ld characters.",
                               "Fehler, die Befehlszeile des Packers w\x84re l\x84nger als %ld Zeichen.",
                               static_cast<long>(result.limit));
    case PackError::kBadOptionFormat:
      out_.failBilingual("Error, packer options format does not allow other than %b or %p.",
                         "Fehler, das Format der Packer-Optionen erlaubt nur %p und %b.");
    case PackError::kCannotCreateZip:
      out_.failBilingualFormat("Error, cannot create zip-file \"%s\" containing the patch file.",
                               "Fehler, kann Zip-Datei \"%s\" mit der Patchdatei nicht anlegen.", result.name);
    case PackError::kCannotAddEntry:
      out_.failBilingualFormat("Error, cannot add patch file \"%s\" to the zipfile.",
                               "Fehler, kann Patchdatei \"%s\" nicht zum ZIP-Archiv hinzufuegen.", result.name);
    case PackError::kCannotReadOutput:
      out_.failBilingual("Error, cannot read created patch file while trying to archive it as zipfile.",
                         "Fehler, kann Patchdatei nicht lesen, w\x84hrend Sie als Archiv angelegt wird.");
    case PackError::kZipWriteFailed:
      out_.failBilingual("Error, internal routines fail to create a zipfile with the patch file.",
                         "Fehler, die internen Routinen versagen beim Anlegen einer Patchdatei.");
    case PackError::kNoArchive:
    case PackError::kNone:
      break;
  }
  out_.failBilingual("Error, seems that the archive could not be created?!",
                     "Fehler, anscheinend konnte der Packer das Archiv nicht anlegen?!");
}

namespace {

// The file name of the output, without its directory.
std::string programFileName(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void Job::checkVersionStrings() {
  if (o_.versionStrings.empty()) return;
  if (!o_.executable) {
    if (!o_.quiet) {
      out_.notice("Notice, the values of option \"-R\" are left out: only an executable patch (-s) has a version "
                  "resource.\n",
                  "Hinweis, die Werte der Option \"-R\" entfallen: nur eine ausf\x81hrbare Patchdatei (-s) hat eine "
                  "Versionsressource.\n");
    }
    return;
  }
  const std::string name = programFileName(o_.finalName);
  if (name.size() > packaging::kMaxOriginalFilename) {
    out_.failBilingualFormat(
        "Error, the name \"%s\" is longer than 100 characters, too long for the version resource of the "
        "executable patch (option \"-R\")!",
        "Fehler, der Name \"%s\" ist l\x84nger als 100 Zeichen, zu lang f\x81r die Versionsressource der "
        "ausf\x81hrbaren Patchdatei (Option \"-R\")!",
        name);
  }
}

std::vector<packaging::VersionString> Job::stubStrings() const {
  std::vector<packaging::VersionString> strings = o_.versionStrings;
  if (!strings.empty()) strings.push_back({packaging::kOriginalFilenameKey, programFileName(o_.finalName)});
  return strings;
}

std::uint64_t Job::joinStub() {
  packaging::StubKind kind;
  kind.windowed = o_.guiStub;
  kind.platform = o_.stubPlatform;
  kind.compressed = o_.internalCompression;
  kind.directoryPatch = directoryPatch_;
  const std::string relative = packaging::stubPath(kind);
  // Without a directory (a program started by a bare name) the tree is
  // looked for in the current directory, not at the root of the drive.
  const std::string stub = ctx_.programDirectory.empty() ? relative : ctx_.programDirectory + "\\" + relative;
  const std::string temporary = ctx_.patchName();
  platform::recordTemporary(temporary);
  // With -R the stub's copy carries the vendor's values: the stub is read
  // whole and changed in memory, and those bytes go in front of the patch.
  const std::vector<packaging::VersionString> strings = stubStrings();
  std::string changed;
  packaging::VersionError changing = packaging::VersionError::kNone;
  packaging::JoinResult joined;
  if (!strings.empty()) {
    if (!files_.open(stub, platform::File::Mode::kRead)) {
      joined = {packaging::JoinError::kStubMissing, stub};
    } else if (!files_.readWholeFile(stub, &changed)) {
      joined = {packaging::JoinError::kCannotAccess, stub};
    } else {
      changing = packaging::setVersionStrings(&changed, strings);
    }
  }
  if (joined.error == packaging::JoinError::kNone && changing == packaging::VersionError::kNone) {
    joined = packaging::joinStub(
        files_, stub, temporary, o_.finalName,
        [&](const platform::File& output) { registerPatchOutput(output, o_.finalName); },
        strings.empty() ? nullptr : &changed);
  }
  // The temporary patch goes in every case: a failed join leaves nothing
  // behind in the temporary directory, and no part of an output (the join
  // deletes its own partial output, and a file of the output's name that it
  // could not create is not the job's to delete).
  files_.deleteFile(temporary);
  platform::forgetTemporary(temporary);
  if (changing != packaging::VersionError::kNone) {
    releasePatchOutput();
    if (changing == packaging::VersionError::kNoRoom) {
      out_.failBilingualFormat(
          "Error, the values of option \"-R\" do not fit into the room that the stub \"%s\" reserves for them.",
          "Fehler, die Werte der Option \"-R\" passen nicht in den Platz, den der Stub \"%s\" f\x81r sie "
          "freih\x84lt.",
          stub);
    }
    out_.failBilingualFormat("Error, the stub \"%s\" has no version resource that option \"-R\" could change.",
                             "Fehler, der Stub \"%s\" hat keine Versionsressource, die Option \"-R\" \x84ndern "
                             "k\x94nnte.",
                             stub);
  }
  if (joined.error != packaging::JoinError::kNone) {
    releasePatchOutput();
    failedJoin(joined, relative);
  }
  ctx_.replacePatch(o_.finalName);
  written_.stub = stub;
  written_.stubStrings = strings;
  return joined.size;
}

void Job::failedJoin(const packaging::JoinResult& joined, const std::string& relativeStub) {
  switch (joined.error) {
    case packaging::JoinError::kStubMissing:
      out_.failNumbered(kMsgStubMissing, relativeStub);
    case packaging::JoinError::kCannotAccess:
      out_.failNumbered(kMsgCannotAccess, joined.name);
    case packaging::JoinError::kCannotCreate:
      out_.failNumbered(kMsgCannotCreate, joined.name);
    case packaging::JoinError::kShortTransfer:
    case packaging::JoinError::kNone:
      break;
  }
  out_.failNumbered(kMsgInternalFileHandling);
}

void Job::writeTarget(const TargetOptions& target, bool last) {
  if (target.findMethod == patchformat::kLocateGivenPath) {
    if (byPathUsed_) out_.failNumbered(kMsgOneTargetByPath);
    byPathUsed_ = true;
  }
  if (target.findMethod == patchformat::kLocateRegistry) {
    registryCheckReport(target, o_.quiet, ctx_.machine.registry, out_);
  }
  // The writer stores the registry texts and the backup directory only where
  // the locator and the patch kind call for them.
  const patchformat::SeriesHeader series{target.findMethod,
                                         static_cast<std::uint8_t>(last ? 0 : patchformat::kSeriesMoreFollow),
                                         target.rootKey,
                                         target.registryKey,
                                         target.registryValue,
                                         target.backupDir};
  emit(records_.writeSeriesHeader(directoryMode_, series));
  // Read back, the header holds what the writer stores for this locator and kind.
  WrittenSeries written{series, {}};
  if (series.locator != patchformat::kLocateRegistry) {
    written.header.rootKey = 0;
    written.header.subKey.clear();
    written.header.valueName.clear();
  }
  if (!directoryMode_) written.header.backupDir.clear();
  written_.series.push_back(std::move(written));
  if (directoryMode_) {
    directoryPatch(target);
    records_.writeEnd();
    emit();
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
  std::vector<const FileEntry*> kept;
  ChainSearch search(starts);
  if (!search.search(*end, false)) {
    if (!o_.forceAll) out_.failNumbered(kMsgNoMatch);
    kept.push_back(end.get());
    for (std::uint32_t k = n - 1; k-- > 0;) kept.push_back(streams[k]->entries[0].get());
  } else {
    kept = reduceChain(search.bestChain(), false, o_.forceAll, nullptr);
    if (kept.size() == 1) out_.failNumbered(kMsgIdentical, endName);
  }
  std::vector<StateName> states;
  for (auto it = kept.rbegin(); it != kept.rend(); ++it) states.push_back(stateName(**it));
  // The final file's own date and attributes, whichever state the chain ends in.
  writeExamined(endName, states, dateOf(end->date), end->attributes, 0, *examineInTurn(endName, states));
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
  walkStates(streams, c);
  const DirectoryStream& end = *streams.back();
  ChainSearch search(starts);
  std::vector<FilePlan> plans;
  for (const auto& f : end.entries) {
    const bool exactOnly = inList(f->writtenPath, target.exactPatterns);
    search.search(*f, exactOnly);
    if (search.bestScore() == 0.0 || (f->size <= 100 && search.bestScore() <= 0.999)) {
      plans.push_back(FilePlan{FilePlan::Kind::kEmbed, f.get(), {}});
      continue;
    }
    const std::vector<const FileEntry*> kept = reduceChain(search.bestChain(), true, o_.forceAll, &target.forcePatterns);
    if (kept.size() == 1) {
      plans.push_back(FilePlan{FilePlan::Kind::kSkip, f.get(), {}});
      continue;
    }
    FilePlan plan{FilePlan::Kind::kPatch, f.get(), {}};
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) plan.states.push_back(stateName(**it));
    plan.flags = inList(f->writtenPath, target.unimportantPatterns) ? patchformat::kFileOptional : 0;
    plans.push_back(std::move(plan));
  }
  writePlans(plans);
  // Files that the end state lacks: removed where a -d pattern says so.
  for (const DirectoryStream* s : starts) {
    for (const auto& e : s->entries) {
      bool present = false;
      for (const auto& f : end.entries) present = present || sameName(f->relativePath, e->relativePath);
      if (present) continue;
      const PatternEntry* p = removePatternFor(e->writtenPath, target);
      if (p == nullptr) continue;
      if (!o_.quiet) {
        // The pattern is no system text: it joins the formatted name as written.
        out_.write(Out::kStdout, formatMessage("Inserting remove instruction for \"%s\" due to pattern \"",
                                               e->relativePath) +
                                     platform::consoleText(p->pattern) + "\".\n");
        out_.flush(Out::kStdout);
      }
      writeRemoveRecord(e->relativePath);
    }
  }
  for (const PatternEntry& name : target.removeFiles) {
    if (!o_.quiet) {
      print("Inserting remove instruction for \"%s\" due to use of option \"-D\".\n",
            "Inserting remove instruction for \"%s\" due to use of option \"-D\".\n", name.pattern);
    }
    writeRemoveRecord(name.pattern);
  }
}

// Embedded files can make the latest date (-t=latest) later, so each
// patched file's date is taken when it is written, in order.
void Job::writePlans(const std::vector<FilePlan>& plans) {
  const auto dateFor = [this](const FilePlan& p) {
    return o_.dateMode == DateMode::kLatest ? latestDate_ : dateOf(p.file->date);
  };
  // A file whose chain repeats an earlier one takes its deltas, which the
  // job keeps until their last taker is written.
  const std::vector<std::size_t> from = sameChains(plans);
  std::vector<std::size_t> lastTaker(plans.size(), std::string::npos);
  std::vector<std::size_t> patched;  // plan index of each file searched
  for (std::size_t i = 0; i < plans.size(); ++i) {
    if (plans[i].kind != FilePlan::Kind::kPatch) continue;
    if (from[i] == std::string::npos) {
      patched.push_back(i);
    } else {
      lastTaker[from[i]] = i;
    }
  }
  std::vector<std::shared_ptr<Examined>> kept(plans.size());
  const int workers = workerCount(patched.size());

  // Each worker searches with an engine, an output and memory of its own;
  // results wait by plan index until the job writes them.
  struct Worker {
    explicit Worker(diffengine::EngineSettings s, platform::FileSystem& files, bool german)
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
    diffengine::DifferenceEngine engine;
  };
  std::vector<std::unique_ptr<Worker>> pool;
  std::vector<std::shared_ptr<Examined>> results(plans.size());
  std::unique_ptr<SearchAhead> ahead;
  if (workers > 1) {
    for (int w = 0; w < workers; ++w) pool.push_back(std::make_unique<Worker>(settings_, files_, out_.german()));
    // Searches start in the order the patch is written, so that the job
    // deflates each file's streams while the workers search the next ones;
    // only chains so large that one started late would keep a worker busy
    // alone at the end start first, the largest first.
    std::vector<std::uint64_t> work(patched.size());
    std::uint64_t allWork = 0;
    for (std::size_t k = 0; k < patched.size(); ++k) {
      for (const StateName& state : plans[patched[k]].states) work[k] += state.size;
      allWork += work[k];
    }
    const std::uint64_t large = allWork / (2 * static_cast<std::uint64_t>(workers));
    std::vector<std::size_t> start(patched.size());
    for (std::size_t k = 0; k < start.size(); ++k) start[k] = k;
    std::stable_sort(start.begin(), start.end(), [&](std::size_t a, std::size_t b) {
      const bool largeA = work[a] > large, largeB = work[b] > large;
      return largeA != largeB ? largeA : largeA && work[a] > work[b];
    });
    ahead = std::make_unique<SearchAhead>(std::move(start), workers, [&](std::size_t k, int w) {
      const FilePlan& p = plans[patched[k]];
      Worker& worker = *pool[static_cast<std::size_t>(w)];
      auto result = std::make_shared<Examined>(files_);
      try {
        printExamining(worker.out, p.file->relativePath, p.states);
        searchChain(worker.out, worker.engine, p.states, result.get());
      } catch (...) {
        result->failure = std::current_exception();
      }
      result->output = std::move(worker.console.events);
      worker.console.events.clear();
      results[patched[k]] = std::move(result);
    });
  }

  std::size_t k = 0;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const FilePlan& p = plans[i];
    const FileEntry& f = *p.file;
    if (p.kind == FilePlan::Kind::kEmbed) {
      if (!o_.quiet) print("No source for \"%s\", embedding file.\n", "Keine Quelle f\x81r \"%s\", bette Datei ein.\n", f.relativePath);
      embedFile(f.fullPath, f.relativePath);
    } else if (p.kind == FilePlan::Kind::kSkip) {
      if (!o_.quiet) {
        print("File \"%s\" identical in all sources, skipped.\n", "Datei \"%s\" identisch vorhanden, ignoriert.\n",
              f.relativePath);
      }
      if (ctx_.log) ctx_.log->skipped(logInfo(f.fullPath, f.relativePath, f.size));
    } else {
      std::shared_ptr<Examined> result;
      const std::size_t source = from[i];
      // A sample depends on the samples drawn before it: such deltas are
      // searched again where the file would have been searched in turn.
      if (source != std::string::npos && !kept[source]->sampled) {
        printExamining(out_, f.relativePath, p.states);
        print("identical to \"%s\", its deltas used again.\n", "identisch mit \"%s\", Deltas wiederverwendet.\n",
              plans[source].file->relativePath);
        logPatched(p.states);
        result = kept[source];
      } else if (!ahead || source != std::string::npos) {
        result = examineInTurn(f.relativePath, p.states);
      } else {
        ahead->waitFor(k++);
        result = std::move(results[i]);
        logPatched(p.states);
        show(result->output);
        if (result->failure) std::rethrow_exception(result->failure);
      }
      writeExamined(f.relativePath, p.states, dateFor(p), f.attributes, p.flags, *result);
      if (lastTaker[i] != std::string::npos) kept[i] = result;
      if (source != std::string::npos && lastTaker[source] == i) kept[source].reset();
    }
  }
}

// Keys of size and checksum find the candidates; a byte comparison makes
// sure, since deltas taken for a different file would rebuild the wrong one.
std::vector<std::size_t> Job::sameChains(const std::vector<FilePlan>& plans) {
  std::vector<std::size_t> from(plans.size(), std::string::npos);
  std::unordered_map<std::uint64_t, std::vector<std::size_t>> byKey;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const FilePlan& p = plans[i];
    if (p.kind != FilePlan::Kind::kPatch) continue;
    std::uint64_t key = p.states.size();
    for (const StateName& state : p.states) {
      key = key * 1000003u ^ (static_cast<std::uint64_t>(state.size) << 32 | state.entry->checksum);
    }
    std::vector<std::size_t>& candidates = byKey[key];
    for (const std::size_t c : candidates) {
      const std::vector<StateName>& earlier = plans[c].states;
      if (earlier.size() != p.states.size()) continue;
      bool same = true;
      for (std::size_t s = 0; same && s < earlier.size(); ++s) {
        same = identical(*earlier[s].entry, *p.states[s].entry) && sameBytes(earlier[s], p.states[s]);
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
bool Job::sameBytes(const StateName& a, const StateName& b) {
  if (a.fullPath == b.fullPath) return true;
  const std::unique_ptr<platform::File> x = files_.open(a.fullPath, platform::File::Mode::kRead);
  const std::unique_ptr<platform::File> y = files_.open(b.fullPath, platform::File::Mode::kRead);
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

int Job::threads() const {
  const int n = o_.workers != 0 ? o_.workers : static_cast<int>(std::thread::hardware_concurrency());
  return std::max(1, std::min(n, kMaxWorkers));
}

void Job::walkStates(std::vector<std::unique_ptr<DirectoryStream>>& streams, const ScanContext& c) {
  if (threads() == 1 || streams.size() < 2) {
    for (const auto& s : streams) walkState(*s, c);
    return;
  }
  struct Walk {
    RecordingConsole console;
    std::uint32_t latestDate = 0;
    std::exception_ptr failure;
  };
  std::vector<Walk> walks(streams.size());
  const auto walk = [&](std::size_t k) {
    Walk& w = walks[k];
    Output out(w.console);
    out.setGerman(out_.german());
    ScanContext own(c.files, out);
    own.target = c.target;
    own.includeHidden = c.includeHidden;
    own.quiet = c.quiet;
    own.latestDate = &w.latestDate;
    try {
      walkState(*streams[k], own);
    } catch (...) {
      w.failure = std::current_exception();
    }
  };
  std::vector<std::thread> running;
  for (std::size_t k = 0; k < streams.size(); ++k) {
    try {
      running.emplace_back(walk, k);
    } catch (const std::system_error&) {
      walk(k);  // no thread to be had: this state is read on the job's own
    }
  }
  for (std::thread& t : running) t.join();
  for (Walk& w : walks) {
    show(w.console.events);
    if (w.failure) std::rethrow_exception(w.failure);
    if (c.latestDate != nullptr && w.latestDate > *c.latestDate) *c.latestDate = w.latestDate;
  }
}

// Searches on several threads give the very patch of a run in turn only
// where a step's result depends on its own files alone. The sampled index
// of the most frugal strategy draws from a generator that runs on over the
// whole job, so a memory limit or a hint that may lead to it keeps one.
int Job::workerCount(std::size_t patchedFiles) const {
  if (patchedFiles < 2 || o_.memoryLimit != 0 || o_.engineHint >= 2) return 1;
  return static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(threads()), patchedFiles));
}

std::shared_ptr<Examined> Job::examineInTurn(const std::string& relativeName, const std::vector<StateName>& states) {
  printExamining(out_, relativeName, states);
  logPatched(states);
  auto examined = std::make_shared<Examined>(files_);
  searchChain(out_, *engine_, states, examined.get());
  return examined;
}

void Job::printExamining(Output& out, const std::string& relativeName, const std::vector<StateName>& states) {
  if (states.size() == 2 && directoryMode_) {
    printTo(out, "Examining \"%s\" to \"%s\": ", "Bearbeite \"%s\" zu \"%s\": ", states[0].relativePath, relativeName);
  } else {
    printTo(out, "Examining \"%s\": ", "Bearbeite \"%s\": ", relativeName);
  }
}

void Job::logPatched(const std::vector<StateName>& states) {
  if (!ctx_.log) return;
  std::vector<packaging::FileLogInfo> logged;
  for (const StateName& state : states) logged.push_back(logInfo(state.fullPath, state.relativePath, state.size));
  ctx_.log->patched(logged);
}

void Job::searchChain(Output& out, diffengine::DifferenceEngine& engine, const std::vector<StateName>& states,
                      Examined* result) {
  const std::size_t count = states.size();
  std::vector<diffengine::StateFile> files(count);
  for (std::size_t k = 0; k < count; ++k) files[k].path = states[k].fullPath;
  result->temporaries.assign(count - 1, std::string());
  result->records.assign(count - 1, patchformat::SourceRecord());
  for (std::size_t k = count - 1; k-- > 0;) {
    if (count >= 3) {
      if (k == count - 2) out.write(Out::kStdout, "\n");
      printTo(out, "Step \"%s\" to \"%s\": ", "Schritt \"%s\" auf \"%s\": ", files[k].path, files[k + 1].path);
    }
    engine.searchStep(files[k], files[k + 1]);
    if (engine.stats().strategy == 3) result->sampled = true;
    result->records[k] = engine.sourceRecord();
    std::string& temporary = result->temporaries[k];
    if (!files_.createTempFile("ks", &temporary)) out.failNumbered(kMsgNoTemporaryFile);
    platform::recordTemporary(temporary);
    const std::unique_ptr<platform::File> t = files_.open(temporary, platform::File::Mode::kCreate);
    if (!t) out.failNumbered(kMsgNoTemporaryFile);
    FileSink sink(*t);
    if (!engine.writeStreams(sink) || !t->close()) out.failNumbered(kMsgCannotWritePatch);
    engine.clearStreams();
  }
  result->finalState = files[count - 1];
}

void Job::writeExamined(const std::string& relativeName, const std::vector<StateName>& states, std::uint32_t date,
                        std::uint32_t attributes, std::uint16_t flags, Examined& examined) {
  const std::size_t count = states.size();
  patchformat::FinalInfo info;
  info.checksum = examined.finalState.checksum;
  info.size = examined.finalState.size;
  info.dosDateTime = date;
  info.attributes = static_cast<std::uint16_t>(attributes);
  info.sourceCount = static_cast<std::uint16_t>(count - 1);
  info.fileFlags = flags;
  emit(records_.writePatchedFile(directoryMode_, info, patchformat::ExclusionWindow(), relativeName));
  WrittenRecord written(WrittenRecord::Kind::kPatched, relativeName);
  for (const StateName& state : states) {
    written.states.push_back({state.fullPath, state.relativePath, state.size, state.entry->checksum});
  }
  written.info = info;
  written.sources = examined.records;
  written_.series.back().records.push_back(std::move(written));
  std::uint8_t piece[kCopyPiece];
  for (std::size_t k = 0; k + 1 < count; ++k) {
    emit(records_.writeSource(directoryMode_, info, states[k].relativePath, examined.records[k],
                              patchformat::ExclusionWindow()));
    const std::unique_ptr<platform::File> t = files_.open(examined.temporaries[k], platform::File::Mode::kRead);
    const auto unreadable = [this] {
      out_.failBilingual("Error reading temporarily saved patchinfo!",
                         "Fehler beim Lesen der tempor\x84r zwischengespeicherten Patchinformation!");
    };
    if (!t) unreadable();
    for (;;) {
      const long got = t->read(piece, sizeof piece);
      if (got < 0) unreadable();
      if (got == 0) break;
      body_->write(piece, static_cast<std::size_t>(got));
    }
    t->close();
  }
}

void Job::embedFile(const std::string& path, const std::string& relativeName) {
  platform::FileStatus status;
  std::unique_ptr<platform::File> f;
  if (!files_.fileStatus(path, &status) || !(f = files_.open(path, platform::File::Mode::kRead))) {
    out_.failNumbered(kMsgCannotOpenEmbedded, path);
  }
  if (status.dosDateTime > latestDate_) latestDate_ = status.dosDateTime;
  // Scanning refused larger files; this one may have grown since.
  if (!patchformat::fitsFormat(status.size)) refuseTooLarge(out_, path, status.size);
  if (ctx_.log) ctx_.log->embedded(logInfo(path, relativeName, status.size));
  emit(records_.writeEmbeddedHeader(relativeName, patchformat::formatSize(status.size), dateOf(status.dosDateTime),
                                    static_cast<std::uint16_t>(status.attributes)));
  WrittenRecord written(WrittenRecord::Kind::kEmbedded, relativeName);
  written.states.push_back({path, relativeName});
  written.info.size = patchformat::formatSize(status.size);
  written.info.dosDateTime = dateOf(status.dosDateTime);
  written.info.attributes = static_cast<std::uint16_t>(status.attributes);
  written_.series.back().records.push_back(std::move(written));
  std::uint8_t piece[kCopyPiece];
  std::uint64_t copied = 0;
  for (;;) {
    const long got = f->read(piece, sizeof piece);
    if (got < 0) out_.failNumbered(kMsgCannotReadEmbedded, path);
    if (got == 0) break;
    body_->write(piece, static_cast<std::size_t>(got));
    copied += static_cast<std::uint64_t>(got);
  }
  if (copied != status.size) out_.failNumbered(kMsgCannotReadEmbedded, path);
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
