// The patch file container: a 78-byte header, a body (normally raw
// deflate), and an 8-byte trailer at the very end that points back to the
// header, so that an applier program may stand in front of the patch data.
// docs/FORMAT.md describes the layout byte by byte.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "patchformat/crc.h"
#include "patchformat/delta.h"
#include "patchformat/io.h"

namespace patchformat {

constexpr std::uint32_t kPatchMagic = 0x3E7F8443u;
constexpr std::uint32_t kFormatVersion = 220;
// Patches whose body is one LZMA stream carry their own version number, so
// that appliers which know only the deflate body refuse them as a version
// they cannot apply instead of misreading them.
constexpr std::uint32_t kFormatVersionLzma = 221;
constexpr bool knownFormatVersion(std::uint32_t v) { return v == kFormatVersion || v == kFormatVersionLzma; }
constexpr std::size_t kHeaderSize = 78;
constexpr std::size_t kHeaderReserved = 64;  // zero bytes between the flags and the text lengths
constexpr std::size_t kTrailerSize = 8;
constexpr std::size_t kFinalInfoSize = 18;
constexpr std::size_t kSourceRecordSize = 32;
constexpr std::size_t kMaxSources = 20;  // per patched file
constexpr std::size_t kMaxSeries = 11;   // per patch
// Marker after the last series of patches made for the local console stub.
constexpr std::uint32_t kLocalStubMarker = 0x25456ABFu;

// The format keeps every size, length and offset in 32 bits: a file, a
// stream or a patch of 4 GiB or more has no place in it.
constexpr std::uint64_t kLargestSize = 0xFFFFFFFFu;
constexpr bool fitsFormat(std::uint64_t n) { return n <= kLargestSize; }
// The one narrowing of a size to the format's 32 bits. Callers refuse a
// larger size first, with a message of their own; one that still comes
// here is a fault of the program and throws FormatSizeError instead of
// wrapping into a wrong but plausible number.
class FormatSizeError : public std::exception {
 public:
  const char* what() const noexcept override { return "a size of 4 GiB or more reached the patch format"; }
};
std::uint32_t formatSize(std::uint64_t n);

// Patch kinds of the header.
constexpr std::uint8_t kKindFile = 1;
constexpr std::uint8_t kKindDirectory = 2;
constexpr std::uint8_t kKindSeveralTargets = 6;

constexpr std::uint8_t kHeaderCompressed = 0x01;      // body is raw deflate
constexpr std::uint8_t kHeaderNoConfirmation = 0x02;  // comment shown without asking
constexpr std::uint8_t kHeaderLzma = 0x04;            // body is one LZMA stream (version 221 only)

// An LZMA body's decoder keeps a dictionary of this size in memory: the
// builder never asks for more, and an applier refuses more.
constexpr std::uint32_t kLzmaLargestDictionary = 64u << 20;
constexpr std::size_t kLzmaPropertiesSize = 5;  // lc/lp/pb byte, then the dictionary size (u32)

// How the body's bytes are stored.
enum class BodyCoding { kStored, kDeflate, kLzma, kInvalid };

struct PatchHeader {
  std::uint32_t magic = kPatchMagic;
  std::uint32_t version = kFormatVersion;
  std::uint8_t kind = kKindFile;
  std::uint8_t flags = 0;
  std::uint16_t creatorLength = 0;  // R
  std::uint16_t commentLength = 0;  // C
  // LZMA body only, in the first reserved bytes: the stream's properties
  // and the size of the body it expands to (zero otherwise).
  std::uint8_t lzmaProperties[kLzmaPropertiesSize] = {};
  std::uint32_t expandedSize = 0;

  bool isDirectoryPatch() const { return kind != kKindFile; }
  // Stored, deflated or LZMA; kInvalid when the version, the flags and the
  // LZMA properties contradict each other or ask for too large a dictionary.
  BodyCoding bodyCoding() const;
  std::uint32_t lzmaDictionarySize() const;
  // Version and flags of an LZMA body of `expandedSize` bytes (its
  // properties are the encoder's to set), or of a deflate body (the LZMA
  // fields zero).
  void markLzmaBody(std::uint32_t size);
  void markDeflateBody();
  std::string encode() const;  // 78 bytes, reserved bytes zero
  static PatchHeader decode(const std::uint8_t* bytes);
};
static_assert(kHeaderSize == sizeof(PatchHeader::magic) + sizeof(PatchHeader::version) + sizeof(PatchHeader::kind) +
                                 sizeof(PatchHeader::flags) + kHeaderReserved + sizeof(PatchHeader::creatorLength) +
                                 sizeof(PatchHeader::commentLength) &&
              kHeaderSize == 78);

struct PatchTrailer {
  std::uint32_t length = 0;  // L: header start to end of file
  std::uint32_t magic = kPatchMagic;
  std::string encode() const;
  static PatchTrailer decode(const std::uint8_t* bytes);
};
static_assert(kTrailerSize == sizeof(PatchTrailer::length) + sizeof(PatchTrailer::magic) && kTrailerSize == 8);

// How a target series is found on the user's machine.
enum LocatorKind : std::uint8_t {
  kLocateGivenPath = 0,
  kLocateRegistry = 1,
  kLocateWindowsDir = 2,
  kLocateSystemDir = 3,
  kLocateKeep = 255,
};

constexpr std::uint8_t kSeriesMoreFollow = 0x02;

struct SeriesHeader {
  std::uint8_t locator = kLocateGivenPath;
  std::uint8_t flags = 0;
  // Registry locator only.
  std::uint32_t rootKey = 0;
  std::string subKey;
  std::string valueName;
  // Directory patches only.
  std::string backupDir;

  bool moreFollow() const { return (flags & kSeriesMoreFollow) != 0; }
};

enum RecordType : std::uint8_t {
  kRecordEnd = 0,
  kRecordPatched = 1,
  kRecordEmbedded = 2,
  kRecordObsolete = 3,
};

constexpr std::uint16_t kFileHasWindows = 0x01;
constexpr std::uint16_t kFileOptional = 0x02;

struct FinalInfo {
  std::uint32_t checksum = 0;
  std::uint32_t size = 0;
  std::uint32_t dosDateTime = 0;
  std::uint16_t attributes = 0;
  std::uint16_t sourceCount = 0;  // N
  std::uint16_t fileFlags = 0;
  std::string encode() const;  // 18 bytes
  static FinalInfo decode(const std::uint8_t* bytes);
};
static_assert(kFinalInfoSize == sizeof(FinalInfo::checksum) + sizeof(FinalInfo::size) + sizeof(FinalInfo::dosDateTime) +
                                    sizeof(FinalInfo::attributes) + sizeof(FinalInfo::sourceCount) +
                                    sizeof(FinalInfo::fileFlags) &&
              kFinalInfoSize == 18);

struct SourceRecord {
  std::uint32_t checksum = 0;
  std::uint32_t size = 0;
  std::uint32_t streamLength[5] = {};
  std::uint16_t mismatchGroup = 0;
  std::uint8_t deltaFlags = 0;
  std::uint8_t literalBlockSize = 0;
  std::uint64_t streamsTotal() const;
  // The decoder's parameters of this record's delta, from a source of
  // `sourceSize` bytes to `targetSize` bytes.
  DeltaParams params(std::uint32_t sourceSize, std::uint32_t targetSize) const;
  std::string encode() const;  // 32 bytes
  static SourceRecord decode(const std::uint8_t* bytes);
};
static_assert(kSourceRecordSize == sizeof(SourceRecord::checksum) + sizeof(SourceRecord::size) +
                                       sizeof(SourceRecord::streamLength) + sizeof(SourceRecord::mismatchGroup) +
                                       sizeof(SourceRecord::deltaFlags) + sizeof(SourceRecord::literalBlockSize) &&
              kSourceRecordSize == 32);

// Names and registry texts are stored behind a length byte.
constexpr std::size_t kMaxShortString = 255;
// A longer text is cut to kMaxShortString bytes, its length byte with it.
std::string encodeShortString(const std::string& text);

// --- locating the patch data in a plain or self-applying file ---------------

enum class LocateStatus {
  kOk,
  kUnreadable,     // "%nError, "%p" unreadable or not a patch file."
  kNotPatch,       // "%nError, "%p" is no patch file."
  kWrongVersion,   // the version message, naming header.version
  kTruncated,      // a patch cut short: its trailer says more than the file holds,
                   // or it begins with a header and has lost its trailer
};

struct PatchLocation {
  LocateStatus status = LocateStatus::kUnreadable;
  PatchHeader header;
  std::uint64_t headerOffset = 0;
  std::uint64_t bodyStart = 0;  // first stored body byte
  std::uint64_t bodyEnd = 0;    // one past the last stored body byte
};

// Finds the header from the trailer at the end of the patch data; a signed
// program's certificate table behind the patch data is stepped over.
// Without `compareMagic` the trailer and header are taken as they are,
// whatever their magic and version say.
PatchLocation locatePatch(RandomReader& file, bool compareMagic = true);

// Where the patch data of `file` ends, in `*end`. That is the file's end,
// except in a signed program: the signing tool appends a certificate table
// behind the patch data (after up to 7 zero bytes that align it to 8 bytes)
// and names it in the PE header's security directory, so the trailer
// stands just before the table. True when a trailer's magic stands at
// `*end`; otherwise `*end` is the file's size. Headers that do not add up
// are not a signed program, never an error.
bool findPatchEnd(RandomReader& file, std::uint64_t* end);

// Where the patch data joined behind a program begins: the end of the
// program's image (headers, sections, symbols) as the headers of a PE or
// an ELF program tell it; 0 when `file` is neither, or lacks part of it.
std::uint64_t programImageEnd(RandomReader& file);

// True when a program is followed by the start of a patch header (its
// magic and version, as far as the file holds them), whose offset then
// goes to `*start`.
bool joinedPatchStart(RandomReader& file, std::uint64_t* start);

// Whether `file` carries patch data: a trailer at its end (findPatchEnd),
// or a program with the start of a patch behind it, which a download that
// stopped half-way leaves, and which locatePatch reports as cut short.
bool carriesPatchData(RandomReader& file);

// --- reading the logical body -----------------------------------------------

// Why a logical body cannot be read: each makes the patch corrupt.
enum class RecordError : std::uint8_t {
  kNone,
  kCutShort,        // the body ends inside a record (or, its length unknown, inside content)
  kReadFailed,      // the source of the body reported an error
  kContentPastEnd,  // a source's streams or an embedded file run past the body's known end
  kUnknownType,     // a record type byte other than 0 to 3
  kTooManySources,  // more than 20 sources in one patched file
  kTooManySeries,   // a twelfth series
};

// Reads records from the logical body. Every short read, a length that runs
// past the data, an unknown record type, more than 20 sources in a record or
// more than 11 series make the patch corrupt: the read functions return false
// and `corrupt()` tells so, `error()` why. The order in which records stand
// is BodyWalker's (body_walk.h), which reads them through this class.
class BodyReader {
 public:
  // `size` is the length of the logical body behind `in`.
  BodyReader(ByteReader& in, std::uint64_t size) : in_(in), size_(size) {}

  bool readTexts(const PatchHeader& header, std::string* creator, std::string* comment);
  // `index` counts series from 0: a twelfth series is refused.
  bool readSeriesHeader(bool directoryPatch, std::size_t index, SeriesHeader* series);
  bool readRecordType(RecordType* type);
  // Final info, its window and (directory patch) its name.
  bool readPatchedFile(bool directoryPatch, FinalInfo* info, ExclusionWindow* window, std::string* name);
  // One source entry up to its streams, which stand next in the body.
  bool readSource(bool directoryPatch, const FinalInfo& info, std::string* name, SourceRecord* record,
                  ExclusionWindow* window);
  // Name, size, date and attributes; the S content bytes stand next.
  bool readEmbeddedHeader(std::string* name, std::uint32_t* size, std::uint32_t* dosDateTime,
                          std::uint16_t* attributes);
  bool readObsolete(std::string* name);
  // Reads n bytes of content (streams, embedded data) or skips them.
  bool readBytes(void* out, std::size_t n);
  bool skip(std::uint64_t n);

  std::uint64_t position() const { return position_; }
  std::uint64_t remaining() const { return size_ - position_; }
  bool corrupt() const { return error_ != RecordError::kNone; }
  RecordError error() const { return error_; }

 private:
  bool take(void* out, std::size_t n);
  bool shortString(std::string* out);
  bool window(ExclusionWindow* w);
  // The first error stands.
  bool fail(RecordError e) {
    if (error_ == RecordError::kNone) error_ = e;
    return false;
  }

  ByteReader& in_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
  RecordError error_ = RecordError::kNone;
};

// --- writing the logical body -----------------------------------------------

// Appends to a logical body what the BodyReader function of the matching
// name reads. Each record's writer puts the record type first, which the
// reader takes on its own through readRecordType to choose the record's
// reader; a single-file patch has no type byte before its one patched file.
// Content bytes (streams, embedded data) are appended by the caller as they
// are. File names and the backup directory are stored only in directory
// patches, the registry texts only with the registry locator; a text longer
// than kMaxShortString bytes cannot be stored: the writer then returns false
// and leaves the body as it was.
class BodyWriter {
 public:
  explicit BodyWriter(std::string* body) : out_(*body) {}

  // The lengths of both stand in the header.
  void writeTexts(const std::string& creator, const std::string& comment);
  bool writeSeriesHeader(bool directoryPatch, const SeriesHeader& series);
  // Type (directory patch), final info, its window when info's flags say so,
  // and (directory patch) the name.
  bool writePatchedFile(bool directoryPatch, const FinalInfo& info, const ExclusionWindow& window,
                        const std::string& name);
  // One source entry up to its streams; `info` is its patched file's.
  bool writeSource(bool directoryPatch, const FinalInfo& info, const std::string& name, const SourceRecord& record,
                   const ExclusionWindow& window);
  // Type, name, size, date and attributes; the caller appends the S bytes.
  bool writeEmbeddedHeader(const std::string& name, std::uint32_t size, std::uint32_t dosDateTime,
                           std::uint16_t attributes);
  bool writeObsolete(const std::string& name);
  void writeEnd();
  // Follows the last series of a patch made for the local console stub.
  void writeLocalStubMarker();

 private:
  void shortString(const std::string& text);
  void window(const ExclusionWindow& w);

  std::string& out_;
};

}  // namespace patchformat
