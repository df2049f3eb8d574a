#include "patchformat/container.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "patchformat/coding.h"

namespace patchformat {
namespace {

// The smallest useful patch, assembled byte by byte: a stored single-file
// patch with one source and no comment.
std::string smallestPatch(const std::string& streams, SourceRecord* recordOut = nullptr) {
  std::string header;
  appendU32(&header, 0x3E7F8443u);
  appendU32(&header, 220);
  appendU8(&header, 1);  // single-file patch
  appendU8(&header, 0);  // stored
  header.append(64, '\0');
  appendU16(&header, 0);
  appendU16(&header, 0);

  std::string body("\x00\x00", 2);  // locator 0, no further series
  FinalInfo info;
  info.checksum = 0x11223344;
  info.size = 5;
  info.dosDateTime = 0x5A2B6C3D;
  info.attributes = 0x20;
  info.sourceCount = 1;
  body += info.encode();
  SourceRecord record;
  record.checksum = 0xAABBCCDD;
  record.size = 3;
  record.streamLength[0] = static_cast<std::uint32_t>(streams.size());
  record.mismatchGroup = 190;
  record.literalBlockSize = 20;
  body += record.encode();
  body += streams;
  if (recordOut != nullptr) *recordOut = record;

  std::string trailer;
  appendU32(&trailer, static_cast<std::uint32_t>(78 + body.size() + 8));
  appendU32(&trailer, 0x3E7F8443u);
  return header + body + trailer;
}

TEST(ContainerTest, FixedSizes) {
  EXPECT_EQ(PatchHeader().encode().size(), kHeaderSize);
  EXPECT_EQ(PatchTrailer().encode().size(), kTrailerSize);
  EXPECT_EQ(FinalInfo().encode().size(), kFinalInfoSize);
  EXPECT_EQ(SourceRecord().encode().size(), kSourceRecordSize);
  EXPECT_EQ(encodeShortString(""), std::string(1, '\0'));
  EXPECT_EQ(encodeShortString("ab"), "\x02" "ab");
  // A longer text is cut with its length byte: 256 bytes must not become a
  // length of 0 followed by 255 bytes that the reader would take as records.
  EXPECT_EQ(encodeShortString(std::string(255, 'x')), "\xff" + std::string(255, 'x'));
  EXPECT_EQ(encodeShortString(std::string(256, 'x')), "\xff" + std::string(255, 'x'));
  EXPECT_EQ(encodeShortString(std::string(300, 'x')).size(), 256u);
}

// Every size that reaches the format's 32 bits goes through formatSize:
// 4 GiB - 1 is the largest; anything larger throws instead of wrapping.
TEST(ContainerTest, SizesNarrowOnlyWhenTheyFit) {
  EXPECT_EQ(formatSize(0), 0u);
  EXPECT_EQ(formatSize(0xFFFFFFFFu), 0xFFFFFFFFu);
  EXPECT_TRUE(fitsFormat(kLargestSize));
  EXPECT_FALSE(fitsFormat(kLargestSize + 1));
  EXPECT_THROW(formatSize(std::uint64_t{1} << 32), FormatSizeError);
  EXPECT_THROW(formatSize((std::uint64_t{1} << 32) + 10), FormatSizeError);
}

TEST(ContainerTest, SmallestPatchReadsBack) {
  const std::string patch = smallestPatch("NUMS");
  EXPECT_EQ(patch.size(), 78u + 2 + 18 + 32 + 4 + 8);
  MemoryRandomReader file(patch);
  const PatchLocation loc = locatePatch(file);
  ASSERT_EQ(loc.status, LocateStatus::kOk);
  EXPECT_EQ(loc.headerOffset, 0u);
  EXPECT_FALSE(loc.header.isDirectoryPatch());
  EXPECT_EQ(loc.header.flags, 0);
  EXPECT_EQ(loc.bodyStart, 78u);
  EXPECT_EQ(loc.bodyEnd, patch.size() - 8);

  const std::string body = patch.substr(loc.bodyStart, loc.bodyEnd - loc.bodyStart);
  MemoryReader in(body);
  BodyReader reader(in, body.size());
  std::string creator, comment, name, sourceName;
  ASSERT_TRUE(reader.readTexts(loc.header, &creator, &comment));
  SeriesHeader series;
  ASSERT_TRUE(reader.readSeriesHeader(false, 0, &series));
  EXPECT_EQ(series.locator, kLocateGivenPath);
  EXPECT_FALSE(series.moreFollow());
  FinalInfo info;
  ExclusionWindow window;
  ASSERT_TRUE(reader.readPatchedFile(false, &info, &window, &name));
  EXPECT_EQ(info.checksum, 0x11223344u);
  EXPECT_EQ(info.dosDateTime, 0x5A2B6C3Du);
  EXPECT_EQ(info.sourceCount, 1);
  SourceRecord record;
  ASSERT_TRUE(reader.readSource(false, info, &sourceName, &record, &window));
  EXPECT_EQ(record.checksum, 0xAABBCCDDu);
  EXPECT_EQ(record.streamLength[0], 4u);
  EXPECT_EQ(record.literalBlockSize, 20);
  char streams[4];
  ASSERT_TRUE(reader.readBytes(streams, 4));
  EXPECT_EQ(std::string(streams, 4), "NUMS");
  EXPECT_EQ(reader.remaining(), 0u);
}

TEST(ContainerTest, StubInFrontIsFoundFromTheTrailer) {
  const std::string data = smallestPatch("X");
  const std::string withStub = std::string(5000, 'M') + data;
  MemoryRandomReader file(withStub);
  const PatchLocation loc = locatePatch(file);
  ASSERT_EQ(loc.status, LocateStatus::kOk);
  EXPECT_EQ(loc.headerOffset, 5000u);
  EXPECT_EQ(withStub.substr(loc.bodyStart, loc.bodyEnd - loc.bodyStart),
            data.substr(78, data.size() - 86));
}

// A PE program's headers as far as the trailer search reads them: the
// security directory at `table`, `tableSize` bytes.
std::string peProgram(bool plus, std::uint32_t table, std::uint32_t tableSize, std::size_t size = 1024) {
  std::string pe(size, '\x90');
  auto u16 = [&](std::size_t at, std::uint16_t v) { putU16(reinterpret_cast<std::uint8_t*>(&pe[at]), v); };
  auto u32 = [&](std::size_t at, std::uint32_t v) { putU32(reinterpret_cast<std::uint8_t*>(&pe[at]), v); };
  pe[0] = 'M', pe[1] = 'Z';
  u32(0x3C, 0x80);
  u32(0x80, 0x00004550u);
  const std::size_t optional = 0x80 + 24;
  u16(0x80 + 20, plus ? 240 : 224);
  u16(optional, plus ? 0x20B : 0x10B);
  const std::size_t count = optional + (plus ? 108 : 92);
  u32(count, 16);
  u32(count + 4 + 32, table);
  u32(count + 4 + 36, tableSize);
  return pe;
}

// What a signing tool makes of a self-applying patch: zero bytes up to a
// multiple of 8, then the certificate table, named in the security directory.
std::string signedPatch(const std::string& patch, std::size_t padding, bool plus = false) {
  const std::string table(1500, 'C');
  const std::size_t stubSize = 1024;
  const std::uint32_t tableAt = static_cast<std::uint32_t>(stubSize + patch.size() + padding);
  return peProgram(plus, tableAt, static_cast<std::uint32_t>(table.size()), stubSize) + patch +
         std::string(padding, '\0') + table;
}

TEST(ContainerTest, SignedProgramsKeepTheirPatchBeforeTheCertificates) {
  const std::string patch = smallestPatch("signed");
  for (std::size_t padding = 0; padding <= 7; ++padding) {
    for (bool plus : {false, true}) {
      const std::string file = signedPatch(patch, padding, plus);
      MemoryRandomReader reader(file);
      std::uint64_t end = 0;
      EXPECT_TRUE(findPatchEnd(reader, &end));
      EXPECT_EQ(end, 1024 + patch.size()) << padding;
      const PatchLocation loc = locatePatch(reader);
      ASSERT_EQ(loc.status, LocateStatus::kOk) << padding;
      EXPECT_EQ(loc.headerOffset, 1024u);
      EXPECT_EQ(file.substr(loc.bodyStart, loc.bodyEnd - loc.bodyStart), patch.substr(78, patch.size() - 86));
    }
  }
  // Eight zero bytes are more than any alignment: not found.
  const std::string padded = signedPatch(patch, 8);
  MemoryRandomReader tooFar(padded);
  EXPECT_NE(locatePatch(tooFar).status, LocateStatus::kOk);
  // A signed program without patch data carries none.
  const std::string table(700, 'C');
  const std::string unpatched = peProgram(false, 1024, 700) + table;
  MemoryRandomReader plain(unpatched);
  std::uint64_t end = 0;
  EXPECT_FALSE(findPatchEnd(plain, &end));
  EXPECT_EQ(end, 1024u + 700);
}

TEST(ContainerTest, DamagedSecurityDirectoriesAreNoPatch) {
  const std::string patch = smallestPatch("signed");
  const std::string good = signedPatch(patch, 4);
  const std::size_t entry = 0x80 + 24 + 92 + 4 + 32;
  auto damaged = [&](std::size_t at, std::uint32_t value) {
    std::string file = good;
    putU32(reinterpret_cast<std::uint8_t*>(&file[at]), value);
    return file;
  };
  for (const std::string& file :
       {damaged(entry, static_cast<std::uint32_t>(good.size())),  // table at the very end
        damaged(entry, 0xFFFFFFF0u), damaged(entry + 4, 0xFFFFFFF0u), damaged(entry + 4, 0),
        damaged(entry, 10),                           // inside the headers
        damaged(0x3C, 0xFFFFFFFFu), damaged(0x3C, static_cast<std::uint32_t>(good.size() - 10)),
        damaged(0x80 + 24 + 92, 4),                   // no security directory
        damaged(0x80 + 20, 100)}) {                   // optional header too short for it
    MemoryRandomReader reader(file);
    EXPECT_NE(locatePatch(reader).status, LocateStatus::kOk);
  }
  // Every truncation of the signed file: never a patch, never a crash.
  for (std::size_t n = 0; n < good.size(); n += 7) {
    if (n == 1024 + patch.size()) continue;  // the unsigned patch itself
    const std::string truncated = good.substr(0, n);
    MemoryRandomReader reader(truncated);
    EXPECT_NE(locatePatch(reader).status, LocateStatus::kOk) << n;
  }
}

TEST(ContainerTest, MagicsVersionAndShortFiles) {
  std::string patch = smallestPatch("X");
  std::string badTrailer = patch;
  badTrailer[badTrailer.size() - 1] ^= 1;
  MemoryRandomReader a(badTrailer);
  EXPECT_EQ(locatePatch(a).status, LocateStatus::kNotPatch);
  std::string badHeader = patch;
  badHeader[0] ^= 1;
  MemoryRandomReader b(badHeader);
  EXPECT_EQ(locatePatch(b).status, LocateStatus::kNotPatch);
  // 220 (deflate or stored body) and 221 (LZMA body) are known; the
  // versions around them are refused and named.
  for (std::uint32_t number : {219u, 222u, 0u}) {
    std::string version = patch;
    putU32(reinterpret_cast<std::uint8_t*>(&version[4]), number);
    MemoryRandomReader c(version);
    const PatchLocation v = locatePatch(c);
    EXPECT_EQ(v.status, LocateStatus::kWrongVersion);
    EXPECT_EQ(v.header.version, number);
  }
  std::string lzma = patch;
  putU32(reinterpret_cast<std::uint8_t*>(&lzma[4]), kFormatVersionLzma);
  MemoryRandomReader l(lzma);
  EXPECT_EQ(locatePatch(l).status, LocateStatus::kOk);
  for (std::size_t n = 0; n < 8; ++n) {
    const std::string tiny = patch.substr(patch.size() - n);
    MemoryRandomReader t(tiny);
    EXPECT_EQ(locatePatch(t).status, LocateStatus::kUnreadable) << n;
  }
  // A trailer that points before the start of the file: the file lost its
  // start. A file that begins with a header and lost its end (a download
  // that stopped) is cut short too, not when it ends in noise of its own.
  std::string far = patch;
  putU32(reinterpret_cast<std::uint8_t*>(&far[far.size() - 8]), 100000);
  MemoryRandomReader f(far);
  EXPECT_EQ(locatePatch(f).status, LocateStatus::kTruncated);
  for (std::size_t cut : {std::size_t{1}, std::size_t{5}, std::size_t{9}}) {
    const std::string start = patch.substr(0, patch.size() - cut);
    MemoryRandomReader s(start);
    EXPECT_EQ(locatePatch(s).status, LocateStatus::kTruncated) << cut;
    MemoryRandomReader asIs(start);
    EXPECT_NE(locatePatch(asIs, false).status, LocateStatus::kTruncated) << "taken as it is, never cut short";
  }
  std::string noise = patch.substr(0, kHeaderSize) + std::string(40, '\x7f');
  MemoryRandomReader n(noise);
  EXPECT_EQ(locatePatch(n).status, LocateStatus::kTruncated);
  noise[0] ^= 1;
  MemoryRandomReader m(noise);
  EXPECT_EQ(locatePatch(m).status, LocateStatus::kUnreadable);
}

// A PE program of `size` bytes, as the image-end reader sees it: headers
// up to 0x200, then two sections that fill the rest of the file, or, with
// `symbols`, all but its last 100 bytes, which hold a symbol table (two
// symbols) and its strings. `table` and `tableSize` name a certificate
// table, as in peProgram.
std::string peImage(std::size_t size, bool plus = false, bool symbols = false, std::uint32_t table = 0,
                    std::uint32_t tableSize = 0) {
  std::string pe = peProgram(plus, table, tableSize, size);
  auto u16 = [&](std::size_t at, std::uint16_t v) { putU16(reinterpret_cast<std::uint8_t*>(&pe[at]), v); };
  auto u32 = [&](std::size_t at, std::uint32_t v) { putU32(reinterpret_cast<std::uint8_t*>(&pe[at]), v); };
  const std::size_t coff = 0x80 + 4;
  const std::size_t optional = 0x80 + 24;
  const std::size_t sections = optional + (plus ? 240 : 224);
  const std::uint32_t code = static_cast<std::uint32_t>(size - (symbols ? 100 : 0));
  u16(coff + 2, 2);
  u32(coff + 8, symbols ? code : 0);
  u32(coff + 12, symbols ? 2 : 0);
  u32(optional + 60, 0x200);
  u32(sections + 16, 0x100);  // raw size, then raw offset
  u32(sections + 20, 0x200);
  u32(sections + 40 + 16, code - 0x300);
  u32(sections + 40 + 20, 0x300);
  if (symbols) u32(code + 36, 64);  // the strings' length, its own 4 bytes included
  return pe;
}

// A little-endian ELF program of `size` bytes: one segment over the
// headers, a section up to the section header table at the end, and a
// section that takes no room in the file.
std::string elfImage(bool wide, std::size_t size) {
  std::string elf(size, '\x90');
  auto u16 = [&](std::size_t at, std::uint16_t v) { putU16(reinterpret_cast<std::uint8_t*>(&elf[at]), v); };
  auto word = [&](std::size_t at, std::uint64_t v) {
    putU32(reinterpret_cast<std::uint8_t*>(&elf[at]), static_cast<std::uint32_t>(v));
    if (wide) putU32(reinterpret_cast<std::uint8_t*>(&elf[at + 4]), static_cast<std::uint32_t>(v >> 32));
  };
  elf.replace(0, 4, "\x7F" "ELF");
  elf[4] = wide ? 2 : 1;
  elf[5] = 1;
  const std::size_t entry = wide ? 64 : 40;
  const std::size_t sections = size - 3 * entry;
  const std::size_t segments = wide ? 0x40 : 0x34;
  word(wide ? 0x20 : 0x1C, segments);
  word(wide ? 0x28 : 0x20, sections);
  u16(wide ? 0x34 : 0x28, static_cast<std::uint16_t>(segments));
  u16(wide ? 0x36 : 0x2A, wide ? 56 : 32);
  u16(wide ? 0x38 : 0x2C, 1);
  u16(wide ? 0x3A : 0x2E, static_cast<std::uint16_t>(entry));
  u16(wide ? 0x3C : 0x30, 3);
  word(segments + (wide ? 0x08 : 0x04), 0);
  word(segments + (wide ? 0x20 : 0x10), 0x100);
  const std::size_t offsetAt = wide ? 0x18 : 0x10;
  const std::size_t sizeAt = wide ? 0x20 : 0x14;
  for (std::size_t i = 0; i < 3; ++i) {
    const std::size_t s = sections + i * entry;
    putU32(reinterpret_cast<std::uint8_t*>(&elf[s + 4]), i == 0 ? 0 : i == 1 ? 1 : 8);
    word(s + offsetAt, i == 0 ? 0 : 0x100);
    word(s + sizeAt, i == 0 ? 0 : i == 1 ? sections - 0x100 : 1 << 20);
  }
  return elf;
}

TEST(ContainerTest, TheProgramImageEndsWhereItsHeadersSay) {
  for (bool plus : {false, true}) {
    for (bool symbols : {false, true}) {
      const std::string pe = peImage(4096, plus, symbols);
      MemoryRandomReader reader(pe);
      EXPECT_EQ(programImageEnd(reader), 4096u) << plus << symbols;
      // Behind it, whatever follows is not part of it.
      const std::string longer = pe + std::string(300, 'x');
      MemoryRandomReader more(longer);
      EXPECT_EQ(programImageEnd(more), 4096u) << plus << symbols;
      // Short of its last byte, the program is incomplete: no end at all.
      const std::string shorter = pe.substr(0, pe.size() - 1);
      MemoryRandomReader less(shorter);
      EXPECT_EQ(programImageEnd(less), 0u) << plus << symbols;
    }
  }
  for (bool wide : {false, true}) {
    const std::string elf = elfImage(wide, 2048) + "behind";
    MemoryRandomReader reader(elf);
    EXPECT_EQ(programImageEnd(reader), 2048u) << wide;
  }
  const std::string patch = smallestPatch("plain");
  MemoryRandomReader plain(patch);
  EXPECT_EQ(programImageEnd(plain), 0u) << "a patch file is no program";
}

// A self-applying patch that lost its end: the program is whole, its patch
// is not. Every such length, whatever the magic comparison, is cut short;
// the program alone, or followed by other bytes, carries no patch.
TEST(ContainerTest, AProgramWithTheStartOfAPatchBehindItIsCutShort) {
  const std::string patch = smallestPatch("joined");
  const std::string table(1500, 'C');
  struct Program {
    std::string name, bytes;
  };
  const std::vector<Program> programs = {{"PE32", peImage(4096)},
                                         {"PE32+", peImage(4096, true)},
                                         {"PE32 with symbols", peImage(4096, false, true)},
                                         {"ELF32", elfImage(false, 2048)},
                                         {"ELF64", elfImage(true, 2048)}};
  for (const Program& program : programs) {
    SCOPED_TRACE(program.name);
    const std::string whole = program.bytes + patch;
    MemoryRandomReader complete(whole);
    EXPECT_TRUE(carriesPatchData(complete));
    const PatchLocation loc = locatePatch(complete);
    ASSERT_EQ(loc.status, LocateStatus::kOk);
    EXPECT_EQ(loc.headerOffset, program.bytes.size());
    for (std::size_t n = program.bytes.size() + 1; n < whole.size(); ++n) {
      const std::string cut = whole.substr(0, n);
      MemoryRandomReader reader(cut);
      EXPECT_TRUE(carriesPatchData(reader)) << n;
      EXPECT_EQ(locatePatch(reader).status, LocateStatus::kTruncated) << n;
      EXPECT_EQ(locatePatch(reader, false).status, LocateStatus::kTruncated) << n;
    }
    for (const std::string& other : {std::string(), std::string("not a patch at all"), table}) {
      const std::string file = program.bytes + other;
      MemoryRandomReader reader(file);
      EXPECT_FALSE(carriesPatchData(reader)) << other.size();
      EXPECT_NE(locatePatch(reader).status, LocateStatus::kTruncated) << other.size();
    }
  }
  // Signed afterwards: found before the certificate table, and cut short
  // once the table lost its end.
  const std::size_t padding = 3;
  const std::uint32_t tableAt = static_cast<std::uint32_t>(4096 + patch.size() + padding);
  const std::string signedFile =
      peImage(4096, false, false, tableAt, static_cast<std::uint32_t>(table.size())) + patch +
      std::string(padding, '\0') + table;
  MemoryRandomReader signedReader(signedFile);
  EXPECT_EQ(locatePatch(signedReader).status, LocateStatus::kOk);
  const std::string signedCut = signedFile.substr(0, signedFile.size() - 100);
  MemoryRandomReader signedCutReader(signedCut);
  EXPECT_TRUE(carriesPatchData(signedCutReader));
  EXPECT_EQ(locatePatch(signedCutReader).status, LocateStatus::kTruncated);
}

// A directory patch's body assembled byte by byte: a registry series with
// an embedded file, an obsolete file and the end record.
std::string registrySeriesBody() {
  std::string body("\x01\x00", 2);  // registry locator, last series
  appendU32(&body, 0x80000002u);
  body += encodeShortString("Software\\Acme") + encodeShortString("Path") + encodeShortString("Backup");
  body += std::string(1, '\x02') + encodeShortString("a.txt");
  appendU32(&body, 3);
  appendU32(&body, 0);
  appendU16(&body, 0x20);
  body += "abc";
  body += std::string(1, '\x03') + encodeShortString("old.txt");
  body += std::string(1, '\x00');
  return body;
}

// A patched file with windows and two names, and its one source.
std::string windowedRecords() {
  FinalInfo info;
  info.sourceCount = 1;
  info.fileFlags = kFileHasWindows | kFileOptional;
  std::string data = info.encode();
  appendU32(&data, 100);
  appendU32(&data, 8);
  data += encodeShortString("bin\\app.exe") + encodeShortString("");
  SourceRecord rec;
  data += rec.encode();
  appendU32(&data, 7);
  appendU32(&data, 9);
  return data;
}

// Every truncation of a body is a corrupt patch, found by the reader.
TEST(ContainerTest, TruncatedBodiesAreCorrupt) {
  const std::string body = registrySeriesBody();
  const auto walk = [](const std::string& data) {
    MemoryReader in(data);
    BodyReader r(in, data.size());
    SeriesHeader s;
    RecordType t;
    std::string name;
    std::uint32_t size, date;
    std::uint16_t attributes;
    if (!r.readSeriesHeader(true, 0, &s) || !r.readRecordType(&t) ||
        !r.readEmbeddedHeader(&name, &size, &date, &attributes) || !r.skip(size) || !r.readRecordType(&t) ||
        !r.readObsolete(&name) || !r.readRecordType(&t)) {
      return r.corrupt();
    }
    return t == kRecordEnd && !r.corrupt() ? false : true;
  };
  EXPECT_FALSE(walk(body));
  for (std::size_t n = 0; n < body.size(); ++n) EXPECT_TRUE(walk(body.substr(0, n))) << "length " << n;
}

TEST(ContainerTest, LimitsOfConformingPatches) {
  std::string data;
  FinalInfo info;
  info.sourceCount = 21;
  data = info.encode();
  MemoryReader in(data);
  BodyReader r(in, data.size());
  FinalInfo got;
  ExclusionWindow w;
  std::string name;
  EXPECT_FALSE(r.readPatchedFile(false, &got, &w, &name));
  EXPECT_TRUE(r.corrupt()) << "more than 20 sources";

  const std::string series("\x00\x02", 2);
  MemoryReader sin(series);
  BodyReader sr(sin, series.size());
  SeriesHeader h;
  EXPECT_FALSE(sr.readSeriesHeader(false, 11, &h));
  EXPECT_TRUE(sr.corrupt()) << "a twelfth series";

  std::string type(1, '\x04');
  MemoryReader tin(type);
  BodyReader tr(tin, 1);
  RecordType t;
  EXPECT_FALSE(tr.readRecordType(&t));

  // Stream lengths that run past the body.
  SourceRecord rec;
  rec.streamLength[3] = 1000;
  FinalInfo one;
  one.sourceCount = 1;
  const std::string src = rec.encode() + "short";
  MemoryReader rin(src);
  BodyReader rr(rin, src.size());
  EXPECT_FALSE(rr.readSource(false, one, &name, &rec, &w));
  EXPECT_TRUE(rr.corrupt());

  // Embedded content longer than the data.
  std::string emb = encodeShortString("x");
  appendU32(&emb, 50);
  appendU32(&emb, 0);
  appendU16(&emb, 0);
  MemoryReader ein(emb);
  BodyReader er(ein, emb.size());
  std::uint32_t size, date;
  std::uint16_t attributes;
  EXPECT_FALSE(er.readEmbeddedHeader(&name, &size, &date, &attributes));
}

TEST(ContainerTest, WindowsAndNamesOfDirectoryRecords) {
  const std::string data = windowedRecords();
  SourceRecord rec;
  MemoryReader in(data);
  BodyReader r(in, data.size());
  FinalInfo got;
  ExclusionWindow w;
  std::string name, sourceName = "x";
  ASSERT_TRUE(r.readPatchedFile(true, &got, &w, &name));
  EXPECT_EQ(w.start, 100u);
  EXPECT_EQ(w.length, 8u);
  EXPECT_EQ(name, "bin\\app.exe");
  ASSERT_TRUE(r.readSource(true, got, &sourceName, &rec, &w));
  EXPECT_EQ(sourceName, "") << "an empty source name stands for the final file's name";
  EXPECT_EQ(w.start, 7u);
  EXPECT_EQ(w.length, 9u);
}

// The writer against the layouts assembled by hand above.
TEST(BodyWriterTest, WritesTheLayoutsTheReaderReads) {
  std::string body;
  BodyWriter w(&body);
  const SeriesHeader series{kLocateRegistry, 0, 0x80000002u, "Software\\Acme", "Path", "Backup"};
  ASSERT_TRUE(w.writeSeriesHeader(true, series));
  ASSERT_TRUE(w.writeEmbeddedHeader("a.txt", 3, 0, 0x20));
  body += "abc";
  ASSERT_TRUE(w.writeObsolete("old.txt"));
  w.writeEnd();
  EXPECT_EQ(body, registrySeriesBody());

  // Without its record type, as readPatchedFile sees it.
  std::string records;
  BodyWriter r(&records);
  FinalInfo info;
  info.sourceCount = 1;
  info.fileFlags = kFileHasWindows | kFileOptional;
  ExclusionWindow finalWindow, sourceWindow;
  finalWindow.start = 100;
  finalWindow.length = 8;
  sourceWindow.start = 7;
  sourceWindow.length = 9;
  ASSERT_TRUE(r.writePatchedFile(true, info, finalWindow, "bin\\app.exe"));
  ASSERT_TRUE(r.writeSource(true, info, "", SourceRecord(), sourceWindow));
  EXPECT_EQ(records, std::string(1, kRecordPatched) + windowedRecords());

  std::string marker;
  BodyWriter(&marker).writeLocalStubMarker();
  EXPECT_EQ(marker, std::string("\0\0\0\0\xbf\x6a\x45\x25", 8));
  std::string texts;
  BodyWriter(&texts).writeTexts("me", "note");
  EXPECT_EQ(texts, "menote");
}

// Names, backup directory and windows are stored only where the patch kind
// and the flags call for them; the reader finds each part where it belongs.
TEST(BodyWriterTest, SingleFilePatchesStoreNoNames) {
  const std::string longName(300, 'n');
  for (const bool directory : {false, true}) {
    std::string body;
    BodyWriter w(&body);
    const SeriesHeader series{kLocateWindowsDir, kSeriesMoreFollow, 0, "", "", "Old"};
    FinalInfo info;
    info.sourceCount = 1;
    SourceRecord record;
    record.size = 77;
    ExclusionWindow ignored;
    ignored.length = 5;  // no kFileHasWindows: not stored
    ASSERT_TRUE(w.writeSeriesHeader(directory, series));
    ASSERT_TRUE(w.writePatchedFile(directory, info, ignored, directory ? "app.exe" : longName));
    ASSERT_TRUE(w.writeSource(directory, info, directory ? "old.exe" : longName, record, ignored));
    // Backup "Old", the record type, "app.exe" and "old.exe".
    const std::size_t fixed = 2 + kFinalInfoSize + kSourceRecordSize;
    EXPECT_EQ(body.size(), directory ? fixed + 4 + 1 + 8 + 8 : fixed) << directory;

    MemoryReader in(body);
    BodyReader reader(in, body.size());
    SeriesHeader gotSeries;
    RecordType type = kRecordPatched;
    FinalInfo gotInfo;
    ExclusionWindow window;
    std::string name, sourceName;
    ASSERT_TRUE(reader.readSeriesHeader(directory, 0, &gotSeries));
    ASSERT_TRUE(!directory || reader.readRecordType(&type));
    ASSERT_TRUE(reader.readPatchedFile(directory, &gotInfo, &window, &name));
    ASSERT_TRUE(reader.readSource(directory, gotInfo, &sourceName, &record, &window));
    EXPECT_EQ(gotSeries.backupDir + "|" + name + "|" + sourceName, directory ? "Old|app.exe|old.exe" : "||");
    EXPECT_EQ(record.size, 77u);
    EXPECT_EQ(reader.remaining(), 0u);
  }
}

// A text of 256 bytes cannot be stored: every writer refuses it and leaves
// the body as it was. 255 bytes fit; a text that is not stored is not checked.
TEST(BodyWriterTest, TextsLongerThan255BytesAreRefused) {
  const std::string fits(255, 'f'), tooLong(256, 'x');
  const FinalInfo info;
  const ExclusionWindow whole;
  std::string body = "kept";
  BodyWriter w(&body);
  EXPECT_FALSE(w.writeSeriesHeader(false, {kLocateRegistry, 0, 0, tooLong, "", ""}));
  EXPECT_FALSE(w.writeSeriesHeader(false, {kLocateRegistry, 0, 0, "", tooLong, ""}));
  EXPECT_FALSE(w.writeSeriesHeader(true, {kLocateRegistry, 0, 0, "", "", tooLong}));
  EXPECT_FALSE(w.writePatchedFile(true, info, whole, tooLong));
  EXPECT_FALSE(w.writeSource(true, info, tooLong, SourceRecord(), whole));
  EXPECT_FALSE(w.writeEmbeddedHeader(tooLong, 0, 0, 0));
  EXPECT_FALSE(w.writeObsolete(tooLong));
  EXPECT_EQ(body, "kept");

  EXPECT_TRUE(w.writeSeriesHeader(false, {kLocateGivenPath, 0, 0, tooLong, tooLong, tooLong}));
  EXPECT_TRUE(w.writeSeriesHeader(true, {kLocateRegistry, 0, 0, fits, fits, fits}));
  EXPECT_EQ(body.size(), 4 + 2 + (2 + 4 + 3 * 256));
}

}  // namespace
}  // namespace patchformat
