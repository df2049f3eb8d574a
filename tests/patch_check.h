// Reads a patch file with the format's own reader and checks that it
// rebuilds the end state: every patched file from every start state that
// holds one of its sources, every embedded file byte for byte, and that
// removed files are missing from the end state.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "patchformat/body_coding.h"
#include "patchformat/body_walk.h"
#include "patchformat/container.h"
#include "patchformat/crc.h"
#include "platform/files.h"
#include "tests/delta_writer.h"

namespace testing_support {

struct PatchSummary {
  std::string error;  // empty when the patch checks out
  patchformat::PatchHeader header;
  std::size_t series = 0;
  std::size_t patched = 0;
  std::size_t embedded = 0;
  std::size_t removed = 0;
  std::size_t rebuilt = 0;  // end files rebuilt from some start state
  std::vector<std::string> names;  // record names in order ("+" embedded, "-" removed)
  std::string body;                // the logical body
};


inline std::string joined(const std::string& root, const std::string& name) {
  return name.empty() ? root : root + "\\" + name;
}

// `startRoots` and `endRoot` are the states as given to the builder (files
// for a file patch, directories otherwise). One target.
inline PatchSummary checkPatch(const std::string& patchPath, const std::vector<std::string>& startRoots,
                               const std::string& endRoot) {
  PatchSummary s;
  platform::SystemFileSystem files;
  std::string file;
  if (!files.readWholeFile(patchPath, &file)) return s.error = "unreadable", s;
  patchformat::MemoryRandomReader random(file);
  const patchformat::PatchLocation where = patchformat::locatePatch(random);
  if (where.status != patchformat::LocateStatus::kOk) return s.error = "not located", s;
  s.header = where.header;
  const std::string stored = file.substr(where.bodyStart, where.bodyEnd - where.bodyStart);
  if (std::unique_ptr<patchformat::BodyExpander> expander = patchformat::makeBodyExpander(s.header)) {
    // Deflate or LZMA: the whole stream, and nothing behind it.
    patchformat::MemoryReader in(stored);
    patchformat::ExpandReader expanded(in, std::move(expander));
    char piece[65536];
    long got;
    while ((got = expanded.read(piece, sizeof piece)) > 0) s.body.append(piece, static_cast<std::size_t>(got));
    if (got < 0 || !expanded.ended()) return s.error = "bad compressed body", s;
  } else {
    s.body = stored;
  }
  patchformat::MemoryReader in(s.body);
  const bool dir = s.header.isDirectoryPatch();
  patchformat::BodyWalker walk = patchformat::BodyWalker::fromStart(in, s.header, dir, s.body.size());
  struct Source {
    std::string name;
    patchformat::SourceRecord record;
    std::string streams[5];
  };
  std::vector<Source> sources;
  // A patched file is checked once its last source's streams are read.
  const auto checkPatched = [&](const patchformat::PatchedFileRecord& file) -> std::string {
    const std::string& name = file.name;
    const patchformat::FinalInfo& info = file.info;
    std::string expected;
    const std::string endPath = dir ? joined(endRoot, name) : endRoot;
    files.readWholeFile(endPath, &expected);
    if (info.size != expected.size() || info.checksum != patchformat::crc32_noinv(expected.data(), expected.size())) {
      return "final info of " + name;
    }
    bool rebuilt = false;
    for (std::size_t j = 0; j < sources.size(); ++j) {
      for (const std::string& root : startRoots) {
        std::string data;
        if (!files.readWholeFile(dir ? joined(root, sources[j].name) : root, &data)) continue;
        if (patchformat::crc32_noinv(data.data(), data.size()) != sources[j].record.checksum) continue;
        for (std::size_t k = j; k < sources.size(); ++k) {
          DeltaWriter w;
          w.params.sourceSize = sources[k].record.size;
          w.params.targetSize = k + 1 < sources.size() ? sources[k + 1].record.size : info.size;
          w.params.flags = sources[k].record.deltaFlags;
          w.params.mismatchGroup = sources[k].record.mismatchGroup;
          w.params.literalBlockSize = sources[k].record.literalBlockSize;
          std::string next;
          if (w.decodeStreams(sources[k].streams, data, &next) != patchformat::DeltaError::kNone) {
            return "delta of " + name;
          }
          data = next;
        }
        if (data != expected) return "rebuilt file differs: " + name;
        rebuilt = true;
      }
    }
    if (!rebuilt) return "no start state rebuilds " + name;
    ++s.patched;
    ++s.rebuilt;
    s.names.push_back(name);
    return "";
  };
  for (;;) {
    switch (walk.next()) {
      case patchformat::BodyStep::kTexts:
        break;
      case patchformat::BodyStep::kSeries:
        s.series = walk.seriesIndex();
        break;
      case patchformat::BodyStep::kEmbeddedFile: {
        const patchformat::EmbeddedFileRecord& file = walk.embeddedFile();
        std::string content(file.size, '\0');
        if (!walk.readContent(&content[0], file.size)) return s.error = "embedded bytes", s;
        std::string expected;
        files.readWholeFile(joined(endRoot, file.name), &expected);
        if (content != expected) return s.error = "embedded differs: " + file.name, s;
        ++s.embedded;
        s.names.push_back("+" + file.name);
        break;
      }
      case patchformat::BodyStep::kObsoleteFile:
        if (files.fileExists(joined(endRoot, walk.obsoleteName()))) {
          return s.error = "removes an end file: " + walk.obsoleteName(), s;
        }
        ++s.removed;
        s.names.push_back("-" + walk.obsoleteName());
        break;
      case patchformat::BodyStep::kPatchedFile:
        sources.clear();
        if (walk.patchedFile().info.sourceCount == 0 && !(s.error = checkPatched(walk.patchedFile())).empty()) {
          return s;
        }
        break;
      case patchformat::BodyStep::kSource: {
        Source& src = sources.emplace_back();
        src.name = walk.source().name;
        src.record = walk.source().record;
        for (int i = 0; i < 5; ++i) {
          src.streams[i].resize(src.record.streamLength[i]);
          if (!walk.readContent(&src.streams[i][0], src.streams[i].size())) return s.error = "streams", s;
        }
        if (sources.size() == walk.patchedFile().info.sourceCount &&
            !(s.error = checkPatched(walk.patchedFile())).empty()) {
          return s;
        }
        break;
      }
      case patchformat::BodyStep::kSeriesEnd:
        break;
      case patchformat::BodyStep::kBodyEnd:
        return s;
      case patchformat::BodyStep::kFailed:
        switch (walk.failedStep()) {
          case patchformat::BodyStep::kTexts: return s.error = "texts", s;
          case patchformat::BodyStep::kSeries: return s.error = "series header", s;
          case patchformat::BodyStep::kEmbeddedFile: return s.error = "embedded", s;
          case patchformat::BodyStep::kObsoleteFile: return s.error = "obsolete", s;
          case patchformat::BodyStep::kPatchedFile: return s.error = "patched file", s;
          case patchformat::BodyStep::kSource: return s.error = "source", s;
          default: return s.error = "record type", s;
        }
    }
  }
  return s;
}

}  // namespace testing_support
