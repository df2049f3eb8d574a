#include "patchformat/container.h"

#include <algorithm>
#include <iterator>

#include "patchformat/coding.h"

namespace patchformat {

std::string PatchHeader::encode() const {
  std::string out;
  appendU32(&out, magic);
  appendU32(&out, version);
  appendU8(&out, kind);
  appendU8(&out, flags);
  out.append(reinterpret_cast<const char*>(lzmaProperties), kLzmaPropertiesSize);
  appendU32(&out, expandedSize);
  out.append(kHeaderReserved - kLzmaPropertiesSize - 4, '\0');
  appendU16(&out, creatorLength);
  appendU16(&out, commentLength);
  return out;
}

PatchHeader PatchHeader::decode(const std::uint8_t* b) {
  PatchHeader h;
  h.magic = getU32(b);
  h.version = getU32(b + 4);
  h.kind = b[8];
  h.flags = b[9];
  std::copy(b + 10, b + 10 + kLzmaPropertiesSize, h.lzmaProperties);
  h.expandedSize = getU32(b + 10 + kLzmaPropertiesSize);
  h.creatorLength = getU16(b + 74);
  h.commentLength = getU16(b + 76);
  return h;
}

std::uint32_t PatchHeader::lzmaDictionarySize() const { return getU32(lzmaProperties + 1); }

void PatchHeader::markLzmaBody(std::uint32_t size) {
  version = kFormatVersionLzma;
  flags = static_cast<std::uint8_t>((flags & ~kHeaderCompressed) | kHeaderLzma);
  expandedSize = size;
}

void PatchHeader::markDeflateBody() {
  version = kFormatVersion;
  flags = static_cast<std::uint8_t>((flags & ~kHeaderLzma) | kHeaderCompressed);
  std::fill(std::begin(lzmaProperties), std::end(lzmaProperties), 0);
  expandedSize = 0;
}

BodyCoding PatchHeader::bodyCoding() const {
  const bool lzma = (flags & kHeaderLzma) != 0;
  if (lzma != (version == kFormatVersionLzma)) return BodyCoding::kInvalid;
  if (!lzma) return (flags & kHeaderCompressed) ? BodyCoding::kDeflate : BodyCoding::kStored;
  // lc <= 8, lp <= 4, pb <= 4 packed as (pb * 5 + lp) * 9 + lc; no deflate flag beside it.
  const bool properties = lzmaProperties[0] < 9 * 5 * 5 && lzmaDictionarySize() <= kLzmaLargestDictionary;
  return properties && !(flags & kHeaderCompressed) ? BodyCoding::kLzma : BodyCoding::kInvalid;
}

std::string PatchTrailer::encode() const {
  std::string out;
  appendU32(&out, length);
  appendU32(&out, magic);
  return out;
}

PatchTrailer PatchTrailer::decode(const std::uint8_t* b) {
  PatchTrailer t;
  t.length = getU32(b);
  t.magic = getU32(b + 4);
  return t;
}

std::string FinalInfo::encode() const {
  std::string out;
  appendU32(&out, checksum);
  appendU32(&out, size);
  appendU32(&out, dosDateTime);
  appendU16(&out, attributes);
  appendU16(&out, sourceCount);
  appendU16(&out, fileFlags);
  return out;
}

FinalInfo FinalInfo::decode(const std::uint8_t* b) {
  FinalInfo f;
  f.checksum = getU32(b);
  f.size = getU32(b + 4);
  f.dosDateTime = getU32(b + 8);
  f.attributes = getU16(b + 12);
  f.sourceCount = getU16(b + 14);
  f.fileFlags = getU16(b + 16);
  return f;
}

DeltaParams SourceRecord::params(std::uint32_t sourceSize, std::uint32_t targetSize) const {
  DeltaParams p;
  p.sourceSize = sourceSize;
  p.targetSize = targetSize;
  p.flags = deltaFlags;
  p.mismatchGroup = mismatchGroup;
  p.literalBlockSize = literalBlockSize;
  return p;
}

std::uint64_t SourceRecord::streamsTotal() const {
  std::uint64_t total = 0;
  for (std::uint32_t n : streamLength) total += n;
  return total;
}

std::string SourceRecord::encode() const {
  std::string out;
  appendU32(&out, checksum);
  appendU32(&out, size);
  for (std::uint32_t n : streamLength) appendU32(&out, n);
  appendU16(&out, mismatchGroup);
  appendU8(&out, deltaFlags);
  appendU8(&out, literalBlockSize);
  return out;
}

SourceRecord SourceRecord::decode(const std::uint8_t* b) {
  SourceRecord s;
  s.checksum = getU32(b);
  s.size = getU32(b + 4);
  for (int i = 0; i < 5; ++i) s.streamLength[i] = getU32(b + 8 + 4 * i);
  s.mismatchGroup = getU16(b + 28);
  s.deltaFlags = b[30];
  s.literalBlockSize = b[31];
  return s;
}

std::uint32_t formatSize(std::uint64_t n) {
  if (!fitsFormat(n)) throw FormatSizeError();
  return static_cast<std::uint32_t>(n);
}

std::string encodeShortString(const std::string& text) {
  const std::size_t n = std::min(text.size(), kMaxShortString);
  std::string out;
  appendU8(&out, static_cast<std::uint8_t>(n));
  out += text.substr(0, n);
  return out;
}

PatchLocation locatePatch(RandomReader& file, bool compareMagic) {
  PatchLocation loc;
  std::uint64_t size = 0;  // the end of the patch data
  findPatchEnd(file, &size);
  // A download that stopped half-way keeps the start of the patch and
  // loses its end: a plain patch file then still begins with a header.
  const auto beginsWithHeader = [&] {
    std::uint8_t first[kHeaderSize];
    if (!file.readAt(0, first, kHeaderSize)) return false;
    const PatchHeader h = PatchHeader::decode(first);
    return h.magic == kPatchMagic && knownFormatVersion(h.version);
  };
  const auto truncated = [&] {
    loc.status = LocateStatus::kTruncated;
    return loc;
  };
  std::uint8_t trailer[kTrailerSize];
  if (size < kTrailerSize || !file.readAt(size - kTrailerSize, trailer, kTrailerSize)) {
    return compareMagic && beginsWithHeader() ? truncated() : loc;
  }
  const PatchTrailer t = PatchTrailer::decode(trailer);
  // A program with the start of a patch behind it, whose trailer does not
  // reach back to it: a self-applying patch cut short. This holds also where
  // magic and version are not compared, as it needs no trailer to tell.
  std::uint64_t joined = 0;
  if (joinedPatchStart(file, &joined) && (joined > size || t.length != size - joined)) return truncated();
  if (compareMagic) {
    // A trailer that says more than the file holds: the file lost its start.
    if (t.magic == kPatchMagic && t.length > size) return truncated();
    // No trailer behind what begins as a patch. A complete plain patch
    // whose trailer magic was damaged still says its own length there.
    if (t.magic != kPatchMagic && t.length != size && beginsWithHeader()) return truncated();
  }
  std::uint8_t header[kHeaderSize];
  // The header must lie inside the file, with room for itself and the trailer.
  if (t.length > size || t.length < kHeaderSize + kTrailerSize ||
      !file.readAt(size - t.length, header, kHeaderSize)) {
    return loc;  // unreadable
  }
  loc.header = PatchHeader::decode(header);
  if (compareMagic && (t.magic != kPatchMagic || loc.header.magic != kPatchMagic)) {
    loc.status = LocateStatus::kNotPatch;
    return loc;
  }
  if (compareMagic && !knownFormatVersion(loc.header.version)) {
    loc.status = LocateStatus::kWrongVersion;
    return loc;
  }
  loc.status = LocateStatus::kOk;
  loc.headerOffset = size - t.length;
  loc.bodyStart = loc.headerOffset + kHeaderSize;
  loc.bodyEnd = size - kTrailerSize;
  return loc;
}

bool BodyReader::take(void* out, std::size_t n) {
  if (corrupt()) return false;
  if (n > remaining()) return fail(RecordError::kCutShort);
  std::uint8_t* p = static_cast<std::uint8_t*>(out);
  std::size_t left = n;
  while (left > 0) {
    const long got = in_.read(p, left);
    if (got <= 0) return fail(got < 0 ? RecordError::kReadFailed : RecordError::kCutShort);
    p += got;
    left -= static_cast<std::size_t>(got);
  }
  position_ += n;
  return true;
}

bool BodyReader::readBytes(void* out, std::size_t n) { return take(out, n); }

bool BodyReader::skip(std::uint64_t n) {
  if (n > remaining()) return fail(RecordError::kCutShort);
  std::uint8_t buffer[4096];
  while (n > 0) {
    const std::size_t piece = n > sizeof buffer ? sizeof buffer : static_cast<std::size_t>(n);
    if (!take(buffer, piece)) return false;
    n -= piece;
  }
  return true;
}

bool BodyReader::shortString(std::string* out) {
  std::uint8_t n = 0;
  if (!take(&n, 1)) return false;
  out->assign(n, '\0');
  return n == 0 || take(&(*out)[0], n);
}

bool BodyReader::window(ExclusionWindow* w) {
  std::uint8_t b[8];
  if (!take(b, 8)) return false;
  w->start = getU32(b);
  w->length = getU32(b + 4);
  return true;
}

bool BodyReader::readTexts(const PatchHeader& header, std::string* creator, std::string* comment) {
  creator->assign(header.creatorLength, '\0');
  comment->assign(header.commentLength, '\0');
  if (header.creatorLength > 0 && !take(&(*creator)[0], header.creatorLength)) return false;
  if (header.commentLength > 0 && !take(&(*comment)[0], header.commentLength)) return false;
  return true;
}

bool BodyReader::readSeriesHeader(bool directoryPatch, std::size_t index, SeriesHeader* series) {
  if (index >= kMaxSeries) return fail(RecordError::kTooManySeries);
  *series = SeriesHeader();
  std::uint8_t b[2];
  if (!take(b, 2)) return false;
  series->locator = b[0];
  series->flags = b[1];
  if (series->locator == kLocateRegistry) {
    std::uint8_t root[4];
    if (!take(root, 4) || !shortString(&series->subKey) || !shortString(&series->valueName)) return false;
    series->rootKey = getU32(root);
  }
  return !directoryPatch || shortString(&series->backupDir);
}

bool BodyReader::readRecordType(RecordType* type) {
  std::uint8_t t = 0;
  if (!take(&t, 1)) return false;
  if (t > kRecordObsolete) return fail(RecordError::kUnknownType);
  *type = static_cast<RecordType>(t);
  return true;
}

bool BodyReader::readPatchedFile(bool directoryPatch, FinalInfo* info, ExclusionWindow* w, std::string* name) {
  std::uint8_t b[kFinalInfoSize];
  if (!take(b, sizeof b)) return false;
  *info = FinalInfo::decode(b);
  if (info->sourceCount > kMaxSources) return fail(RecordError::kTooManySources);
  *w = ExclusionWindow();
  if ((info->fileFlags & kFileHasWindows) && !window(w)) return false;
  name->clear();
  return !directoryPatch || shortString(name);
}

bool BodyReader::readSource(bool directoryPatch, const FinalInfo& info, std::string* name, SourceRecord* record,
                            ExclusionWindow* w) {
  name->clear();
  if (directoryPatch && !shortString(name)) return false;
  std::uint8_t b[kSourceRecordSize];
  if (!take(b, sizeof b)) return false;
  *record = SourceRecord::decode(b);
  *w = ExclusionWindow();
  if ((info.fileFlags & kFileHasWindows) && !window(w)) return false;
  return record->streamsTotal() <= remaining() || fail(RecordError::kContentPastEnd);
}

bool BodyReader::readEmbeddedHeader(std::string* name, std::uint32_t* size, std::uint32_t* dosDateTime,
                                    std::uint16_t* attributes) {
  std::uint8_t b[10];
  if (!shortString(name) || !take(b, sizeof b)) return false;
  *size = getU32(b);
  *dosDateTime = getU32(b + 4);
  *attributes = getU16(b + 8);
  return *size <= remaining() || fail(RecordError::kContentPastEnd);
}

bool BodyReader::readObsolete(std::string* name) { return shortString(name); }

namespace {
bool fits(const std::string& text) { return text.size() <= kMaxShortString; }
}  // namespace

// Callers have checked that the text fits.
void BodyWriter::shortString(const std::string& text) { out_ += encodeShortString(text); }

void BodyWriter::window(const ExclusionWindow& w) {
  appendU32(&out_, w.start);
  appendU32(&out_, w.length);
}

void BodyWriter::writeTexts(const std::string& creator, const std::string& comment) { out_ += creator + comment; }

bool BodyWriter::writeSeriesHeader(bool directoryPatch, const SeriesHeader& series) {
  const bool registry = series.locator == kLocateRegistry;
  if ((registry && !(fits(series.subKey) && fits(series.valueName))) || (directoryPatch && !fits(series.backupDir))) {
    return false;
  }
  appendU8(&out_, series.locator);
  appendU8(&out_, series.flags);
  if (registry) {
    appendU32(&out_, series.rootKey);
    shortString(series.subKey);
    shortString(series.valueName);
  }
  if (directoryPatch) shortString(series.backupDir);
  return true;
}

bool BodyWriter::writePatchedFile(bool directoryPatch, const FinalInfo& info, const ExclusionWindow& w,
                                  const std::string& name) {
  if (directoryPatch && !fits(name)) return false;
  if (directoryPatch) appendU8(&out_, kRecordPatched);
  out_ += info.encode();
  if (info.fileFlags & kFileHasWindows) window(w);
  if (directoryPatch) shortString(name);
  return true;
}

bool BodyWriter::writeSource(bool directoryPatch, const FinalInfo& info, const std::string& name,
                             const SourceRecord& record, const ExclusionWindow& w) {
  if (directoryPatch && !fits(name)) return false;
  if (directoryPatch) shortString(name);
  out_ += record.encode();
  if (info.fileFlags & kFileHasWindows) window(w);
  return true;
}

bool BodyWriter::writeEmbeddedHeader(const std::string& name, std::uint32_t size, std::uint32_t dosDateTime,
                                     std::uint16_t attributes) {
  if (!fits(name)) return false;
  appendU8(&out_, kRecordEmbedded);
  shortString(name);
  appendU32(&out_, size);
  appendU32(&out_, dosDateTime);
  appendU16(&out_, attributes);
  return true;
}

bool BodyWriter::writeObsolete(const std::string& name) {
  if (!fits(name)) return false;
  appendU8(&out_, kRecordObsolete);
  shortString(name);
  return true;
}

void BodyWriter::writeEnd() { appendU8(&out_, kRecordEnd); }

void BodyWriter::writeLocalStubMarker() {
  appendU32(&out_, 0);
  appendU32(&out_, kLocalStubMarker);
}

}  // namespace patchformat
