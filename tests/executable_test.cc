// Executable patches: the stub chosen from the tree beside the builder, the
// joined program's layout, and joining failures that leave nothing behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "patchformat/coding.h"
#include "patchformat/container.h"
#include "tests/tree_fixture.h"
#include "tests/zlib_support.h"

namespace {

namespace fs = std::filesystem;
using platform::FileOp;

class ExecutableTest : public testing_support::TreeFixture {
 protected:
  ExecutableTest() : TreeFixture("executable_test") {}
  void SetUp() override {
    TreeFixture::SetUp();
    makeTrees();
    useTemporaryDirectory();
    // Every console stub, each with bytes that tell which it is.
    for (const char* variant : {"comp/filepat", "comp/dirpat", "nocomp/filepat", "nocomp/dirpat"}) {
      put(std::string("dist/stubs/cl/Win32/") + variant + "/nolocal/pelmora.stb",
          "MZ stub " + std::string(variant) + " " + std::string(2500, 'S'));
    }
    builderFiles.placeProgramAt(at("dist/kestmain"));
  }
  std::string stub(const std::string& variant) { return read("dist/stubs/cl/Win32/" + variant + "/nolocal/pelmora.stb"); }
  bool temporaryDirectoryEmpty() const { return fs::is_empty(at("tmp")); }

  // The patch data behind the stub, found from the trailer as an applier does.
  static std::string patchData(const std::string& program) {
    const std::uint32_t length =
        patchformat::getU32(reinterpret_cast<const std::uint8_t*>(program.data()) + program.size() - 8);
    EXPECT_EQ(patchformat::getU32(reinterpret_cast<const std::uint8_t*>(program.data()) + program.size() - 4),
              patchformat::kPatchMagic);
    return length <= program.size() ? program.substr(program.size() - length) : std::string();
  }
};

TEST_F(ExecutableTest, TheStubOfTheJobIsJoinedInFrontOfThePatch) {
  struct Case {
    std::vector<std::string> words;
    std::string variant;
  };
  const std::vector<Case> cases = {
      {{"-s", "old/program.exe", "new/program.exe", "p"}, "comp/filepat"},
      {{"-s=fx", "old", "new", "p"}, "comp/dirpat"},
      {{"-j", "-s", "old/program.exe", "new/program.exe", "p"}, "nocomp/filepat"},
      {{"-s=LOC", "-j", "old", "new", "p"}, "nocomp/dirpat"},
      {{"-s", "old", "new", "-n=win", "old/sub", "new/sub", "p"},
       "comp/dirpat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variant);
    std::vector<std::string> plainWords;
    for (const std::string& w : c.words) {
      if (w.rfind("-s", 0) != 0) plainWords.push_back(w);
    }
    plainWords.back() = "plain";
    ASSERT_EQ(run(plainWords), 0) << err();
    ASSERT_EQ(run(c.words), 0) << err();
    const std::string program = read("p.exe");
    const std::string patch = patchData(program);
    EXPECT_EQ(program.substr(0, program.size() - patch.size()), stub(c.variant));
    EXPECT_EQ(patchformat::getU32(reinterpret_cast<const std::uint8_t*>(patch.data())), patchformat::kPatchMagic)
        << "the trailer's length steps back onto the header";
    EXPECT_NE(out().find("\nCreated executable patch file \"" + at("p.exe") + "\" with " +
                         std::to_string(program.size()) + " Bytes.\n"),
              std::string::npos)
        << out();
    if (c.words[0] != "-s=LOC") {
      EXPECT_EQ(patch, read("plain.utp")) << "the patch data is the plain patch";
    }
    EXPECT_TRUE(temporaryDirectoryEmpty());
    fs::remove(at("p.exe"));
  }
}

TEST_F(ExecutableTest, TheLocalStubMarkerEndsTheRecordStream) {
  ASSERT_EQ(run({"-s=loc", "old", "new", "p"}), 0) << err();
  const std::string patch = patchData(read("p.exe"));
  std::string records;
  ASSERT_TRUE(testing_support::inflateRaw(patch.substr(78, patch.size() - 86), &records));
  ASSERT_GE(records.size(), 8u);
  const auto* end = reinterpret_cast<const std::uint8_t*>(records.data()) + records.size();
  EXPECT_EQ(patchformat::getU32(end - 8), 0u);
  EXPECT_EQ(patchformat::getU32(end - 4), patchformat::kLocalStubMarker);
  ASSERT_EQ(run({"-s", "old", "new", "q"}), 0);
  std::string plain;
  ASSERT_TRUE(testing_support::inflateRaw(patchData(read("q.exe")).substr(78), &plain) || !plain.empty());
  EXPECT_EQ(records.substr(0, records.size() - 8), plain.substr(0, records.size() - 8));
}

TEST_F(ExecutableTest, OutputNamesEndInExeWhateverTheCase) {
  ASSERT_EQ(run({"-s", "old", "new", "Update.EXE"}), 0) << err();
  EXPECT_TRUE(files.fileExists(at("Update.EXE")));
  EXPECT_FALSE(files.fileExists(at("Update.EXE.exe")));
  ASSERT_EQ(run({"-s", "old", "new", "update.utp"}), 0) << err();
  EXPECT_TRUE(files.fileExists(at("update.utp.exe")));
}

TEST_F(ExecutableTest, MissingStubsAreNamedAfterThePatchWasComputed) {
  for (const auto& [option, path] : std::vector<std::pair<std::string, std::string>>{
           {"-s=gui", "stubs\\gui\\Win32\\comp\\dirpat\\nolocal\\pelmora.stb"},
           {"-s=GUI32", "stubs\\gui\\Win32\\comp\\dirpat\\nolocal\\pelmora.stb"},
           {"-s=GUI16", "stubs\\gui\\Win16\\comp\\dirpat\\nolocal\\pelmora.stb"}}) {
    EXPECT_EQ(run({option, "old", "new", "p"}, false), 1) << option;
    EXPECT_NE(err().find("\nError, can't find \"" + path + "\" in directory of the calling\nKestrune, though it's "
                         "required to build executeable patchfiles of this type!\n"),
              std::string::npos)
        << err();
    EXPECT_NE(out().find("embedding file"), std::string::npos) << "the files were examined first: " << out();
    EXPECT_FALSE(files.fileExists(at("p.exe")));
    EXPECT_TRUE(temporaryDirectoryEmpty()) << option;
  }
}

TEST_F(ExecutableTest, FailedJoinsLeaveNoTemporaryAndNoOutput) {
  // The output's directory does not exist.
  EXPECT_EQ(run({"-s", "old", "new", "missing/p"}), 1);
  EXPECT_NE(err().find("Couldn't create file \"" + at("missing/p.exe") + "\" for writing!"), std::string::npos)
      << err();
  EXPECT_TRUE(temporaryDirectoryEmpty());
  // The last piece of the patch cannot be written.
  builderFiles.reset();
  ASSERT_EQ(run({"-s", "old", "new", "p"}), 0);
  const int writes = builderFiles.calls(FileOp::kWrite);
  fs::remove(at("p.exe"));
  builderFiles.reset();
  builderFiles.failAt(FileOp::kWrite, writes);
  EXPECT_EQ(run({"-s", "old", "new", "p"}), 1);
  EXPECT_NE(err().find("Internal filehandling failure?!"), std::string::npos) << err();
  EXPECT_FALSE(files.fileExists(at("p.exe")));
  EXPECT_TRUE(temporaryDirectoryEmpty());
  // The temporary patch cannot be created.
  builderFiles.reset();
  builderFiles.failAt(FileOp::kCreateTemp, 1, -1);
  EXPECT_EQ(run({"-s", "old", "new", "p"}), 1);
  EXPECT_NE(err().find("Can't create necessary temporary file!"), std::string::npos) << err();
  EXPECT_FALSE(files.fileExists(at("p.exe")));
}

// Every file-system call of a builder run (one worker, so that the calls
// come in one order) fails in turn: the run either
// ends with a message and exit code 1, leaving no patch and no temporary
// file, or it succeeds with the very patch of a run without faults.
TEST_F(ExecutableTest, AFailureAtAnyCallLeavesNoPatchAndNoTemporary) {
  for (const std::string option : {"-q", "-s"}) {
    SCOPED_TRACE(option);
    const std::string output = option == "-s" ? "p.exe" : "p.utp";
    builderFiles.reset();
    ASSERT_EQ(run({option, "-w=1", "-d=*", "old", "new", "p"}), 0) << err();
    const std::string clean = read(output);
    const int calls = builderFiles.allCalls();
    int failures = 0;
    for (int n = 1; n <= calls; ++n) {
      fs::remove(at(output));
      builderFiles.reset();
      builderFiles.failAnyAt(n);
      const int rc = run({option, "-w=1", "-d=*", "old", "new", "p"});
      // A file that cannot be deleted stays: nothing else may.
      const bool deleteFailed = builderFiles.anyFailed() == FileOp::kDelete;
      builderFiles.reset();
      if (rc != 0) {
        ++failures;
        EXPECT_FALSE(fs::exists(at(output))) << "call " << n << ": " << err();
        EXPECT_FALSE(err().empty()) << "call " << n;
      } else {
        EXPECT_TRUE(read(output) == clean) << "call " << n << " failed unnoticed: " << out();
      }
      if (!deleteFailed) {
        EXPECT_TRUE(temporaryDirectoryEmpty()) << "call " << n;
      }
      fs::remove_all(at("tmp"));
      fs::create_directories(at("tmp"));
      if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(failures, calls / 2) << calls << " calls";
  }
}

}  // namespace
