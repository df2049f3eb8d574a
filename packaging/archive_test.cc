// The packer's command line (option expansion, its size limits, names
// quoted for the interpreter), the search for the packer program, and the
// internal zip writer's failures.
#include "packaging/archive.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;
using packaging::PackError;

// The interpreter is /bin/sh where the null device is /dev/null; otherwise
// it is cmd.exe (a Windows build, under Wine in the tests).
bool posixShell() { return std::string(platform::nullDevice()) == "/dev/null"; }

constexpr std::size_t kInfoZip = 1;

class ArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = ::testing::TempDir() + "archive_test";
    fs::remove_all(root_);
    fs::create_directories(root_);
    savedDirectory_ = fs::current_path();
  }
  void TearDown() override {
    fs::current_path(savedDirectory_);
    fs::remove_all(root_);
  }
  std::string at(const std::string& name) const { return root_ + "/" + name; }
  std::string dir(const std::string& name) {
    fs::create_directories(at(name));
    return at(name);
  }
  void put(const std::string& name, const std::string& bytes = "x") {
    ASSERT_TRUE(files_.writeWholeFile(at(name), bytes));
  }
  static std::string joined(const std::vector<std::string>& pieces, char separator) {
    std::string s;
    for (const std::string& p : pieces) s += (s.empty() ? "" : std::string(1, separator)) + p;
    return s;
  }

  platform::SystemFileSystem files_;
  std::string root_;

 private:
  fs::path savedDirectory_;
};

TEST_F(ArchiveTest, OptionsExpandBaseOutputAndPercent) {
  std::string expanded;
  ASSERT_TRUE(packaging::expandOptions("-9 %b.zip %p", "B", "P", &expanded));
  EXPECT_EQ(expanded, "-9 B.zip P");
  ASSERT_TRUE(packaging::expandOptions("%%%p", "B", "update.utp", &expanded));
  EXPECT_EQ(expanded, "%update.utp") << "\"%%\" is one \"%\", and what follows stands for itself";
  ASSERT_TRUE(packaging::expandOptions("100%% %b%%b", "B", "P", &expanded));
  EXPECT_EQ(expanded, "100% B%b");
  for (const char* refused : {"%x", "-a %B", "%", "-9 %p %"}) {
    EXPECT_FALSE(packaging::expandOptions(refused, "B", "P", &expanded)) << refused;
  }
}

TEST_F(ArchiveTest, TheTableSelectsRowsByNameInAnyCase) {
  EXPECT_EQ(packaging::packerRowByName("infozip"), kInfoZip);
  EXPECT_EQ(packaging::packerRowByName("GZip"), 3u);
  EXPECT_EQ(packaging::packerRowByName("JAR"), 7u);
  EXPECT_EQ(packaging::packerRowByName("zip"), packaging::kInternalZip);
  EXPECT_EQ(packaging::packerRowByName("zip.exe"), packaging::kPackerCount);
  // Every external row's options expand: a stored template with a bad "%"
  // would only show when that packer is used.
  std::string expanded;
  for (std::size_t row = 1; row < packaging::kPackerCount; ++row) {
    EXPECT_TRUE(packaging::expandOptions(packaging::kPackers[row].options, "b", "p", &expanded)) << row;
  }
}

// The command of "zip.exe" (not on an empty search path): "zip.exe " and
// the options with two quoted names, then " >" and the null device.
TEST_F(ArchiveTest, CommandsLongerThanTheirRoomAreRefused) {
  const std::string nowhere = dir("empty");
  const auto command = [&](std::size_t baseLength) {
    const std::string base(baseLength, 'b');
    return packaging::packerCommand(files_, kInfoZip, base, base + ".utp", nowhere);
  };
  const packaging::PackResult shortest = command(1);
  ASSERT_EQ(shortest.error, PackError::kNone);
  const std::string ending = std::string(" >") + platform::nullDevice();
  ASSERT_GE(shortest.command.size(), ending.size());
  EXPECT_EQ(shortest.command.substr(shortest.command.size() - ending.size()), ending);
  EXPECT_EQ(shortest.command.rfind("zip.exe -9 -g -q -X -j ", 0), 0u) << shortest.command;
  // The base name appears twice, so each character more adds two.
  const std::size_t fixed = shortest.command.size() - ending.size() - 2;
  const std::size_t fitting = (packaging::kMaxProgramAndOptions - fixed) / 2;
  const packaging::PackResult longest = command(fitting);
  EXPECT_EQ(longest.error, PackError::kNone);
  EXPECT_LE(longest.command.size(), packaging::kMaxCommand);
  const packaging::PackResult over = command(fitting + 1);
  EXPECT_EQ(over.error, PackError::kCommandTooLong);
  EXPECT_EQ(over.limit, packaging::kMaxProgramAndOptions);
  EXPECT_EQ(command(300).limit, packaging::kMaxExpandedOptions);
}

TEST_F(ArchiveTest, QuotedNamesReachTheCommandAsOneIntactWord) {
  const std::vector<std::string> names = {"plain", "two  blanks", "a;touch marker", "a&b|c",      "$HOME",
                                          "`id`x", "$(id)",       "it's",           "'",          "*",
                                          "a>b<c", "(x)",         "~user",          "back\\slash"};
  if (!posixShell()) {
    // cmd.exe keeps & | < > ( ) and blanks literal between double quotes,
    // but expands %...% and !...! there, and a '"' ends the quotes.
    bool ok = false;
    EXPECT_EQ(platform::quoteForShell("a&b c", &ok), "\"a&b c\"");
    EXPECT_TRUE(ok);
    for (const std::string& refused :
         std::vector<std::string>{"a\"b", "100%", "%PATH%", "a!b", "a^b", "new\nline", std::string("\x1b", 1)}) {
      EXPECT_EQ(platform::quoteForShell(refused, &ok), "") << refused;
      EXPECT_FALSE(ok) << refused;
    }
    GTEST_SKIP() << "the round trip below runs printf through /bin/sh";
  }
  platform::SystemCommandRunner shell;
  bool ok = false;
  const std::string out = platform::quoteForShell(at("out"), &ok);
  ASSERT_TRUE(ok);
  fs::current_path(root_);
  for (std::string name : names) {
    for (const std::string& variant : {name, "\"" + name + "\"", name + "\nsecond line"}) {
      const std::string quoted = platform::quoteForShell(variant, &ok);
      ASSERT_TRUE(ok) << variant;
      fs::remove(at("out"));
      shell.run("printf '%s|' " + quoted + " >" + out);
      std::string got;
      files_.readWholeFile(at("out"), &got);
      EXPECT_EQ(got, variant + "|") << quoted;
    }
  }
  EXPECT_FALSE(fs::exists(at("marker")));
  EXPECT_EQ(platform::quoteForShell(std::string("a\0b", 3), &ok), "");
  EXPECT_FALSE(ok) << "a NUL byte would cut the command short";
}

TEST_F(ArchiveTest, ProgramsAreFoundOnTheSearchPathInAnyCase) {
  const char sep = platform::pathListSeparator();
  const char other = sep == ':' ? ';' : ':';
  const std::string first = dir("first");
  const std::string second = dir("second");
  put("second/ZIP.Exe");
  fs::current_path(dir("work"));
  EXPECT_EQ(packaging::findProgram(files_, "zip.exe", joined({first, second}, sep)), "ZIP.Exe")
      << "spelled as the directory has it";
  EXPECT_EQ(packaging::findProgram(files_, "zip.exe", joined({first, second}, other)), "")
      << "'" << other << "' does not separate pieces here";
  EXPECT_EQ(packaging::findProgram(files_, "zip.exe", joined({first, second, ""}, sep)), "ZIP.Exe");
  EXPECT_EQ(packaging::findProgram(files_, "zip.exe", ""), "");
  // The current directory comes after every piece of the search path.
  put("work/zip.exe");
  put("work/arj.exe");
  EXPECT_EQ(packaging::findProgram(files_, "zip.exe", joined({first, second}, sep)), "ZIP.Exe");
  EXPECT_EQ(packaging::findProgram(files_, "ARJ.EXE", joined({first, second}, sep)), ".\\arj.exe");
  EXPECT_EQ(packaging::findProgram(files_, "arj.exe", ""), ".\\arj.exe");
  EXPECT_EQ(packaging::findProgram(files_, "arj.exe", std::string(1, sep)), ".\\arj.exe");
}

TEST_F(ArchiveTest, PosixFindsProgramsWithoutTheirExeEnding) {
  const std::vector<std::string> candidates = platform::programNameCandidates("ZIP.EXE");
  if (!posixShell()) {
    EXPECT_EQ(candidates, std::vector<std::string>{"ZIP.EXE"});
    GTEST_SKIP() << "Windows programs keep their ending";
  }
  EXPECT_EQ(candidates, (std::vector<std::string>{"ZIP.EXE", "ZIP"}));
  EXPECT_EQ(platform::programNameCandidates("gzip"), std::vector<std::string>{"gzip"});
  EXPECT_EQ(platform::programNameCandidates(".exe"), std::vector<std::string>{".exe"});
  const std::string first = dir("first");
  const std::string second = dir("second");
  fs::current_path(dir("work"));
  put("first/zip");
  EXPECT_EQ(packaging::findProgram(files_, "zip.exe", joined({first, second}, ':')), "zip");
  // The name as the table has it wins, even from a later directory.
  put("second/Zip.exe");
  EXPECT_EQ(packaging::findProgram(files_, "zip.exe", joined({first, second}, ':')), "Zip.exe");
  // The command starts the program found in the current directory by its path.
  put("work/rar");
  const packaging::PackResult r = packaging::packerCommand(files_, 4, "b", "b.utp", first);
  EXPECT_EQ(r.command.rfind("./rar a 'b'.rar 'b.utp' -std ", 0), 0u) << r.command;
}

TEST_F(ArchiveTest, TheCheckLooksForTheProgramOnlyWhenAsked) {
  const std::string nowhere = dir("empty");
  fs::current_path(nowhere);
  EXPECT_EQ(packaging::checkPacker(files_, packaging::kInternalZip, true, nowhere).error, PackError::kNone);
  EXPECT_EQ(packaging::checkPacker(files_, 6, false, nowhere).error, PackError::kNone);
  const packaging::PackResult missing = packaging::checkPacker(files_, 6, true, nowhere);
  EXPECT_EQ(missing.error, PackError::kNotFound);
  EXPECT_EQ(missing.name, "arj.exe");
  EXPECT_EQ(missing.detail, nowhere) << "the message shows the search path";
  put("empty/Arj.exe");
  EXPECT_EQ(packaging::checkPacker(files_, 6, true, "").error, PackError::kNone);
}

TEST_F(ArchiveTest, AnUnfinishedZipArchiveIsRemoved) {
  platform::SystemCommandRunner commands;
  put("p.utp", std::string(5000, 'p'));
  const packaging::PackResult noDirectory =
      packaging::pack(files_, commands, packaging::kInternalZip, at("missing/p"), at("p.utp"), "");
  EXPECT_EQ(noDirectory.error, PackError::kCannotCreateZip);
  EXPECT_EQ(noDirectory.name, at("missing/p.zip"));
  const packaging::PackResult noOutput =
      packaging::pack(files_, commands, packaging::kInternalZip, at("q"), at("q.utp"), "");
  EXPECT_EQ(noOutput.error, PackError::kCannotReadOutput);
  EXPECT_FALSE(fs::exists(at("q.zip")));
  // The second piece of the output cannot be read.
  platform::FaultInjectingFileSystem faulty(files_);
  faulty.failAt(platform::FileOp::kRead, 2);
  put("p.zip", "an older archive");
  const packaging::PackResult unreadable =
      packaging::pack(faulty, commands, packaging::kInternalZip, at("p"), at("p.utp"), "");
  EXPECT_EQ(unreadable.error, PackError::kCannotReadOutput);
  EXPECT_FALSE(fs::exists(at("p.zip")));
  EXPECT_TRUE(fs::exists(at("p.utp")));
}

}  // namespace
