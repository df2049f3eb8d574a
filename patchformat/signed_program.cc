// The end of the patch data in a self-applying patch that was signed
// afterwards. Signing leaves the program and the patch data as they were
// and appends, behind them, zero bytes up to a multiple of 8 and a
// certificate table, whose file offset and size it records in the PE
// header's security directory (data directory 4).
#include <cstdint>

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

bool trailerMagicAt(RandomReader& file, std::uint64_t end) {
  std::uint8_t magic[4];
  return end >= kTrailerSize && end <= file.size() && file.readAt(end - 4, magic, 4) &&
         getU32(magic) == kPatchMagic;
}

// The certificate table's offset when `file` is a PE program whose security
// directory names a table that ends at the end of the file; 0 otherwise.
std::uint64_t certificateTable(RandomReader& file) {
  const std::uint64_t size = file.size();
  std::uint8_t dos[4];
  std::uint8_t pointer[4];
  if (size < kNewHeaderPointer + 4 || !file.readAt(0, dos, 2) || dos[0] != 'M' || dos[1] != 'Z' ||
      !file.readAt(kNewHeaderPointer, pointer, 4)) {
    return 0;
  }
  const std::uint64_t pe = getU32(pointer);
  std::uint8_t coff[kCoffSize];
  if (pe + kCoffSize + 2 > size || !file.readAt(pe, coff, kCoffSize) || getU32(coff) != 0x00004550u) return 0;
  const std::uint16_t optionalSize = getU16(coff + 20);
  const std::uint64_t optional = pe + kCoffSize;
  std::uint8_t magic[2];
  if (!file.readAt(optional, magic, 2)) return 0;
  // Offsets in the optional header of the directory count and the directories.
  std::uint64_t countAt = 0;
  if (getU16(magic) == kPe32) {
    countAt = 92;
  } else if (getU16(magic) == kPe32Plus) {
    countAt = 108;
  } else {
    return 0;
  }
  const std::uint64_t entryAt = countAt + 4 + 8 * kSecurityDirectory;
  std::uint8_t count[4];
  std::uint8_t entry[8];
  if (optionalSize < entryAt + 8 || optional + entryAt + 8 > size || !file.readAt(optional + countAt, count, 4) ||
      getU32(count) <= kSecurityDirectory || !file.readAt(optional + entryAt, entry, 8)) {
    return 0;
  }
  const std::uint64_t table = getU32(entry);  // a file offset, unlike the other directories
  const std::uint64_t tableSize = getU32(entry + 4);
  if (tableSize == 0 || table <= optional || table + tableSize != size) return 0;
  return table;
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

}  // namespace patchformat
