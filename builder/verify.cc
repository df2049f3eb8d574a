#include "builder/verify.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "builder/stored_whole.h"
#include "patchformat/body_coding.h"
#include "patchformat/body_walk.h"
#include "patchformat/coding.h"
#include "patchformat/container.h"
#include "patchformat/delta.h"
#include "platform/codepage.h"

namespace builder {
namespace {

using patchformat::BodyStep;
using patchformat::ByteReader;
using patchformat::RandomReader;

using FileReader = patchformat::FileReader<platform::File>;

// What a delta rebuilds: its size and checksum. A copy that reaches back
// into the part already rebuilt reads the file the output must equal; every
// byte appended counts in the checksum, so a wrong one shows there.
class CheckedOutput : public patchformat::DeltaOutput {
 public:
  CheckedOutput(RandomReader& expected, const patchformat::ExclusionWindow& window)
      : expected_(expected), crc_(window) {}
  bool append(const void* data, std::size_t n) override {
    crc_.update(data, n);
    size_ += n;
    return true;
  }
  bool readBack(std::uint64_t offset, void* buffer, std::size_t n) override {
    return offset <= size_ && n <= size_ - offset && expected_.readAt(offset, buffer, n);
  }
  std::uint64_t size() const { return size_; }
  std::uint32_t checksum() const { return crc_.value(); }

 private:
  RandomReader& expected_;
  patchformat::WindowedCrc crc_;
  std::uint64_t size_ = 0;
};

// The bytes the steps of a chain stored whole rebuild between its states.
class Zeros : public RandomReader {
 public:
  explicit Zeros(std::uint64_t size) : size_(size) {}
  std::uint64_t size() const override { return size_; }
  bool readAt(std::uint64_t offset, void* buffer, std::size_t n) override {
    if (offset > size_ || n > size_ - offset) return false;
    std::memset(buffer, 0, n);
    return true;
  }

 private:
  std::uint64_t size_;
};

std::uint32_t checksumOf(RandomReader& bytes, const patchformat::ExclusionWindow& window) {
  patchformat::WindowedCrc crc(window);
  std::uint8_t piece[1 << 16];
  for (std::uint64_t at = 0; at < bytes.size();) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof piece, bytes.size() - at));
    if (!bytes.readAt(at, piece, n)) break;
    crc.update(piece, n);
    at += n;
  }
  return crc.value();
}

std::string shown(const std::string& name) { return "\"" + platform::cp1252ToCp850(name) + "\""; }

std::string sizeAndSum(std::uint64_t size, std::uint32_t checksum) {
  char text[64];
  std::snprintf(text, sizeof text, "%" PRIu64 " Bytes, checksum %08" PRIX32, size, checksum);
  return text;
}

class Checker {
 public:
  Checker(platform::FileSystem& files, const std::string& path, const WrittenPatch& written, const Output& out)
      : files_(files), path_(path), written_(written), out_(out) {}

  void run();

 private:
  [[noreturn]] void failed(const std::string& en, const std::string& de) const {
    out_.failBilingual("Error, the check of the patch file just written failed: " + en +
                           ".\nThe patch file is deleted; please report this with the files it was made from.",
                       "Fehler, die Pr\x81" "fung der eben geschriebenen Patchdatei schlug fehl: " + de +
                           ".\nDie Patchdatei wird gel\x94scht; bitte melden Sie dies mit den Dateien, aus "
                           "denen sie entstand.");
  }
  [[noreturn]] void unreadable(const std::string& what) const {
    failed("the record of " + what + " does not read back as it was written",
           "der Eintrag von " + what + " liest sich nicht zur\x81" "ck, wie er geschrieben wurde");
  }
  void checkSeries(patchformat::BodyWalker& body, const WrittenSeries& series, std::size_t index);
  // `step` is what the walk read for the record (kFailed: it did not read).
  void checkPatched(patchformat::BodyWalker& body, BodyStep step, const WrittenRecord& record, bool typed);
  void checkEmbedded(patchformat::BodyWalker& body, BodyStep step, const WrittenRecord& record);
  // Applies one delta whose streams are in `streams` to `from` and checks
  // that it rebuilds `to`'s size and `checksum`. A step of a chain stored
  // whole must read no source at all, and rebuild zeros of `size` bytes
  // unless it is the `last`.
  void checkDelta(const patchformat::SourceRecord& source, const patchformat::ExclusionWindow& window,
                  std::string (&streams)[patchformat::kDeltaStreamCount], const WrittenRecord::State& from,
                  const WrittenRecord::State& to, std::uint32_t size, std::uint32_t checksum, bool storedWhole,
                  bool last);
  std::unique_ptr<platform::File> open(const std::string& path) const;
  // The program in front of the patch data is the stub, byte for byte, or
  // with -R the stub as those values change it, and they read back.
  void checkStub(RandomReader& program, std::uint64_t headerOffset);
  // The version resource of `program` (the stub part, as checked) holds
  // every value of -R.
  void checkVersionStrings(const std::string& program);

  platform::FileSystem& files_;
  const std::string& path_;
  const WrittenPatch& written_;
  const Output& out_;
};

std::unique_ptr<platform::File> Checker::open(const std::string& path) const {
  std::unique_ptr<platform::File> file = files_.open(path, platform::File::Mode::kRead);
  if (!file) failed(shown(path) + " cannot be read again", shown(path) + " kann nicht wieder gelesen werden");
  return file;
}

void Checker::run() {
  const std::unique_ptr<platform::File> patch = open(path_);
  FileReader raw(*patch);
  const patchformat::PatchLocation at = patchformat::locatePatch(raw);
  if (at.status != patchformat::LocateStatus::kOk || at.header.encode() != written_.header.encode()) {
    failed("its header or trailer is not as written", "Kopf oder Ende sind nicht wie geschrieben");
  }
  if (!written_.stub.empty()) checkStub(raw, at.headerOffset);
  patchformat::RangeReader stored(raw, at.bodyStart, at.bodyEnd - at.bodyStart);
  std::optional<patchformat::ExpandReader> expanded;
  ByteReader* in = &stored;
  if (auto expander = patchformat::makeBodyExpander(at.header)) in = &expanded.emplace(stored, std::move(expander));
  patchformat::BodyWalker body = patchformat::BodyWalker::fromStart(*in, at.header, written_.directoryPatch);
  if (body.next() != BodyStep::kTexts || !body.creator().empty() || body.comment() != written_.comment) {
    unreadable("the comment");
  }
  for (std::size_t i = 0; i < written_.series.size(); ++i) checkSeries(body, written_.series[i], i);
  // The walk reads nothing after the last series' end.
  if (written_.localStubMarker) {
    std::uint8_t marker[8];
    if (in->read(marker, sizeof marker) != sizeof marker || patchformat::getU32(marker) != 0 ||
        patchformat::getU32(marker + 4) != patchformat::kLocalStubMarker) {
      unreadable("the local stub's marker");
    }
  }
  std::uint8_t extra;
  if (in->read(&extra, 1) != 0 || (expanded && !expanded->ended())) {
    failed("the body does not end after its last record", "der Inhalt endet nicht nach seinem letzten Eintrag");
  }
}

void Checker::checkStub(RandomReader& program, std::uint64_t headerOffset) {
  const std::unique_ptr<platform::File> stub = open(written_.stub);
  std::uint64_t size = 0;
  bool same = stub->size(&size) && size == headerOffset;
  // With -R the stub is read whole (a few hundred KiB) and changed here as
  // the join changed it, independently of the bytes the join wrote.
  std::string changed;
  const bool changing = !written_.stubStrings.empty();
  if (same && changing) {
    changed.resize(static_cast<std::size_t>(size));
    same = stub->readFully(changed.data(), changed.size()) &&
           packaging::setVersionStrings(&changed, written_.stubStrings) == packaging::VersionError::kNone;
  }
  std::vector<char> joined(1 << 16), original(1 << 16);
  for (std::uint64_t at = 0; same && at < size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, joined.size()));
    const char* expected = changing ? changed.data() + at : original.data();
    same = program.readAt(at, joined.data(), n) && (changing || stub->readFully(original.data(), n)) &&
           std::memcmp(joined.data(), expected, n) == 0;
    at += n;
  }
  if (!same) {
    failed("the program in front of the patch data is not the stub " + shown(written_.stub) +
               (changing ? " with the values of option \"-R\"" : ""),
           "das Programm vor den Patchdaten ist nicht der Stub " + shown(written_.stub) +
               (changing ? " mit den Werten der Option \"-R\"" : ""));
  }
  if (changing) checkVersionStrings(changed);
}

void Checker::checkVersionStrings(const std::string& program) {
  packaging::VersionInfo info;
  bool same = packaging::readVersionInfo(program, &info) == packaging::VersionError::kNone;
  for (const packaging::VersionString& wanted : written_.stubStrings) {
    same = same && std::any_of(info.strings.begin(), info.strings.end(), [&](const packaging::VersionString& s) {
             return s.key == wanted.key && s.value == wanted.value;
           });
  }
  if (!same) {
    failed("the version resource of the program does not read back with the values of option \"-R\"",
           "die Versionsressource des Programms liest sich nicht mit den Werten der Option \"-R\" zur\x81" "ck");
  }
}

void Checker::checkSeries(patchformat::BodyWalker& body, const WrittenSeries& written, std::size_t index) {
  const patchformat::SeriesHeader& header = body.series();
  const patchformat::SeriesHeader& wanted = written.header;
  if (body.next() != BodyStep::kSeries || header.locator != wanted.locator || header.flags != wanted.flags ||
      header.rootKey != wanted.rootKey || header.subKey != wanted.subKey || header.valueName != wanted.valueName ||
      header.backupDir != wanted.backupDir) {
    unreadable("target " + std::to_string(index + 1));
  }
  const std::vector<WrittenRecord>& records = written.records;
  if (!written_.directoryPatch) {
    // A single-file patch: one patched file, without a type or an end.
    if (records.size() != 1) unreadable("the file");
    checkPatched(body, body.next(), records[0], false);
  }
  for (std::size_t r = 0; written_.directoryPatch && r < records.size(); ++r) {
    const WrittenRecord& record = records[r];
    const BodyStep wanted = record.kind == WrittenRecord::Kind::kPatched    ? BodyStep::kPatchedFile
                            : record.kind == WrittenRecord::Kind::kEmbedded ? BodyStep::kEmbeddedFile
                                                                            : BodyStep::kObsoleteFile;
    // A record of another type, or none, is named by its stored name; one of
    // this type that does not read, by its file.
    const BodyStep step = body.next();
    if (step != wanted && (step != BodyStep::kFailed || body.failedStep() != wanted)) unreadable(shown(record.name));
    if (record.kind == WrittenRecord::Kind::kPatched) {
      checkPatched(body, step, record, true);
    } else if (record.kind == WrittenRecord::Kind::kEmbedded) {
      checkEmbedded(body, step, record);
    } else if (step != wanted || body.obsoleteName() != record.name) {
      unreadable(shown(record.name));
    }
  }
  if (body.next() != BodyStep::kSeriesEnd) unreadable("the end of a target");
}

void Checker::checkPatched(patchformat::BodyWalker& body, BodyStep step, const WrittenRecord& record, bool typed) {
  const std::string what = shown(record.states.back().path);
  const patchformat::PatchedFileRecord& file = body.patchedFile();
  const patchformat::FinalInfo& info = file.info;
  const std::size_t sources = record.states.size() - 1;
  if (sources == 0) unreadable(what);  // the job writes no patched file without a source
  if (step != BodyStep::kPatchedFile || (typed && file.name != record.name) ||
      info.encode() != record.info.encode() || record.sources.size() != sources) {
    unreadable(what);
  }
  const WrittenRecord::State& last = record.states.back();
  if (info.size != last.size || info.checksum != last.checksum) {
    failed(what + " is recorded with " + sizeAndSum(info.size, info.checksum) + ", the file has " +
               sizeAndSum(last.size, last.checksum),
           what + " ist mit " + sizeAndSum(info.size, info.checksum) + " eingetragen, die Datei hat " +
               sizeAndSum(last.size, last.checksum));
  }
  // The records and streams of the chain stand in order, oldest state
  // first. A delta is checked once the next record is read, whose state it
  // must rebuild (with that record's window); the last one rebuilds the
  // final file.
  patchformat::SourceRecord previous;
  std::string streams[patchformat::kDeltaStreamCount];
  for (std::size_t k = 0; k < sources; ++k) {
    const WrittenRecord::State& from = record.states[k];
    const patchformat::DeltaSource& source = body.source();
    const patchformat::SourceRecord& recorded = source.record;
    if (body.next() != BodyStep::kSource || (typed && source.name != from.name) ||
        recorded.encode() != record.sources[k].encode()) {
      unreadable(what);
    }
    if (recorded.size != from.size || recorded.checksum != from.checksum) {
      failed(shown(from.path) + " is recorded with " + sizeAndSum(recorded.size, recorded.checksum) +
                 ", the file has " + sizeAndSum(from.size, from.checksum),
             shown(from.path) + " ist mit " + sizeAndSum(recorded.size, recorded.checksum) +
                 " eingetragen, die Datei hat " + sizeAndSum(from.size, from.checksum));
    }
    if (k > 0) {
      checkDelta(previous, source.window, streams, record.states[k - 1], from, recorded.size, recorded.checksum,
                 record.storedWhole, false);
    }
    for (std::string& stream : streams) stream.clear();
    for (int s = 0; s < patchformat::kDeltaStreamCount; ++s) {
      streams[s].resize(recorded.streamLength[s]);
      if (!body.readContent(&streams[s][0], streams[s].size())) unreadable(what);
    }
    previous = recorded;
  }
  checkDelta(previous, file.window, streams, record.states[sources - 1], last, info.size, info.checksum,
             record.storedWhole, true);
}

void Checker::checkDelta(const patchformat::SourceRecord& source, const patchformat::ExclusionWindow& window,
                         std::string (&streams)[patchformat::kDeltaStreamCount], const WrittenRecord::State& from,
                         const WrittenRecord::State& to, std::uint32_t size, std::uint32_t checksum,
                         bool storedWhole, bool last) {
  const std::unique_ptr<platform::File> sourceFile = open(from.path);
  const std::unique_ptr<platform::File> targetFile = open(to.path);
  FileReader sourceRaw(*sourceFile), targetRaw(*targetFile);
  patchformat::CachedReader sourceCached(sourceRaw), targetCached(targetRaw);
  NoSource noSource(source.size);
  Zeros zeros(size);
  const bool rebuildsZeros = storedWhole && !last;
  if (rebuildsZeros) checksum = checksumOf(zeros, window);
  const patchformat::DeltaParams params = source.params(source.size, size);
  std::optional<patchformat::MemoryReader> readers[patchformat::kDeltaStreamCount];
  patchformat::DeltaStreams delta;
  for (int s = 0; s < patchformat::kDeltaStreamCount; ++s) {
    delta.reader[s] = &readers[s].emplace(streams[s]);
    delta.length[s] = source.streamLength[s];
  }
  CheckedOutput output(rebuildsZeros ? static_cast<RandomReader&>(zeros) : targetCached, window);
  const patchformat::DeltaError error =
      patchformat::decodeDelta(params, delta, storedWhole ? static_cast<RandomReader&>(noSource) : sourceCached, output);
  if (error != patchformat::DeltaError::kNone || output.size() != size || output.checksum() != checksum) {
    const std::string rebuilt = error == patchformat::DeltaError::kNone
                                    ? sizeAndSum(output.size(), output.checksum())
                                    : std::string(patchformat::deltaErrorText(error));
    failed("the delta from " + shown(from.path) + " to " + shown(to.path) + " rebuilds " + rebuilt + ", not " +
               sizeAndSum(size, checksum),
           "das Delta von " + shown(from.path) + " zu " + shown(to.path) + " ergibt " + rebuilt + " statt " +
               sizeAndSum(size, checksum));
  }
}

void Checker::checkEmbedded(patchformat::BodyWalker& body, BodyStep step, const WrittenRecord& record) {
  const WrittenRecord::State& file = record.states.back();
  const patchformat::EmbeddedFileRecord& stored = body.embeddedFile();
  const std::uint32_t size = stored.size;
  if (step != BodyStep::kEmbeddedFile || stored.name != record.name || size != record.info.size ||
      stored.dosDateTime != record.info.dosDateTime || stored.attributes != record.info.attributes) {
    unreadable(shown(file.path));
  }
  const std::unique_ptr<platform::File> in = open(file.path);
  std::uint64_t actual = 0;
  if (!in->size(&actual) || actual != size) {
    failed("the embedded copy of " + shown(file.path) + " is recorded with " + std::to_string(size) +
               " Bytes, the file has " + std::to_string(actual),
           "die eingebettete Kopie von " + shown(file.path) + " ist mit " + std::to_string(size) +
               " Bytes eingetragen, die Datei hat " + std::to_string(actual));
  }
  std::vector<char> content(1 << 16), original(1 << 16);
  for (std::uint64_t left = size; left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, content.size()));
    if (!body.readContent(content.data(), n)) unreadable(shown(file.path));
    if (!in->readFully(original.data(), n) || std::memcmp(content.data(), original.data(), n) != 0) {
      failed("the embedded copy of " + shown(file.path) + " differs from the file",
             "die eingebettete Kopie von " + shown(file.path) + " weicht von der Datei ab");
    }
    left -= n;
  }
}

}  // namespace

void verifyPatch(platform::FileSystem& files, const std::string& path, const WrittenPatch& written,
                 const Output& out) {
  Checker(files, path, written, out).run();
}

}  // namespace builder
