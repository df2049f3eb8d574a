// The version resource read and rewritten in the shipped stubs themselves:
// the programs as the resource compiler and the linker made them are the
// known answers (their layout, their checksum).
#include "packaging/version_resource.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "patchformat/coding.h"
#include "tests/shipped_stubs.h"

namespace packaging {
namespace {

using testing_support::stubVariants;

std::uint32_t u32At(const std::string& bytes, std::size_t at) {
  return patchformat::getU32(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at);
}
std::uint16_t u16At(const std::string& bytes, std::size_t at) {
  return patchformat::getU16(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at);
}

// UTF-16LE bytes of ASCII text.
std::string utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string(1, c) + '\0';
  return out;
}

// Where the version resource starts, found by its key rather than through
// the resource directory; and the PE header's checksum field.
std::size_t blockStart(const std::string& program) { return program.find(utf16("VS_VERSION_INFO")) - 6; }
std::size_t checksumAt(const std::string& program) { return u32At(program, 0x3C) + 24 + 64; }

std::string valueOf(const VersionInfo& info, const std::string& key) {
  for (const VersionString& s : info.strings) {
    if (s.key == key) return s.value;
  }
  return "(missing)";
}

class VersionResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& variant : stubVariants()) {
      std::string bytes;
      if (!testing_support::readShippedStub(variant, &bytes)) GTEST_SKIP() << "this build ships no stubs";
      stubs.push_back(bytes);
    }
  }
  std::vector<std::string> stubs;  // in the order of stubVariants()
};

TEST_F(VersionResourceTest, TheShippedStubsCarryTheToolsetsVersion) {
  for (const std::string& stub : stubs) {
    VersionInfo info;
    ASSERT_EQ(readVersionInfo(stub, &info), VersionError::kNone);
    EXPECT_EQ(info.fileVersion, 0x0002000200040000u) << "2.2d is 2.2.4.0";
    EXPECT_EQ(info.productVersion, 0x0002000200040000u);
    EXPECT_EQ(valueOf(info, "CompanyName"), "Verdelin developers");
    EXPECT_EQ(valueOf(info, "ProductName"), "Verdelin patching technology");
    EXPECT_EQ(valueOf(info, "ProductVersion"), "2.2d");
    EXPECT_EQ(valueOf(info, "LegalCopyright"), "Copyright \xa9 the Verdelin developers") << "UTF-16 read as cp1252";
    // The linker's own checksum is the known answer.
    EXPECT_EQ(peChecksum(stub, checksumAt(stub)), u32At(stub, checksumAt(stub)));
  }
}

// Rewritten without changes, the resource is the resource compiler's
// bytes without the reserve: the encoder lays it out as that compiler does.
TEST_F(VersionResourceTest, UnchangedItLosesOnlyItsReserve) {
  for (const std::string& stub : stubs) {
    std::string program = stub;
    ASSERT_EQ(setVersionStrings(&program, {}), VersionError::kNone);
    const std::size_t start = blockStart(stub);
    const std::size_t before = u16At(stub, start), after = u16At(program, start);
    EXPECT_LT(after + 1200, before) << "the reserve of 1200 bytes is gone";
    EXPECT_EQ(program.substr(start + 2, after - 2), stub.substr(start + 2, after - 2));
    VersionInfo was, is;
    ASSERT_EQ(readVersionInfo(stub, &was), VersionError::kNone);
    ASSERT_EQ(readVersionInfo(program, &is), VersionError::kNone);
    ASSERT_EQ(is.strings.size(), was.strings.size());
    for (std::size_t i = 0; i < was.strings.size(); ++i) {
      EXPECT_EQ(is.strings[i].key, was.strings[i].key);
      EXPECT_EQ(is.strings[i].value, was.strings[i].value);
    }
  }
}

// The room every stub reserves takes every key at its longest at once, with
// characters from all over code page 1252, and nothing outside the
// resource moves: only its size in the data entry and the checksum change.
TEST_F(VersionResourceTest, EveryKeyAtItsLongestFitsInPlace) {
  std::vector<VersionString> changes;
  for (const VendorKey& key : kVendorKeys) {
    std::string value;
    for (std::size_t i = 0; value.size() < key.maxLength; ++i) {
      value.push_back(static_cast<char>(0x20 + (i * 37) % 0xE0));  // 0x20..0xFF, spread
    }
    changes.push_back({key.name, value});
  }
  changes.push_back({kOriginalFilenameKey, std::string(kMaxOriginalFilename - 4, '\xe9') + ".exe"});
  for (const std::string& stub : stubs) {
    std::string program = stub;
    ASSERT_EQ(setVersionStrings(&program, changes), VersionError::kNone);
    ASSERT_EQ(program.size(), stub.size());
    VersionInfo info;
    ASSERT_EQ(readVersionInfo(program, &info), VersionError::kNone);
    for (const VersionString& change : changes) EXPECT_EQ(valueOf(info, change.key), change.value) << change.key;
    EXPECT_EQ(valueOf(info, "InternalName").substr(0, 5), "pelmo") << "keys not given keep their values";
    EXPECT_EQ(info.fileVersion, 0x0002000200040000u) << "a text that is no a.b.c.d keeps the numbers";

    const std::size_t start = blockStart(stub), sum = checksumAt(stub);
    const std::size_t oldSize = u16At(stub, start), newSize = u16At(program, start);
    EXPECT_EQ(program.substr(start + newSize, oldSize - newSize), std::string(oldSize - newSize, '\0'));
    std::vector<std::size_t> outside;
    for (std::size_t i = 0; i < stub.size(); ++i) {
      const bool inBlock = i >= start && i < start + oldSize;
      if (stub[i] != program[i] && !inBlock && (i < sum || i >= sum + 4)) outside.push_back(i);
    }
    ASSERT_FALSE(outside.empty());
    const std::size_t sizeField = outside.front() & ~std::size_t{3};
    EXPECT_LT(outside.back() - sizeField, 4u) << "one field changed outside the resource: its size";
    EXPECT_EQ(u32At(stub, sizeField), oldSize);
    EXPECT_EQ(u32At(program, sizeField), newSize);
    EXPECT_EQ(u32At(program, sum), peChecksum(program, sum));
    EXPECT_NE(u32At(program, sum), u32At(stub, sum));
  }
}

TEST_F(VersionResourceTest, ValuesAreUtf16AndNumericVersionsSetTheFixedOnes) {
  std::string program = stubs[0];
  ASSERT_EQ(setVersionStrings(&program, {{"ProductName", "Caf\xe9 \x80"},
                                         {"FileVersion", "5.2.1.7"},
                                         {"ProductVersion", "6.1"},
                                         {"Comments", "a key of its own"}}),
            VersionError::kNone);
  const std::string cafeEuro = utf16("Caf") + std::string("\xe9\0 \0\xac\x20\0\0", 8);
  EXPECT_NE(program.find(cafeEuro), std::string::npos) << "e acute and the euro sign, with the terminating zero";
  VersionInfo info;
  ASSERT_EQ(readVersionInfo(program, &info), VersionError::kNone);
  EXPECT_EQ(info.fileVersion, 0x0005000200010007u);
  EXPECT_EQ(info.productVersion, 0x0006000100000000u);
  EXPECT_EQ(info.strings.back().key, "Comments") << "a key the table lacks is added at its end";
  EXPECT_EQ(setVersionStrings(&program, {{"FileVersion", "5.2.1.70"}}), VersionError::kNoRoom)
      << "the reserve went with the first rewrite";
  program = stubs[0];
  ASSERT_EQ(setVersionStrings(&program, {{"FileVersion", "7.0 beta"}}), VersionError::kNone);
  ASSERT_EQ(readVersionInfo(program, &info), VersionError::kNone);
  EXPECT_EQ(valueOf(info, "FileVersion"), "7.0 beta");
  EXPECT_EQ(info.fileVersion, 0x0002000200040000u) << "a text that is no a.b.c.d leaves the numbers";

  std::uint64_t v = 0;
  EXPECT_TRUE(parseVersionNumbers("1", &v) && v == 0x0001000000000000u);
  EXPECT_TRUE(parseVersionNumbers("65535.0.02.1", &v) && v == 0xFFFF000000020001u);
  for (const char* refused : {"", "65536", "1.2.3.4.5", "1..2", "1.2.", ".1", " 1", "1.2a", "v1", "1.2.3.4 "}) {
    EXPECT_FALSE(parseVersionNumbers(refused, &v)) << refused;
  }
}

TEST_F(VersionResourceTest, WhatCannotBeRewrittenIsLeftAsItWas) {
  std::string notAProgram = "MZ stub " + std::string(3000, 'S');
  const std::string original = notAProgram;
  EXPECT_EQ(setVersionStrings(&notAProgram, {{"ProductName", "x"}}), VersionError::kNotAProgram);
  EXPECT_EQ(notAProgram, original);

  std::string program = stubs[0];
  EXPECT_EQ(setVersionStrings(&program, {{"ProductName", std::string(1000, 'x')}}), VersionError::kNoRoom);
  EXPECT_EQ(program, stubs[0]);

  // Without the data directory of its resources the program has none.
  const std::size_t optionalHeader = checksumAt(program) - 64;
  const std::size_t directories = optionalHeader + (u16At(program, optionalHeader) == 0x20B ? 112 : 96);
  program.replace(directories + 8 * 2, 8, 8, '\0');
  const std::string withoutResources = program;
  EXPECT_EQ(setVersionStrings(&program, {{"ProductName", "x"}}), VersionError::kNoVersionResource);
  EXPECT_EQ(program, withoutResources);
}

// A damaged or cut program reads as an error, never as a crash or a read
// outside its bytes.
TEST_F(VersionResourceTest, DamagedAndCutProgramsAreRefusedSafely) {
  std::string program = stubs[0];
  const std::size_t start = blockStart(program), size = u16At(program, start);
  VersionInfo info;
  for (std::size_t i = 0; i < 0x400; ++i) {
    program[i] = static_cast<char>(program[i] ^ 0xFF);
    readVersionInfo(program, &info);
    program[i] = stubs[0][i];
  }
  int refused = 0;
  for (std::size_t i = start; i < start + size; ++i) {
    program[i] = static_cast<char>(program[i] ^ 0xFF);
    refused += readVersionInfo(program, &info) != VersionError::kNone;
    if (i < start + 256) {
      std::string copy = program;
      setVersionStrings(&copy, {{"ProductName", "x"}});
    }
    program[i] = stubs[0][i];
  }
  EXPECT_GT(refused, 0);
  for (std::size_t length = start; length < start + size; length += 5) {
    std::string cut = stubs[0].substr(0, length);
    EXPECT_NE(setVersionStrings(&cut, {{"ProductName", "x"}}), VersionError::kNone) << length;
  }
  for (std::size_t length = 0; length < 0x400; length += 3) {
    EXPECT_EQ(readVersionInfo(stubs[0].substr(0, length), &info), VersionError::kNotAProgram) << length;
  }
}

}  // namespace
}  // namespace packaging
