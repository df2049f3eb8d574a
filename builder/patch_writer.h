// The bytes of the patch file: the header, the body of target series and
// their records (raw deflate at level 9, or the plain record stream with
// -j) and the trailer, written into the job's PatchOutput; and, record by
// record, what was written, for the check of the finished patch (verify.h).
// The body is streamed: deltas come from their temporary files and embedded
// files from the disk, in pieces.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "builder/delta_scheduler.h"
#include "builder/messages.h"
#include "builder/options.h"
#include "builder/patch_output.h"
#include "builder/verify.h"
#include "packaging/log_template.h"
#include "patchformat/container.h"
#include "platform/files.h"

namespace builder {

// The log's line for a file: its absolute path, its name and its size.
packaging::FileLogInfo logInfo(const std::string& fullPath, const std::string& relativePath, std::uint64_t size);

// The dates that records carry: each file's own, or with -t=now the time of
// the run, taken once at its first use; with -t=latest a directory patch's
// patched files carry the latest date taken so far, which every file
// scanned or embedded raises.
class RecordDates {
 public:
  RecordDates(DateMode mode, platform::FileSystem& files) : mode_(mode), files_(files) {}
  // A record's date for a file of date `fileDate`.
  std::uint32_t of(std::uint32_t fileDate);
  // The date of a directory patch's patched file.
  std::uint32_t ofPatched(std::uint32_t fileDate) { return mode_ == DateMode::kLatest ? latest_ : of(fileDate); }
  void saw(std::uint32_t fileDate) {
    if (fileDate > latest_) latest_ = fileDate;
  }
  // For scanning, which raises it with every file it reads.
  std::uint32_t* latest() { return &latest_; }

 private:
  DateMode mode_;
  platform::FileSystem& files_;
  std::uint32_t latest_ = 0;
  std::uint32_t now_ = 0;
};

class PatchWriter {
 public:
  // Failures are fatal through `out`: a full disk, a name longer than a
  // patch can store, an embedded file that cannot be read.
  PatchWriter(PatchOutput& output, platform::FileSystem& files, Output& out);
  ~PatchWriter();
  PatchWriter(const PatchWriter&) = delete;
  PatchWriter& operator=(const PatchWriter&) = delete;

  // Writes the header as it is, then starts the body (deflated when
  // `compress`) with the comment.
  // `threads`: threads that encode the body (the same bytes for any number);
  // `strongest`: the strongest deflate, slower (the compact encoder's).
  void begin(const patchformat::PatchHeader& header, const std::string& comment, bool compress, int threads = 1,
             bool strongest = false);
  // A target series; `directoryMode`: its records carry types and names.
  void beginSeries(const patchformat::SeriesHeader& series, bool directoryMode);
  // The end byte of a directory mode series.
  void endSeries();
  // A patched file: its final info, then per start state (oldest first) its
  // name, source record and the streams its deltas parked.
  void patchedFile(const std::string& relativeName, const std::vector<StateName>& states, std::uint32_t date,
                   std::uint32_t attributes, std::uint16_t flags, const ChainDeltas& deltas);
  // An embedded file, read from `path` as it is now (its date raises the
  // latest date); logged once it is open.
  void embeddedFile(const std::string& path, const std::string& relativeName, RecordDates& dates,
                    packaging::LogFile* log);
  void obsoleteFile(const std::string& relativeName);
  // Follows the last series of a patch made for the local console stub.
  void localStubMarker();
  // Ends the body, writes the trailer and closes the output (still to be
  // checked); returns the patch's length. A patch of 4 GiB or more is refused.
  std::uint32_t finish();

  // What was written; the job adds the stub it joins.
  WrittenPatch& written() { return written_; }

 private:
  class Body;

  // Hands what `records_` encoded to the body; `stored` is the encoder's
  // result, false when a name was too long to store.
  void emit(bool stored = true);

  PatchOutput& output_;
  platform::FileSystem& files_;
  Output& out_;
  std::unique_ptr<Body> body_;
  std::string encoded_;  // records encoded, not yet handed to body_
  patchformat::BodyWriter records_{&encoded_};
  bool directoryMode_ = false;  // of the series being written
  WrittenPatch written_;
};

}  // namespace builder
