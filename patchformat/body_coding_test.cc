#include "patchformat/body_coding.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/zlib_support.h"

namespace patchformat {
namespace {

long readAll(ByteReader& in, std::string* out, std::size_t piece = 1000) {
  std::string buffer(piece, '\0');
  for (;;) {
    const long got = in.read(&buffer[0], piece);
    if (got <= 0) return got;
    out->append(buffer, 0, static_cast<std::size_t>(got));
  }
}

PatchHeader headerOf(std::uint32_t version, std::uint8_t flags) {
  PatchHeader h;
  h.version = version;
  h.flags = flags;
  return h;
}

// The inflater ends where the deflate stream ends: a stream cut short,
// damaged, or followed by more bytes is an error, never a shorter or
// longer body.
TEST(ExpandReaderTest, DeflateEndsExactlyWithItsStream) {
  std::mt19937 rng(7);
  std::string body(300000, '\0');
  for (char& c : body) c = static_cast<char>(rng() % 7 == 0 ? rng() : rng() % 16);
  const std::string packed = testing_support::deflateRaw(body);
  const PatchHeader deflated = headerOf(kFormatVersion, kHeaderCompressed);
  for (std::size_t piece : {1u, 1000u, 1u << 20}) {
    MemoryReader in(packed);
    ExpandReader reader(in, makeBodyExpander(deflated));
    std::string out;
    EXPECT_EQ(readAll(reader, &out, piece), 0);
    EXPECT_TRUE(out == body);
    EXPECT_TRUE(reader.ended());
  }
  for (const std::string& bad : {packed.substr(0, packed.size() / 2), packed.substr(0, packed.size() - 1),
                                 packed + "x", std::string("\xff\xff\xff", 3) + packed}) {
    MemoryReader in(bad);
    ExpandReader reader(in, makeBodyExpander(deflated));
    std::string out;
    EXPECT_EQ(readAll(reader, &out), -1) << bad.size() << " of " << packed.size();
  }
}

// Version, flags and LZMA properties must agree: an LZMA flag under the
// deflate version, the LZMA version without it or beside the deflate flag,
// impossible properties and a dictionary beyond the limit are invalid.
TEST(BodyCodingTest, VersionFlagsAndPropertiesMustAgree) {
  EXPECT_EQ(headerOf(kFormatVersion, 0).bodyCoding(), BodyCoding::kStored);
  EXPECT_EQ(headerOf(kFormatVersion, kHeaderCompressed | kHeaderNoConfirmation).bodyCoding(), BodyCoding::kDeflate);
  EXPECT_EQ(headerOf(kFormatVersion, kHeaderLzma).bodyCoding(), BodyCoding::kInvalid);
  EXPECT_EQ(headerOf(kFormatVersionLzma, 0).bodyCoding(), BodyCoding::kInvalid);
  EXPECT_EQ(headerOf(kFormatVersionLzma, kHeaderCompressed).bodyCoding(), BodyCoding::kInvalid);
  PatchHeader lzma = headerOf(kFormatVersionLzma, kHeaderLzma | kHeaderNoConfirmation);
  lzma.lzmaProperties[0] = 9 * 5 * 5 - 1;
  lzma.lzmaProperties[4] = static_cast<std::uint8_t>(kLzmaLargestDictionary >> 24);
  EXPECT_EQ(lzma.bodyCoding(), BodyCoding::kLzma);
  lzma.lzmaProperties[0] = 9 * 5 * 5;
  EXPECT_EQ(lzma.bodyCoding(), BodyCoding::kInvalid);
  lzma.lzmaProperties[0] = 1;
  lzma.lzmaProperties[1] = 1;  // one byte more than the largest dictionary
  EXPECT_EQ(lzma.bodyCoding(), BodyCoding::kInvalid);

  // The fields come back from the 78 header bytes; the rest stays zero.
  lzma.lzmaProperties[1] = 0;
  lzma.expandedSize = 0x01020304;
  const std::string bytes = lzma.encode();
  ASSERT_EQ(bytes.size(), kHeaderSize);
  const PatchHeader back = PatchHeader::decode(reinterpret_cast<const std::uint8_t*>(bytes.data()));
  EXPECT_EQ(back.version, kFormatVersionLzma);
  EXPECT_EQ(back.lzmaDictionarySize(), kLzmaLargestDictionary);
  EXPECT_EQ(back.expandedSize, 0x01020304u);
  EXPECT_EQ(bytes.substr(19, 55), std::string(55, '\0'));
  EXPECT_EQ(headerOf(kFormatVersion, kHeaderCompressed).encode().substr(10, 64), std::string(64, '\0'));

  // An invalid coding reads as a corrupt body, whatever the bytes.
  const std::string anything = "anything";  // the reader keeps a pointer to it
  MemoryReader in(anything);
  ExpandReader reader(in, makeBodyExpander(headerOf(kFormatVersion, kHeaderLzma)));
  char c;
  EXPECT_EQ(reader.read(&c, 1), -1);
}

}  // namespace
}  // namespace patchformat
