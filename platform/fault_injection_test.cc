#include "platform/fault_injection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <new>
#include <string>

namespace platform {
namespace {

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = ::testing::TempDir() + "fault_injection";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string at(const std::string& name) const { return dir + "\\" + name; }

  SystemFileSystem real;
  FaultInjectingFileSystem fs{real};
  std::string dir;
};

TEST_F(FaultInjectionTest, WithoutFaultsEveryCallPassesThrough) {
  ASSERT_TRUE(fs.writeWholeFile(at("a"), "content"));
  std::string data;
  ASSERT_TRUE(fs.readWholeFile(at("a"), &data));
  EXPECT_EQ(data, "content");
  EXPECT_TRUE(fs.moveFile(at("a"), at("b")));
  EXPECT_TRUE(real.fileExists(at("b")));
  EXPECT_TRUE(fs.deleteFile(at("b")));
  EXPECT_EQ(fs.calls(FileOp::kCreate), 1);
  EXPECT_EQ(fs.calls(FileOp::kOpenRead), 1);
  EXPECT_EQ(fs.calls(FileOp::kRename), 1);
  EXPECT_EQ(fs.calls(FileOp::kDelete), 1);
  EXPECT_GE(fs.calls(FileOp::kWrite), 1);
}

TEST_F(FaultInjectionTest, TheNthCallOfAKindFailsAndOnlyThatOne) {
  ASSERT_TRUE(fs.writeWholeFile(at("a"), "x"));
  fs.failAt(FileOp::kRename, 2);
  EXPECT_TRUE(fs.moveFile(at("a"), at("b")));
  EXPECT_FALSE(fs.moveFile(at("b"), at("c"))) << "the second rename from now";
  EXPECT_TRUE(real.fileExists(at("b"))) << "a failed call leaves the files alone";
  EXPECT_TRUE(fs.moveFileNew(at("b"), at("c"))) << "moveFileNew counts as a rename too";
  EXPECT_EQ(fs.calls(FileOp::kRename), 3);

  // Counting starts at the call of failAt.
  fs.failAt(FileOp::kDelete, 1);
  EXPECT_FALSE(fs.deleteFile(at("c")));
  EXPECT_TRUE(fs.deleteFile(at("c")));
}

TEST_F(FaultInjectionTest, ARunOfFailuresOrEveryLaterCall) {
  fs.failAt(FileOp::kMakeDirectory, 1, 1);
  EXPECT_FALSE(fs.makeDirectory(at("d1")));
  EXPECT_FALSE(fs.makeDirectory(at("d1")));
  EXPECT_TRUE(fs.makeDirectory(at("d1")));
  fs.failAt(FileOp::kStatus, 2, -1);
  EXPECT_TRUE(fs.isDirectory(at("d1")));
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(fs.isDirectory(at("d1")));
  FileStatus st;
  EXPECT_FALSE(fs.fileStatus(at("d1"), &st)) << "every status call is of one kind";
  fs.reset();
  EXPECT_TRUE(fs.isDirectory(at("d1")));
  EXPECT_EQ(fs.calls(FileOp::kStatus), 1);
}

TEST_F(FaultInjectionTest, FilesFailTheirReadsWritesSeeksAndCloses) {
  fs.failAt(FileOp::kCreate, 1);
  EXPECT_FALSE(fs.open(at("f"), File::Mode::kCreate));
  std::unique_ptr<File> f = fs.open(at("f"), File::Mode::kCreateReadWrite);
  ASSERT_TRUE(f);
  fs.failAt(FileOp::kWrite, 2);
  EXPECT_TRUE(f->write("ab", 2));
  EXPECT_FALSE(f->write("cd", 2));
  EXPECT_TRUE(f->write("ef", 2));
  fs.failAt(FileOp::kSeek, 1);
  EXPECT_FALSE(f->seek(0));
  ASSERT_TRUE(f->seek(0));
  fs.failAt(FileOp::kRead, 1);
  char buffer[8];
  EXPECT_EQ(f->read(buffer, sizeof buffer), -1);
  EXPECT_EQ(f->read(buffer, sizeof buffer), 4);
  EXPECT_EQ(std::string(buffer, 4), "abef");
  fs.failAt(FileOp::kClose, 1);
  EXPECT_FALSE(f->close()) << "reported as failed";
  EXPECT_TRUE(real.deleteFile(at("f"))) << "but closed all the same";
}

TEST_F(FaultInjectionTest, AFullDiskTakesWhatFitsThenRefusesEveryWrite) {
  fs.diskFullAfter(5);
  std::uint64_t space = 0;
  ASSERT_TRUE(fs.freeSpace(dir, &space));
  EXPECT_EQ(space, 5u);
  std::unique_ptr<File> f = fs.open(at("full"), File::Mode::kCreate);
  ASSERT_TRUE(f);
  EXPECT_TRUE(f->write("abc", 3));
  noteFailure(Failure::kOther);
  EXPECT_FALSE(f->write("defg", 4)) << "two of four bytes fit";
  EXPECT_EQ(lastFailure(), Failure::kDiskFull);
  EXPECT_FALSE(f->write("h", 1));
  ASSERT_TRUE(f->close());
  std::string data;
  ASSERT_TRUE(real.readWholeFile(at("full"), &data));
  EXPECT_EQ(data, "abcde");
  EXPECT_FALSE(fs.writeWholeFile(at("more"), "x"));
  fs.reset();
  EXPECT_TRUE(fs.writeWholeFile(at("more"), "x")) << "room again";
}

TEST_F(FaultInjectionTest, LockTestsAndListingsFailOnRequest) {
  ASSERT_TRUE(fs.writeWholeFile(at("in-use"), "x"));
  fs.failAt(FileOp::kLockTest, 1);
  EXPECT_FALSE(fs.canReplace(at("in-use"))) << "reads as a file another program holds";
  EXPECT_EQ(lastFailure(), Failure::kInUse);
  EXPECT_TRUE(fs.canReplace(at("in-use")));
  EXPECT_EQ(lastFailure(), Failure::kInUse) << "a call that succeeds leaves the cause";
  fs.failAt(FileOp::kList, 1);
  std::vector<std::string> names;
  EXPECT_FALSE(fs.listDirectory(dir, &names));
  ASSERT_TRUE(fs.listDirectory(dir, &names));
  EXPECT_EQ(names, std::vector<std::string>{"in-use"});
  fs.failAt(FileOp::kCreateTemp, 1);
  std::string temp;
  EXPECT_FALSE(fs.createTempFile("ks", &temp));
  ASSERT_TRUE(fs.createTempFile("ks", &temp));
  EXPECT_TRUE(fs.deleteFile(temp));
}

// Failures note a cause: in use for a lock test, or any one a test asks for.
TEST_F(FaultInjectionTest, FailuresNoteTheCauseATestAsksFor) {
  ASSERT_TRUE(fs.writeWholeFile(at("in-use"), "x"));
  fs.failWith(FileOp::kLockTest, 1, Failure::kAccessDenied);
  fs.failWith(FileOp::kCreate, 2, Failure::kAccessDenied, 1);
  EXPECT_FALSE(fs.canReplace(at("in-use")));
  EXPECT_EQ(lastFailure(), Failure::kAccessDenied);
  EXPECT_TRUE(fs.writeWholeFile(at("first"), "x"));
  noteFailure(Failure::kOther);
  EXPECT_FALSE(fs.open(at("second"), File::Mode::kCreateNew));
  EXPECT_EQ(lastFailure(), Failure::kAccessDenied);
  EXPECT_FALSE(fs.open(at("third"), File::Mode::kAppend)) << "appending creates too";
  EXPECT_TRUE(fs.open(at("fourth"), File::Mode::kCreate));
  fs.failAt(FileOp::kRename, 1);
  EXPECT_FALSE(fs.moveFile(at("first"), at("fifth")));
  EXPECT_EQ(lastFailure(), Failure::kOther);
}

TEST_F(FaultInjectionTest, TheNthWriteStoresOneByteChangedAndReportsSuccess) {
  std::unique_ptr<File> f = fs.open(at("w"), File::Mode::kCreate);
  ASSERT_TRUE(f);
  fs.corruptWriteAt(2, 1);
  fs.corruptWriteAt(3, 99);  // beyond the call's data: its last byte
  fs.failAt(FileOp::kWrite, 4);
  EXPECT_TRUE(f->write("abc", 3));
  EXPECT_TRUE(f->write("def", 3)) << "a damaged write says nothing";
  EXPECT_TRUE(f->write("ghi", 3));
  EXPECT_FALSE(f->write("jkl", 3)) << "writes are counted as failAt counts them";
  EXPECT_TRUE(f->write("mno", 3));
  ASSERT_TRUE(f->close());
  std::string data;
  ASSERT_TRUE(real.readWholeFile(at("w"), &data));
  EXPECT_EQ(data, std::string("abcd") + static_cast<char>('e' ^ 0xFF) + "fgh" + static_cast<char>('i' ^ 0xFF) + "mno");

  // Counting starts at the call; the damage lands in what a full disk takes.
  fs.reset();
  f = fs.open(at("w"), File::Mode::kCreate);
  ASSERT_TRUE(f);
  fs.diskFullAfter(2);
  fs.corruptWriteAt(1, 5);
  EXPECT_FALSE(f->write("xyz", 3));
  ASSERT_TRUE(f->close());
  ASSERT_TRUE(real.readWholeFile(at("w"), &data));
  EXPECT_EQ(data, std::string("x") + static_cast<char>('y' ^ 0xFF));
}

TEST_F(FaultInjectionTest, AFileReadsAsChangedAfterItsNthRead) {
  ASSERT_TRUE(real.writeWholeFile(at("src"), "0123456789"));
  ASSERT_TRUE(real.writeWholeFile(at("other"), "0123456789"));
  std::unique_ptr<File> early = fs.open(at("src"), File::Mode::kRead);
  ASSERT_TRUE(early);
  fs.changeAfterReads(at("src"), 2, 4);
  char buffer[16] = {};
  ASSERT_EQ(early->read(buffer, 3), 3);
  ASSERT_EQ(early->read(buffer + 3, 3), 3);
  EXPECT_EQ(std::string(buffer, 6), "012345") << "the first two reads see the file as it was";
  const std::string changed = std::string("0123") + static_cast<char>('4' ^ 0xFF) + "56789";
  // Every later read: through the handle open before, after a seek, and
  // through a new handle, a byte at a time too.
  ASSERT_TRUE(early->readAt(0, buffer, 10));
  EXPECT_EQ(std::string(buffer, 10), changed);
  std::string data;
  ASSERT_TRUE(fs.readWholeFile(at("src"), &data));
  EXPECT_EQ(data, changed);
  std::unique_ptr<File> late = fs.open(at("src"), File::Mode::kRead);
  ASSERT_TRUE(late && late->seek(3));
  std::string bytes;
  for (char c; late->read(&c, 1) == 1;) bytes += c;
  EXPECT_EQ(bytes, changed.substr(3));
  ASSERT_TRUE(real.readWholeFile(at("src"), &data));
  EXPECT_EQ(data, "0123456789") << "the disk holds what it held";
  ASSERT_TRUE(fs.readWholeFile(at("other"), &data));
  EXPECT_EQ(data, "0123456789") << "other files read as they are";
  fs.reset();
  ASSERT_TRUE(fs.readWholeFile(at("src"), &data));
  EXPECT_EQ(data, "0123456789");
}

TEST_F(FaultInjectionTest, AChosenCallThrowsOnceInsteadOfActing) {
  ASSERT_TRUE(fs.writeWholeFile(at("a"), "x"));
  fs.throwAt(FileOp::kRename, 2);
  EXPECT_TRUE(fs.moveFile(at("a"), at("b")));
  EXPECT_THROW(fs.moveFile(at("b"), at("c")), std::bad_alloc);
  EXPECT_TRUE(real.fileExists(at("b"))) << "the throwing call did nothing";
  EXPECT_TRUE(fs.moveFile(at("b"), at("c"))) << "once";
  const int before = fs.allCalls();
  fs.throwAnyAt(2);
  EXPECT_TRUE(fs.fileExists(at("c")));
  EXPECT_THROW(fs.deleteFile(at("c")), std::bad_alloc);
  EXPECT_TRUE(fs.deleteFile(at("c")));
  EXPECT_EQ(fs.allCalls(), before + 3) << "the throwing call is counted";
}

}  // namespace
}  // namespace platform
