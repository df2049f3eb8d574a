// Speed of the format code, measured against plain copying in one run:
//   format_bench [MiB]      (default 128)
// 1. crc32_noinv over a buffer in memory, in GB/s.
// 2. Decoding a mostly-copy delta from files (streams in one file, source
//    file, output file) against `cp` of the target file.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "applier/delta_files.h"
#include "patchformat/crc.h"
#include "tests/delta_writer.h"

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool writeFile(const std::string& path, const std::string& data) {
  return platform::SystemFileSystem().writeWholeFile(path, data);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? static_cast<std::size_t>(std::atol(argv[1])) : 128;
  const std::size_t size = mib << 20;
  std::string data(size, '\0');
  std::mt19937 rng(42);
  for (std::size_t i = 0; i < size; i += 4) {
    const std::uint32_t v = rng();
    data.replace(i, 4, reinterpret_cast<const char*>(&v), 4);
  }

  // 1. Checksum.
  auto t0 = std::chrono::steady_clock::now();
  std::uint32_t crc = 0;
  for (int r = 0; r < 4; ++r) crc = patchformat::crc32_noinv(data.data(), data.size());
  const double crcTime = seconds(t0) / 4;
  std::printf("crc32_noinv: %.2f GB/s (%zu MiB in %.3f s, %08x)\n", size / crcTime / 1e9, mib, crcTime, crc);

  // 2. A mostly-copy delta: the target is the source in 64 KiB pieces, each
  // followed by 4 mismatch bytes and, every 16th piece, a 100-byte insert.
  testing_support::DeltaWriter w;
  w.params.sourceSize = static_cast<std::uint32_t>(size);
  w.params.mismatchGroup = 190;
  w.params.literalBlockSize = 20;
  std::string target;
  target.reserve(size + size / 100);
  struct Op { std::size_t copy; bool insert; };
  std::vector<Op> ops;
  for (std::size_t at = 0, n = 0; at + 65536 + 4 <= size; at += 65536 + 4, ++n) {
    target.append(data, at, 65536 + 4);
    const bool insert = n % 16 == 15;
    if (insert) target.append(100, 'I');
    ops.push_back({65536, insert});
  }
  w.params.targetSize = static_cast<std::uint32_t>(target.size());
  for (std::size_t n = 0; n < ops.size(); ++n) {
    const Op& op = ops[n];
    // Every group of 190 copies starts with its mismatch length.
    w.copy(static_cast<std::int64_t>(op.copy), n == 0 ? 0 : 4, n % 190 == 0 ? 4 : -1, std::string(4, '\0'));
    if (op.insert) w.insert(std::string(100, 'I'));
  }
  const std::string dir = "format_bench.tmp.";
  const std::string s[5] = {w.contents(w.numbers), w.contents(w.bitsA), w.contents(w.bitsB), w.contents(w.literals),
                            w.contents(w.mismatches)};
  std::string all;
  std::uint64_t offsets[5];
  for (int i = 0; i < 5; ++i) {
    offsets[i] = all.size();
    all += s[i];
  }
  if (!writeFile(dir + "streams", all) || !writeFile(dir + "source", data) || !writeFile(dir + "target", target)) {
    std::fprintf(stderr, "format_bench: cannot write the test files\n");
    return 1;
  }

  double best = 1e9, bestCp = 1e9;
  for (int r = 0; r < 3; ++r) {
    t0 = std::chrono::steady_clock::now();
    {
      platform::SystemFileSystem files;
      const std::unique_ptr<platform::File> streamFile = files.open(dir + "streams", platform::File::Mode::kRead);
      const std::unique_ptr<platform::File> sourceFile = files.open(dir + "source", platform::File::Mode::kRead);
      const std::unique_ptr<platform::File> outFile = files.open(dir + "out", platform::File::Mode::kCreateReadWrite);
      if (!streamFile || !sourceFile || !outFile) return 1;
      std::vector<applier::FileStreamReader> readers;
      readers.reserve(5);
      patchformat::DeltaStreams streams;
      for (int i = 0; i < 5; ++i) {
        readers.emplace_back(*streamFile, offsets[i], s[i].size());
        streams.reader[i] = &readers.back();
        streams.length[i] = static_cast<std::uint32_t>(s[i].size());
      }
      applier::FileSource source(*sourceFile);
      applier::FileOutput output(*outFile);
      if (patchformat::decodeDelta(w.params, streams, source, output) != patchformat::DeltaError::kNone ||
          !output.flush()) {
        std::fprintf(stderr, "format_bench: decoding failed: %s\n", patchformat::deltaErrorText(patchformat::decodeDelta(w.params, streams, source, output)));
        return 1;
      }
    }
    best = std::min(best, seconds(t0));
    t0 = std::chrono::steady_clock::now();
    if (std::system(("cp " + dir + "target " + dir + "copy").c_str()) != 0) return 1;
    bestCp = std::min(bestCp, seconds(t0));
  }
  std::string result;
  platform::SystemFileSystem().readWholeFile(dir + "out", &result);
  const bool same = result == target;
  std::printf("decode %zu MiB mostly-copy delta (%zu stream bytes): %.3f s; cp of the target: %.3f s; ratio %.2f%s\n",
              target.size() >> 20, all.size(), best, bestCp, best / bestCp, same ? "" : "  OUTPUT DIFFERS");
  for (const char* f : {"streams", "source", "target", "out", "copy"}) platform::SystemFileSystem().deleteFile(dir + f);
  return same ? 0 : 1;
}
