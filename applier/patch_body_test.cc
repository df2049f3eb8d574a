#include "applier/patch_body.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "applier/temporaries.h"
#include "tests/lzma_support.h"
#include "tests/seeded_test.h"
#include "tests/zlib_support.h"

namespace applier {
namespace {

using patchformat::BodyCoding;
constexpr BodyCoding kCodings[] = {BodyCoding::kStored, BodyCoding::kDeflate, BodyCoding::kLzma};

const char* nameOf(BodyCoding coding) {
  return coding == BodyCoding::kStored ? "stored" : coding == BodyCoding::kDeflate ? "deflate" : "lzma";
}

// A body as a patch stores it, and the header that says how.
struct Coded {
  std::string stored;
  patchformat::PatchHeader header;
};

Coded code(const std::string& body, BodyCoding coding, std::uint32_t lzmaDictionary = 0, bool fast = false) {
  Coded c;
  if (coding == BodyCoding::kDeflate) {
    c.header.flags = patchformat::kHeaderCompressed;
    c.stored = testing_support::deflateRaw(body);
  } else if (coding == BodyCoding::kLzma) {
    c.stored = testing_support::lzmaPack(body, &c.header, lzmaDictionary, fast);
  } else {
    c.stored = body;
  }
  return c;
}

// Text-like records, `n` bytes or a few more.
std::string records(std::mt19937& rng, std::size_t n) {
  std::string body;
  while (body.size() < n) body += "record " + std::to_string(rng() % 5000) + ";";
  return body;
}

class PatchBodyTest : public testing_support::SeededTest {
 protected:
  void TearDown() override { close(); }
  void close() {
    patch.reset();
    temp.reset();
    files.deleteFile(patchPath);
    if (!tempPath.empty()) files.deleteFile(tempPath);
  }
  // A patch-like file: 5 bytes before the stored body, 8 after it; the
  // reader of its body (the one before it is gone).
  std::unique_ptr<ExpandedBody> open(const Coded& coded) {
    close();
    EXPECT_TRUE(files.writeWholeFile(patchPath, "HEAD!" + coded.stored + "TRAILER!"));
    patch = files.open(patchPath, platform::File::Mode::kRead);
    EXPECT_TRUE(patch && names.create(&temp, &tempPath));
    if (!patch || !temp) return nullptr;
    return std::make_unique<ExpandedBody>(*patch, 5, 5 + coded.stored.size(), coded.header, *temp);
  }
  // Reads to the end (or an error) in pieces of random sizes.
  std::string readAll(ExpandedBody& body) {
    std::string out;
    char buffer[5000];
    for (;;) {
      const long n = body.read(buffer, 1 + rng() % sizeof buffer);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }

  platform::SystemFileSystem files;
  const std::string patchPath = ::testing::TempDir() + "body_test.patch";
  std::string tempPath;
  TempNames names{files, ::testing::TempDir()};
  std::unique_ptr<platform::File> patch, temp;
};

TEST_F(PatchBodyTest, EveryCodingReadsTheSameBodyTwice) {
  const std::string body = records(rng, 100000);
  for (BodyCoding coding : kCodings) {
    SCOPED_TRACE(nameOf(coding));
    const auto reader = open(code(body, coding));
    ASSERT_TRUE(reader);
    EXPECT_TRUE(readAll(*reader) == body);
    EXPECT_EQ(reader->error(), BodyError::kNone);
    reader->rewind();
    EXPECT_TRUE(readAll(*reader) == body) << "a second pass reads the expanded file";
    EXPECT_EQ(reader->expanded(), body.size());
  }
}

TEST_F(PatchBodyTest, OnlyWhatIsReadIsExpanded) {
  const std::string body = std::string(100, 'r') + std::string(50 << 20, '\0');  // 50 MiB after the records
  for (BodyCoding coding : {BodyCoding::kDeflate, BodyCoding::kLzma}) {
    const auto reader = open(code(body, coding, 1 << 20, true));
    ASSERT_TRUE(reader);
    char buffer[100];
    ASSERT_EQ(reader->read(buffer, sizeof buffer), 100) << nameOf(coding);
    EXPECT_LT(reader->expanded(), 10000u) << nameOf(coding);
  }
}

// Ranges handed on by stream() are not kept: the temporary file holds the
// other bytes one after another, and a later read of a passed range, in
// any order and across kept and passed bytes, gives the body's bytes again
// (from the patch, or from a second inflater that restarts when it must
// go back). An LZMA body keeps every range instead (no second decoder and
// its dictionary), and reads the same. A sink that says stop ends
// stream() without an error; the bytes it was not given read the same.
TEST_F(PatchBodyTest, StreamedRangesReadBackTheSame) {
  const std::string body = records(rng, 600000);
  struct Range {
    std::uint64_t at, n;
  };
  const Range passed[] = {{1000, 150000}, {151000, 10}, {200000, 300000}, {599000, 1000}};
  for (BodyCoding coding : kCodings) {
    SCOPED_TRACE(nameOf(coding));
    const auto reader = open(code(body, coding));
    ASSERT_TRUE(reader);
    for (const Range& r : passed) {
      ASSERT_TRUE(reader->ensure(r.at));
      std::string seen;
      const bool wanted = r.n == 10;  // one range is handed on, the others only skipped
      const ExpandedBody::Sink keep = [&seen](const std::uint8_t* d, std::size_t n) {
        seen.append(reinterpret_cast<const char*>(d), n);
        return true;
      };
      ASSERT_TRUE(reader->stream(r.at, r.n, wanted ? keep : ExpandedBody::Sink()));
      if (wanted) {
        EXPECT_EQ(seen, body.substr(r.at, r.n));
      }
    }
    EXPECT_FALSE(reader->stream(560000, 30000, [](const std::uint8_t*, std::size_t) { return false; }));
    EXPECT_EQ(reader->error(), BodyError::kNone);
    ASSERT_TRUE(reader->ensure(body.size()));
    std::uint64_t tempSize = 0;
    ASSERT_TRUE(temp->size(&tempSize));
    if (coding == BodyCoding::kLzma) {
      EXPECT_EQ(tempSize, body.size()) << "an LZMA body keeps what it streams";
    } else {
      EXPECT_LT(tempSize, body.size() - 440000) << "passed ranges are not stored";
    }
    char kept = 0;
    ASSERT_TRUE(temp->readAt(reader->physical(180000), &kept, 1));
    EXPECT_EQ(kept, body[180000]) << "where a kept byte lies";
    for (int i = 0; i < 200; ++i) {
      const std::uint64_t at = rng() % body.size();
      const std::size_t n = std::min<std::size_t>(body.size() - at, 1 + rng() % 70000);
      std::string got(n, '\0');
      reader->seek(at);
      ASSERT_EQ(reader->read(&got[0], n), static_cast<long>(n)) << " at " << at;
      ASSERT_TRUE(got == body.substr(at, n)) << " at " << at;
    }
    EXPECT_FALSE(reader->stream(body.size() - 5, 10, [](const std::uint8_t*, std::size_t) { return true; }))
        << "nothing past the end";
    EXPECT_EQ(reader->error(), BodyError::kNone);
  }
}

// Every length the stored body can be cut to, and stored bytes behind the
// end of the stream: reading, ensuring or streaming past the end stops
// with kCorrupt, never with a loop without end or a crash. (A deflate
// stream cut in its last bytes may still give the whole body: the walk
// never reads past its last record, so that does no harm.) An
// LZMA stream must end exactly where the header's size does, with its last
// stored byte. Flipped bytes may still decode (deflate has no checksum:
// the records' checks catch those), but the reader returns.
TEST_F(PatchBodyTest, DamagedOrCutDataEndsAsCorrupt) {
  const std::string body = records(rng, 3000);
  for (BodyCoding coding : {BodyCoding::kDeflate, BodyCoding::kLzma}) {
    SCOPED_TRACE(nameOf(coding));
    const Coded good = code(body, coding);
    for (std::size_t cut = 0; cut < good.stored.size(); ++cut) {
      Coded bad = good;
      bad.stored.resize(cut);
      const auto reader = open(bad);
      ASSERT_TRUE(reader);
      std::string out;
      if (cut % 3 == 0) {
        out = readAll(*reader);
      } else if (cut % 3 == 1) {
        EXPECT_FALSE(reader->ensure(body.size() + 1)) << cut;
      } else {
        EXPECT_FALSE(reader->stream(0, body.size() + 1, [&out](const std::uint8_t* d, std::size_t n) {
          out.append(reinterpret_cast<const char*>(d), n);
          return true;
        })) << cut;
      }
      ASSERT_EQ(reader->error(), BodyError::kCorrupt) << cut << " of " << good.stored.size();
      EXPECT_TRUE(out == body.substr(0, out.size())) << cut;
      if (coding == BodyCoding::kLzma) {
        EXPECT_LT(out.size(), body.size()) << "the stream's last bytes hold its last symbols";
      }
    }
    for (int round = 0; round < 40; ++round) {
      Coded bad = good;
      for (int k = 0; k < 3; ++k) bad.stored[rng() % bad.stored.size()] = static_cast<char>(rng());
      const auto reader = open(bad);
      ASSERT_TRUE(reader);
      readAll(*reader);  // returns: no loop without end
    }
  }
  // An LZMA stream that does not end where the header says, with its last
  // stored byte: the bytes of the step that should end it are withheld.
  Coded longer = code(body, BodyCoding::kLzma);
  longer.stored += "x";
  Coded lastChanged = code(body, BodyCoding::kLzma);
  lastChanged.stored.back() = static_cast<char>(lastChanged.stored.back() ^ 0x01);
  Coded smaller = code(body, BodyCoding::kLzma);
  smaller.header.expandedSize -= 1;
  Coded larger = code(body, BodyCoding::kLzma);
  larger.header.expandedSize += 1;
  for (const Coded* bad : {&longer, &lastChanged, &smaller, &larger}) {
    const auto reader = open(*bad);
    ASSERT_TRUE(reader);
    const std::string out = readAll(*reader);
    EXPECT_EQ(reader->error(), BodyError::kCorrupt);
    EXPECT_TRUE(out == body.substr(0, out.size())) << "what comes before the damage is the body";
    if (bad != &larger) {
      EXPECT_LT(out.size(), bad->header.expandedSize) << "never the whole body the header promises";
    }
  }
}

}  // namespace
}  // namespace applier
