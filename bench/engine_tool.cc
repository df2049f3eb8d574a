// The difference engine on its own, without the builder and the applier
// around it, for the benchmark (scripts/bench with ENGINE=engine):
//
//   engine_tool diff [-q] [-m=N] [-y=N] [-r] [-o] [-0..-9] OLD NEW NAME   -> NAME.utp
//   engine_tool apply PATCH OLD OUT
//
// The personality may also come from the program's name: a name ending in
// "diff" or "kestmain" diffs, one ending in "apply" or "pelmora" applies.
//
// NAME.utp is a container of this program only, not a patch file:
//   "VDXB", the 32-byte source record, end size (u32 LE), end checksum
//   (u32 LE), then the five streams in patch order as one raw deflate stream
//   (level 9, window bits -15, memLevel 8, default strategy: the settings of
//   the real patch body, so that sizes compare).
// apply holds only the inflated streams in memory; the old file is read
// through a cache and the output written through a buffer, so memory does
// not grow with the file sizes. Both checksums are checked, as the applier
// does: the old file's against the record, the output's against the end.
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "applier/delta_files.h"
#include "diffengine/engine.h"
#include "diffengine/memory.h"
#include "patchformat/coding.h"
#include "patchformat/container.h"
#include "patchformat/crc.h"
#include "patchformat/delta.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

constexpr char kMagic[4] = {'V', 'D', 'X', 'B'};
constexpr std::size_t kContainerHeaderSize = 4 + patchformat::kSourceRecordSize + 4 + 4;
static_assert(kContainerHeaderSize == 44, "magic, source record, end size, end checksum");
constexpr std::size_t kIoChunk = 1 << 18;

[[noreturn]] void die(const std::string& text) {
  std::fprintf(stderr, "engine_tool: %s\n", text.c_str());
  std::fflush(stdout);
  std::exit(1);
}

int usage() {
  std::fprintf(stderr,
               "usage: engine_tool diff [-q] [-m=MiB] [-y=N] [-r] [-o] [-0..-9] OLD NEW NAME   (writes NAME.utp)\n"
               "       engine_tool apply PATCH OLD OUT\n");
  return 2;
}

// ---- diff ------------------------------------------------------------------

class ToolHost : public diffengine::EngineHost {
 public:
  explicit ToolHost(bool quiet) : quiet_(quiet) {}
  void write(platform::Stream stream, const std::string& text) override {
    if (quiet_) return;
    std::fputs(text.c_str(), stream == platform::Stream::kOut ? stdout : stderr);
  }
  void progress(int phase, long percent) override {
    if (quiet_) return;
    std::fprintf(stderr, "\rphase %d: %3ld%%", phase, percent);
    if (percent >= 100) std::fputc('\n', stderr);
  }

 private:
  bool quiet_;
};

bool parseNumber(const std::string& text, long long* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  *value = std::strtoll(text.c_str(), &end, 0);
  return errno == 0 && *end == '\0';
}

// "-m=64" and "-m64" both give "64".
std::string optionValue(const std::string& arg) {
  std::string rest = arg.substr(2);
  if (!rest.empty() && rest[0] == '=') rest.erase(0, 1);
  return rest;
}

int runDiff(const std::vector<std::string>& args) {
  diffengine::EngineSettings settings;
  std::vector<std::string> files;
  for (const std::string& a : args) {
    if (a.size() < 2 || a[0] != '-') {
      files.push_back(a);
      continue;
    }
    long long v = 0;
    switch (a[1]) {
      case 'q':
        if (a.size() != 2) return usage();
        settings.quiet = true;
        break;
      case 'r':
        if (a.size() != 2) return usage();
        settings.selfReference = true;
        break;
      case 'o':
        if (a.size() != 2) return usage();
        settings.compact = true;
        break;
      case 'm':
        if (!parseNumber(optionValue(a), &v) || v <= 0 || v > (1LL << 30)) die("-m wants a size in MiB above 0");
        settings.memoryLimit = static_cast<std::int64_t>(v) << 20;
        break;
      case 'y':
        if (!parseNumber(optionValue(a), &v) || v < 0 || v > 0xFFFFFFFFLL) die("-y wants a number");
        settings.engineHint = static_cast<std::uint32_t>(v);
        break;
      default:
        if (a.size() == 2 && a[1] >= '0' && a[1] <= '9') {
          settings.searchLevel = a[1] - '0';
          break;
        }
        return usage();
    }
  }
  if (files.size() != 3) return usage();

  ToolHost host(settings.quiet);
  diffengine::StateFile source{files[0]};
  diffengine::StateFile end{files[1]};
  platform::SystemFileSystem fileSystem;
  diffengine::Memory memory;
  diffengine::DifferenceEngine engine(settings, host, fileSystem, memory);
  engine.searchStep(source, end);

  const std::string name = files[2] + ".utp";
  const std::unique_ptr<platform::File> outFile = fileSystem.open(name, platform::File::Mode::kCreate);
  if (!outFile) die("cannot create " + name);
  platform::File& out = *outFile;
  std::string head(kMagic, sizeof kMagic);
  head += engine.sourceRecord().encode();
  patchformat::appendU32(&head, end.size);
  patchformat::appendU32(&head, end.checksum);
  if (head.size() != kContainerHeaderSize || !out.write(head.data(), head.size())) die("cannot write " + name);
  diffengine::DeflateSink sink(9, [&out](const void* data, std::size_t n) { return out.write(data, n); });
  if (!engine.writeStreams(sink) || !sink.finish() || !out.close()) die("cannot write " + name);

  if (!settings.quiet) {
    const patchformat::SourceRecord& r = engine.sourceRecord();
    const diffengine::StepStats& s = engine.stats();
    std::printf("%s: %llu bytes; streams %u %u %u %u %u (%llu) -> deflate %llu\n", name.c_str(),
                static_cast<unsigned long long>(kContainerHeaderSize + sink.compressedBytes()), r.streamLength[0],
                r.streamLength[1], r.streamLength[2], r.streamLength[3], r.streamLength[4],
                static_cast<unsigned long long>(r.streamsTotal()),
                static_cast<unsigned long long>(sink.compressedBytes()));
    std::printf("strategy %d after %d attempt(s); %llu copies, %llu bytes copied of %u; index %llu of %llu entries, "
                "%llu samples, %u keys cut; %llu searches capped\n",
                s.strategy, s.attempts, static_cast<unsigned long long>(s.copies),
                static_cast<unsigned long long>(s.copiedBytes), end.size,
                static_cast<unsigned long long>(s.indexEntries), static_cast<unsigned long long>(s.indexBudget),
                static_cast<unsigned long long>(s.samples), s.keysCut,
                static_cast<unsigned long long>(s.cappedSearches));
  }
  return 0;
}

// ---- apply -----------------------------------------------------------------

// Forwards to the file output and keeps the checksum of what was appended.
class CheckedOutput : public patchformat::DeltaOutput {
 public:
  explicit CheckedOutput(patchformat::DeltaOutput& inner) : inner_(inner) {}
  bool append(const void* data, std::size_t n) override {
    crc_ = patchformat::crc32_noinv(crc_, data, n);
    size_ += n;
    return inner_.append(data, n);
  }
  bool readBack(std::uint64_t offset, void* buffer, std::size_t n) override {
    return inner_.readBack(offset, buffer, n);
  }
  std::uint32_t crc() const { return crc_; }
  std::uint64_t size() const { return size_; }

 private:
  patchformat::DeltaOutput& inner_;
  std::uint32_t crc_ = patchformat::kCrcStart;
  std::uint64_t size_ = 0;
};

// Inflates the rest of `file` from `offset` into exactly `size` bytes; a
// deflate stream that ends early, runs on, or leaves bytes behind is corrupt.
void inflateStreams(platform::File& file, std::uint64_t offset, std::uint64_t size, std::string* out) {
  std::uint64_t fileSize = 0;
  if (!file.size(&fileSize) || fileSize < offset) die("cannot read the patch");
  out->assign(static_cast<std::size_t>(size), '\0');
  Bytef* base = reinterpret_cast<Bytef*>(&(*out)[0]);
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (inflateInit2(&z, -15) != Z_OK) die("inflateInit2 failed");
  std::vector<Bytef> in(kIoChunk);
  std::uint64_t at = offset, filled = 0;
  Bytef spare = 0;  // room for one byte too many, to notice a body that runs on
  int rc = Z_OK;
  for (;;) {
    if (z.avail_in == 0) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(in.size(), fileSize - at));
      if (n == 0) break;
      if (!file.readAt(at, in.data(), n)) die("cannot read the patch");
      at += n;
      z.next_in = in.data();
      z.avail_in = static_cast<uInt>(n);
    }
    const bool full = filled >= size;
    z.next_out = full ? &spare : base + filled;
    z.avail_out = full ? 1 : static_cast<uInt>(std::min<std::uint64_t>(size - filled, 1u << 30));
    const uInt room = z.avail_out;
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) break;
    const uInt produced = room - z.avail_out;
    if (full && produced > 0) break;
    filled += produced;
    if (rc == Z_STREAM_END) break;
  }
  const bool exact = rc == Z_STREAM_END && filled == size && z.avail_in == 0 && at == fileSize;
  inflateEnd(&z);
  if (!exact) die("patch is corrupted (the streams do not match the source record)");
}

int runApply(const std::vector<std::string>& args) {
  if (args.size() != 3) return usage();
  const std::string &patchName = args[0], &oldName = args[1], &outName = args[2];

  platform::SystemFileSystem fileSystem;
  std::unique_ptr<platform::File> patchFile = fileSystem.open(patchName, platform::File::Mode::kRead);
  std::uint8_t head[kContainerHeaderSize];
  if (!patchFile || !patchFile->readAt(0, head, sizeof head)) {
    die("cannot read " + patchName);
  }
  if (std::memcmp(head, kMagic, sizeof kMagic) != 0) die(patchName + " is no engine_tool patch");
  const patchformat::SourceRecord record = patchformat::SourceRecord::decode(head + 4);
  const std::uint32_t endSize = patchformat::getU32(head + 4 + patchformat::kSourceRecordSize);
  const std::uint32_t endChecksum = patchformat::getU32(head + 8 + patchformat::kSourceRecordSize);

  std::string streams;
  inflateStreams(*patchFile, kContainerHeaderSize, record.streamsTotal(), &streams);
  patchFile.reset();

  const std::unique_ptr<platform::File> oldFile = fileSystem.open(oldName, platform::File::Mode::kRead);
  std::uint64_t oldSize = 0;
  if (!oldFile || !oldFile->size(&oldSize)) die("cannot read " + oldName);
  platform::File& old = *oldFile;
  if (oldSize != record.size) die(oldName + " is not the file this patch was made from (size)");
  {
    std::vector<std::uint8_t> buffer(kIoChunk);
    std::uint32_t crc = patchformat::kCrcStart;
    for (std::uint64_t at = 0; at < oldSize;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), oldSize - at));
      if (!old.readAt(at, buffer.data(), n)) die("cannot read " + oldName);
      crc = patchformat::crc32_noinv(crc, buffer.data(), n);
      at += n;
    }
    if (crc != record.checksum) die(oldName + " is not the file this patch was made from (checksum)");
  }

  const patchformat::DeltaParams params = record.params(record.size, endSize);

  std::vector<patchformat::MemoryReader> readers;
  readers.reserve(patchformat::kDeltaStreamCount);
  patchformat::DeltaStreams ds;
  std::size_t at = 0;
  for (int i = 0; i < patchformat::kDeltaStreamCount; ++i) {
    readers.emplace_back(streams.data() + at, record.streamLength[i]);
    ds.reader[i] = &readers.back();
    ds.length[i] = record.streamLength[i];
    at += record.streamLength[i];
  }

  const std::unique_ptr<platform::File> outFile = fileSystem.open(outName, platform::File::Mode::kCreateReadWrite);
  if (!outFile) die("cannot create " + outName);
  applier::FileSource source(old);
  applier::FileOutput fileOutput(*outFile);
  CheckedOutput output(fileOutput);
  const patchformat::DeltaError e = patchformat::decodeDelta(params, ds, source, output);
  if (e != patchformat::DeltaError::kNone) die(patchformat::deltaErrorText(e));
  if (!fileOutput.flush() || !outFile->close()) die("cannot write " + outName);
  if (output.size() != endSize) die("patched file has the wrong size");
  if (output.crc() != endChecksum) die("patched file has the wrong checksum");
  return 0;
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Names in the system's code page, as the file system takes them.
  std::vector<std::string> args = platform::programArguments(argc, argv);
  std::string self = args.empty() ? "" : args[0];
  if (!args.empty()) args.erase(args.begin());
  const std::size_t slash = self.find_last_of('/');
  if (slash != std::string::npos) self.erase(0, slash + 1);

  std::string mode;
  if (!args.empty() && (args[0] == "diff" || args[0] == "apply")) {
    mode = args[0];
    args.erase(args.begin());
  } else if (endsWith(self, "diff") || endsWith(self, "kestmain")) {
    mode = "diff";
  } else if (endsWith(self, "apply") || endsWith(self, "pelmora")) {
    mode = "apply";
  } else {
    return usage();
  }
  try {
    return mode == "diff" ? runDiff(args) : runApply(args);
  } catch (const diffengine::EngineError& e) {
    die(e.text());
  } catch (const std::bad_alloc&) {
    die("out of memory");
  } catch (const std::exception& e) {
    die(e.what());
  }
}
