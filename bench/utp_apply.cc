// A minimal applier of the builder's plain patch files, for the benchmark
// until the real appliers exist: a file patch turns OLD into OUT, a
// directory patch updates DIR in place (patched, embedded and removed
// files; no backups, no checks beyond the checksums).
//   engine_tool utp-apply PATCH OLD OUT
//   engine_tool utp-apply PATCH DIR
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/utp_apply.h"
#include "patchformat/container.h"
#include "patchformat/crc.h"
#include "patchformat/delta.h"
#include "platform/files.h"

namespace {

bool inflateRaw(const std::string& in, std::string* out) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  std::vector<char> buffer(1 << 20);
  int r;
  do {
    z.next_out = reinterpret_cast<Bytef*>(buffer.data());
    z.avail_out = static_cast<uInt>(buffer.size());
    r = inflate(&z, Z_NO_FLUSH);
    out->append(buffer.data(), buffer.size() - z.avail_out);
  } while (r == Z_OK);
  inflateEnd(&z);
  return r == Z_STREAM_END;
}

bool writeFile(const std::string& path, const std::string& bytes) {
  const std::filesystem::path parent = std::filesystem::path(platform::toNative(path)).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  platform::File f;
  return f.open(path, platform::File::Mode::kCreate) && f.write(bytes.data(), bytes.size()) && f.close();
}

struct PendingDelta {
  patchformat::DeltaParams params;
  std::string streams[5];
};

int fail(const std::string& why) {
  std::fprintf(stderr, "utp-apply: %s\n", why.c_str());
  return 1;
}

}  // namespace

int runUtpApply(const std::vector<std::string>& args) {
  if (args.size() != 2 && args.size() != 3) return fail("usage: utp-apply PATCH OLD OUT | utp-apply PATCH DIR");
  std::string file;
  // The builder appends ".utp" to the name it is given; callers may pass either.
  if (!platform::readWholeFile(args[0], &file) && !platform::readWholeFile(args[0] + ".utp", &file)) {
    return fail("cannot read " + args[0]);
  }
  patchformat::MemoryRandomReader random(file);
  const patchformat::PatchLocation where = patchformat::locatePatch(random);
  if (where.status != patchformat::LocateStatus::kOk) return fail("not a patch file");
  const std::string stored = file.substr(where.bodyStart, where.bodyEnd - where.bodyStart);
  std::string body;
  if (where.header.flags & patchformat::kHeaderCompressed) {
    if (!inflateRaw(stored, &body)) return fail("damaged body");
  } else {
    body = stored;
  }
  file.clear();
  patchformat::MemoryReader in(body);
  patchformat::BodyReader reader(in, body.size());
  std::string creator, comment;
  if (!reader.readTexts(where.header, &creator, &comment)) return fail("damaged texts");
  const bool dir = where.header.isDirectoryPatch();
  const std::string root = args.size() == 2 ? args[1] : "";
  const auto at = [&root](const std::string& name) { return root + "/" + name; };
  // Sources are read from the tree as it was: results are written at the end.
  std::vector<std::pair<std::string, std::string>> results;
  std::vector<std::string> removals;
  for (std::size_t series = 0;; ++series) {
    patchformat::SeriesHeader header;
    if (!reader.readSeriesHeader(dir, series, &header)) return fail("damaged series");
    for (;;) {
      patchformat::RecordType type = patchformat::kRecordPatched;
      if (dir && !reader.readRecordType(&type)) return fail("damaged record");
      if (type == patchformat::kRecordEnd) break;
      std::string name;
      if (type == patchformat::kRecordEmbedded) {
        std::uint32_t size, date;
        std::uint16_t attributes;
        if (!reader.readEmbeddedHeader(&name, &size, &date, &attributes)) return fail("damaged embedded file");
        std::string content(size, '\0');
        if (!reader.readBytes(&content[0], size)) return fail("embedding " + name);
        results.emplace_back(at(name), content);
        continue;
      }
      if (type == patchformat::kRecordObsolete) {
        if (!reader.readObsolete(&name)) return fail("damaged remove record");
        removals.push_back(at(name));
        continue;
      }
      patchformat::FinalInfo info;
      patchformat::ExclusionWindow window;
      if (!reader.readPatchedFile(dir, &info, &window, &name)) return fail("damaged patched file");
      const std::string oldPath = dir ? at(name) : args[1];
      std::string current;
      const bool haveOld = platform::readWholeFile(oldPath, &current);
      const std::uint32_t crc = haveOld ? patchformat::crc32_noinv(current.data(), current.size()) : 0;
      bool started = false;
      std::vector<PendingDelta> deltas;
      for (std::uint16_t k = 0; k < info.sourceCount; ++k) {
        std::string sourceName;
        patchformat::SourceRecord record;
        if (!reader.readSource(dir, info, &sourceName, &record, &window)) return fail("damaged source");
        std::string streams[5];
        for (int i = 0; i < 5; ++i) {
          streams[i].resize(record.streamLength[i]);
          if (!reader.readBytes(&streams[i][0], streams[i].size())) return fail("damaged streams");
        }
        if (!started && dir && !sourceName.empty() && sourceName != name) {
          std::string other;
          if (platform::readWholeFile(at(sourceName), &other) &&
              patchformat::crc32_noinv(other.data(), other.size()) == record.checksum) {
            current = other;
            started = true;
          }
        }
        if (!started && haveOld && crc == record.checksum) started = true;
        if (!started) continue;
        patchformat::DeltaParams params;
        params.sourceSize = record.size;
        params.flags = record.deltaFlags;
        params.mismatchGroup = record.mismatchGroup;
        params.literalBlockSize = record.literalBlockSize;
        deltas.push_back(PendingDelta{params, {streams[0], streams[1], streams[2], streams[3], streams[4]}});
      }
      if (!started) return fail("no source state for " + name);
      for (std::size_t k = 0; k < deltas.size(); ++k) {
        // Each delta makes the next state: the final file after the last.
        PendingDelta& d = deltas[k];
        d.params.targetSize = k + 1 < deltas.size() ? deltas[k + 1].params.sourceSize : info.size;
        patchformat::MemoryReader r0(d.streams[0]), r1(d.streams[1]), r2(d.streams[2]), r3(d.streams[3]),
            r4(d.streams[4]);
        patchformat::DeltaStreams ds;
        patchformat::ByteReader* readers[5] = {&r0, &r1, &r2, &r3, &r4};
        for (int i = 0; i < 5; ++i) {
          ds.reader[i] = readers[i];
          ds.length[i] = static_cast<std::uint32_t>(d.streams[i].size());
        }
        patchformat::MemoryRandomReader source(current);
        patchformat::MemoryOutput output;
        if (patchformat::decodeDelta(d.params, ds, source, output) != patchformat::DeltaError::kNone) {
          return fail("delta of " + name);
        }
        current = output.bytes();
      }
      deltas.clear();
      if (patchformat::crc32_noinv(current.data(), current.size()) != info.checksum) return fail("checksum of " + name);
      results.emplace_back(dir ? at(name) : args[2], current);
      if (!dir) break;
    }
    if (!header.moreFollow()) break;
  }
  for (const std::string& path : removals) platform::deleteFile(path);
  for (const auto& r : results) {
    if (!writeFile(r.first, r.second)) return fail("writing " + r.first);
  }
  return 0;
}
