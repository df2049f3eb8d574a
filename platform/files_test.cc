#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/process.h"

namespace platform {
namespace {

class FilesTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) { return ::testing::TempDir() + name; }
};

TEST_F(FilesTest, WriteReadSeekAndSize) {
  const std::string name = path("files_test.bin");
  {
    File out;
    ASSERT_TRUE(out.open(name, File::Mode::kCreate));
    ASSERT_TRUE(out.write("hello world", 11));
    ASSERT_TRUE(out.close());
  }
  File in;
  ASSERT_TRUE(in.open(name, File::Mode::kRead));
  std::uint64_t size = 0;
  ASSERT_TRUE(in.size(&size));
  EXPECT_EQ(size, 11u);
  ASSERT_TRUE(in.seek(6));
  char buffer[16] = {};
  EXPECT_EQ(in.read(buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(in.read(buffer, sizeof buffer), 0);
  in.close();

  std::string data;
  ASSERT_TRUE(readWholeFile(name, &data));
  EXPECT_EQ(data, "hello world");
  EXPECT_TRUE(fileExists(name));
  EXPECT_TRUE(deleteFile(name));
  EXPECT_FALSE(fileExists(name));
  EXPECT_FALSE(readWholeFile(name, &data));
  EXPECT_FALSE(deleteFile(name));
}

TEST_F(FilesTest, MovedFileKeepsItsHandle) {
  const std::string name = path("files_move.bin");
  File a;
  ASSERT_TRUE(a.open(name, File::Mode::kCreate));
  File b = std::move(a);
  EXPECT_FALSE(a.isOpen());
  EXPECT_TRUE(b.isOpen());
  EXPECT_TRUE(b.write("x", 1));
  b.close();
  std::string data;
  ASSERT_TRUE(readWholeFile(name, &data));
  EXPECT_EQ(data, "x");
  deleteFile(name);
}

TEST_F(FilesTest, DirectoriesAreNotFiles) {
  File f;
  std::string dir = ::testing::TempDir();
  if (!dir.empty() && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  EXPECT_FALSE(f.open(dir, File::Mode::kRead));
  EXPECT_FALSE(fileExists(dir));
}

TEST(PathsTest, SystemPathsUseBackslashes) {
#ifdef _WIN32
  EXPECT_EQ(toNative("a\\b\\c.txt"), "a\\b\\c.txt");
#else
  EXPECT_EQ(toNative("a\\b\\c.txt"), "a/b/c.txt");
  EXPECT_EQ(toNative("/abs/x"), "/abs/x");
#endif
  const std::string self = programPath();
  EXPECT_NE(self.find("platform_tests"), std::string::npos) << self;
  EXPECT_EQ(self.find('/'), std::string::npos) << "system form uses backslashes";
}

TEST_F(FilesTest, DirectoriesStatusAndTemporaryFiles) {
  const std::string dir = path("files_dir");
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir + "/sub");
  File f;
  ASSERT_TRUE(f.open(dir + "\\data.bin", File::Mode::kCreate) && f.write("12345", 5) && f.close());
  std::vector<std::string> names;
  ASSERT_TRUE(listDirectory(dir, &names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"data.bin", "sub"}));
  EXPECT_FALSE(listDirectory(dir + "\\data.bin", &names));
  EXPECT_FALSE(listDirectory(dir + "\\missing", &names));
  EXPECT_TRUE(isDirectory(dir + "\\sub"));
  EXPECT_FALSE(isDirectory(dir + "\\data.bin"));

  FileStatus st;
  ASSERT_TRUE(fileStatus(dir + "\\data.bin", &st));
  EXPECT_EQ(st.size, 5u);
  EXPECT_FALSE(st.isDirectory);
  EXPECT_EQ(st.attributes & kAttributeDirectory, 0u);
  // Written just now: the DOS year is this year's, give or take the turn of a year.
  const std::uint32_t now = dosDateTimeNow();
  EXPECT_LE((now >> 25) - (st.dosDateTime >> 25), 1u);
  EXPECT_GE(now >> 25, 2020u - 1980u);
  EXPECT_GE((now >> 21) & 15, 1u);
  EXPECT_LE((now >> 21) & 15, 12u);
  ASSERT_TRUE(fileStatus(dir + "\\sub", &st));
  EXPECT_TRUE(st.isDirectory);
  EXPECT_NE(st.attributes & kAttributeDirectory, 0u);
  EXPECT_FALSE(fileStatus(dir + "\\missing", &st));
#ifndef _WIN32
  ASSERT_TRUE(f.open(dir + "\\.hidden", File::Mode::kCreate) && f.close());
  ASSERT_TRUE(fileStatus(dir + "\\.hidden", &st));
  EXPECT_NE(st.attributes & kAttributeHidden, 0u);
  std::filesystem::create_directory_symlink(dir + "/sub", dir + "/loop");
  ASSERT_TRUE(fileStatus(dir + "\\loop", &st));
  EXPECT_TRUE(st.isLink);
  EXPECT_TRUE(st.isDirectory);
#endif

  std::string a;
  std::string b;
  ASSERT_TRUE(createTempFile("ks", &a));
  ASSERT_TRUE(createTempFile("ks", &b));
  EXPECT_NE(a, b);
  EXPECT_TRUE(fileExists(a));
  EXPECT_TRUE(deleteFile(a));
  EXPECT_TRUE(deleteFile(b));
  std::filesystem::remove_all(dir);
}

TEST(EnvironmentTest, PresentEmptyAndMissing) {
  bool present = true;
  EXPECT_EQ(getEnv("VERDELIN_SURELY_UNSET_VARIABLE", &present), "");
  EXPECT_FALSE(present);
  const std::string path = getEnv("PATH", &present);
  EXPECT_TRUE(present);
  EXPECT_FALSE(path.empty());
}

}  // namespace
}  // namespace platform
