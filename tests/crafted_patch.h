// Patch files put together record by record, for the applier's tests of
// what the builder never writes: hostile names, damaged deltas, odd counts.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "patchformat/container.h"
#include "tests/lzma_support.h"
#include "tests/zlib_support.h"

namespace testing_support {

struct CraftedPatch {
  bool directory = true;
  std::string comment;
  std::string body;  // the logical body after the texts
  std::uint32_t lzmaDictionary = 0;  // an LZMA body's dictionary; 0: the body's size

  void series(std::uint8_t locator = patchformat::kLocateGivenPath, bool moreFollow = false,
              const std::string& backupDir = "Backup") {
    patchformat::SeriesHeader h;
    h.locator = locator;
    h.flags = moreFollow ? patchformat::kSeriesMoreFollow : 0;
    h.backupDir = backupDir;
    stored(records().writeSeriesHeader(directory, h));
  }
  void embedded(const std::string& name, const std::string& content, std::uint32_t dosDateTime = 0x5A210000u) {
    stored(records().writeEmbeddedHeader(name, static_cast<std::uint32_t>(content.size()), dosDateTime, 0x20));
    body += content;
  }
  void obsolete(const std::string& name) { stored(records().writeObsolete(name)); }
  // A patched file of one source whose delta is `streams` (the five in order).
  void patched(const std::string& name, const patchformat::FinalInfo& info, const std::string& sourceName,
               const patchformat::SourceRecord& source, const std::string& streams) {
    const patchformat::ExclusionWindow whole;
    stored(records().writePatchedFile(directory, info, whole, name));
    stored(records().writeSource(directory, info, sourceName, source, whole));
    body += streams;
  }
  void end() { records().writeEnd(); }
  // Appends `n` zero bytes to the body without holding them; a deflated
  // file carries them in about 1 KiB per MiB (an LZMA body holds them while
  // it is encoded).
  void zeros(std::uint64_t n) {
    runs.push_back(Run{body, n});
    body.clear();
  }
  void embeddedZeros(const std::string& name, std::uint32_t size) {
    stored(records().writeEmbeddedHeader(name, size, 0x5A210000u, 0x20));
    zeros(size);
  }

  std::string file(bool compress = true, std::uint8_t flags = 0) const {
    return file(compress ? patchformat::BodyCoding::kDeflate : patchformat::BodyCoding::kStored, flags);
  }
  // The body stored, deflated or as one LZMA stream (whose dictionary
  // spans the body, or `lzmaDictionary` bytes when set).
  std::string file(patchformat::BodyCoding coding, std::uint8_t flags = 0) const {
    const bool compress = coding == patchformat::BodyCoding::kDeflate;
    patchformat::PatchHeader h;
    h.kind = directory ? patchformat::kKindDirectory : patchformat::kKindFile;
    h.flags = static_cast<std::uint8_t>(flags | (compress ? patchformat::kHeaderCompressed : 0));
    h.commentLength = static_cast<std::uint16_t>(comment.size());
    std::string bytes;
    if (coding == patchformat::BodyCoding::kLzma) {
      std::string logical = comment;
      for (const Run& r : runs) logical += r.before + std::string(static_cast<std::size_t>(r.zeros), '\0');
      const std::string stream = lzmaPack(logical + body, &h, lzmaDictionary, !runs.empty());
      bytes = h.encode() + stream;
    } else if (runs.empty()) {
      const std::string logical = comment + body;
      bytes = h.encode() + (compress ? deflateRaw(logical) : logical);
    } else {
      // Pieces deflated on their own and flushed to a byte boundary join
      // into one stream; a final empty block ends it.
      if (!compress) throw std::logic_error("CraftedPatch: zero runs need a compressed body");
      bytes = h.encode();
      std::string text = comment;
      for (const Run& r : runs) {
        bytes += deflateRaw(text + r.before, Z_FULL_FLUSH);
        text.clear();
        const std::string mebibyte = deflateRaw(std::string(1 << 20, '\0'), Z_FULL_FLUSH);
        for (std::uint64_t i = 0; i < r.zeros >> 20; ++i) bytes += mebibyte;
        bytes += deflateRaw(std::string(static_cast<std::size_t>(r.zeros & ((1 << 20) - 1)), '\0'), Z_FULL_FLUSH);
      }
      bytes += deflateRaw(body, Z_FULL_FLUSH) + std::string("\x03\x00", 2);
    }
    patchformat::PatchTrailer t;
    t.length = static_cast<std::uint32_t>(bytes.size() + patchformat::kTrailerSize);
    return bytes + t.encode();
  }

 private:
  struct Run {
    std::string before;  // body bytes before the zeros
    std::uint64_t zeros;
  };
  std::vector<Run> runs;
  patchformat::BodyWriter records() { return patchformat::BodyWriter(&body); }
  // A name the format cannot hold is a mistake in the test itself.
  static void stored(bool ok) {
    if (!ok) throw std::length_error("CraftedPatch: a name longer than 255 bytes");
  }
};

}  // namespace testing_support
