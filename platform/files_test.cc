#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <filesystem>
#include <fstream>
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
  SystemFileSystem fs;
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
  void writeFile(const std::string& name, const std::string& data) {
    ASSERT_TRUE(fs.writeWholeFile(name, data)) << name;
  }
  std::string contents(const std::string& name) {
    std::string data;
    EXPECT_TRUE(fs.readWholeFile(name, &data)) << name;
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
    const std::unique_ptr<File> out = fs.open(name, File::Mode::kCreate);
    ASSERT_TRUE(out);
    ASSERT_TRUE(out->write("hello world", 11));
    ASSERT_TRUE(out->close());
  }
  const std::unique_ptr<File> in = fs.open(name, File::Mode::kRead);
  ASSERT_TRUE(in);
  std::uint64_t size = 0;
  ASSERT_TRUE(in->size(&size));
  EXPECT_EQ(size, 11u);
  ASSERT_TRUE(in->seek(6));
  char buffer[16] = {};
  EXPECT_EQ(in->read(buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(in->read(buffer, sizeof buffer), 0);
  EXPECT_TRUE(in->readAt(0, buffer, 5));
  EXPECT_EQ(std::string(buffer, 5), "hello");
  EXPECT_FALSE(in->readAt(8, buffer, 5)) << "only 3 bytes stand there";
  in->close();

  std::string data;
  ASSERT_TRUE(fs.readWholeFile(name, &data));
  EXPECT_EQ(data, "hello world");
  EXPECT_TRUE(fs.fileExists(name));
  EXPECT_TRUE(fs.deleteFile(name));
  EXPECT_FALSE(fs.fileExists(name));
  EXPECT_FALSE(fs.readWholeFile(name, &data));
  EXPECT_FALSE(fs.deleteFile(name));
}

TEST_F(FilesTest, AClosedFileRefusesEverything) {
  const std::string name = path("files_closed.bin");
  const std::unique_ptr<File> f = fs.open(name, File::Mode::kCreateReadWrite);
  ASSERT_TRUE(f);
  EXPECT_TRUE(f->write("x", 1));
  EXPECT_TRUE(f->close());
  EXPECT_TRUE(f->close()) << "a second close does nothing";
  char c = 0;
  EXPECT_EQ(f->read(&c, 1), -1);
  EXPECT_FALSE(f->write("y", 1));
  EXPECT_FALSE(f->seek(0));
  std::uint64_t size = 0;
  EXPECT_FALSE(f->size(&size));
  EXPECT_EQ(contents(name), "x");
  fs.deleteFile(name);
}

TEST_F(FilesTest, DirectoriesAreNotFiles) {
  std::string dir = ::testing::TempDir();
  if (!dir.empty() && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  EXPECT_FALSE(fs.open(dir, File::Mode::kRead));
  EXPECT_FALSE(fs.fileExists(dir));
}

TEST(PathsTest, SystemPathsUseBackslashes) {
#ifdef _WIN32
  EXPECT_EQ(toNative("a\\b\\c.txt"), "a\\b\\c.txt");
#else
  EXPECT_EQ(toNative("a\\b\\c.txt"), "a/b/c.txt");
  EXPECT_EQ(toNative("/abs/x"), "/abs/x");
#endif
  const std::string self = SystemFileSystem().programPath();
  EXPECT_NE(self.find("platform_tests"), std::string::npos) << self;
  EXPECT_EQ(self.find('/'), std::string::npos) << "system form uses backslashes";
}

TEST(PathsTest, TheLastSeparatorIsEitherKind) {
  EXPECT_EQ(lastSeparator("C:\\Tools/kest\\a.exe"), 13u);
  EXPECT_EQ(lastSeparator("dir\\sub/"), 7u);
  EXPECT_EQ(lastSeparator("kestmain"), std::string::npos);
  EXPECT_EQ(lastSeparator(""), std::string::npos);
  // Only the first `length` bytes count: a trailing separator can be left out.
  EXPECT_EQ(lastSeparator("dir\\sub/", 7), 3u);
  EXPECT_EQ(lastSeparator("dir\\sub/", 4), 3u);
  EXPECT_EQ(lastSeparator("dir\\sub/", 3), std::string::npos);
  EXPECT_EQ(lastSeparator("\\x", 0), std::string::npos);
}

TEST_F(FilesTest, DirectoriesStatusAndTemporaryFiles) {
  const std::string dir = path("files_dir");
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir + "/sub");
  writeFile(dir + "\\data.bin", "12345");
  std::vector<std::string> names;
  ASSERT_TRUE(fs.listDirectory(dir, &names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"data.bin", "sub"}));
  EXPECT_FALSE(fs.listDirectory(dir + "\\data.bin", &names));
  EXPECT_FALSE(fs.listDirectory(dir + "\\missing", &names));
  EXPECT_TRUE(fs.isDirectory(dir + "\\sub"));
  EXPECT_FALSE(fs.isDirectory(dir + "\\data.bin"));

  FileStatus st;
  ASSERT_TRUE(fs.fileStatus(dir + "\\data.bin", &st));
  EXPECT_EQ(st.size, 5u);
  EXPECT_FALSE(st.isDirectory);
  EXPECT_EQ(st.attributes & kAttributeDirectory, 0u);
  // Written just now: the DOS year is this year's, give or take the turn of a year.
  const std::uint32_t now = fs.dosDateTimeNow();
  EXPECT_LE((now >> 25) - (st.dosDateTime >> 25), 1u);
  EXPECT_GE(now >> 25, 2020u - 1980u);
  EXPECT_GE((now >> 21) & 15, 1u);
  EXPECT_LE((now >> 21) & 15, 12u);
  ASSERT_TRUE(fs.fileStatus(dir + "\\sub", &st));
  EXPECT_TRUE(st.isDirectory);
  EXPECT_NE(st.attributes & kAttributeDirectory, 0u);
  EXPECT_FALSE(fs.fileStatus(dir + "\\missing", &st));
#ifndef _WIN32
  writeFile(dir + "\\.hidden", "");
  ASSERT_TRUE(fs.fileStatus(dir + "\\.hidden", &st));
  EXPECT_NE(st.attributes & kAttributeHidden, 0u);
  std::filesystem::create_directory_symlink(dir + "/sub", dir + "/loop");
  ASSERT_TRUE(fs.fileStatus(dir + "\\loop", &st));
  EXPECT_TRUE(st.isLink);
  EXPECT_TRUE(st.isDirectory);
#endif

  std::string a;
  std::string b;
  ASSERT_TRUE(fs.createTempFile("ks", &a));
  ASSERT_TRUE(fs.createTempFile("ks", &b));
  EXPECT_NE(a, b);
  EXPECT_TRUE(fs.fileExists(a));
  EXPECT_TRUE(fs.deleteFile(a));
  EXPECT_TRUE(fs.deleteFile(b));
  std::filesystem::remove_all(dir);
}

// Names are code page 1252 inside, whatever the host's own encoding; the
// host's names here are made from UTF-8 through std::filesystem.
TEST_F(FilesTest, NamesOutsideAsciiAreCodePage1252Inside) {
  const std::string dir = freshDirectory("files_names");
  const auto hostName = [&](const char* utf8) { return std::filesystem::u8path(dir + "/" + utf8); };
  std::filesystem::create_directory(hostName("Dokumente"));
  for (const char* utf8 : {"résumé ß.md", "日本語.md", "Ω€.txt"}) {
    std::ofstream(hostName(utf8), std::ios::binary) << utf8;
  }
  std::vector<std::string> names, written;
  ASSERT_TRUE(fs.listDirectory(dir, &names, &written));
  // Beside each name, the same name as the host spells it, where nothing is lost.
  ASSERT_EQ(written.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(systemFromUtf8(written[i]), names[i]) << written[i];
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, (std::vector<std::string>{"Dokumente", "résumé ß.md", "Ω€.txt", "日本語.md"}));
  std::sort(names.begin(), names.end());
  // No best fit: a character the code page lacks is a '?', never a look-alike.
  EXPECT_EQ(names, (std::vector<std::string>{"???.md", "?\x80.txt", "Dokumente", "r\xe9sum\xe9 \xdf.md"}));

  EXPECT_EQ(contents(dir + "\\r\xe9sum\xe9 \xdf.md"), "résumé ß.md");
  FileStatus st;
  EXPECT_TRUE(fs.fileStatus(dir + "\\r\xe9sum\xe9 \xdf.md", &st));
  EXPECT_TRUE(fs.isDirectory(dir + "\\Dokumente"));
  writeFile(dir + "\\Dokumente\\\xdc" "bersicht.txt", "x");
  EXPECT_TRUE(std::filesystem::is_regular_file(hostName("Dokumente/Übersicht.txt")));
  EXPECT_TRUE(fs.moveFile(dir + "\\Dokumente\\\xdc" "bersicht.txt", dir + "\\Dokumente\\\x80.txt"));
  EXPECT_TRUE(std::filesystem::is_regular_file(hostName("Dokumente/€.txt")));
  EXPECT_FALSE(fs.fileExists(dir + "\\???.md")) << "the listed name of a file no system name reaches";
#ifndef _WIN32
  // Bytes that are no UTF-8 are one mark each, as Windows shows them.
  std::FILE* f = std::fopen((dir + "/bad\xff\xfe.txt").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  ASSERT_TRUE(fs.listDirectory(dir, &names));
  EXPECT_NE(std::find(names.begin(), names.end(), "bad??.txt"), names.end());
#endif
}

TEST(HostTextTest, ArgumentsAndEnvironmentAreSystemText) {
#ifdef _WIN32
  EXPECT_EQ(fromHost("r\xe9sum\xe9"), "r\xe9sum\xe9") << "the ANSI API's text already";
  EXPECT_EQ(toHost("r\xe9sum\xe9"), "r\xe9sum\xe9");
#else
  EXPECT_EQ(fromHost("résumé"), "r\xe9sum\xe9");
  EXPECT_EQ(toHost("r\xe9sum\xe9"), "résumé");
  EXPECT_EQ(toNative("a\\\xdc" "bersicht"), "a/Übersicht");
  EXPECT_EQ(hostSeparators("a\\\xdc" "bersicht"), "a/\xdc" "bersicht");
  char word0[] = "kestmain";
  char word1[] = "Ω-résumé";
  char* argv[] = {word0, word1, nullptr};
  EXPECT_EQ(programArguments(2, argv), (std::vector<std::string>{"kestmain", "?-r\xe9sum\xe9"}));
  // The environment is set and read as system text.
  ASSERT_TRUE(setEnv("VERDELIN_SET_BY_A_TEST", "\xdc" "bersicht"));
  EXPECT_STREQ(std::getenv("VERDELIN_SET_BY_A_TEST"), "Übersicht");
  EXPECT_EQ(getEnv("VERDELIN_SET_BY_A_TEST"), "\xdc" "bersicht");
  // As written, nothing is taken away.
  EXPECT_EQ(programArgumentsUtf8(2, argv), (std::vector<std::string>{"kestmain", "Ω-résumé"}));
  ASSERT_EQ(::setenv("VERDELIN_SET_BY_A_TEST", "-i=日本.txt", 1), 0);
  EXPECT_EQ(getEnvUtf8("VERDELIN_SET_BY_A_TEST"), "-i=日本.txt");
  EXPECT_EQ(getEnv("VERDELIN_SET_BY_A_TEST"), "-i=??.txt");
#endif
  // A UTF-8 text in the system's code page, and whether it comes back whole.
  EXPECT_EQ(systemFromUtf8("résumé"), "r\xe9sum\xe9");
  EXPECT_EQ(utf8FromSystem("r\xe9sum\xe9"), "résumé");
  EXPECT_EQ(systemFromUtf8("日本.txt"), "??.txt");
  EXPECT_NE(utf8FromSystem(systemFromUtf8("日本.txt")), "日本.txt") << "the loss shows";
  EXPECT_EQ(utf8FromSystem(systemFromUtf8("a?.txt")), "a?.txt") << "a '?' of its own is no loss";
}

TEST_F(FilesTest, ReadOnlyAttributeRoundTrips) {
  const std::string dir = freshDirectory("files_attributes");
  const std::string name = dir + "\\plain.txt";
  writeFile(name, "data");
#ifndef _WIN32
  std::filesystem::permissions(toNative(name), std::filesystem::perms::all);  // write bits for everyone
#endif
  FileStatus st;
  ASSERT_TRUE(fs.setAttributes(name, kAttributeReadOnly | kAttributeArchive));
  ASSERT_TRUE(fs.fileStatus(name, &st));
  EXPECT_NE(st.attributes & kAttributeReadOnly, 0u);
#ifndef _WIN32
  // Nobody may write any more, not just the owner.
  const auto perms = std::filesystem::status(toNative(name)).permissions();
  using std::filesystem::perms;
  EXPECT_EQ(perms & (perms::owner_write | perms::group_write | perms::others_write), perms::none);
#endif
  ASSERT_TRUE(fs.setAttributes(name, 0));
  ASSERT_TRUE(fs.fileStatus(name, &st));
  EXPECT_EQ(st.attributes & kAttributeReadOnly, 0u);
  ASSERT_TRUE(fs.setAttributes(name, kAttributeReadOnly));
  ASSERT_TRUE(fs.setAttributes(name, kAttributeArchive));
  ASSERT_TRUE(fs.fileStatus(name, &st));
  EXPECT_EQ(st.attributes & kAttributeReadOnly, 0u);
  EXPECT_TRUE(fs.open(name, File::Mode::kCreate)) << "writable again";
  EXPECT_FALSE(fs.setAttributes(dir + "\\missing", 0));
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
    ASSERT_TRUE(fs.setLastWriteTime(name, value)) << std::hex << value;
    FileStatus st;
    ASSERT_TRUE(fs.fileStatus(name, &st));
    EXPECT_EQ(st.dosDateTime, value) << std::hex << value;
  }
  // A read-only file takes a new time too, and keeps its attribute.
  ASSERT_TRUE(fs.setAttributes(name, kAttributeReadOnly));
  EXPECT_TRUE(fs.setLastWriteTime(name, values[0]));
  FileStatus st;
  ASSERT_TRUE(fs.fileStatus(name, &st));
  EXPECT_EQ(st.dosDateTime, values[0]);
  EXPECT_NE(st.attributes & kAttributeReadOnly, 0u);

  EXPECT_FALSE(fs.setLastWriteTime(name, dos(2001, 13, 1, 0, 0, 0))) << "month 13";
  EXPECT_FALSE(fs.setLastWriteTime(name, dos(2001, 1, 1, 25, 0, 0))) << "hour 25";
#ifndef _WIN32
  // Windows versions differ here: some move the day into March.
  EXPECT_FALSE(fs.setLastWriteTime(name, dos(2001, 2, 29, 12, 0, 0))) << "no leap year";
#endif
  EXPECT_FALSE(fs.setLastWriteTime(dir + "\\missing", values[0]));
}

TEST_F(FilesTest, MoveFileReplacesTargetsAndMakeDirectoryMakesOne) {
  const std::string dir = freshDirectory("files_moves");
  writeFile(dir + "\\a", "new a");
  writeFile(dir + "\\b", "old b");
  ASSERT_TRUE(fs.moveFile(dir + "\\a", dir + "\\b"));
  EXPECT_FALSE(fs.fileExists(dir + "\\a"));
  EXPECT_EQ(contents(dir + "\\b"), "new a");

  writeFile(dir + "\\c", "new c");
  writeFile(dir + "\\locked", "old");
  ASSERT_TRUE(fs.setAttributes(dir + "\\locked", kAttributeReadOnly));
  ASSERT_TRUE(fs.moveFile(dir + "\\c", dir + "\\locked")) << "a read-only target is replaced";
  EXPECT_EQ(contents(dir + "\\locked"), "new c");
  EXPECT_FALSE(fs.fileExists(dir + "\\c"));

  EXPECT_FALSE(fs.moveFile(dir + "\\missing", dir + "\\other"));
  EXPECT_FALSE(fs.fileExists(dir + "\\other"));

  ASSERT_TRUE(fs.makeDirectory(dir + "\\sub"));
  EXPECT_TRUE(fs.isDirectory(dir + "\\sub"));
  EXPECT_FALSE(fs.makeDirectory(dir + "\\sub")) << "exists already";
  EXPECT_FALSE(fs.makeDirectory(dir + "\\no\\such\\parent"));
  EXPECT_TRUE(fs.moveFile(dir + "\\b", dir + "\\sub\\moved")) << "to a free name";
  EXPECT_EQ(contents(dir + "\\sub\\moved"), "new a");
}

TEST_F(FilesTest, CanReplaceOnlyExistingFilesThatAreFree) {
  const std::string dir = freshDirectory("files_replace");
  const std::string name = dir + "\\target";
  writeFile(name, "x");
  EXPECT_TRUE(fs.canReplace(name));
  EXPECT_FALSE(fs.canReplace(dir + "\\missing"));
  EXPECT_EQ(lastFailure(), Failure::kOther);
  EXPECT_FALSE(fs.canReplace(dir)) << "a directory is not a file";
  EXPECT_TRUE(fs.fileExists(name)) << "looking does not change the file";
#ifdef _WIN32
  {
    const std::unique_ptr<File> open = fs.open(name, File::Mode::kRead);
    ASSERT_TRUE(open);
    EXPECT_FALSE(fs.canReplace(name)) << "another handle is open";
    EXPECT_EQ(lastFailure(), Failure::kInUse);
  }
  EXPECT_TRUE(fs.canReplace(name));
#else
  if (::geteuid() != 0) {  // root writes into any directory
    ASSERT_TRUE(fs.makeDirectory(dir + "\\closed"));
    writeFile(dir + "\\closed\\inside", "x");
    ASSERT_EQ(::chmod(toNative(dir + "\\closed").c_str(), 0555), 0);
    EXPECT_FALSE(fs.canReplace(dir + "\\closed\\inside"));
    EXPECT_EQ(lastFailure(), Failure::kAccessDenied);
    EXPECT_FALSE(fs.open(dir + "\\closed\\new", File::Mode::kCreateNew));
    EXPECT_EQ(lastFailure(), Failure::kAccessDenied);
    ::chmod(toNative(dir + "\\closed").c_str(), 0755);
  }
  // A write that finds no room says so.
  const std::unique_ptr<File> full = fs.open("/dev/full", File::Mode::kAppend);
  ASSERT_TRUE(full);
  EXPECT_FALSE(full->write("x", 1));
  EXPECT_EQ(lastFailure(), Failure::kDiskFull);
#endif
}

TEST_F(FilesTest, AppendingKeepsWhatIsThereAndCreatesWhatIsNot) {
  const std::string dir = freshDirectory("files_append");
  const std::string name = dir + "\\log.txt";
  for (const char* line : {"one\r\n", "two\r\n"}) {
    const std::unique_ptr<File> f = fs.open(name, File::Mode::kAppend);
    ASSERT_TRUE(f);
    ASSERT_TRUE(f->write(line, 5));
  }
  EXPECT_EQ(contents(name), "one\r\ntwo\r\n");
  EXPECT_FALSE(fs.open(dir + "\\no\\such\\dir\\log.txt", File::Mode::kAppend));
  EXPECT_EQ(lastFailure(), Failure::kOther);
}

TEST_F(FilesTest, OpenReadAndNewFilesCanBeDeleted) {
  // The interrupt handler removes temporary files that are still open.
  const std::string dir = freshDirectory("files_delete_open");
  const std::unique_ptr<File> created = fs.open(dir + "\\new.tmp", File::Mode::kCreateNew);
  ASSERT_TRUE(created);
  EXPECT_FALSE(fs.open(dir + "\\new.tmp", File::Mode::kCreateNew)) << "it exists now";
  EXPECT_TRUE(created->write("abc", 3));
  EXPECT_TRUE(fs.deleteFile(dir + "\\new.tmp"));
  created->close();
  EXPECT_FALSE(fs.fileExists(dir + "\\new.tmp"));

  writeFile(dir + "\\read.tmp", "abc");
  const std::unique_ptr<File> reading = fs.open(dir + "\\read.tmp", File::Mode::kRead);
  ASSERT_TRUE(reading);
  EXPECT_TRUE(fs.deleteFile(dir + "\\read.tmp"));
  reading->close();
  EXPECT_FALSE(fs.fileExists(dir + "\\read.tmp"));
}

TEST_F(FilesTest, FreeSpaceOfADirectoryAndOfANewFileInIt) {
  const std::string dir = freshDirectory("files_space");
  std::uint64_t bytes = 0;
  ASSERT_TRUE(fs.freeSpace(dir, &bytes));
  EXPECT_GT(bytes, 0u);
  bytes = 0;
  ASSERT_TRUE(fs.freeSpace(dir + "\\not-there-yet.bin", &bytes)) << "asked through the directory that will hold it";
  EXPECT_GT(bytes, 0u);
  EXPECT_FALSE(fs.freeSpace(dir + "\\no\\such\\place", &bytes));
}

TEST(CommandRunnerTest, TheInterpreterRunsTheLineAndItsExitCodeComesBack) {
  SystemCommandRunner commands;
  EXPECT_EQ(commands.run("exit 0"), 0);
  EXPECT_EQ(commands.run("exit 3"), 3);
  const std::string marker = ::testing::TempDir() + "command_ran.txt";
  SystemFileSystem fs;
  fs.deleteFile(marker);
  EXPECT_EQ(commands.run("echo ran> \"" + toNative(marker) + "\""), 0);
  std::string text;
  ASSERT_TRUE(fs.readWholeFile(marker, &text));
  EXPECT_EQ(text.substr(0, 3), "ran");
  fs.deleteFile(marker);
}

TEST(EnvironmentTest, PresentEmptyAndMissing) {
  bool present = true;
  EXPECT_EQ(getEnv("VERDELIN_SURELY_UNSET_VARIABLE", &present), "");
  EXPECT_FALSE(present);
  ASSERT_TRUE(setEnv("VERDELIN_SET_BY_A_TEST", "value 1"));
  EXPECT_EQ(getEnv("VERDELIN_SET_BY_A_TEST", &present), "value 1");
  EXPECT_TRUE(present);
  const std::string path = getEnv("PATH", &present);
  EXPECT_TRUE(present);
  EXPECT_FALSE(path.empty());
}

}  // namespace
}  // namespace platform
