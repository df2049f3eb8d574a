// The contents listing (pelmora -i): what a patch holds and which versions
// of its files it accepts, read and checked record by record as the check
// pass reads them, without looking for a target or touching one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "patchformat/container.h"

namespace applier {

struct ListedVersion {
  std::string name;  // a start version's own name, when it differs from the file's
  std::uint32_t size = 0;
  std::uint32_t checksum = 0;
  patchformat::ExclusionWindow window;  // bytes the checksum skips (length 0: none)
};

struct ListedFile {
  patchformat::RecordType kind = patchformat::kRecordPatched;
  std::string name;  // empty in a single-file patch: the file the user names
  // The final version (an embedded file: its content); an obsolete file has none.
  ListedVersion final;
  std::uint16_t attributes = 0;
  bool optional = false;
  std::vector<ListedVersion> sources;  // a patched file's accepted start versions, in chain order
};

struct ListedSeries {
  patchformat::SeriesHeader header;
  std::vector<ListedFile> files;
};

struct PatchContents {
  std::string patchName;
  patchformat::PatchHeader header;
  bool directoryPatch = false;
  std::uint64_t fileBytes = 0;     // the whole file, a program in front of the patch included
  std::uint64_t patchOffset = 0;   // where the patch data begins in it
  std::uint64_t storedBody = 0;    // body bytes as stored
  std::uint64_t expandedBody = 0;  // body bytes read, expanded
  std::string creator;             // lines separated by "\n"
  std::string comment;             // lines separated by "\n"
  std::vector<ListedSeries> series;
};

// As shown on the console, lines ending in "\n" (system text, code page 1252).
std::string contentsText(const PatchContents& contents);
// One JSON document (UTF-8) holding the same.
std::string contentsJson(const PatchContents& contents);

}  // namespace applier
