#include "patchformat/body_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "patchformat/coding.h"

namespace patchformat {
namespace {

// A body source that can be moved, as the appliers' expanded body can, and
// that fails every read that reaches byte `failAt`.
class MovableReader : public ByteReader {
 public:
  explicit MovableReader(const std::string& data, std::size_t failAt = std::string::npos)
      : data_(data), failAt_(failAt) {}
  long read(void* buffer, std::size_t n) override {
    if (failAt_ != std::string::npos && position_ + n > failAt_) return -1;
    const std::size_t take = std::min(n, data_.size() - std::min(position_, data_.size()));
    if (take > 0) data_.copy(static_cast<char*>(buffer), take, position_);
    position_ += take;
    return static_cast<long>(take);
  }
  void seek(std::size_t at) { position_ = at; }
  std::size_t position() const { return position_; }

 private:
  const std::string& data_;
  std::size_t failAt_;
  std::size_t position_ = 0;
};

struct Layout {
  PatchHeader header;
  std::string body;
  std::vector<std::uint64_t> recordAt;   // where each record (its type byte) begins
  std::vector<std::uint64_t> contentAt;  // where each source's streams or embedded content begin
  std::uint64_t secondSeries = 0;
  std::uint64_t firstRecords = 0;        // after the first series' header
};

// A directory patch with texts and two series: the first found through the
// registry, with a patched file of two sources (windows, a source of its
// own name), an embedded file, an obsolete file and a patched file without
// sources; the second by path, with one embedded file.
Layout directoryPatch(bool localStubMarker = false) {
  Layout p;
  p.header.kind = kKindSeveralTargets;
  p.header.creatorLength = 2;
  p.header.commentLength = 3;
  BodyWriter w(&p.body);
  w.writeTexts("by", "Hi\r");
  const SeriesHeader registry{kLocateRegistry, kSeriesMoreFollow, 0x80000002u, "Software\\A", "Dir", "Old"};
  EXPECT_TRUE(w.writeSeriesHeader(true, registry));
  p.firstRecords = p.body.size();
  FinalInfo info;
  info.size = 9;
  info.sourceCount = 2;
  info.fileFlags = kFileHasWindows | kFileOptional;
  p.recordAt.push_back(p.body.size());
  EXPECT_TRUE(w.writePatchedFile(true, info, ExclusionWindow{4, 2}, "bin\\a.exe"));
  for (int k = 0; k < 2; ++k) {
    SourceRecord rec;
    rec.size = 7 + k;
    rec.streamLength[0] = 3;
    rec.streamLength[3] = 2 + k;
    EXPECT_TRUE(w.writeSource(true, info, k == 0 ? "old.exe" : "", rec, ExclusionWindow{1, 1}));
    p.contentAt.push_back(p.body.size());
    p.body += "NNN" + std::string(2 + k, 'L');
  }
  p.recordAt.push_back(p.body.size());
  EXPECT_TRUE(w.writeEmbeddedHeader("readme.txt", 5, 0x5A210000u, 0x20));
  p.contentAt.push_back(p.body.size());
  p.body += "HELLO";
  p.recordAt.push_back(p.body.size());
  EXPECT_TRUE(w.writeObsolete("gone.dll"));
  FinalInfo none;
  p.recordAt.push_back(p.body.size());
  EXPECT_TRUE(w.writePatchedFile(true, none, ExclusionWindow(), "new.cfg"));
  p.recordAt.push_back(p.body.size());
  w.writeEnd();
  p.secondSeries = p.body.size();
  EXPECT_TRUE(w.writeSeriesHeader(true, SeriesHeader{kLocateGivenPath, 0, 0, "", "", "Backup"}));
  EXPECT_TRUE(w.writeEmbeddedHeader("x", 1, 0, 0));
  p.contentAt.push_back(p.body.size());
  p.body += "X";
  w.writeEnd();
  if (localStubMarker) w.writeLocalStubMarker();
  return p;
}

// A single-file patch of two series, the first with one source.
Layout singleFilePatch() {
  Layout p;
  BodyWriter w(&p.body);
  EXPECT_TRUE(w.writeSeriesHeader(false, SeriesHeader{kLocateWindowsDir, kSeriesMoreFollow, 0, "", "", "unused"}));
  p.firstRecords = p.body.size();
  FinalInfo info;
  info.size = 4;
  info.sourceCount = 1;
  p.recordAt.push_back(p.body.size());
  EXPECT_TRUE(w.writePatchedFile(false, info, ExclusionWindow(), "unused"));
  SourceRecord rec;
  rec.size = 3;
  rec.streamLength[0] = 1;
  rec.streamLength[4] = 2;
  EXPECT_TRUE(w.writeSource(false, info, "unused", rec, ExclusionWindow()));
  p.contentAt.push_back(p.body.size());
  p.body += "NMM";
  p.secondSeries = p.body.size();
  EXPECT_TRUE(w.writeSeriesHeader(false, SeriesHeader{kLocateKeep, 0, 0, "", "", ""}));
  FinalInfo none;
  EXPECT_TRUE(w.writePatchedFile(false, none, ExclusionWindow(), ""));
  return p;
}

// In the order of BodyStep.
const char* const kStepNames[] = {"texts", "series", "patched", "source", "embedded", "obsolete", "end", "body-end",
                                  "failed"};

// The steps up to the body's end or a failure, in one line; at most `limit`.
std::string trace(BodyWalker& walk, int limit = 1000) {
  std::string out;
  for (int i = 0; i < limit; ++i) {
    const BodyStep step = walk.next();
    out += std::string(out.empty() ? "" : " ") + kStepNames[static_cast<int>(step)];
    if (step == BodyStep::kBodyEnd || step == BodyStep::kFailed) return out;
  }
  return out + " ...";
}

TEST(BodyWalkTest, WalksEveryRecordKindOfADirectoryPatch) {
  const Layout p = directoryPatch(true);
  MemoryReader in(p.body);
  BodyWalker walk = BodyWalker::fromStart(in, p.header, true, p.body.size());
  ASSERT_EQ(trace(walk, 2), "texts series ...");
  EXPECT_EQ(walk.comment(), "Hi\r");
  EXPECT_EQ(walk.series().subKey, "Software\\A");
  EXPECT_EQ(walk.position(), p.firstRecords);

  ASSERT_EQ(walk.next(), BodyStep::kPatchedFile);
  EXPECT_EQ(walk.offset(), p.recordAt[0]) << "a record begins with its type byte";
  for (std::size_t k = 0; k < 2; ++k) {
    ASSERT_EQ(walk.next(), BodyStep::kSource) << k;
    const DeltaSource& s = walk.source();
    EXPECT_EQ(s.index, k);
    EXPECT_EQ(s.streams, p.contentAt[k]);
    EXPECT_EQ(p.body.substr(s.streamOffset(3), s.record.streamLength[3]), std::string(2 + k, 'L'));
    EXPECT_EQ(s.end(), s.streams + 5 + k);
    EXPECT_EQ(walk.contentLeft(), 5 + k);
    EXPECT_EQ(walk.patchedFile().name, "bin\\a.exe") << "the file stays while its sources are read";
  }
  ASSERT_EQ(walk.next(), BodyStep::kEmbeddedFile) << "the streams left unread are stepped over";
  EXPECT_EQ(walk.offset(), p.recordAt[1]);
  EXPECT_EQ(walk.embeddedFile().content, p.contentAt[2]);
  char content[5];
  ASSERT_TRUE(walk.readContent(content, 5));
  EXPECT_EQ(std::string(content, 5), "HELLO");
  ASSERT_EQ(trace(walk, 3), "obsolete patched end ...") << "a file without sources is followed by the next record";
  EXPECT_EQ(walk.offset(), p.recordAt[4]);

  ASSERT_EQ(walk.next(), BodyStep::kSeries);
  EXPECT_EQ(walk.offset(), p.secondSeries);
  EXPECT_EQ(walk.seriesIndex(), 1u);
  ASSERT_EQ(trace(walk, 2), "embedded end ...");
  const std::uint64_t end = walk.position();
  EXPECT_EQ(end, p.body.size() - 8) << "the local stub's marker is not read";
  EXPECT_EQ(trace(walk, 2), "body-end") << "and the end stays";
  EXPECT_EQ(walk.position(), end);
  EXPECT_EQ(walk.error(), RecordError::kNone);
}

TEST(BodyWalkTest, SingleFilePatchesEndEachSeriesAfterTheirOneRecord) {
  const Layout p = singleFilePatch();
  MemoryReader in(p.body);
  BodyWalker walk = BodyWalker::fromSeries(in, false, 0, 0, p.body.size());
  ASSERT_EQ(trace(walk, 2), "series patched ...");
  EXPECT_EQ(walk.offset(), p.recordAt[0]) << "no type byte";
  ASSERT_EQ(walk.next(), BodyStep::kSource);
  EXPECT_EQ(walk.source().streams, p.contentAt[0]);
  ASSERT_EQ(walk.next(), BodyStep::kSeriesEnd);
  EXPECT_EQ(walk.offset(), p.secondSeries) << "the end reads nothing";
  EXPECT_EQ(trace(walk), "series patched end body-end");
  EXPECT_EQ(walk.position(), p.body.size());
}

// The appliers read content their own way (expanded without being kept,
// or from where the body is buffered) and move the body past it.
TEST(BodyWalkTest, ContentIsReadInPartsOrPassedByTheCaller) {
  const Layout p = directoryPatch();
  MovableReader in(p.body);
  BodyWalker walk = BodyWalker::fromStart(in, p.header, true);
  ASSERT_EQ(trace(walk, 3), "texts series patched ...");
  ASSERT_EQ(walk.next(), BodyStep::kSource);
  char n[8];
  ASSERT_TRUE(walk.readContent(n, 2));
  EXPECT_EQ(walk.contentLeft(), 3u);
  EXPECT_FALSE(walk.readContent(n, 4)) << "more than the content holds";
  EXPECT_EQ(walk.error(), RecordError::kNone);
  ASSERT_EQ(walk.next(), BodyStep::kSource) << "the rest is read and dropped";
  in.seek(walk.source().end());
  walk.contentPassed();
  EXPECT_EQ(walk.position(), in.position());
  ASSERT_EQ(walk.next(), BodyStep::kEmbeddedFile);
  in.seek(walk.embeddedFile().content + walk.embeddedFile().size);
  walk.contentPassed();
  EXPECT_EQ(trace(walk), "obsolete patched end series embedded end body-end");
  EXPECT_EQ(walk.position(), p.body.size());
}

// The engine walks a series' records again for each candidate target, and
// reads the next series' header where the last walk ended.
TEST(BodyWalkTest, StartsAtASeriesOrAtItsRecords) {
  const Layout p = directoryPatch();
  MovableReader in(p.body);
  BodyWalker first = BodyWalker::fromStart(in, p.header, true);
  ASSERT_EQ(trace(first, 2), "texts series ...");
  const SeriesHeader header = first.series();
  for (int again = 0; again < 2; ++again) {
    in.seek(p.firstRecords);
    BodyWalker walk = BodyWalker::fromRecords(in, true, p.firstRecords, 0, header);
    ASSERT_EQ(walk.next(), BodyStep::kPatchedFile);
    EXPECT_EQ(walk.offset(), p.recordAt[0]);
    EXPECT_EQ(walk.series().subKey, "Software\\A") << "the header given";
    EXPECT_EQ(trace(walk, 5), "source source embedded obsolete patched ...");
  }
  in.seek(p.recordAt[4]);
  BodyWalker rest = BodyWalker::fromRecords(in, true, p.recordAt[4], 0, header);
  EXPECT_EQ(trace(rest), "end series embedded end body-end") << "the header said that a series follows";
  EXPECT_EQ(rest.seriesIndex(), 1u);

  in.seek(p.secondSeries);
  BodyWalker second = BodyWalker::fromSeries(in, true, p.secondSeries, 1);
  EXPECT_EQ(trace(second), "series embedded end body-end");
  EXPECT_EQ(second.embeddedFile().content, p.contentAt[3]) << "offsets count from the body's start";

  in.seek(p.secondSeries);
  BodyWalker twelfth = BodyWalker::fromSeries(in, true, p.secondSeries, kMaxSeries);
  EXPECT_EQ(trace(twelfth), "failed");
  EXPECT_EQ(twelfth.error(), RecordError::kTooManySeries);
  EXPECT_EQ(twelfth.failedStep(), BodyStep::kSeries);
}

TEST(BodyWalkTest, DamagedRecordsEndTheWalkWithTheirCause) {
  const Layout p = directoryPatch();
  struct Case {
    const char* what;
    std::string body;
    std::uint64_t size;
    std::size_t failAt;
    RecordError error;
    BodyStep step;
    std::string trace;
  };
  std::string unknownType = p.body;
  unknownType[p.recordAt[2]] = 4;
  std::string manySources = p.body;
  putU16(reinterpret_cast<std::uint8_t*>(&manySources[p.recordAt[0] + 1 + 14]), 21);
  std::string longEmbedded = p.body.substr(0, p.secondSeries);
  longEmbedded.resize(longEmbedded.size() + 3);  // series header: locator, flags, empty backup name
  longEmbedded += '\x02' + encodeShortString("x");
  appendU32(&longEmbedded, 1000);
  longEmbedded.append(6, '\0');
  const std::string cut = p.body.substr(0, p.contentAt[1] + 2);
  const std::uint64_t unknown = BodyWalker::kUnknownSize;
  const std::vector<Case> cases = {
      {"type 4", unknownType, unknownType.size(), std::string::npos, RecordError::kUnknownType, BodyStep::kFailed,
       "texts series patched source source embedded failed"},
      {"21 sources", manySources, manySources.size(), std::string::npos, RecordError::kTooManySources,
       BodyStep::kPatchedFile, "texts series failed"},
      {"embedded content past the end", longEmbedded, longEmbedded.size(), std::string::npos,
       RecordError::kContentPastEnd, BodyStep::kEmbeddedFile,
       "texts series patched source source embedded obsolete patched end series failed"},
      {"streams past the known end", cut, cut.size(), std::string::npos, RecordError::kContentPastEnd,
       BodyStep::kSource, "texts series patched source failed"},
      {"streams cut short, the end unknown", cut, unknown, std::string::npos, RecordError::kCutShort,
       BodyStep::kSource, "texts series patched source source failed"},
      {"a read error in a record", p.body, unknown, p.recordAt[2] + 3, RecordError::kReadFailed,
       BodyStep::kObsoleteFile, "texts series patched source source embedded failed"},
      {"a read error in content", p.body, unknown, p.contentAt[2] + 1, RecordError::kReadFailed,
       BodyStep::kEmbeddedFile, "texts series patched source source embedded failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MovableReader in(c.body, c.failAt);
    BodyWalker walk = BodyWalker::fromStart(in, p.header, true, c.size);
    EXPECT_EQ(trace(walk), c.trace);
    EXPECT_EQ(walk.error(), c.error);
    EXPECT_EQ(walk.failedStep(), c.step);
    EXPECT_EQ(walk.next(), BodyStep::kFailed) << "and stays failed";
  }
}

// A body cut at any length fails with the body's format error: never a
// crash, a loop, a read outside the data or an end that looks complete.
TEST(BodyWalkTest, EveryTruncationFails) {
  const Layout dir = directoryPatch();
  const Layout file = singleFilePatch();
  for (const Layout* p : {&dir, &file}) {
    const bool directory = p == &dir;
    for (std::size_t n = 0; n < p->body.size(); ++n) {
      const std::string data = p->body.substr(0, n);
      for (const bool sized : {true, false}) {
        SCOPED_TRACE(std::string(directory ? "directory" : "single file") + " body of " + std::to_string(n) +
                     " bytes, its length " + (sized ? "known" : "unknown"));
        MemoryReader in(data);
        BodyWalker walk = BodyWalker::fromStart(in, p->header, directory, sized ? n : BodyWalker::kUnknownSize);
        const std::string steps = trace(walk);
        EXPECT_EQ(steps.substr(steps.rfind(' ') + 1), "failed") << steps;
        EXPECT_TRUE(walk.error() == RecordError::kCutShort ||
                    (sized && walk.error() == RecordError::kContentPastEnd))
            << static_cast<int>(walk.error());
        EXPECT_LE(walk.position(), n);
      }
    }
  }
}

}  // namespace
}  // namespace patchformat
