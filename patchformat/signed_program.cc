// Where the patch data stands in a self-applying patch: it begins where the
// program's image ends, and it ends at the end of the file, except in a
// program that was signed afterwards. Signing leaves the program and the
// patch data as they were and appends, behind them, zero bytes up to a
// multiple of 8 and a certificate table, whose file offset and size it
// records in the PE header's security directory (data directory 4).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "patchformat/coding.h"
#include "patchformat/container.h"

namespace patchformat {
namespace {

constexpr std::uint64_t kNewHeaderPointer = 0x3C;  // where the DOS header keeps the PE header's offset
constexpr std::size_t kCoffSize = 24;             // "PE\0\0" and the file header
constexpr std::uint16_t kPe32 = 0x10B;
constexpr std::uint16_t kPe32Plus = 0x20B;
constexpr std::uint32_t kSecurityDirectory = 4;
constexpr std::size_t kMaxPadding = 7;
constexpr std::uint64_t kSizeOfHeadersAt = 60;  // in the optional header, the same in both forms
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint16_t kMaxSections = 96;       // what the loader accepts
constexpr std::uint64_t kSymbolSize = 18;

bool trailerMagicAt(RandomReader& file, std::uint64_t end) {
  std::uint8_t magic[4];
  return end >= kTrailerSize && end <= file.size() && file.readAt(end - 4, magic, 4) &&
         getU32(magic) == kPatchMagic;
}

// What the headers of a PE program say about where its parts lie.
struct PeLayout {
  std::uint64_t optional = 0;  // file offset of the optional header
  std::uint16_t optionalSize = 0;
  std::uint16_t magic = 0;  // kPe32 or kPe32Plus
  std::uint16_t sections = 0;
  std::uint32_t symbolTable = 0;  // file offset; 0 in a stripped program
  std::uint32_t symbols = 0;
};

bool readPeLayout(RandomReader& file, PeLayout* pe) {
  const std::uint64_t size = file.size();
  std::uint8_t dos[2];
  std::uint8_t pointer[4];
  if (size < kNewHeaderPointer + 4 || !file.readAt(0, dos, 2) || dos[0] != 'M' || dos[1] != 'Z' ||
      !file.readAt(kNewHeaderPointer, pointer, 4)) {
    return false;
  }
  const std::uint64_t at = getU32(pointer);
  std::uint8_t coff[kCoffSize];
  if (at + kCoffSize + 2 > size || !file.readAt(at, coff, kCoffSize) || getU32(coff) != 0x00004550u) return false;
  pe->sections = getU16(coff + 6);
  pe->symbolTable = getU32(coff + 12);
  pe->symbols = getU32(coff + 16);
  pe->optionalSize = getU16(coff + 20);
  pe->optional = at + kCoffSize;
  std::uint8_t magic[2];
  if (!file.readAt(pe->optional, magic, 2)) return false;
  pe->magic = getU16(magic);
  return pe->magic == kPe32 || pe->magic == kPe32Plus;
}

// The certificate table's offset when `file` is a PE program whose security
// directory names a table that ends at the end of the file; 0 otherwise.
std::uint64_t certificateTable(RandomReader& file) {
  PeLayout pe;
  if (!readPeLayout(file, &pe)) return 0;
  const std::uint64_t size = file.size();
  // Offsets in the optional header of the directory count and the directories.
  const std::uint64_t countAt = pe.magic == kPe32 ? 92 : 108;
  const std::uint64_t entryAt = countAt + 4 + 8 * kSecurityDirectory;
  std::uint8_t count[4];
  std::uint8_t entry[8];
  if (pe.optionalSize < entryAt + 8 || pe.optional + entryAt + 8 > size ||
      !file.readAt(pe.optional + countAt, count, 4) || getU32(count) <= kSecurityDirectory ||
      !file.readAt(pe.optional + entryAt, entry, 8)) {
    return 0;
  }
  const std::uint64_t table = getU32(entry);  // a file offset, unlike the other directories
  const std::uint64_t tableSize = getU32(entry + 4);
  if (tableSize == 0 || table <= pe.optional || table + tableSize != size) return 0;
  return table;
}

// The furthest end of the parts of a program that its headers name; no
// end at all once a part reaches beyond the file (the program itself is
// incomplete, or the headers are not what they seem).
class Extent {
 public:
  explicit Extent(std::uint64_t size) : size_(size) {}
  void cover(std::uint64_t offset, std::uint64_t length) {
    if (offset > size_ || length > size_ - offset) {
      fits_ = false;
    } else {
      end_ = std::max(end_, offset + length);
    }
  }
  std::uint64_t end() const { return fits_ ? end_ : 0; }

 private:
  const std::uint64_t size_;
  std::uint64_t end_ = 0;
  bool fits_ = true;
};

// The end of a PE program's headers, sections and symbol table; 0 when
// they cannot be read.
std::uint64_t peImageEnd(RandomReader& file, const PeLayout& pe) {
  std::uint8_t word[4];
  if (pe.optionalSize < kSizeOfHeadersAt + 4 || pe.sections > kMaxSections ||
      !file.readAt(pe.optional + kSizeOfHeadersAt, word, 4)) {
    return 0;
  }
  Extent extent(file.size());
  extent.cover(0, getU32(word));
  const std::uint64_t table = pe.optional + pe.optionalSize;
  for (std::uint16_t i = 0; i < pe.sections; ++i) {
    std::uint8_t section[kSectionHeaderSize];
    if (!file.readAt(table + kSectionHeaderSize * i, section, sizeof section)) return 0;
    extent.cover(getU32(section + 20), getU32(section + 16));
  }
  // A program that was not stripped keeps its symbols behind the sections,
  // followed by their strings, which begin with their own length.
  if (pe.symbolTable != 0) {
    const std::uint64_t strings = pe.symbolTable + kSymbolSize * pe.symbols;
    if (!file.readAt(strings, word, 4)) return 0;
    extent.cover(strings, getU32(word));
  }
  return extent.end();
}

// The end of a little-endian ELF program's headers, segments, sections and
// section header table (the native appliers); 0 when it is none.
std::uint64_t elfImageEnd(RandomReader& file) {
  std::uint8_t h[0x40];
  if (!file.readAt(0, h, 0x34) || std::memcmp(h, "\x7F" "ELF", 4) != 0 || h[5] != 1) return 0;
  const bool wide = h[4] == 2;
  if (!wide && h[4] != 1) return 0;
  if (wide && !file.readAt(0, h, sizeof h)) return 0;
  const auto word = [wide](const std::uint8_t* p) -> std::uint64_t {
    return wide ? getU32(p) | static_cast<std::uint64_t>(getU32(p + 4)) << 32 : getU32(p);
  };
  // Where the two forms keep a field: the 32-bit form's offset, then the 64-bit one's.
  const auto at = [wide](std::size_t narrow, std::size_t wideAt) { return wide ? wideAt : narrow; };
  const std::uint64_t segments = word(h + at(0x1C, 0x20));
  const std::uint64_t sections = word(h + at(0x20, 0x28));
  const std::uint64_t segmentSize = getU16(h + at(0x2A, 0x36));
  const std::uint16_t segmentCount = getU16(h + at(0x2C, 0x38));
  const std::uint64_t sectionSize = getU16(h + at(0x2E, 0x3A));
  const std::uint16_t sectionCount = getU16(h + at(0x30, 0x3C));
  Extent extent(file.size());
  extent.cover(0, getU16(h + at(0x28, 0x34)));
  extent.cover(segments, segmentSize * segmentCount);
  extent.cover(sections, sectionSize * sectionCount);
  std::uint8_t entry[0x40];
  const std::size_t segmentRead = at(0x14, 0x28);
  for (std::uint16_t i = 0; i < segmentCount; ++i) {
    if (segmentSize < segmentRead || !file.readAt(segments + segmentSize * i, entry, segmentRead)) return 0;
    extent.cover(word(entry + at(0x04, 0x08)), word(entry + at(0x10, 0x20)));
  }
  constexpr std::uint32_t kNoBits = 8;  // a section that takes no room in the file
  const std::size_t sectionRead = at(0x18, 0x28);
  for (std::uint16_t i = 0; i < sectionCount; ++i) {
    if (sectionSize < sectionRead || !file.readAt(sections + sectionSize * i, entry, sectionRead)) return 0;
    if (getU32(entry + 4) != kNoBits) extent.cover(word(entry + at(0x10, 0x18)), word(entry + at(0x14, 0x20)));
  }
  return extent.end();
}

// Whether the bytes from `at` on are the start of a patch header: its
// magic and version, as much of them as the file still holds (one byte at
// least).
bool patchBeginsAt(RandomReader& file, std::uint64_t at) {
  if (at >= file.size()) return false;
  const auto startsWith = [&](std::uint32_t version) {
    std::uint8_t expected[8];
    putU32(expected, kPatchMagic);
    putU32(expected + 4, version);
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof expected, file.size() - at));
    std::uint8_t found[sizeof expected];
    return file.readAt(at, found, n) && std::memcmp(found, expected, n) == 0;
  };
  return startsWith(kFormatVersion) || startsWith(kFormatVersionLzma);
}

}  // namespace

bool findPatchEnd(RandomReader& file, std::uint64_t* end) {
  *end = file.size();
  if (trailerMagicAt(file, *end)) return true;
  const std::uint64_t table = certificateTable(file);
  if (table == 0) return false;
  // The trailer's magic ends in a non-zero byte, so the padding in front of
  // the table is the run of zero bytes there, and cannot be mistaken for it.
  std::uint64_t candidate = table;
  for (std::size_t padding = 0; padding <= kMaxPadding && candidate >= kTrailerSize; ++padding, --candidate) {
    if (trailerMagicAt(file, candidate)) {
      *end = candidate;
      return true;
    }
    std::uint8_t byte = 0;
    if (!file.readAt(candidate - 1, &byte, 1) || byte != 0) break;
  }
  return false;
}

std::uint64_t programImageEnd(RandomReader& file) {
  PeLayout pe;
  const std::uint64_t end = readPeLayout(file, &pe) ? peImageEnd(file, pe) : elfImageEnd(file);
  return end <= file.size() ? end : 0;
}

bool joinedPatchStart(RandomReader& file, std::uint64_t* start) {
  *start = programImageEnd(file);
  return *start != 0 && patchBeginsAt(file, *start);
}

bool carriesPatchData(RandomReader& file) {
  std::uint64_t at = 0;
  return findPatchEnd(file, &at) || joinedPatchStart(file, &at);
}

}  // namespace patchformat
