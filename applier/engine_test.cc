#include "applier/engine.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <string>

#include "patchformat/coding.h"
#include "patchformat/crc.h"
#include "tests/delta_writer.h"
#include "tests/lzma_support.h"
#include "tests/zlib_support.h"

namespace applier {
namespace {

using patchformat::BodyCoding;

class RecordingFrontEnd : public FrontEnd {
 public:
  void show(const std::string& text) override { shown += text; }
  bool ask(const std::string&, const std::string&) override { return true; }
  void pump() override {}
  bool abortRequested() override { return false; }
  std::string shown;
};

class LoadPatchTest : public ::testing::Test {
 protected:
  std::string path = ::testing::TempDir() + "load_test.utp";
  void TearDown() override {
    engine.cleanup();
    stub.cleanup();
    files.deleteFile(path);
  }

  void write(const std::string& bytes) {
    engine.cleanup();  // Windows cannot replace a file that is open
    stub.cleanup();
    ASSERT_TRUE(files.writeWholeFile(path, bytes));
  }
  const std::string kFoxSource = "The quick brown fox jumps";
  const std::string kFoxTarget = "The quick red fox jumps!";
  SourceEntry loadFoxPatch();
  // A patch whose logical body is the texts and `rest`, stored as `coding`
  // says; `change` may then alter its header.
  void writePatch(const std::string& creator, const std::string& comment, const std::string& rest, BodyCoding coding,
                  const std::function<void(patchformat::PatchHeader&)>& change = nullptr) {
    patchformat::PatchHeader h;
    h.kind = patchformat::kKindDirectory;
    h.flags = coding == BodyCoding::kDeflate ? patchformat::kHeaderCompressed : 0;
    h.creatorLength = static_cast<std::uint16_t>(creator.size());
    h.commentLength = static_cast<std::uint16_t>(comment.size());
    const std::string logical = creator + comment + rest;
    const std::string stored = coding == BodyCoding::kLzma      ? testing_support::lzmaPack(logical, &h)
                               : coding == BodyCoding::kDeflate ? testing_support::deflateRaw(logical)
                                                                : logical;
    if (change) change(h);
    const std::string file = h.encode() + stored;
    patchformat::PatchTrailer t;
    t.length = static_cast<std::uint32_t>(file.size() + 8);
    write(file + t.encode());
  }
  void writePatch(const std::string& creator, const std::string& comment, const std::string& rest, bool compress,
                  std::uint32_t version = 220) {
    writePatch(creator, comment, rest, compress ? BodyCoding::kDeflate : BodyCoding::kStored,
               [version](patchformat::PatchHeader& h) { h.version = version; });
  }
  ApplierError loadFails() {
    try {
      engine.load_patch();
    } catch (const ApplierError& e) {
      return e;
    }
    ADD_FAILURE() << "loaded";
    return ApplierError(-1, "");
  }

  platform::Machine& machine = platform::systemMachine();
  platform::FileSystem& files = machine.files;
  RecordingFrontEnd front;
  PatchEngine engine{front, Numbering::kConsole, machine, ApplyRequest{path}};
  // The windowed directory stub, which compares neither magic nor version.
  static ApplyRequest stubRequest(const std::string& patch) {
    ApplyRequest r{patch};
    r.kind = ApplyRequest::Kind::kDirectory;
    r.compareMagic = false;
    return r;
  }
  PatchEngine stub{front, Numbering::kStub, machine, stubRequest(path)};
};

// Every body coding, also for a stub that compares neither magic nor
// version (the header's coding alone says how to read the body).
TEST_F(LoadPatchTest, ReadsTheTextsOfEveryBodyCoding) {
  for (BodyCoding coding : {BodyCoding::kStored, BodyCoding::kDeflate, BodyCoding::kLzma}) {
    writePatch("maker", std::string("line one\r\0line two", 18), "series data", coding);
    for (PatchEngine* e : {&engine, &stub}) {
      e->load_patch();
      EXPECT_EQ(e->comment(), std::string("line one\r\x01line two")) << "a byte 0 shows as byte 1";
      EXPECT_EQ(e->creatorText(), "maker");
      EXPECT_TRUE(e->directoryPatch());
      EXPECT_EQ(e->firstSeriesPosition(), 23u);
      EXPECT_EQ(e->header().bodyCoding(), coding);
      EXPECT_EQ(front.shown, "Please wait while uncompressing and checking the patch file ...\r\n");
      front.shown.clear();
    }
  }
}

// The LZMA body has a version of its own, 221. A version this applier does
// not know is refused with the message that names it; version, flags and
// LZMA fields that contradict each other make the patch corrupt, also for
// a stub that compares no version. An applier that knows only the deflate
// body takes a patch as its own when its version is 220 and nothing else:
// it refuses every LZMA patch with its own wrong-version message.
TEST_F(LoadPatchTest, LzmaHeadersThatDoNotAgreeAreRefused) {
  writePatch("", "a comment", "data", BodyCoding::kLzma, [](patchformat::PatchHeader& h) { h.version = 222; });
  ApplierError e = loadFails();
  EXPECT_EQ(e.number(), kMsgWrongVersion);
  EXPECT_NE(e.text().find("pelmo222.htm"), std::string::npos) << e.text();

  const std::function<void(patchformat::PatchHeader&)> contradictions[] = {
      [](patchformat::PatchHeader& h) { h.version = patchformat::kFormatVersion; },
      [](patchformat::PatchHeader& h) { h.flags |= patchformat::kHeaderCompressed; },
      [](patchformat::PatchHeader& h) { h.flags &= ~patchformat::kHeaderLzma; },
      [](patchformat::PatchHeader& h) { h.lzmaProperties[0] = 9 * 5 * 5; },
      [](patchformat::PatchHeader& h) {
        patchformat::putU32(h.lzmaProperties + 1, patchformat::kLzmaLargestDictionary + 1);
      },
  };
  for (const auto& change : contradictions) {
    writePatch("", "a comment", "data", BodyCoding::kLzma, change);
    e = loadFails();
    EXPECT_EQ(e.number(), kMsgCorrupt);
    EXPECT_EQ(e.text(), "Error, patch is corrupted!");
    try {
      stub.load_patch();
      ADD_FAILURE() << "the stub loaded it";
    } catch (const ApplierError& stubError) {
      EXPECT_EQ(stubError.text(), "Error, patch is corrupted!");
    }
  }

  writePatch("", "a comment", "data", BodyCoding::kLzma);
  engine.load_patch();
  EXPECT_EQ(engine.comment(), "a comment") << "the same patch, unchanged, loads";
  const bool deflateOnlyApplierTakesIt = engine.header().version == patchformat::kFormatVersion;
  EXPECT_FALSE(deflateOnlyApplierTakesIt);
}

TEST_F(LoadPatchTest, RefusesWhatIsNoPatchOfThisVersion) {
  ApplierError e = loadFails();
  EXPECT_EQ(e.number(), 13) << "missing file";
  EXPECT_EQ(e.text(), "\r\nError, cannot open patch file \"" + path + "\" for reading!");
  write("short");
  e = loadFails();
  EXPECT_EQ(e.number(), 14);
  writePatch("", "", "data", false);
  std::string bytes;
  ASSERT_TRUE(files.readWholeFile(path, &bytes));
  bytes[0] = 'X';  // header magic
  write(bytes);
  EXPECT_EQ(loadFails().number(), 11);
  writePatch("", "", "data", true, 219);
  e = loadFails();
  EXPECT_EQ(e.number(), 12);
  EXPECT_NE(e.text().find("pelmo219.htm"), std::string::npos) << e.text();
  writePatch("", "a comment longer than the body", "", false);
  std::string cut;
  ASSERT_TRUE(files.readWholeFile(path, &cut));
  cut.erase(78 + 10, 20);  // the comment runs past the body
  patchformat::PatchTrailer t;
  t.length = static_cast<std::uint32_t>(cut.size());
  cut.replace(cut.size() - 8, 8, t.encode());
  write(cut);
  EXPECT_EQ(loadFails().number(), 0);
}

TEST_F(LoadPatchTest, WindowedNumberingShowsItsOwnTexts) {
  RecordingFrontEnd windowFront;
  PatchEngine windowed(windowFront, Numbering::kWindowed, machine, ApplyRequest{});
  EXPECT_EQ(windowed.message(31, ".\\app"), "The patch can be applied to \"app\". Do you want to apply the patch to it?");
  EXPECT_EQ(engine.message(31).substr(0, 2), "\r\n");
}

// A patch whose body holds a delta from "The quick brown fox jumps" to
// "The quick red fox jumps!", loaded; the delta's source entry.
SourceEntry LoadPatchTest::loadFoxPatch() {
  testing_support::DeltaWriter w;
  w.params.sourceSize = static_cast<std::uint32_t>(kFoxSource.size());
  w.params.targetSize = static_cast<std::uint32_t>(kFoxTarget.size());
  w.params.mismatchGroup = 190;
  w.params.literalBlockSize = 20;
  w.params.flags = patchformat::kDeltaRawMismatch;
  w.copy(10, 0, 0);      // "The quick "
  w.insert("red");
  w.copy(10, 5);         // " fox jumps" from 15
  w.insert("!");
  SourceEntry entry;
  const std::string streams = w.allStreams(entry.record.streamLength);
  entry.record.size = w.params.sourceSize;
  entry.record.checksum = patchformat::crc32_noinv(kFoxSource.data(), kFoxSource.size());
  entry.record.deltaFlags = w.params.flags;
  entry.record.mismatchGroup = 190;
  entry.record.literalBlockSize = 20;
  writePatch("", "c", streams, true);
  engine.load_patch();
  entry.streamOffset = engine.firstSeriesPosition();
  return entry;
}

TEST_F(LoadPatchTest, ApplyDeltaRebuildsTheNextStateFromAMatchingSource) {
  const std::string& source = kFoxSource;
  const std::string& target = kFoxTarget;
  const SourceEntry entry = loadFoxPatch();
  const std::string sourcePath = ::testing::TempDir() + "apply_source.txt";
  ASSERT_TRUE(files.writeWholeFile(sourcePath, source));
  ChainRebuilder& rebuilder = engine.rebuilder();
  using Source = ChainRebuilder::Source;
  ChainRebuilder::StepOutput out;
  const patchformat::ExclusionWindow whole;
  out.window = &whole;
  const auto size = static_cast<std::uint32_t>(target.size());
  ASSERT_TRUE(rebuilder.rebuildStep(entry, sourcePath, size, Source::kMustMatch, &out));
  std::string rebuilt;
  ASSERT_TRUE(files.readWholeFile(out.path, &rebuilt));
  EXPECT_EQ(rebuilt, target);
  EXPECT_EQ(out.checksum, patchformat::crc32_noinv(target.data(), target.size())) << "taken while written";
  files.deleteFile(out.path);

  // Same size, other bytes: not this source.
  const std::string other = "The quick brown cat jumps";
  ASSERT_TRUE(files.writeWholeFile(sourcePath, other));
  EXPECT_FALSE(rebuilder.rebuildStep(entry, sourcePath, size, Source::kMustMatch, &out));
  files.deleteFile(sourcePath);
  EXPECT_FALSE(rebuilder.rebuildStep(entry, sourcePath, size, Source::kMustMatch, &out))
      << "a missing source is no match";
  try {
    rebuilder.rebuildStep(entry, sourcePath, size, Source::kTrusted, &out);
    ADD_FAILURE();
  } catch (const PartFailure& e) {
    EXPECT_EQ(e.number(), 5);
    EXPECT_EQ(e.argument(), sourcePath);
  }
}

// What the rebuilder finds of a patched file: the new version at the
// target or at its old place, a start version it rebuilds from (at the
// first place where one is), or nothing of the chain.
TEST_F(LoadPatchTest, TheRebuilderTellsWhatItFound) {
  const SourceEntry entry = loadFoxPatch();
  using Outcome = ChainRebuilder::Outcome;
  ChainRebuilder& rebuilder = engine.rebuilder();
  const std::string dir = ::testing::TempDir() + "rebuilder_";
  patchformat::FinalInfo info;
  info.size = static_cast<std::uint32_t>(kFoxTarget.size());
  info.checksum = patchformat::crc32_noinv(kFoxTarget.data(), kFoxTarget.size());
  const patchformat::ExclusionWindow whole;
  const std::string target = dir + "target.txt", old = dir + "old.txt", missing = dir + "missing.txt";

  ASSERT_TRUE(files.writeWholeFile(target, kFoxTarget));
  EXPECT_EQ(rebuilder.findFinal(info, whole, target, target).outcome, Outcome::kAlreadyFinal);
  ASSERT_TRUE(files.writeWholeFile(old, kFoxTarget));
  ASSERT_TRUE(files.writeWholeFile(target, kFoxSource));
  const ChainRebuilder::Result inPlace = rebuilder.findFinal(info, whole, target, old);
  EXPECT_EQ(inPlace.outcome, Outcome::kFinalInPlace);
  EXPECT_EQ(inPlace.path, old);
  EXPECT_EQ(rebuilder.findFinal(info, whole, target, target).outcome, Outcome::kNoMatchingSource);

  const auto places = [&](const SourceEntry&) { return std::vector<std::string>{missing, target}; };
  const ChainRebuilder::Result rebuilt = rebuilder.rebuild({entry}, info, whole, places, "");
  ASSERT_EQ(rebuilt.outcome, Outcome::kRebuilt) << "from the second place";
  std::string bytes;
  ASSERT_TRUE(files.readWholeFile(rebuilt.path, &bytes));
  EXPECT_EQ(bytes, kFoxTarget);
  EXPECT_EQ(rebuilt.checksum, info.checksum);
  files.deleteFile(rebuilt.path);

  const auto nowhere = [&](const SourceEntry&) { return std::vector<std::string>{missing, old}; };
  EXPECT_EQ(rebuilder.rebuild({entry}, info, whole, nowhere, "").outcome, Outcome::kNoMatchingSource)
      << "the old place holds the new version, which is no start version";
  for (const std::string& p : {target, old}) files.deleteFile(p);
}

}  // namespace
}  // namespace applier
