// The version resource of a Windows program (VS_VERSIONINFO, resource type
// 16), read and rewritten in the program's own bytes on any host: the
// builder gives the copy of a stub that becomes a self-applying patch the
// vendor's names (option -R), so that Explorer and allow-listing rules show
// the vendor's product.
//
// The rewrite happens in place. Every stub's version resource reserves room
// (resources/program.rc): a "Reserved" value of zero bytes in a second
// VarFileInfo block. The new resource, without that value, takes the place
// of the old one and may grow into the reserve; what is left of the
// reserve becomes zero bytes outside the resource (so a rewritten program
// has no room left for longer values). No section moves and the program
// keeps its size: the joined program's layout is the stub's, and it can be
// signed as before. In the PE header only the resource's size in its data
// entry and the header's checksum (when the stub has one) change.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace packaging {

// One value of the version resource's string table, in code page 1252 (the
// resource holds UTF-16).
struct VersionString {
  std::string key;
  std::string value;
};

// A key that option -R may set, and the longest value it may have. Every
// stub reserves room for all of them at these lengths at once, together
// with the OriginalFilename below.
struct VendorKey {
  const char* name;
  std::size_t maxLength;
};
extern const std::array<VendorKey, 6> kVendorKeys;

// The value the builder sets with the vendor's keys: the self-applying
// patch's file name (allow-listing rules match it with the product name).
constexpr const char* kOriginalFilenameKey = "OriginalFilename";
constexpr std::size_t kMaxOriginalFilename = 100;

// What a program's version resource says.
struct VersionInfo {
  // The fixed numeric versions, a.b.c.d as four 16-bit parts, a highest.
  std::uint64_t fileVersion = 0;
  std::uint64_t productVersion = 0;
  std::vector<VersionString> strings;  // the first string table, in its order
};

enum class VersionError {
  kNone,
  kNotAProgram,        // no PE program, or its headers or resource directory do not read
  kNoVersionResource,  // a program without a version resource
  kMalformed,          // a version resource that does not read as one
  kNoRoom,             // the new resource would be larger than the old one
};

// Reads the version resource of `program` (the first one of type 16 in its
// first language, as Windows takes it).
VersionError readVersionInfo(const std::string& program, VersionInfo* info);

// Gives `program`'s version resource the values of `changes` (a key the
// string table lacks is added at its end) and drops its reserve. A
// FileVersion or ProductVersion of one to four numbers separated by dots
// also sets that fixed numeric version. Changes nothing on failure.
VersionError setVersionStrings(std::string* program, const std::vector<VersionString>& changes);

// "a", "a.b", "a.b.c" or "a.b.c.d" with numbers 0..65535 as a fixed version
// (missing parts 0); false for any other text.
bool parseVersionNumbers(const std::string& text, std::uint64_t* version);

// The PE header checksum of `program` as the linker computes it: the
// 16-bit one's-complement sum of the file with the checksum field taken as
// zero, plus the file's length. `checksumAt` is that field's offset.
std::uint32_t peChecksum(const std::string& program, std::size_t checksumAt);

}  // namespace packaging
