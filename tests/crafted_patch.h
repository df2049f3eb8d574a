// Patch files put together record by record, for the applier's tests of
// what the builder never writes: hostile names, damaged deltas, odd counts.
#pragma once

#include <string>

#include "patchformat/coding.h"
#include "patchformat/container.h"
#include "tests/zlib_support.h"

namespace testing_support {

struct CraftedPatch {
  bool directory = true;
  std::string comment;
  std::string body;  // the logical body after the texts

  void series(std::uint8_t locator = patchformat::kLocateGivenPath, bool moreFollow = false,
              const std::string& backupDir = "Backup") {
    patchformat::appendU8(&body, locator);
    patchformat::appendU8(&body, moreFollow ? patchformat::kSeriesMoreFollow : 0);
    if (directory) body += patchformat::encodeShortString(backupDir);
  }
  void embedded(const std::string& name, const std::string& content, std::uint32_t dosDateTime = 0x5A210000u) {
    patchformat::appendU8(&body, patchformat::kRecordEmbedded);
    body += patchformat::encodeShortString(name);
    patchformat::appendU32(&body, static_cast<std::uint32_t>(content.size()));
    patchformat::appendU32(&body, dosDateTime);
    patchformat::appendU16(&body, 0x20);
    body += content;
  }
  void obsolete(const std::string& name) {
    patchformat::appendU8(&body, patchformat::kRecordObsolete);
    body += patchformat::encodeShortString(name);
  }
  // A patched file of one source whose delta is `streams` (the five in order).
  void patched(const std::string& name, const patchformat::FinalInfo& info, const std::string& sourceName,
               const patchformat::SourceRecord& source, const std::string& streams) {
    if (directory) patchformat::appendU8(&body, patchformat::kRecordPatched);
    body += info.encode();
    if (directory) body += patchformat::encodeShortString(name);
    if (directory) body += patchformat::encodeShortString(sourceName);
    body += source.encode() + streams;
  }
  void end() { patchformat::appendU8(&body, patchformat::kRecordEnd); }

  std::string file(bool compress = true, std::uint8_t flags = 0) const {
    patchformat::PatchHeader h;
    h.kind = directory ? patchformat::kKindDirectory : patchformat::kKindFile;
    h.flags = static_cast<std::uint8_t>(flags | (compress ? patchformat::kHeaderCompressed : 0));
    h.commentLength = static_cast<std::uint16_t>(comment.size());
    const std::string logical = comment + body;
    std::string bytes = h.encode() + (compress ? deflateRaw(logical) : logical);
    patchformat::PatchTrailer t;
    t.length = static_cast<std::uint32_t>(bytes.size() + patchformat::kTrailerSize);
    return bytes + t.encode();
  }
};

}  // namespace testing_support
