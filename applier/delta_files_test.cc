#include "applier/delta_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>

#include "tests/random_delta.h"

namespace applier {
namespace {

std::string tempPath(const std::string& name) { return ::testing::TempDir() + name; }

platform::SystemFileSystem g_files;

bool writeFile(const std::string& path, const std::string& data) { return g_files.writeWholeFile(path, data); }

// Streams stored back to back in one file, as in an expanded patch body.
TEST(DeltaFilesTest, DecodesFromFilesAsFromMemory) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 20; ++round) {
    testing_support::RandomDelta d;
    testing_support::makeRandomDelta(rng, &d);
    using testing_support::DeltaWriter;
    std::string all = "prefix";
    std::uint64_t offsets[5];
    patchformat::DeltaStreams streams;
    patchformat::StreamWriter* byteStreams[5] = {&d.writer.numbers, &d.writer.bitsA, &d.writer.bitsB,
                                                 &d.writer.literals, &d.writer.mismatches};
    for (int i = 0; i < 5; ++i) {
      const std::string s = DeltaWriter::contents(*byteStreams[i]);
      offsets[i] = all.size();
      streams.length[i] = static_cast<std::uint32_t>(s.size());
      all += s;
    }
    ASSERT_TRUE(writeFile(tempPath("streams.tmp"), all));
    ASSERT_TRUE(writeFile(tempPath("source.tmp"), d.source));
    const std::unique_ptr<platform::File> streamFile = g_files.open(tempPath("streams.tmp"), platform::File::Mode::kRead);
    const std::unique_ptr<platform::File> sourceFile = g_files.open(tempPath("source.tmp"), platform::File::Mode::kRead);
    const std::unique_ptr<platform::File> outFile =
        g_files.open(tempPath("out.tmp"), platform::File::Mode::kCreateReadWrite);
    ASSERT_TRUE(streamFile && sourceFile && outFile);
    std::vector<FileStreamReader> readers;
    readers.reserve(5);
    for (int i = 0; i < 5; ++i) {
      readers.emplace_back(*streamFile, offsets[i], streams.length[i]);
      streams.reader[i] = &readers.back();
    }
    FileSource source(*sourceFile);
    FileOutput output(*outFile);
    ASSERT_EQ(patchformat::decodeDelta(d.writer.params, streams, source, output), patchformat::DeltaError::kNone);
    ASSERT_TRUE(output.flush());
    outFile->close();
    std::string result;
    ASSERT_TRUE(g_files.readWholeFile(tempPath("out.tmp"), &result));
    EXPECT_EQ(result, d.target) << "round " << round;
  }
  g_files.deleteFile(tempPath("streams.tmp"));
  g_files.deleteFile(tempPath("source.tmp"));
  g_files.deleteFile(tempPath("out.tmp"));
}

// The block cache is sized to the file: one block, a few, and more blocks
// than the cache has slots, read at offsets that cross blocks and come
// back to blocks whose slot was taken meanwhile.
TEST(DeltaFilesTest, SourceReadsEveryRangeWhateverTheFileSize) {
  constexpr std::size_t kBlock = 1 << 16;
  std::mt19937 rng(20261209);
  for (std::size_t size : {std::size_t{10}, 3 * kBlock + 5, 40 * kBlock}) {
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    ASSERT_TRUE(writeFile(tempPath("blocks.tmp"), data));
    const std::unique_ptr<platform::File> file = g_files.open(tempPath("blocks.tmp"), platform::File::Mode::kRead);
    ASSERT_TRUE(file);
    FileSource source(*file);
    ASSERT_EQ(source.size(), size);
    std::string buffer(3000, '\0');
    for (int i = 0; i < 300; ++i) {
      const std::size_t n = std::min<std::size_t>(size, rng() % buffer.size() + 1);
      const std::size_t at = rng() % (size - n + 1);
      ASSERT_TRUE(source.readAt(at, &buffer[0], n)) << size << " at " << at;
      ASSERT_EQ(buffer.substr(0, n), data.substr(at, n)) << size << " at " << at;
    }
    EXPECT_FALSE(source.readAt(size - 1, &buffer[0], 2)) << "nothing past the end";
  }
  g_files.deleteFile(tempPath("blocks.tmp"));
}

TEST(DeltaFilesTest, OutputReadsBackAcrossItsBuffer) {
  const std::unique_ptr<platform::File> file =
      g_files.open(tempPath("readback.tmp"), platform::File::Mode::kCreateReadWrite);
  ASSERT_TRUE(file);
  FileOutput out(*file);
  std::string data(600000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + i / 977);
  for (std::size_t i = 0; i < data.size(); i += 1000) ASSERT_TRUE(out.append(data.data() + i, 1000));
  char buffer[5000];
  for (std::uint64_t at : {0ull, 262000ull, 524287ull, 595000ull}) {
    ASSERT_TRUE(out.readBack(at, buffer, 5000)) << at;
    EXPECT_EQ(std::string(buffer, 5000), data.substr(at, 5000)) << at;
  }
  EXPECT_FALSE(out.readBack(599000, buffer, 5000)) << "nothing past the end";
  file->close();
  g_files.deleteFile(tempPath("readback.tmp"));
}

}  // namespace
}  // namespace applier
