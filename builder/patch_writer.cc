#include "builder/patch_writer.h"

#include <algorithm>
#include <new>
#include <optional>

#include "builder/scanning.h"
#include "diffengine/lzma_sink.h"
#include "diffengine/streams.h"

namespace builder {
namespace {

constexpr std::size_t kCopyPiece = 2000;
// An LZMA encoding more than 15/16 the size of what it encodes saved little.
bool savedLittle(std::uint64_t encoded, std::uint64_t plain) { return encoded * 16 > plain * 15; }

[[noreturn]] void diskFull(const Output& out) {
  out.failBilingual("Error, cannot write data to temporary patchfile. Make sure you have sufficient disk space.",
                    "Fehler, kann Daten nicht in tempor\x84re Patchdatei speichern, bitte stellen Sie sicher, da\xe1 \n"
                    "gen\x81gend Platz vorhanden ist.");
}

}  // namespace

packaging::FileLogInfo logInfo(const std::string& fullPath, const std::string& relativePath, std::uint64_t size) {
  return packaging::FileLogInfo{platform::absolutePath(fullPath), relativePath, patchformat::formatSize(size)};
}

std::uint32_t RecordDates::of(std::uint32_t fileDate) {
  if (mode_ != DateMode::kNow) return fileDate;
  if (now_ == 0) now_ = files_.dosDateTimeNow();
  return now_;
}

// The patch body on its way into the file: raw deflate at zlib's level 9
// or, with -o, at libdeflate's level 12; the plain bytes with -j. What it
// is handed is already encoded.
//
// With -o=lzma the body is one LZMA stream. Where LZMA saves little (data
// that nothing compresses, such as random inserts) the body is deflated as
// with -o too and the smaller is kept: deflate stores such data at less
// cost, and a deflate body applies with every applier. Only a body that the
// LZMA sink gathered whole can be deflated again; a larger one is LZMA's.
class PatchWriter::Body {
 public:
  Body(platform::File& file, bool compress, bool lzma, int threads, bool strongest, Output& out)
      : file_(file), out_(out), threads_(threads) {
    if (lzma) {
      lzma_.emplace([this](const void* data, std::size_t n) { return keep(&lzmaBytes_, data, n); }, threads);
    } else if (compress) {
      using Coder = diffengine::PieceDeflateSink::Coder;
      deflate_.emplace(strongest ? 12 : 9, threads, [this](const void* data, std::size_t n) {
        return file_.write(data, n);
      }, strongest ? Coder::kStrongest : Coder::kZlib);
      if (!deflate_->started()) outOfMemory(out_);
    }
  }

  void write(const void* data, std::size_t n) {
    if (n == 0) return;
    if (lzma_ && !lzma_->write(data, n)) failed();
    if (!(deflate_ ? deflate_->write(data, n) : lzma_ || file_.write(data, n))) failed();
  }
  void write(const std::string& bytes) { write(bytes.data(), bytes.size()); }

  // Ends the stream. With -o=lzma, `header` becomes that of the body kept;
  // true then, as the header must be written again.
  bool finish(patchformat::PatchHeader* header) {
    if (!lzma_) {
      if (deflate_ && !deflate_->finish()) diskFull(out_);
      deflate_.reset();
      return false;
    }
    const bool done = lzma_->finish(header, [this](int percent) {
      if (percent == 0) {
        out_.bilingualFormat("LZMA: Packing body   ...     ", "LZMA: Packe Inhalt   ...     ", MsgArg(), MsgArg(),
                             platform::Stream::kOut);
      }
      out_.percentage(percent);
    });
    if (!done) failed();
    out_.write(platform::Stream::kOut, std::to_string(lzmaBytes_.size()) + " Bytes\n");
    const std::string* kept = &lzmaBytes_;
    std::string deflated;
    const std::vector<std::uint8_t>* whole = lzma_->gatheredBody();
    if (whole != nullptr && savedLittle(lzmaBytes_.size(), whole->size())) {
      using Coder = diffengine::PieceDeflateSink::Coder;
      diffengine::PieceDeflateSink deflate(
          12, threads_, [&deflated](const void* data, std::size_t n) { return keep(&deflated, data, n); },
          Coder::kStrongest);
      if (!deflate.started() || !deflate.write(whole->data(), whole->size()) || !deflate.finish()) {
        outOfMemory(out_);
      }
      if (deflated.size() < lzmaBytes_.size()) {
        kept = &deflated;
        header->markDeflateBody();
        out_.bilingualFormat(
            "The deflate body is smaller (%s Bytes) and is kept: the patch applies with every applier.\n",
            "Der Deflate-Inhalt ist kleiner (%s Bytes) und bleibt: der Patch ist mit jedem Patcher anwendbar.\n",
            std::to_string(deflated.size()), MsgArg(), platform::Stream::kOut);
      }
    }
    if (!file_.write(kept->data(), kept->size())) diskFull(out_);
    lzma_.reset();
    deflate_.reset();
    return true;
  }

 private:
  static bool keep(std::string* bytes, const void* data, std::size_t n) {
    try {
      bytes->append(static_cast<const char*>(data), n);
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  [[noreturn]] static void outOfMemory(const Output& out) {
    out.failBilingual("Error, internal compression failed to initialized. Out of memory situation suspected.",
                      "Fehler, interne Kompression konnte nicht initialisiert werden. Speichermangel wird vermutet.");
  }
  // The output failed: a full disk, or, where the body is kept in memory
  // (-o=lzma), memory ran out.
  [[noreturn]] void failed() {
    if (lzma_) outOfMemory(out_);
    diskFull(out_);
  }

  platform::File& file_;
  Output& out_;
  // -o=lzma: the LZMA stream; before the sinks, so that it outlives an
  // encoder thread that a failed job stops.
  std::string lzmaBytes_;
  const int threads_;
  std::optional<diffengine::PieceDeflateSink> deflate_;
  std::optional<diffengine::LzmaSink> lzma_;
};

PatchWriter::PatchWriter(PatchOutput& output, platform::FileSystem& files, Output& out)
    : output_(output), files_(files), out_(out) {}

PatchWriter::~PatchWriter() = default;

void PatchWriter::emit(bool stored) {
  if (!stored) out_.failNumbered(kBuilderMsgNameTooLong);
  body_->write(encoded_);
  encoded_.clear();
}

void PatchWriter::begin(const patchformat::PatchHeader& header, const std::string& comment, bool compress,
                        int threads, bool strongest) {
  written_.header = header;
  written_.directoryPatch = header.isDirectoryPatch();
  written_.comment = comment;
  platform::File& file = output_.file();
  if (!file.write(header.encode().data(), patchformat::kHeaderSize)) out_.failNumbered(kBuilderMsgCannotWritePatch);
  body_ = std::make_unique<Body>(file, compress, (header.flags & patchformat::kHeaderLzma) != 0, threads, strongest,
                                 out_);
  records_.writeTexts("", comment);
  emit();
}

void PatchWriter::beginSeries(const patchformat::SeriesHeader& series, bool directoryMode) {
  directoryMode_ = directoryMode;
  // The encoder stores the registry texts and the backup directory only
  // where the locator and the patch kind call for them.
  emit(records_.writeSeriesHeader(directoryMode, series));
  // Read back, the header holds what the encoder stores for this locator and kind.
  WrittenSeries written{series, {}};
  if (series.locator != patchformat::kLocateRegistry) {
    written.header.rootKey = 0;
    written.header.subKey.clear();
    written.header.valueName.clear();
  }
  if (!directoryMode) written.header.backupDir.clear();
  written_.series.push_back(std::move(written));
}

void PatchWriter::endSeries() {
  records_.writeEnd();
  emit();
}

void PatchWriter::patchedFile(const std::string& relativeName, const std::vector<StateName>& states,
                              std::uint32_t date, std::uint32_t attributes, std::uint16_t flags,
                              const ChainDeltas& deltas) {
  const std::size_t count = states.size();
  patchformat::FinalInfo info;
  info.checksum = deltas.finalState.checksum;
  info.size = deltas.finalState.size;
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
  written.sources = deltas.records;
  written.storedWhole = deltas.storedWhole;
  written_.series.back().records.push_back(std::move(written));
  std::uint8_t piece[kCopyPiece];
  for (std::size_t k = 0; k + 1 < count; ++k) {
    emit(records_.writeSource(directoryMode_, info, states[k].relativePath, deltas.records[k],
                              patchformat::ExclusionWindow()));
    const std::unique_ptr<platform::File> t = files_.open(deltas.temporaries[k], platform::File::Mode::kRead);
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

void PatchWriter::embeddedFile(const std::string& path, const std::string& relativeName, RecordDates& dates,
                               packaging::LogFile* log) {
  platform::FileStatus status;
  std::unique_ptr<platform::File> f;
  if (!files_.fileStatus(path, &status) || !(f = files_.open(path, platform::File::Mode::kRead))) {
    out_.failNumbered(kBuilderMsgCannotOpenEmbedded, path);
  }
  dates.saw(status.dosDateTime);
  // Scanning refused larger files; this one may have grown since.
  if (!patchformat::fitsFormat(status.size)) refuseTooLarge(out_, path, status.size);
  if (log != nullptr) log->embedded(logInfo(path, relativeName, status.size));
  emit(records_.writeEmbeddedHeader(relativeName, patchformat::formatSize(status.size), dates.of(status.dosDateTime),
                                    static_cast<std::uint16_t>(status.attributes)));
  WrittenRecord written(WrittenRecord::Kind::kEmbedded, relativeName);
  written.states.push_back({path, relativeName});
  written.info.size = patchformat::formatSize(status.size);
  written.info.dosDateTime = dates.of(status.dosDateTime);
  written.info.attributes = static_cast<std::uint16_t>(status.attributes);
  written_.series.back().records.push_back(std::move(written));
  std::uint8_t piece[kCopyPiece];
  std::uint64_t copied = 0;
  for (;;) {
    const long got = f->read(piece, sizeof piece);
    if (got < 0) out_.failNumbered(kBuilderMsgCannotReadEmbedded, path);
    if (got == 0) break;
    body_->write(piece, static_cast<std::size_t>(got));
    copied += static_cast<std::uint64_t>(got);
  }
  if (copied != status.size) out_.failNumbered(kBuilderMsgCannotReadEmbedded, path);
}

void PatchWriter::obsoleteFile(const std::string& relativeName) {
  emit(records_.writeObsolete(relativeName));
  written_.series.back().records.emplace_back(WrittenRecord::Kind::kObsolete, relativeName);
}

void PatchWriter::localStubMarker() {
  records_.writeLocalStubMarker();
  emit();
  written_.localStubMarker = true;
}

std::uint32_t PatchWriter::finish() {
  patchformat::PatchHeader& header = written_.header;
  const bool newHeader = body_->finish(&header);
  platform::File& file = output_.file();
  std::uint64_t size = 0;
  if (!file.size(&size)) out_.failNumbered(kBuilderMsgCannotWritePatch);
  // An LZMA body's header learns the stream's properties and the body's size only now.
  if (newHeader && !(file.seek(0) && file.write(header.encode().data(), patchformat::kHeaderSize) && file.seek(size))) {
    out_.failNumbered(kBuilderMsgCannotWritePatch);
  }
  patchformat::PatchTrailer trailer;
  if (!patchformat::fitsFormat(size + patchformat::kTrailerSize)) {
    out_.failBilingualFormat("Error, the patch file would reach 4 GiB (%s Bytes), more than a patch file can hold.",
                             "Fehler, die Patchdatei w\x81rde 4 GiB erreichen (%s Bytes), mehr als eine Patchdatei "
                             "fassen kann.",
                             std::to_string(size + patchformat::kTrailerSize));
  }
  trailer.length = patchformat::formatSize(size + patchformat::kTrailerSize);
  if (!file.write(trailer.encode().data(), patchformat::kTrailerSize)) out_.failNumbered(kBuilderMsgCannotWritePatch);
  if (!output_.close()) diskFull(out_);
  return trailer.length;
}

}  // namespace builder
