// The builder reads every finished patch back and checks it against the
// files it was made from: data damaged on its way to the disk, wherever it
// lands, fails the run and leaves nothing behind; -V- leaves the check out.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "builder/cleanup.h"
#include "tests/tree_fixture.h"

namespace {

namespace fs = std::filesystem;
using platform::FileOp;

class VerifyTest : public testing_support::TreeFixture {
 protected:
  VerifyTest() : TreeFixture("verify_test") {}
  void SetUp() override {
    TreeFixture::SetUp();
    makeTrees();
    useTemporaryDirectory();
    for (const char* variant : {"comp/dirpat", "nocomp/filepat"}) {
      put(std::string("dist/stubs/cl/Win32/") + variant + "/nolocal/pelmora.stb", "MZ stub " + std::string(3000, 'S'));
    }
    builderFiles.placeProgramAt(at("dist/kestmain"));
  }
  bool leftNothing(const std::string& output) const {
    return !files.fileExists(at(output)) && fs::is_empty(at("tmp"));
  }
  static constexpr const char* kCheckFailed = "the check of the patch file just written failed";
};

// A write of any file the job makes (the patch, a delta's temporary
// streams, the program of -s) stores one byte changed and reports success:
// the header, the comment, each record, every stream, an embedded file,
// the trailer and the stub each get their turn.
TEST_F(VerifyTest, EveryWriteDamagedOnItsWayToTheDiskFailsTheRun) {
  struct Case {
    std::vector<std::string> words;
    std::string output;
  };
  const std::vector<Case> cases = {
      {{"-j", "-c=a comment", "-d=*.dll", "old", "new", "p"}, "p.utp"},
      {{"-c=a comment", "-d=*.dll", "-r", "old", "new", "p"}, "p.utp"},
      {{"-s", "-d=*.dll", "old", "new", "p"}, "p.exe"},
      {{"-j", "-s", "old/program.exe", "new/program.exe", "p"}, "p.exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.front() + " ... " + c.output);
    builderFiles.reset();
    ASSERT_EQ(run(c.words), 0) << err();
    const int writes = builderFiles.calls(FileOp::kWrite);
    ASSERT_GT(writes, 5);
    for (int n = 1; n <= writes; ++n) {
      builderFiles.reset();
      builderFiles.corruptWriteAt(n);
      EXPECT_EQ(run(c.words), 1) << "write " << n << " of " << writes;
      EXPECT_NE(err().find(kCheckFailed), std::string::npos) << "write " << n << "\n" << err();
      EXPECT_TRUE(leftNothing(c.output)) << "write " << n;
      if (HasFailure()) return;
    }
    builderFiles.reset();
  }
}

TEST_F(VerifyTest, TheCheckReadsThePatchBackAndCanBeLeftOut) {
  ASSERT_EQ(run({"-d=*.dll", "old", "new", "p"}), 0) << err();
  const int checked = builderFiles.calls(FileOp::kOpenRead);
  builderFiles.reset();
  ASSERT_EQ(run({"-V-", "-d=*.dll", "old", "new", "q"}), 0) << err();
  EXPECT_LT(builderFiles.calls(FileOp::kOpenRead), checked) << "fewer files read without the check";
  EXPECT_EQ(read("p.utp"), read("q.utp")) << "the check changes no byte of the patch";
  // With the check left out, a damaged byte goes unnoticed.
  builderFiles.reset();
  builderFiles.corruptWriteAt(1);
  EXPECT_EQ(run({"-V-", "-j", "-d=*.dll", "old", "new", "q"}), 0) << err();
  EXPECT_NE(read("q.utp").substr(0, 4), read("p.utp").substr(0, 4)) << "the header's first byte was changed";
  EXPECT_EQ(run({"-V=x", "old", "new", "q"}), 1);
  EXPECT_NE(err().find("Error, no further information for option \"-V\" expected!"), std::string::npos) << err();
}

// An interrupt while the finished patch is checked deletes it, as one
// while it is written does.
TEST_F(VerifyTest, TheCheckedPatchIsTheRunsOutputUntilItPasses) {
  builderFiles.after(FileOp::kOpenRead, [this](const std::string& path) {
    if (path == at("p.utp")) {
      EXPECT_TRUE(builder::patchOutputOpen()) << "still registered while it is read back";
    }
  });
  ASSERT_EQ(run({"-d=*.dll", "old", "new", "p"}), 0) << err();
  EXPECT_FALSE(builder::patchOutputOpen()) << "released once it passed";
  EXPECT_TRUE(files.fileExists(at("p.utp")));
}

// An exception that is none of the builder's own errors (an allocation
// outside the engine's budget, deep in a write or a read) gets the same
// clean-up: no patch, no temporary, a message and exit code 1; at any
// point of the job, the check of the finished patch included.
TEST_F(VerifyTest, AnUnexpectedExceptionEndsTheRunCleanly) {
  // One thread: the calls come in the same order on every run, so call n is
  // the same call each time.
  const std::vector<std::string> words = {"-w=1", "-s", "-d=*.dll", "old", "new", "p"};
  ASSERT_EQ(run(words), 0) << err();
  builderFiles.reset();
  ASSERT_EQ(run(words), 0) << err();
  const int calls = builderFiles.allCalls();
  for (const int n : {1, calls / 4, calls / 2, calls - 3}) {
    files.deleteFile(at("p.exe"));
    builderFiles.reset();
    builderFiles.throwAnyAt(n);
    EXPECT_EQ(run(words), 1) << "call " << n << " of " << calls;
    EXPECT_NE(err().find("Error, the builder stopped on an unexpected failure (std::bad_alloc)."), std::string::npos)
        << "call " << n << "\n" << err();
    EXPECT_TRUE(leftNothing("p.exe")) << "call " << n;
  }
  builderFiles.reset();
}

}  // namespace
