#include "applier/engine.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

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
  void TearDown() override { platform::deleteFile(path); }

  void write(const std::string& bytes) {
    platform::File f;
    ASSERT_TRUE(f.open(path, platform::File::Mode::kCreate) && f.write(bytes.data(), bytes.size()) && f.close());
  }
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
      engine.load_patch(path);
    } catch (const ApplierError& e) {
      return e;
    }
    ADD_FAILURE() << "loaded";
    return ApplierError(-1, "");
  }

  RecordingFrontEnd front;
  PatchEngine engine{front, Numbering::kConsole};
};

TEST_F(LoadPatchTest, ReadsTheTextsOfStoredAndDeflatedBodies) {
  for (bool compress : {false, true}) {
    writePatch("maker", std::string("line one\r\0line two", 18), "series data", compress);
    engine.load_patch(path);
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
  ASSERT_TRUE(platform::readWholeFile(path, &bytes));
  bytes[0] = 'X';  // header magic
  write(bytes);
  EXPECT_EQ(loadFails().number(), 11);
  writePatch("", "", "data", true, 219);
  e = loadFails();
  EXPECT_EQ(e.number(), 12);
  EXPECT_NE(e.text().find("pelmo219.htm"), std::string::npos) << e.text();
  writePatch("", "a comment longer than the body", "", false);
  std::string cut;
  ASSERT_TRUE(platform::readWholeFile(path, &cut));
  cut.erase(78 + 10, 20);  // the comment runs past the body
  patchformat::PatchTrailer t;
  t.length = static_cast<std::uint32_t>(cut.size());
  cut.replace(cut.size() - 8, 8, t.encode());
  write(cut);
  EXPECT_EQ(loadFails().number(), 0);
}

TEST_F(LoadPatchTest, WindowedNumberingShowsItsOwnTexts) {
  RecordingFrontEnd windowFront;
  PatchEngine windowed(windowFront, Numbering::kWindowed);
  windowed.values.oldPath = ".\\app";
  EXPECT_EQ(windowed.message(31), "The patch can be applied to \"app\". Do you want to apply the patch to it?");
  EXPECT_EQ(engine.message(31).substr(0, 2), "\r\n");
}

}  // namespace
}  // namespace applier
