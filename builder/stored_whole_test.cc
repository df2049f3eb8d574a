#include "builder/stored_whole.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "patchformat/delta.h"
#include "patchformat/io.h"
#include "platform/files.h"

namespace builder {
namespace {

class StringSink : public diffengine::BlockSink {
 public:
  bool write(const void* data, std::size_t n) override {
    bytes.append(static_cast<const char*>(data), n);
    return true;
  }
  std::string bytes;
};

// Decodes a step's streams (as they stand in `all`) from a source of
// `sourceSize` bytes that must not be read.
std::string decode(const std::string& all, const patchformat::SourceRecord& record, std::uint32_t sourceSize,
                   std::uint32_t targetSize) {
  std::string parts[patchformat::kDeltaStreamCount];
  std::size_t at = 0;
  for (int s = 0; s < patchformat::kDeltaStreamCount; ++s) {
    parts[s] = all.substr(at, record.streamLength[s]);
    at += record.streamLength[s];
  }
  EXPECT_EQ(at, all.size());
  std::optional<patchformat::MemoryReader> readers[patchformat::kDeltaStreamCount];
  patchformat::DeltaStreams streams;
  for (int s = 0; s < patchformat::kDeltaStreamCount; ++s) {
    streams.reader[s] = &readers[s].emplace(parts[s]);
    streams.length[s] = record.streamLength[s];
  }
  NoSource source(sourceSize);
  patchformat::MemoryOutput output;
  const patchformat::DeltaError error =
      patchformat::decodeDelta(record.params(sourceSize, targetSize), streams, source, output);
  EXPECT_EQ(error, patchformat::DeltaError::kNone);
  return output.bytes();
}

// Sizes around the chunks of inserts (255, 510), the 1000 bytes inserted
// before the copy, and the ranges of numbers (256, 65536), with sources on
// either side of them.
const std::uint32_t kSizes[] = {0, 1, 254, 255, 509, 510, 999, 1000, 1001, 65535, 65536, 70000};

TEST(StoredWholeTest, StepsOfZerosAndTheStoredFileReadNoSource) {
  platform::SystemFileSystem files;
  for (const std::uint32_t from : {0u, 300u, 70000u}) {
    for (const std::uint32_t size : kSizes) {
      StringSink zeros;
      patchformat::SourceRecord record;
      ASSERT_TRUE(writeZeroStep(from, size, zeros, &record));
      EXPECT_EQ(decode(zeros.bytes, record, from, size), std::string(size, '\0')) << from << " to " << size;
      EXPECT_LT(zeros.bytes.size(), 1100u) << "a few instructions and the inserted zeros";

      std::string file(size, '\0');
      for (std::uint32_t i = 0; i < size; ++i) file[i] = static_cast<char>(i * 7 + 3);
      const std::string path = ::testing::TempDir() + "stored_whole_test.bin";
      ASSERT_TRUE(files.writeWholeFile(path, file));
      const std::unique_ptr<platform::File> bytes = files.open(path, platform::File::Mode::kRead);
      ASSERT_TRUE(bytes);
      StringSink stored;
      ASSERT_TRUE(writeStoredStep(from, *bytes, size, stored, &record));
      EXPECT_EQ(decode(stored.bytes, record, from, size), file) << from << " to " << size;
    }
  }
}

}  // namespace
}  // namespace builder
