#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#endif

#include "platform/process.h"

namespace platform {
namespace {

class FilesTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) { return ::testing::TempDir() + name; }
  // A fresh, empty directory for one test; removed afterwards.
  std::string freshDirectory(const std::string& name) {
    dir_ = path(name);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    return dir_;
  }
  // Writable again first: read-only files and directories resist removal.
  void TearDown() override {
    if (dir_.empty()) return;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_, ignored)) {
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(dir_, ignored);
  }
  static void writeFile(const std::string& name, const std::string& data) {
    File f;
    ASSERT_TRUE(f.open(name, File::Mode::kCreate) && f.write(data.data(), data.size()) && f.close()) << name;
  }
  static std::string contents(const std::string& name) {
    std::string data;
    EXPECT_TRUE(readWholeFile(name, &data)) << name;
    return data;
  }

 private:
  std::string dir_;
};

#ifndef _WIN32
// Sets the local time zone for one scope.
class ZoneOverride {
 public:
  explicit ZoneOverride(const char* zone) : had_(std::getenv("TZ") != nullptr), old_(had_ ? std::getenv("TZ") : "") {
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ZoneOverride() {
    had_ ? ::setenv("TZ", old_.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
  }

 private:
  bool had_;
  std::string old_;
};
#endif

constexpr std::uint32_t dos(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                            unsigned second) {
  return (year - 1980) << 25 | month << 21 | day << 16 | hour << 11 | minute << 5 | second / 2;
}

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

TEST_F(FilesTest, ReadOnlyAttributeRoundTrips) {
  const std::string dir = freshDirectory("files_attributes");
  const std::string name = dir + "\\plain.txt";
  writeFile(name, "data");
#ifndef _WIN32
  std::filesystem::permissions(toNative(name), std::filesystem::perms::all);  // write bits for everyone
#endif
  FileStatus st;
  ASSERT_TRUE(setAttributes(name, kAttributeReadOnly | kAttributeArchive));
  ASSERT_TRUE(fileStatus(name, &st));
  EXPECT_NE(st.attributes & kAttributeReadOnly, 0u);
#ifndef _WIN32
  // Nobody may write any more, not just the owner.
  const auto perms = std::filesystem::status(toNative(name)).permissions();
  using std::filesystem::perms;
  EXPECT_EQ(perms & (perms::owner_write | perms::group_write | perms::others_write), perms::none);
#endif
  ASSERT_TRUE(setAttributes(name, 0));
  ASSERT_TRUE(fileStatus(name, &st));
  EXPECT_EQ(st.attributes & kAttributeReadOnly, 0u);
  ASSERT_TRUE(setAttributes(name, kAttributeReadOnly));
  ASSERT_TRUE(setAttributes(name, kAttributeArchive));
  ASSERT_TRUE(fileStatus(name, &st));
  EXPECT_EQ(st.attributes & kAttributeReadOnly, 0u);
  File f;
  EXPECT_TRUE(f.open(name, File::Mode::kCreate)) << "writable again";
  f.close();
  EXPECT_FALSE(setAttributes(dir + "\\missing", 0));
}

TEST_F(FilesTest, LastWriteTimeRoundTripsInDosForm) {
#ifndef _WIN32
  // A zone with summer time, so that a wrong daylight-saving guess shows as
  // an hour's difference.
  const ZoneOverride zone("CET-1CEST,M3.5.0,M10.5.0/3");
#endif
  const std::string dir = freshDirectory("files_times");
  const std::string name = dir + "\\dated.bin";
  writeFile(name, "x");
  const std::uint32_t values[] = {
      dos(2001, 1, 15, 10, 20, 30),  // winter
      dos(2019, 7, 4, 12, 0, 0),     // summer
      dos(2024, 2, 29, 23, 59, 58),  // leap day, last two seconds of the day
      dos(1999, 10, 31, 3, 30, 0),   // the morning summer time ended
      dos(1980, 1, 2, 0, 0, 0),
  };
  for (const std::uint32_t value : values) {
    ASSERT_TRUE(setLastWriteTime(name, value)) << std::hex << value;
    FileStatus st;
    ASSERT_TRUE(fileStatus(name, &st));
    EXPECT_EQ(st.dosDateTime, value) << std::hex << value;
  }
  // A read-only file takes a new time too, and keeps its attribute.
  ASSERT_TRUE(setAttributes(name, kAttributeReadOnly));
  EXPECT_TRUE(setLastWriteTime(name, values[0]));
  FileStatus st;
  ASSERT_TRUE(fileStatus(name, &st));
  EXPECT_EQ(st.dosDateTime, values[0]);
  EXPECT_NE(st.attributes & kAttributeReadOnly, 0u);

  EXPECT_FALSE(setLastWriteTime(name, dos(2001, 13, 1, 0, 0, 0))) << "month 13";
  EXPECT_FALSE(setLastWriteTime(name, dos(2001, 1, 1, 25, 0, 0))) << "hour 25";
#ifndef _WIN32
  // Windows versions differ here: some move the day into March.
  EXPECT_FALSE(setLastWriteTime(name, dos(2001, 2, 29, 12, 0, 0))) << "no leap year";
#endif
  EXPECT_FALSE(setLastWriteTime(dir + "\\missing", values[0]));
}

TEST_F(FilesTest, MoveFileReplacesTargetsAndMakeDirectoryMakesOne) {
  const std::string dir = freshDirectory("files_moves");
  writeFile(dir + "\\a", "new a");
  writeFile(dir + "\\b", "old b");
  ASSERT_TRUE(moveFile(dir + "\\a", dir + "\\b"));
  EXPECT_FALSE(fileExists(dir + "\\a"));
  EXPECT_EQ(contents(dir + "\\b"), "new a");

  writeFile(dir + "\\c", "new c");
  writeFile(dir + "\\locked", "old");
  ASSERT_TRUE(setAttributes(dir + "\\locked", kAttributeReadOnly));
  ASSERT_TRUE(moveFile(dir + "\\c", dir + "\\locked")) << "a read-only target is replaced";
  EXPECT_EQ(contents(dir + "\\locked"), "new c");
  EXPECT_FALSE(fileExists(dir + "\\c"));

  EXPECT_FALSE(moveFile(dir + "\\missing", dir + "\\other"));
  EXPECT_FALSE(fileExists(dir + "\\other"));

  ASSERT_TRUE(makeDirectory(dir + "\\sub"));
  EXPECT_TRUE(isDirectory(dir + "\\sub"));
  EXPECT_FALSE(makeDirectory(dir + "\\sub")) << "exists already";
  EXPECT_FALSE(makeDirectory(dir + "\\no\\such\\parent"));
  EXPECT_TRUE(moveFile(dir + "\\b", dir + "\\sub\\moved")) << "to a free name";
  EXPECT_EQ(contents(dir + "\\sub\\moved"), "new a");
}

TEST_F(FilesTest, CanReplaceOnlyExistingFilesThatAreFree) {
  const std::string dir = freshDirectory("files_replace");
  const std::string name = dir + "\\target";
  writeFile(name, "x");
  EXPECT_TRUE(canReplace(name));
  EXPECT_FALSE(canReplace(dir + "\\missing"));
  EXPECT_FALSE(canReplace(dir)) << "a directory is not a file";
  EXPECT_TRUE(fileExists(name)) << "looking does not change the file";
#ifdef _WIN32
  {
    File open;
    ASSERT_TRUE(open.open(name, File::Mode::kRead));
    EXPECT_FALSE(canReplace(name)) << "another handle is open";
  }
  EXPECT_TRUE(canReplace(name));
#else
  if (::geteuid() != 0) {  // root writes into any directory
    ASSERT_TRUE(makeDirectory(dir + "\\closed"));
    writeFile(dir + "\\closed\\inside", "x");
    ASSERT_EQ(::chmod(toNative(dir + "\\closed").c_str(), 0555), 0);
    EXPECT_FALSE(canReplace(dir + "\\closed\\inside"));
    ::chmod(toNative(dir + "\\closed").c_str(), 0755);
  }
#endif
}

TEST_F(FilesTest, OpenReadAndNewFilesCanBeDeleted) {
  // The interrupt handler removes temporary files that are still open.
  const std::string dir = freshDirectory("files_delete_open");
  File created;
  ASSERT_TRUE(created.open(dir + "\\new.tmp", File::Mode::kCreateNew));
  EXPECT_TRUE(created.write("abc", 3));
  EXPECT_TRUE(deleteFile(dir + "\\new.tmp"));
  created.close();
  EXPECT_FALSE(fileExists(dir + "\\new.tmp"));

  writeFile(dir + "\\read.tmp", "abc");
  File reading;
  ASSERT_TRUE(reading.open(dir + "\\read.tmp", File::Mode::kRead));
  EXPECT_TRUE(deleteFile(dir + "\\read.tmp"));
  reading.close();
  EXPECT_FALSE(fileExists(dir + "\\read.tmp"));
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
