// The walk over a logical body in the order its records stand: the texts,
// then each series (its header, its records, its end), a patched file
// followed by its source entries, each entry followed by the five streams
// of its delta, an embedded file followed by its content. Every reader of a
// body goes through this one walk; docs/FORMAT.md gives the layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "patchformat/container.h"

namespace patchformat {

// What BodyWalker::next() has just read.
enum class BodyStep : std::uint8_t {
  kTexts,         // the creator text and the comment
  kSeries,        // a series header
  kPatchedFile,   // final info, window and name; patchedFile().info.sourceCount kSource steps follow
  kSource,        // one source entry; its streams stand next
  kEmbeddedFile,  // name, size, date and attributes; the content stands next
  kObsoleteFile,  // a name
  kSeriesEnd,     // the end record, or (single-file patch) the end of the one record
  kBodyEnd,       // the last series has ended; nothing after it is read
  kFailed,        // error() tells why, failedStep() in what
};

// A patched file up to its first source entry.
struct PatchedFileRecord {
  FinalInfo info;
  ExclusionWindow window;  // of the final file; length 0 when the record has none
  std::string name;        // empty in a single-file patch
};

// One source entry of a patched file. Its delta's streams lie back to back
// at `streams` (a body offset), stream i after the lengths of 0..i-1.
struct DeltaSource {
  std::size_t index = 0;  // in chain order, from 0
  std::string name;       // as stored: empty for the final file's own name and in a single-file patch
  SourceRecord record;
  ExclusionWindow window;
  std::uint64_t streams = 0;

  std::uint64_t streamOffset(int i) const {
    std::uint64_t at = streams;
    for (int k = 0; k < i; ++k) at += record.streamLength[k];
    return at;
  }
  std::uint64_t end() const { return streams + record.streamsTotal(); }
};

// An embedded file up to its content, `size` bytes at `content`.
struct EmbeddedFileRecord {
  std::string name;
  std::uint32_t size = 0;
  std::uint32_t dosDateTime = 0;
  std::uint16_t attributes = 0;
  std::uint64_t content = 0;
};

// Reads a logical body step by step from `in`, which stands at the offset
// the walk starts from; the walker never seeks, and counts offsets from the
// body's first byte. A source's streams and an embedded file's content are
// left to the caller: read them with readContent(), or move `in` past them
// itself (a body that can seek, or expand a range without keeping it) and
// call contentPassed(); what is left of them when next() is called is read
// and dropped. The caller may stop at any step; to walk a series again, it
// puts `in` back at the series' records and starts a walker there.
//
// `size` is the body's length when it is known: lengths that run past it
// are then refused as soon as they are read. A body of unknown length is
// found short when a read comes back short.
class BodyWalker {
 public:
  static constexpr std::uint64_t kUnknownSize = ~std::uint64_t{0};

  // The whole body from its first byte: the texts, whose lengths `header`
  // gives, then every series.
  static BodyWalker fromStart(ByteReader& in, const PatchHeader& header, bool directoryPatch,
                              std::uint64_t size = kUnknownSize);
  // From the header of series `index` (from 0) at `offset` on.
  static BodyWalker fromSeries(ByteReader& in, bool directoryPatch, std::uint64_t offset, std::size_t index,
                               std::uint64_t size = kUnknownSize);
  // From the first record of series `index`, whose header `series` stands
  // before `offset`, on: after its end the walk goes on with the next series
  // when `series` says that one follows.
  static BodyWalker fromRecords(ByteReader& in, bool directoryPatch, std::uint64_t offset, std::size_t index,
                                const SeriesHeader& series, std::uint64_t size = kUnknownSize);

  // Reads the next step; kBodyEnd and kFailed repeat once reached.
  BodyStep next();

  // Where the bytes of the current step begin (a record's type byte
  // included); for a step that reads nothing, where the walk stands.
  std::uint64_t offset() const { return offset_; }
  // The body offset of the next byte the walker takes from `in`.
  std::uint64_t position() const { return base_ + reader_->position(); }
  // The series being walked, from 0.
  std::size_t seriesIndex() const { return seriesIndex_; }

  // The fields of the step read last; each stays valid until a step of its
  // kind is read again (the patched file through its source entries, the
  // series header through its records).
  const std::string& creator() const { return creator_; }
  const std::string& comment() const { return comment_; }
  const SeriesHeader& series() const { return series_; }
  const PatchedFileRecord& patchedFile() const { return patched_; }
  const DeltaSource& source() const { return source_; }
  const EmbeddedFileRecord& embeddedFile() const { return embedded_; }
  const std::string& obsoleteName() const { return obsolete_; }

  // Bytes of the current step's content (streams or embedded bytes) not yet
  // read or passed.
  std::uint64_t contentLeft() const { return contentLeft_; }
  // Reads the next n bytes of the content; false when they cannot be read
  // (the walk has failed) or n is more than contentLeft() (nothing is read).
  bool readContent(void* out, std::size_t n);
  // `in` has been moved past the rest of the content by the caller.
  void contentPassed();

  RecordError error() const { return reader_->error(); }
  // The step that was being read when the walk failed: kFailed when it
  // was a directory record whose type byte is missing or unknown.
  BodyStep failedStep() const { return failedStep_; }

 private:
  enum class Expect : std::uint8_t { kTexts, kSeries, kRecord, kSource, kEnded, kBroken };

  BodyWalker(ByteReader& in, bool directoryPatch, std::uint64_t offset, std::uint64_t size, Expect expect);
  BodyStep failed(BodyStep step);
  BodyStep record();
  BodyStep sourceEntry();
  BodyStep seriesEnd();

  ByteReader& in_;
  const bool directoryPatch_;
  const std::uint64_t size_;
  std::uint64_t base_;  // body offset where reader_ began
  std::optional<BodyReader> reader_;
  Expect expect_;
  std::uint16_t creatorLength_ = 0;
  std::uint16_t commentLength_ = 0;
  std::uint64_t offset_ = 0;
  std::size_t seriesIndex_ = 0;
  std::size_t nextSeries_ = 0;  // the index of the next series header
  bool recordRead_ = false;     // single-file patch: its one record has been read
  std::size_t sourcesRead_ = 0;  // of the current patched file
  BodyStep contentStep_ = BodyStep::kFailed;  // whose content is left
  std::uint64_t contentLeft_ = 0;
  BodyStep failedStep_ = BodyStep::kFailed;

  std::string creator_;
  std::string comment_;
  SeriesHeader series_;
  PatchedFileRecord patched_;
  DeltaSource source_;
  EmbeddedFileRecord embedded_;
  std::string obsolete_;
};

}  // namespace patchformat
