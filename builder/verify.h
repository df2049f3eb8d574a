// The check of a finished patch against the files it was made from: the
// patch is read back from the disk with the format's own readers, the way
// an applier reads it, and every record must be what the job wrote. It
// proves that the patch rebuilds every end file from every start state the
// builder was given; it cannot prove that a user's installed files match a
// start state (the applier's check pass does that).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "builder/messages.h"
#include "packaging/version_resource.h"
#include "patchformat/container.h"
#include "platform/files.h"

namespace builder {

// What the job wrote for one record, in writing order: every field as
// written, and the files it was made from.
struct WrittenRecord {
  enum class Kind { kPatched, kEmbedded, kObsolete };
  struct State {
    std::string path;  // the file the builder read
    std::string name;  // as stored in a directory patch
    std::uint32_t size = 0;      // as scanning found them
    std::uint32_t checksum = 0;
  };
  WrittenRecord(Kind k, std::string stored) : kind(k), name(std::move(stored)) {}

  Kind kind;
  std::string name;           // the stored name (a directory patch's patched, embedded and obsolete files)
  std::vector<State> states;  // kPatched: the chain, oldest first, the end file last; kEmbedded: the file
  patchformat::FinalInfo info;  // kPatched; kEmbedded: its size, date and attributes
  std::vector<patchformat::SourceRecord> sources;  // kPatched, oldest first
  bool storedWhole = false;  // kPatched: the chain stores the final file whole (stored_whole.h)
};

struct WrittenSeries {
  patchformat::SeriesHeader header;
  std::vector<WrittenRecord> records;
};

struct WrittenPatch {
  std::string stub;             // the stub joined in front of the patch data (-s); empty for a plain patch
  // The values the stub's copy was given (-R); empty: the stub went in unchanged.
  std::vector<packaging::VersionString> stubStrings;
  patchformat::PatchHeader header;
  bool directoryPatch = false;  // the header's kind: records carry types and names
  std::string comment;
  bool localStubMarker = false;
  std::vector<WrittenSeries> series;
};

// Reads the patch data in `path` (found from its trailer, also behind a
// stub, which must be the stub's bytes, or with -R the bytes the stub
// becomes with those values, which must read back from its version
// resource) and checks it against `written`:
// every record parses and says what
// was written; every embedded file's bytes are the file's; every delta,
// applied to the start state it was made from, rebuilds exactly the size
// and checksum recorded for the next state, along the whole chain; nothing
// follows the last record. A mismatch is a fatal error naming the file.
void verifyPatch(platform::FileSystem& files, const std::string& path, const WrittenPatch& written,
                 const Output& out);

}  // namespace builder
