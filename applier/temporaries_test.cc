#include "applier/temporaries.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/process.h"

namespace applier {
namespace {

class TempFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir + "beside");
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  bool exists(const std::string& path) { return system.fileExists(path); }
  // A new temporary in `in`, closed again.
  std::string make(TempFiles& temps, const std::string& in) {
    std::unique_ptr<platform::File> file;
    std::string path;
    EXPECT_TRUE(temps.create(in, &file, &path));
    EXPECT_TRUE(file && file->write("x", 1));
    return path;
  }

  const std::string dir = ::testing::TempDir() + "temp_files_test/";
  platform::SystemFileSystem system;
  platform::FaultInjectingFileSystem files{system};
};

TEST_F(TempFilesTest, TemporaryNamesCountUpAndSkipExistingFiles) {
  TempNames fresh(files, dir + "tn_");
  std::unique_ptr<platform::File> a, b;
  std::string pa, pb;
  // Occupy the first name so that it is skipped, never opened.
  ASSERT_TRUE(files.writeWholeFile(dir + "tn_VDX0.tmp", ""));
  ASSERT_TRUE(fresh.create(&a, &pa));
  ASSERT_TRUE(fresh.create(&b, &pb));
  EXPECT_EQ(pa, dir + "tn_VDX1.tmp");
  EXPECT_EQ(pb, dir + "tn_VDX2.tmp");
  a.reset();
  b.reset();
  TempNames nowhere(files, dir + "no-such-directory\\");
  std::unique_ptr<platform::File> c;
  std::string pc;
  EXPECT_FALSE(nowhere.create(&c, &pc)) << "attempts are bounded";

  // Only such names count as temporaries when a run sweeps a directory.
  EXPECT_TRUE(TempNames::isTemporaryName("VDX0.tmp"));
  EXPECT_TRUE(TempNames::isTemporaryName("VDX1234.tmp"));
  for (const char* other : {"VDX.tmp", "VDXa.tmp", "VDX1.tmp.bak", "myVDX1.tmp", "VDX1.txt", "vdx1.tmp", "VDX1",
                            ".tmp", ""}) {
    EXPECT_FALSE(TempNames::isTemporaryName(other)) << other;
  }
}

// Clean-up deletes what is still held; a released temporary has become a
// target file and stays, a dropped one is gone at once.
TEST_F(TempFilesTest, CleanUpDeletesEveryTemporaryNotReleased) {
  TempFiles temps(files);
  const std::string a = make(temps, dir);
  const std::string b = make(temps, dir);
  const std::string c = make(temps, dir);
  EXPECT_EQ(a, dir + "VDX0.tmp");
  EXPECT_EQ(b, dir + "VDX1.tmp") << "the first free name";
  EXPECT_EQ(c, dir + "VDX2.tmp");
  const std::string inTemp = make(temps, "");
  EXPECT_EQ(inTemp.rfind(files.tempDirectory() + "VDX", 0), 0u) << inTemp;
  temps.release(b);
  temps.drop(c);
  EXPECT_FALSE(exists(c));
  EXPECT_TRUE(temps.holds(a));
  EXPECT_FALSE(temps.holds(b));
  EXPECT_FALSE(temps.holds(c));
  temps.deleteAll();
  EXPECT_FALSE(exists(a));
  EXPECT_FALSE(exists(inTemp));
  EXPECT_TRUE(exists(b));

  std::string left;
  {
    TempFiles scoped(files);
    left = make(scoped, dir);
    EXPECT_TRUE(exists(left));
  }
  EXPECT_FALSE(exists(left)) << "the destructor cleans up too";
}

// A finished result moves from the temporary directory to beside its
// target; when that rename fails (another volume) nothing changes, so the
// caller can copy instead.
TEST_F(TempFilesTest, MoveIntoRenamesBesideATargetOrLeavesTheTemporary) {
  TempFiles temps(files);
  const std::string a = make(temps, dir);
  std::string moved, other;
  ASSERT_TRUE(temps.moveInto(a, dir + "beside\\", &moved));
  EXPECT_EQ(moved, dir + "beside\\VDX1.tmp") << "a name is used once in a run, in any directory";
  EXPECT_FALSE(exists(a));
  EXPECT_TRUE(exists(moved));
  EXPECT_TRUE(temps.holds(moved));
  EXPECT_FALSE(temps.holds(a));

  ASSERT_TRUE(files.writeWholeFile(dir + "user.txt", "mine"));
  EXPECT_FALSE(temps.moveInto(dir + "user.txt", dir + "beside\\", &other)) << "only temporaries move";
  EXPECT_TRUE(exists(dir + "user.txt"));

  const std::string b = make(temps, dir);
  const int renames = files.calls(platform::FileOp::kRename);
  files.failAt(platform::FileOp::kRename, 1);
  EXPECT_FALSE(temps.moveInto(b, dir + "beside\\", &other));
  EXPECT_EQ(files.calls(platform::FileOp::kRename), renames + 1) << "a failure on a free name ends the attempts";
  EXPECT_TRUE(exists(b));
  EXPECT_TRUE(temps.holds(b));
  temps.deleteAll();
  EXPECT_FALSE(exists(moved));
  EXPECT_FALSE(exists(b));
}

TEST_F(TempFilesTest, AnInterruptDeletesWhatCleanUpWould) {
  TempFiles temps(files);
  const std::string a = make(temps, dir);
  const std::string b = make(temps, dir);
  std::string moved;
  const std::string c = make(temps, dir);
  ASSERT_TRUE(temps.moveInto(c, dir + "beside\\", &moved));
  temps.release(b);
  TempFiles::deleteAfterInterrupt();
  EXPECT_FALSE(exists(a));
  EXPECT_FALSE(exists(moved)) << "recorded under its new name";
  EXPECT_TRUE(exists(b));
}

TEST_F(TempFilesTest, AnInterruptDeletesEveryTemporaryHoweverMany) {
  TempFiles temps(files);
  std::vector<std::string> made;
  for (int i = 0; i < 40; ++i) made.push_back(make(temps, dir));
  // Slots freed by releases are taken again by later temporaries, whose
  // names may be longer.
  for (int i = 0; i < 40; i += 2) temps.drop(made[i]);
  const std::string longer = dir + std::string(150, 'd') + "\\";
  std::filesystem::create_directories(platform::toNative(longer));
  for (int i = 0; i < 10; ++i) made.push_back(make(temps, longer));
  TempFiles::deleteAfterInterrupt();
  for (const std::string& path : made) EXPECT_FALSE(exists(path)) << path;
}

#ifndef _WIN32
// An interrupt that comes while a temporary is being made (here: right
// after the file exists, before the caller has it) waits until the
// temporary is recorded, so that the interrupt's clean-up deletes it.
TEST_F(TempFilesTest, AnInterruptWhileATemporaryIsMadeStillDeletesIt) {
  for (const platform::FileOp step : {platform::FileOp::kCreate, platform::FileOp::kRename}) {
    files.reset();
    files.after(step, [](const std::string&) { std::raise(SIGTERM); });
    const auto makeAndMove = [this] {
      platform::installInterruptHandler(TempFiles::deleteAfterInterrupt);
      TempFiles temps(files);
      std::unique_ptr<platform::File> file;
      std::string path, moved;
      temps.create(dir, &file, &path);  // the interrupt comes here, or (kRename) while it moves
      file.reset();
      temps.moveInto(path, dir + "beside\\", &moved);
      std::_Exit(0);  // not reached: the interrupt ends the process
    };
    EXPECT_EXIT(makeAndMove(), ::testing::ExitedWithCode(1), "");
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
      EXPECT_NE(e.path().extension().string(), ".tmp") << e.path();
    }
  }
}
#endif

}  // namespace
}  // namespace applier
