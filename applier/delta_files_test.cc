#include "applier/delta_files.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/random_delta.h"

namespace applier {
namespace {

std::string tempPath(const std::string& name) { return ::testing::TempDir() + name; }

bool writeFile(const std::string& path, const std::string& data) {
  platform::File f;
  return f.open(path, platform::File::Mode::kCreate) && f.write(data.data(), data.size()) && f.close();
}

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
    diffengine::ByteStream* byteStreams[5] = {&d.writer.numbers, &d.writer.bitsA, &d.writer.bitsB,
                                              &d.writer.literals, &d.writer.mismatches};
    for (int i = 0; i < 5; ++i) {
      const std::string s = i == 1 || i == 2 ? DeltaWriter::contents(*static_cast<diffengine::BitStream*>(byteStreams[i]))
                                             : DeltaWriter::contents(*byteStreams[i]);
      offsets[i] = all.size();
      streams.length[i] = static_cast<std::uint32_t>(s.size());
      all += s;
    }
    ASSERT_TRUE(writeFile(tempPath("streams.tmp"), all));
    ASSERT_TRUE(writeFile(tempPath("source.tmp"), d.source));
    platform::File streamFile, sourceFile, outFile;
    ASSERT_TRUE(streamFile.open(tempPath("streams.tmp"), platform::File::Mode::kRead));
    ASSERT_TRUE(sourceFile.open(tempPath("source.tmp"), platform::File::Mode::kRead));
    ASSERT_TRUE(outFile.open(tempPath("out.tmp"), platform::File::Mode::kCreateReadWrite));
    std::vector<FileStreamReader> readers;
    readers.reserve(5);
    for (int i = 0; i < 5; ++i) {
      readers.emplace_back(streamFile, offsets[i], streams.length[i]);
      streams.reader[i] = &readers.back();
    }
    FileSource source(sourceFile);
    FileOutput output(outFile);
    ASSERT_EQ(patchformat::decodeDelta(d.writer.params, streams, source, output), patchformat::DeltaError::kNone);
    ASSERT_TRUE(output.flush());
    outFile.close();
    std::string result;
    ASSERT_TRUE(platform::readWholeFile(tempPath("out.tmp"), &result));
    EXPECT_EQ(result, d.target) << "round " << round;
  }
  platform::deleteFile(tempPath("streams.tmp"));
  platform::deleteFile(tempPath("source.tmp"));
  platform::deleteFile(tempPath("out.tmp"));
}

TEST(DeltaFilesTest, OutputReadsBackAcrossItsBuffer) {
  platform::File file;
  ASSERT_TRUE(file.open(tempPath("readback.tmp"), platform::File::Mode::kCreateReadWrite));
  FileOutput out(file);
  std::string data(600000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + i / 977);
  for (std::size_t i = 0; i < data.size(); i += 1000) ASSERT_TRUE(out.append(data.data() + i, 1000));
  char buffer[5000];
  for (std::uint64_t at : {0ull, 262000ull, 524287ull, 595000ull}) {
    ASSERT_TRUE(out.readBack(at, buffer, 5000)) << at;
    EXPECT_EQ(std::string(buffer, 5000), data.substr(at, 5000)) << at;
  }
  EXPECT_FALSE(out.readBack(599000, buffer, 5000)) << "nothing past the end";
  file.close();
  platform::deleteFile(tempPath("readback.tmp"));
}

}  // namespace
}  // namespace applier
