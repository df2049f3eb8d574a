#include "applier/engine.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "patchformat/crc.h"
#include "tests/delta_writer.h"
#include "tests/zlib_support.h"

namespace applier {
namespace {

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
    files.deleteFile(path);
  }

  void write(const std::string& bytes) {
    engine.cleanup();  // Windows cannot replace a file that is open
    ASSERT_TRUE(files.writeWholeFile(path, bytes));
  }
  const std::string kFoxSource = "The quick brown fox jumps";
  const std::string kFoxTarget = "The quick red fox jumps!";
  SourceEntry loadFoxPatch();
  // A patch whose logical body is the texts and `rest`.
  void writePatch(const std::string& creator, const std::string& comment, const std::string& rest, bool compress,
                  std::uint32_t version = 220) {
    patchformat::PatchHeader h;
    h.version = version;
    h.kind = patchformat::kKindDirectory;
    h.flags = compress ? patchformat::kHeaderCompressed : 0;
    h.creatorLength = static_cast<std::uint16_t>(creator.size());
    h.commentLength = static_cast<std::uint16_t>(comment.size());
    const std::string logical = creator + comment + rest;
    std::string file = h.encode() + (compress ? testing_support::deflateRaw(logical) : logical);
    patchformat::PatchTrailer t;
    t.length = static_cast<std::uint32_t>(file.size() + 8);
    write(file + t.encode());
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
};

TEST_F(LoadPatchTest, ReadsTheTextsOfStoredAndDeflatedBodies) {
  for (bool compress : {false, true}) {
    writePatch("maker", std::string("line one\r\0line two", 18), "series data", compress);
    engine.load_patch();
    EXPECT_EQ(engine.comment(), std::string("line one\r\x01line two")) << "a byte 0 shows as byte 1";
    EXPECT_EQ(engine.creatorText(), "maker");
    EXPECT_TRUE(engine.directoryPatch());
    EXPECT_EQ(engine.firstSeriesPosition(), 23u);
    EXPECT_EQ(front.shown, "Please wait while uncompressing and checking the patch file ...\r\n");
    front.shown.clear();
  }
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
