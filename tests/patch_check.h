// Reads a patch file with the format's own reader and checks that it
// rebuilds the end state: every patched file from every start state that
// holds one of its sources, every embedded file byte for byte, and that
// removed files are missing from the end state.
#pragma once

#include <string>
#include <vector>

#include "patchformat/container.h"
#include "patchformat/crc.h"
#include "platform/files.h"
#include "tests/delta_writer.h"
#include "tests/zlib_support.h"

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
  if (s.header.flags & patchformat::kHeaderCompressed) {
    if (!inflateRaw(stored, &s.body)) return s.error = "bad deflate", s;
  } else {
    s.body = stored;
  }
  patchformat::MemoryReader in(s.body);
  patchformat::BodyReader body(in, s.body.size());
  std::string creator, comment;
  if (!body.readTexts(s.header, &creator, &comment)) return s.error = "texts", s;
  const bool dir = s.header.isDirectoryPatch();
  for (;; ++s.series) {
    patchformat::SeriesHeader series;
    if (!body.readSeriesHeader(dir, s.series, &series)) return s.error = "series header", s;
    for (;;) {
      patchformat::RecordType type = patchformat::kRecordPatched;
      if (dir && !body.readRecordType(&type)) return s.error = "record type", s;
      if (type == patchformat::kRecordEnd) break;
      std::string name;
      if (type == patchformat::kRecordEmbedded) {
        std::uint32_t size, date;
        std::uint16_t attributes;
        if (!body.readEmbeddedHeader(&name, &size, &date, &attributes)) return s.error = "embedded", s;
        std::string content(size, '\0');
        if (!body.readBytes(&content[0], size)) return s.error = "embedded bytes", s;
        std::string expected;
        files.readWholeFile(joined(endRoot, name), &expected);
        if (content != expected) return s.error = "embedded differs: " + name, s;
        ++s.embedded;
        s.names.push_back("+" + name);
        continue;
      }
      if (type == patchformat::kRecordObsolete) {
        if (!body.readObsolete(&name)) return s.error = "obsolete", s;
        if (files.fileExists(joined(endRoot, name))) return s.error = "removes an end file: " + name, s;
        ++s.removed;
        s.names.push_back("-" + name);
        continue;
      }
      patchformat::FinalInfo info;
      patchformat::ExclusionWindow window;
      if (!body.readPatchedFile(dir, &info, &window, &name)) return s.error = "patched file", s;
      struct Source {
        std::string name;
        patchformat::SourceRecord record;
        std::string streams[5];
      };
      std::vector<Source> sources(info.sourceCount);
      for (Source& src : sources) {
        if (!body.readSource(dir, info, &src.name, &src.record, &window)) return s.error = "source", s;
        for (int i = 0; i < 5; ++i) {
          src.streams[i].resize(src.record.streamLength[i]);
          if (!body.readBytes(&src.streams[i][0], src.streams[i].size())) return s.error = "streams", s;
        }
      }
      std::string expected;
      const std::string endPath = dir ? joined(endRoot, name) : endRoot;
      files.readWholeFile(endPath, &expected);
      if (info.size != expected.size() || info.checksum != patchformat::crc32_noinv(expected.data(), expected.size())) {
        return s.error = "final info of " + name, s;
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
              return s.error = "delta of " + name, s;
            }
            data = next;
          }
          if (data != expected) return s.error = "rebuilt file differs: " + name, s;
          rebuilt = true;
        }
      }
      if (!rebuilt) return s.error = "no start state rebuilds " + name, s;
      ++s.patched;
      ++s.rebuilt;
      s.names.push_back(name);
      if (!dir) break;
    }
    if (!series.moreFollow()) break;
  }
  return s;
}

}  // namespace testing_support
