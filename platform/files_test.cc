#include "platform/files.h"

#include <gtest/gtest.h>

#include <string>

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
