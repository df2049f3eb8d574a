#include "applier/unattended.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "applier/exit_codes.h"

namespace applier {
namespace {

Switches read(const std::vector<std::string>& words) {
  Switches s;
  for (std::size_t i = 0; i < words.size();) readSwitch(words, &i, &s);
  return s;
}

TEST(SwitchesTest, NamesInAnyCaseAndTheLogsFile) {
  Switches s = read({"/Passive", "/LOG", "C:\\logs\\run.txt", "/NoRestart"});
  EXPECT_EQ(s.mode, Unattended::kPassive);
  EXPECT_EQ(s.logFile, "C:\\logs\\run.txt");
  EXPECT_TRUE(s.noRestart);
  EXPECT_TRUE(s.refused.empty());
  EXPECT_TRUE(s.unattended());
  EXPECT_TRUE(read({"/?"}).usage);
  EXPECT_FALSE(read({"/?"}).unattended());
  EXPECT_EQ(read({"/passive", "/quiet"}).mode, Unattended::kQuiet);
  EXPECT_EQ(read({"/quiet", "/passive"}).mode, Unattended::kQuiet);
  // The first unknown word is kept; /log at the end has no file.
  EXPECT_EQ(read({"/q", "/quietly", "/quiet"}).refused, "/q");
  EXPECT_EQ(read({"/log"}).refused, "/log");
  EXPECT_EQ(read({"/"}).refused, "/");
}

class RunLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::remove_all(path);
  }
  void TearDown() override { std::filesystem::remove_all(path); }
  std::string contents() {
    std::string s;
    files.readWholeFile(path, &s);
    return s;
  }
  platform::SystemFileSystem files;
  const std::string path = ::testing::TempDir() + "run_log_test.txt";
};

// Every line ends in CR LF however it came; byte 1 and backspaces go; a CR
// that ends one text and the LF that begins the next make one line end.
TEST_F(RunLogTest, LinesEndInCrLfAndRunsAreAppended) {
  {
    RunLog log(files, path);
    ASSERT_TRUE(log.open("pelmora /quiet p.utp"));
    log.append("one\ntwo\r\nthree\r");
    log.append("\nfour\x01 (ok)\b\b\rfive");
  }
  std::string first = contents();
  ASSERT_EQ(first.rfind("--- ", 0), 0u);
  const std::size_t line = first.find("\r\n");
  EXPECT_EQ(first.substr(line - 20, 20), "pelmora /quiet p.utp") << first;
  EXPECT_EQ(first.substr(line + 2), "one\r\ntwo\r\nthree\r\nfour (ok)\r\nfive\r\n") << "the last line ended";
  EXPECT_EQ(dosDateTimeText(0x5A2C6B3D), "2025-01-12 13:25:58");
  {
    RunLog log(files, path);
    ASSERT_TRUE(log.open("second run"));
    log.append("ends with a return\r");
  }
  const std::string both = contents();
  EXPECT_EQ(both.rfind(first + "--- ", 0), 0u) << "appended, on a line of its own: " << both;
  EXPECT_EQ(both.substr(both.size() - 20), "ends with a return\r\n");
  // No log, or one that cannot be written.
  RunLog none(files, "");
  EXPECT_TRUE(none.open("x"));
  none.append("nothing");
  RunLog unwritable(files, ::testing::TempDir() + "no/such/dir/log.txt");
  EXPECT_FALSE(unwritable.open("x"));
}

TEST(ExitCodesTest, EachEndingHasItsCode) {
  struct Case {
    int number;
    platform::Failure cause;
    int code;
  };
  const platform::Failure none = platform::Failure::kOther;
  for (const Case& c : {Case{kMsgNotFound, none, 1642}, Case{kMsgNotApplicable, none, 1642},
                        Case{kMsgRegistryFailed, none, 1642}, Case{kMsgNoRoom, none, 112},
                        Case{kMsgInUse, platform::Failure::kInUse, 32}, Case{kMsgInUseBy, platform::Failure::kInUse, 32},
                        Case{kMsgNeedsRights, platform::Failure::kAccessDenied, 5},
                        Case{kMsgAnotherRun, none, 1618}, Case{kMsgLogFailed, none, 1622},
                        Case{kMsgDenied, none, 1602}, Case{kErrorCancelled, none, 1602},
                        Case{kMsgCorrupt, none, 1603}, Case{kMsgCannotOpenPatch, none, 1603},
                        Case{kMsgUnexpected, none, 1603},
                        // A file operation that failed, by its cause.
                        Case{kMsgWriteFailed, platform::Failure::kDiskFull, 112},
                        Case{kMsgReplaceDenied, platform::Failure::kInUse, 32},
                        Case{kMsgBackupDenied, platform::Failure::kAccessDenied, 5},
                        Case{kMsgWritingFileFailed, none, 1603}}) {
    EXPECT_EQ(exitCodeOf(ApplierError(c.number, "", c.cause)), c.code) << "message " << c.number;
  }
}

}  // namespace
}  // namespace applier
