#include "packaging/version_resource.h"

#include <algorithm>
#include <optional>

#include "patchformat/coding.h"
#include "platform/codepage.h"

namespace packaging {

const std::array<VendorKey, 6> kVendorKeys = {{
    {"ProductName", 100},
    {"CompanyName", 100},
    {"FileDescription", 100},
    {"ProductVersion", 40},
    {"FileVersion", 40},
    {"LegalCopyright", 100},
}};

namespace {

using patchformat::getU16;
using patchformat::getU32;
using patchformat::putU16;
using patchformat::putU32;

constexpr std::uint16_t kPe32 = 0x10B;
constexpr std::uint16_t kPe32Plus = 0x20B;
constexpr std::uint32_t kResourceDirectory = 2;  // data directory index
constexpr std::uint32_t kVersionType = 16;       // RT_VERSION
constexpr std::uint32_t kSubdirectory = 0x80000000u;
constexpr std::uint32_t kFixedSignature = 0xFEEF04BDu;
constexpr std::size_t kFixedInfoSize = 52;       // VS_FIXEDFILEINFO
constexpr std::size_t kFileVersionAt = 8;        // in VS_FIXEDFILEINFO: MS then LS
constexpr std::size_t kProductVersionAt = 16;
constexpr const char* kReserveKey = "Reserved";

const std::uint8_t* at(const std::string& bytes, std::size_t offset) {
  return reinterpret_cast<const std::uint8_t*>(bytes.data()) + offset;
}
bool fits(const std::string& bytes, std::size_t offset, std::size_t n) {
  return offset <= bytes.size() && n <= bytes.size() - offset;
}

// The parts of a PE program that lead to its version resource.
struct Program {
  struct Section {
    std::uint32_t address = 0;  // relative virtual address
    std::uint32_t rawSize = 0;
    std::uint32_t rawOffset = 0;
  };
  std::size_t checksumAt = 0;
  std::uint32_t resources = 0;  // the resource directory's RVA, 0 for none
  std::vector<Section> sections;

  // The file offset of `n` bytes at `rva`, when they lie in one section's data.
  std::optional<std::size_t> offsetOf(std::uint32_t rva, std::size_t n) const {
    for (const Section& s : sections) {
      if (rva >= s.address && rva - s.address <= s.rawSize && n <= s.rawSize - (rva - s.address)) {
        return std::size_t{s.rawOffset} + (rva - s.address);
      }
    }
    return std::nullopt;
  }
};

bool readProgram(const std::string& image, Program* program) {
  if (!fits(image, 0, 0x40) || image[0] != 'M' || image[1] != 'Z') return false;
  const std::size_t pe = getU32(at(image, 0x3C));
  if (!fits(image, pe, 24) || getU32(at(image, pe)) != 0x00004550u) return false;
  const std::size_t sectionCount = getU16(at(image, pe + 6));
  const std::size_t optionalSize = getU16(at(image, pe + 20));
  const std::size_t optional = pe + 24;
  if (!fits(image, optional, optionalSize) || optionalSize < 2) return false;
  // Where the optional header keeps the number of data directories.
  std::size_t countAt = 0;
  switch (getU16(at(image, optional))) {
    case kPe32: countAt = 92; break;
    case kPe32Plus: countAt = 108; break;
    default: return false;
  }
  program->checksumAt = optional + 64;
  const std::size_t entryAt = countAt + 4 + 8 * kResourceDirectory;
  if (optionalSize >= entryAt + 8 && getU32(at(image, optional + countAt)) > kResourceDirectory) {
    program->resources = getU32(at(image, optional + entryAt));
  }
  const std::size_t table = optional + optionalSize;
  if (!fits(image, table, sectionCount * 40)) return false;
  for (std::size_t i = 0; i < sectionCount; ++i) {
    const std::uint8_t* s = at(image, table + 40 * i);
    program->sections.push_back({getU32(s + 12), getU32(s + 16), getU32(s + 20)});
  }
  return true;
}

// Where the version resource lies: its data entry and its bytes.
struct ResourceData {
  std::size_t entryAt = 0;  // the IMAGE_RESOURCE_DATA_ENTRY (RVA, size, code page, reserved)
  std::size_t dataAt = 0;
  std::size_t size = 0;
};

// Walks the three levels of the resource directory (type, name, language)
// to the first version resource.
VersionError findVersion(const std::string& image, const Program& program, ResourceData* found) {
  if (program.resources == 0) return VersionError::kNoVersionResource;
  const std::optional<std::size_t> root = program.offsetOf(program.resources, 16);
  if (!root) return VersionError::kNotAProgram;
  // Offsets inside the directory count from its start; each level's entry
  // is the one with the type's id (level 1) or the first one.
  std::uint32_t offset = 0;
  for (int level = 0; level < 3; ++level) {
    if (!fits(image, *root + offset, 16)) return VersionError::kNotAProgram;
    const std::uint8_t* directory = at(image, *root + offset);
    const std::size_t count = std::size_t{getU16(directory + 12)} + getU16(directory + 14);
    if (!fits(image, *root + offset + 16, 8 * count)) return VersionError::kNotAProgram;
    std::optional<std::uint32_t> next;
    for (std::size_t i = 0; i < count && !next; ++i) {
      const std::uint8_t* entry = directory + 16 + 8 * i;
      if (level > 0 || getU32(entry) == kVersionType) next = getU32(entry + 4);
    }
    if (!next) return VersionError::kNoVersionResource;
    // Levels 1 and 2 lead to directories, level 3 to the data entry.
    if (((*next & kSubdirectory) != 0) != (level < 2)) return VersionError::kNotAProgram;
    offset = *next & ~kSubdirectory;
  }
  if (!fits(image, *root + offset, 16)) return VersionError::kNotAProgram;
  found->entryAt = *root + offset;
  const std::uint32_t size = getU32(at(image, found->entryAt + 4));
  const std::optional<std::size_t> data = program.offsetOf(getU32(at(image, found->entryAt)), size);
  if (!data || !fits(image, *data, size)) return VersionError::kNotAProgram;
  found->dataAt = *data;
  found->size = size;
  return VersionError::kNone;
}

// --- VS_VERSIONINFO --------------------------------------------------------
// A tree of nodes: length, value length, type (1 text, 0 binary), a UTF-16
// key, then on 32-bit boundaries (counted from the resource's start) the
// value and the children. A node's length ends with its last byte, the
// padding after it left out.

struct Node {
  std::u16string key;
  bool text = false;
  bool hasValue = false;
  std::string bytes;    // a binary value
  std::u16string chars;  // a text value, without its terminating zero
  std::vector<Node> children;
};

std::size_t aligned(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

std::u16string wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

bool parseNode(const std::string& block, std::size_t start, std::size_t limit, int depth, Node* node) {
  if (depth > 4 || start + 6 > limit) return false;
  const std::size_t length = getU16(at(block, start));
  const std::size_t valueLength = getU16(at(block, start + 2));
  const std::size_t end = start + length;
  if (length < 6 || end > limit) return false;
  node->text = getU16(at(block, start + 4)) == 1;
  std::size_t p = start + 6;
  for (;; p += 2) {
    if (p + 2 > end) return false;
    const char16_t c = getU16(at(block, p));
    if (c == 0) break;
    node->key.push_back(c);
  }
  p = aligned(p + 2);
  node->hasValue = valueLength > 0;
  if (node->hasValue) {
    // Text lengths count UTF-16 units; writers differ in whether the
    // terminating zero is counted, so a text ends at its first zero.
    p = std::min(p, end);
    const std::size_t bytes = std::min(node->text ? 2 * valueLength : valueLength, end - p);
    if (node->text) {
      for (std::size_t i = 0; i + 1 < bytes && getU16(at(block, p + i)) != 0; i += 2) {
        node->chars.push_back(getU16(at(block, p + i)));
      }
    } else {
      node->bytes = block.substr(p, bytes);
    }
    p = aligned(p + bytes);
  }
  while (p < end) {
    node->children.emplace_back();
    if (!parseNode(block, p, end, depth + 1, &node->children.back())) return false;
    p = aligned(p + getU16(at(block, p)));
  }
  return true;
}

void encodeNode(const Node& node, std::string* out) {
  const std::size_t start = out->size();
  std::size_t valueLength = 0;
  if (node.hasValue) valueLength = node.text ? node.chars.size() + 1 : node.bytes.size();
  patchformat::appendU16(out, 0);  // the length, once known
  patchformat::appendU16(out, static_cast<std::uint16_t>(valueLength));
  patchformat::appendU16(out, node.text ? 1 : 0);
  for (char16_t c : node.key) patchformat::appendU16(out, c);
  patchformat::appendU16(out, 0);
  out->resize(aligned(out->size()), '\0');
  if (node.hasValue && node.text) {
    for (char16_t c : node.chars) patchformat::appendU16(out, c);
    patchformat::appendU16(out, 0);
  } else if (node.hasValue) {
    out->append(node.bytes);
  }
  for (const Node& child : node.children) {
    out->resize(aligned(out->size()), '\0');
    encodeNode(child, out);
  }
  putU16(reinterpret_cast<std::uint8_t*>(&(*out)[start]), static_cast<std::uint16_t>(out->size() - start));
}

Node* child(Node& node, const char* key) {
  for (Node& c : node.children) {
    if (c.key == wide(key)) return &c;
  }
  return nullptr;
}

// The version resource's tree, checked as far as the rewrite relies on it:
// the fixed information and a string table.
struct Version {
  Node root;
  Node* strings = nullptr;  // the first table of StringFileInfo
};

VersionError parseVersion(const std::string& block, Version* version) {
  Node& root = version->root;
  if (!parseNode(block, 0, block.size(), 0, &root) || root.key != wide("VS_VERSION_INFO") ||
      root.bytes.size() < kFixedInfoSize || getU32(at(root.bytes, 0)) != kFixedSignature) {
    return VersionError::kMalformed;
  }
  Node* table = child(root, "StringFileInfo");
  if (table == nullptr || table->children.empty()) return VersionError::kMalformed;
  version->strings = &table->children.front();
  return VersionError::kNone;
}

// Code page 1252 and the resource's UTF-16 (all of code page 1252 lies in
// the basic plane: one unit a character).
std::u16string toUtf16(const std::string& cp1252) {
  const std::string utf8 = platform::cp1252ToUtf8(cp1252);
  std::u16string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    const int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : 2;
    std::uint32_t cp = extra == 0 ? c : extra == 1 ? c & 0x1F : c & 0x0F;
    for (int k = 1; k <= extra && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
    i += 1 + extra;
    out.push_back(static_cast<char16_t>(cp));
  }
  return out;
}

std::string fromUtf16(const std::u16string& utf16) {
  std::string utf8;
  for (const std::uint32_t cp : utf16) {
    if (cp < 0x80) {
      utf8.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      utf8.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp >= 0xD800 && cp < 0xE000) {
      utf8.push_back('?');  // half of a pair: outside code page 1252 anyway
    } else {
      utf8.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      utf8.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return platform::utf8ToCp1252(utf8);
}

bool sameKey(const std::u16string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char y) {
           const auto lower = [](std::uint32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
           return lower(x) == lower(static_cast<unsigned char>(y));
         });
}

void setFixedVersion(Node& root, std::size_t offset, std::uint64_t version) {
  auto* fixed = reinterpret_cast<std::uint8_t*>(&root.bytes[offset]);
  putU32(fixed, static_cast<std::uint32_t>(version >> 32));
  putU32(fixed + 4, static_cast<std::uint32_t>(version));
}

std::uint64_t fixedVersion(const Node& root, std::size_t offset) {
  return (std::uint64_t{getU32(at(root.bytes, offset))} << 32) | getU32(at(root.bytes, offset + 4));
}

// Finds the program's version resource and reads its tree.
VersionError openVersion(const std::string& image, Program* program, ResourceData* data, Version* version) {
  if (!readProgram(image, program)) return VersionError::kNotAProgram;
  if (const VersionError e = findVersion(image, *program, data); e != VersionError::kNone) return e;
  return parseVersion(image.substr(data->dataAt, data->size), version);
}

}  // namespace

VersionError readVersionInfo(const std::string& program, VersionInfo* info) {
  Program pe;
  ResourceData data;
  Version version;
  if (const VersionError e = openVersion(program, &pe, &data, &version); e != VersionError::kNone) return e;
  info->fileVersion = fixedVersion(version.root, kFileVersionAt);
  info->productVersion = fixedVersion(version.root, kProductVersionAt);
  info->strings.clear();
  for (const Node& s : version.strings->children) info->strings.push_back({fromUtf16(s.key), fromUtf16(s.chars)});
  return VersionError::kNone;
}

VersionError setVersionStrings(std::string* program, const std::vector<VersionString>& changes) {
  Program pe;
  ResourceData data;
  Version version;
  if (const VersionError e = openVersion(*program, &pe, &data, &version); e != VersionError::kNone) return e;
  for (const VersionString& change : changes) {
    std::vector<Node>& strings = version.strings->children;
    auto it = std::find_if(strings.begin(), strings.end(), [&](const Node& s) { return sameKey(s.key, change.key); });
    if (it == strings.end()) {
      Node added;
      added.key = wide(change.key);
      added.text = added.hasValue = true;
      it = strings.insert(strings.end(), added);
    }
    it->chars = toUtf16(change.value);
    std::uint64_t numbers = 0;
    if (parseVersionNumbers(change.value, &numbers)) {
      if (sameKey(wide(change.key), "FileVersion")) setFixedVersion(version.root, kFileVersionAt, numbers);
      if (sameKey(wide(change.key), "ProductVersion")) setFixedVersion(version.root, kProductVersionAt, numbers);
    }
  }
  // The reserve goes, and so does a VarFileInfo block left empty by it.
  std::vector<Node>& blocks = version.root.children;
  for (Node& block : blocks) {
    if (block.key != wide("VarFileInfo")) continue;
    block.children.erase(std::remove_if(block.children.begin(), block.children.end(),
                                        [](const Node& n) { return n.key == wide(kReserveKey); }),
                         block.children.end());
  }
  blocks.erase(std::remove_if(blocks.begin(), blocks.end(),
                              [](const Node& n) { return n.key == wide("VarFileInfo") && n.children.empty(); }),
               blocks.end());
  std::string block;
  encodeNode(version.root, &block);
  const std::size_t size = block.size();
  // Lengths are 16-bit: a larger resource would not even encode.
  if (size > data.size || size > 0xFFFF) return VersionError::kNoRoom;
  block.resize(data.size, '\0');
  program->replace(data.dataAt, data.size, block);
  auto* bytes = reinterpret_cast<std::uint8_t*>(&(*program)[0]);
  putU32(bytes + data.entryAt + 4, static_cast<std::uint32_t>(size));
  if (getU32(bytes + pe.checksumAt) != 0) putU32(bytes + pe.checksumAt, peChecksum(*program, pe.checksumAt));
  return VersionError::kNone;
}

bool parseVersionNumbers(const std::string& text, std::uint64_t* version) {
  std::uint64_t result = 0;
  int parts = 0;
  std::size_t i = 0;
  while (parts < 4) {
    std::uint32_t number = 0;
    const std::size_t first = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - first < 5) {
      number = number * 10 + static_cast<std::uint32_t>(text[i++] - '0');
    }
    if (i == first || number > 0xFFFF) return false;
    result |= std::uint64_t{number} << (16 * (3 - parts++));
    if (i == text.size()) break;
    if (text[i++] != '.') return false;
  }
  if (i != text.size()) return false;
  *version = result;
  return true;
}

std::uint32_t peChecksum(const std::string& program, std::size_t checksumAt) {
  const auto byte = [&](std::size_t i) -> std::uint32_t {
    if (i >= program.size() || (i >= checksumAt && i < checksumAt + 4)) return 0;
    return static_cast<unsigned char>(program[i]);
  };
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < program.size(); i += 2) {
    sum += byte(i) | (byte(i + 1) << 8);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + program.size());
}

}  // namespace packaging
