#include "patchformat/body_walk.h"

namespace patchformat {
namespace {

std::uint64_t sizeFrom(std::uint64_t size, std::uint64_t offset) {
  if (size == BodyWalker::kUnknownSize) return size;
  return offset < size ? size - offset : 0;
}

}  // namespace

BodyWalker::BodyWalker(ByteReader& in, bool directoryPatch, std::uint64_t offset, std::uint64_t size, Expect expect)
    : in_(in), directoryPatch_(directoryPatch), size_(size), base_(offset), expect_(expect), offset_(offset) {
  reader_.emplace(in_, sizeFrom(size_, base_));
}

BodyWalker BodyWalker::fromStart(ByteReader& in, const PatchHeader& header, bool directoryPatch, std::uint64_t size) {
  BodyWalker walker(in, directoryPatch, 0, size, Expect::kTexts);
  walker.creatorLength_ = header.creatorLength;
  walker.commentLength_ = header.commentLength;
  return walker;
}

BodyWalker BodyWalker::fromSeries(ByteReader& in, bool directoryPatch, std::uint64_t offset, std::size_t index,
                                  std::uint64_t size) {
  BodyWalker walker(in, directoryPatch, offset, size, Expect::kSeries);
  walker.seriesIndex_ = walker.nextSeries_ = index;
  return walker;
}

BodyWalker BodyWalker::fromRecords(ByteReader& in, bool directoryPatch, std::uint64_t offset, std::size_t index,
                                   const SeriesHeader& series, std::uint64_t size) {
  BodyWalker walker(in, directoryPatch, offset, size, Expect::kRecord);
  walker.seriesIndex_ = index;
  walker.nextSeries_ = index + 1;
  walker.series_ = series;
  return walker;
}

BodyStep BodyWalker::failed(BodyStep step) {
  failedStep_ = step;
  expect_ = Expect::kBroken;
  contentLeft_ = 0;
  return BodyStep::kFailed;
}

BodyStep BodyWalker::next() {
  if (expect_ == Expect::kBroken) return BodyStep::kFailed;
  if (contentLeft_ > 0) {
    if (!reader_->skip(contentLeft_)) return failed(contentStep_);
    contentLeft_ = 0;
  }
  offset_ = position();
  switch (expect_) {
    case Expect::kTexts: {
      PatchHeader lengths;
      lengths.creatorLength = creatorLength_;
      lengths.commentLength = commentLength_;
      if (!reader_->readTexts(lengths, &creator_, &comment_)) return failed(BodyStep::kTexts);
      expect_ = Expect::kSeries;
      return BodyStep::kTexts;
    }
    case Expect::kSeries:
      seriesIndex_ = nextSeries_++;
      if (!reader_->readSeriesHeader(directoryPatch_, seriesIndex_, &series_)) return failed(BodyStep::kSeries);
      recordRead_ = false;
      expect_ = Expect::kRecord;
      return BodyStep::kSeries;
    case Expect::kRecord:
      return record();
    case Expect::kSource:
      return sourceEntry();
    case Expect::kEnded:
    case Expect::kBroken:
      break;
  }
  return BodyStep::kBodyEnd;
}

BodyStep BodyWalker::record() {
  // A single-file patch has one patched file, without a type byte, and no
  // end record: its series ends after that file.
  RecordType type = kRecordPatched;
  if (!directoryPatch_) {
    if (recordRead_) return seriesEnd();
    recordRead_ = true;
  } else if (!reader_->readRecordType(&type)) {
    return failed(BodyStep::kFailed);
  }
  switch (type) {
    case kRecordEnd:
      return seriesEnd();
    case kRecordPatched:
      if (!reader_->readPatchedFile(directoryPatch_, &patched_.info, &patched_.window, &patched_.name)) {
        return failed(BodyStep::kPatchedFile);
      }
      sourcesRead_ = 0;
      expect_ = patched_.info.sourceCount > 0 ? Expect::kSource : Expect::kRecord;
      return BodyStep::kPatchedFile;
    case kRecordEmbedded:
      if (!reader_->readEmbeddedHeader(&embedded_.name, &embedded_.size, &embedded_.dosDateTime,
                                       &embedded_.attributes)) {
        return failed(BodyStep::kEmbeddedFile);
      }
      embedded_.content = position();
      contentLeft_ = embedded_.size;
      contentStep_ = BodyStep::kEmbeddedFile;
      return BodyStep::kEmbeddedFile;
    case kRecordObsolete:
      if (!reader_->readObsolete(&obsolete_)) return failed(BodyStep::kObsoleteFile);
      return BodyStep::kObsoleteFile;
  }
  return failed(BodyStep::kFailed);  // readRecordType refuses other types
}

BodyStep BodyWalker::sourceEntry() {
  if (!reader_->readSource(directoryPatch_, patched_.info, &source_.name, &source_.record, &source_.window)) {
    return failed(BodyStep::kSource);
  }
  source_.index = sourcesRead_++;
  source_.streams = position();
  contentLeft_ = source_.record.streamsTotal();
  contentStep_ = BodyStep::kSource;
  if (sourcesRead_ == patched_.info.sourceCount) expect_ = Expect::kRecord;
  return BodyStep::kSource;
}

BodyStep BodyWalker::seriesEnd() {
  expect_ = series_.moreFollow() ? Expect::kSeries : Expect::kEnded;
  return BodyStep::kSeriesEnd;
}

bool BodyWalker::readContent(void* out, std::size_t n) {
  if (n > contentLeft_) return false;
  if (!reader_->readBytes(out, n)) return failed(contentStep_), false;
  contentLeft_ -= n;
  return true;
}

void BodyWalker::contentPassed() {
  if (contentLeft_ == 0) return;
  base_ = position() + contentLeft_;
  contentLeft_ = 0;
  reader_.emplace(in_, sizeFrom(size_, base_));
}

}  // namespace patchformat
