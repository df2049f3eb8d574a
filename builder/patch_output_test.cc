#include "builder/patch_output.h"

#include <gtest/gtest.h>

#include <string>

#include "builder/cleanup.h"
#include "platform/fault_injection.h"
#include "platform/files.h"

namespace builder {
namespace {

class PatchOutputTest : public ::testing::Test {
 protected:
  std::string at(const std::string& name) const { return ::testing::TempDir() + "patch_output_" + name; }
  std::string read(const std::string& path) {
    std::string bytes;
    EXPECT_TRUE(files.readWholeFile(path, &bytes)) << path;
    return bytes;
  }
  // A closed temporary patch holding `bytes`, as the job leaves it for -s.
  void writeTemporary(PatchOutput& output, const std::string& bytes) {
    ASSERT_TRUE(output.createTemporary());
    ASSERT_TRUE(output.file().write(bytes.data(), bytes.size()));
    ASSERT_TRUE(output.close());
  }

  platform::SystemFileSystem files;
};

TEST_F(PatchOutputTest, DiscardDeletesThePatchSilentlyUntilItIsAccepted) {
  const std::string path = at("discard.utp");
  PatchOutput output(files);
  ASSERT_TRUE(output.create(path));
  EXPECT_TRUE(patchOutputOpen());
  output.discard();
  EXPECT_FALSE(patchOutputOpen());
  EXPECT_FALSE(files.fileExists(path));
  // A closed patch stays the output to delete until its checks accept it
  // (an interrupt would delete it too); an accepted one is left where it is.
  ASSERT_TRUE(output.create(path));
  ASSERT_TRUE(output.close());
  EXPECT_TRUE(patchOutputOpen());
  EXPECT_EQ(output.name(), path) << "named also after the close";
  output.discard();
  EXPECT_FALSE(files.fileExists(path));
  ASSERT_TRUE(output.create(path));
  ASSERT_TRUE(output.close());
  output.accept();
  EXPECT_FALSE(patchOutputOpen());
  output.discard();
  EXPECT_TRUE(files.fileExists(path));
  files.deleteFile(path);
}

// A job that unwinds on a fatal error takes its output along: nothing else
// deletes it.
TEST_F(PatchOutputTest, AnOutputThatGoesUnacceptedIsDiscarded) {
  const std::string open = at("unwound_open.utp");
  const std::string closed = at("unwound_closed.utp");
  const std::string accepted = at("unwound_accepted.utp");
  {
    PatchOutput output(files);
    ASSERT_TRUE(output.create(open));
    ASSERT_TRUE(output.file().write("partial", 7));
  }
  EXPECT_FALSE(files.fileExists(open));
  EXPECT_FALSE(patchOutputOpen());
  {
    PatchOutput output(files);
    ASSERT_TRUE(output.create(closed));
    ASSERT_TRUE(output.close());
  }
  EXPECT_FALSE(files.fileExists(closed)) << "unchecked";
  {
    PatchOutput output(files);
    ASSERT_TRUE(output.create(accepted));
    ASSERT_TRUE(output.close());
    output.accept();
  }
  EXPECT_TRUE(files.fileExists(accepted));
  files.deleteFile(accepted);
}

TEST_F(PatchOutputTest, APatchWhoseCloseFailsStaysForTheDiscard) {
  const std::string path = at("close_fails.utp");
  platform::FaultInjectingFileSystem faulty(files);
  PatchOutput output(faulty);
  ASSERT_TRUE(output.create(path));
  faulty.failAt(platform::FileOp::kClose, 1);
  EXPECT_FALSE(output.close());
  EXPECT_TRUE(patchOutputOpen());
  output.discard();
  EXPECT_FALSE(files.fileExists(path));
}

TEST_F(PatchOutputTest, TheJoinedProgramTakesThePatchsPlace) {
  const std::string stub = at("join.stb");
  const std::string program = at("join.exe");
  ASSERT_TRUE(files.writeWholeFile(stub, "MZ stub "));
  PatchOutput output(files);
  writeTemporary(output, "patch data");
  const std::string temporary = output.name();
  const packaging::JoinResult joined = output.joinStub(stub, program, nullptr);
  ASSERT_EQ(joined.error, packaging::JoinError::kNone);
  EXPECT_EQ(joined.size, 18u);
  EXPECT_EQ(read(program), "MZ stub patch data");
  EXPECT_FALSE(files.fileExists(temporary)) << "the temporary patch goes";
  EXPECT_EQ(output.name(), program);
  EXPECT_TRUE(patchOutputOpen()) << "unchecked, the program is what an interrupt deletes";
  // Changed stub bytes stand in front instead of the stub's.
  const std::string changed = "MZ vendor ";
  PatchOutput second(files);
  writeTemporary(second, "patch data");
  ASSERT_EQ(second.joinStub(stub, program, &changed).error, packaging::JoinError::kNone);
  EXPECT_EQ(read(program), "MZ vendor patch data");
  second.accept();
  EXPECT_FALSE(patchOutputOpen());
  output.accept();
  files.deleteFile(program);
  files.deleteFile(stub);
}

// A join that fails leaves no output of its own and no temporary; a file
// of the program's name that it never wrote stays, also when the output is
// discarded afterwards.
TEST_F(PatchOutputTest, AFailedJoinLeavesNothingAndDeletesNothingElse) {
  const std::string program = at("failed.exe");
  ASSERT_TRUE(files.writeWholeFile(program, "an older program"));
  {
    PatchOutput output(files);
    writeTemporary(output, "patch data");
    const std::string temporary = output.name();
    const packaging::JoinResult joined = output.joinStub(at("missing.stb"), program, nullptr);
    EXPECT_EQ(joined.error, packaging::JoinError::kStubMissing);
    EXPECT_FALSE(files.fileExists(temporary));
    EXPECT_FALSE(patchOutputOpen());
    output.discard();
  }
  EXPECT_EQ(read(program), "an older program");
  // A write that fails half-way: the join deletes what it began.
  const std::string stub = at("failed.stb");
  ASSERT_TRUE(files.writeWholeFile(stub, "MZ stub "));
  files.deleteFile(program);
  platform::FaultInjectingFileSystem faulty(files);
  {
    PatchOutput output(faulty);
    writeTemporary(output, "patch data");
    const std::string temporary = output.name();
    faulty.failAt(platform::FileOp::kWrite, 2);
    EXPECT_EQ(output.joinStub(stub, program, nullptr).error, packaging::JoinError::kShortTransfer);
    EXPECT_FALSE(files.fileExists(temporary));
    EXPECT_FALSE(files.fileExists(program));
    EXPECT_FALSE(patchOutputOpen());
  }
  files.deleteFile(stub);
}

}  // namespace
}  // namespace builder
