// The builder's log (-l): the shipped templates filled in for real jobs,
// the log of a failed job, and the template and log file failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/tree_fixture.h"

namespace {

namespace fs = std::filesystem;
using platform::FileOp;

class LogTest : public testing_support::TreeFixture {
 protected:
  LogTest() : TreeFixture("log_test") {}
  void SetUp() override {
    TreeFixture::SetUp();
    makeTrees();
    useTemporaryDirectory();
    for (const char* name : {"logfile.txt", "logfile.htm"}) {
      std::string text;
      ASSERT_TRUE(files.readWholeFile(std::string(VERDELIN_SOURCE_DIR) + "/template/" + name, &text));
      put(std::string("dist/template/") + name, text);
    }
    builderFiles.placeProgramAt(at("dist/kestmain"));
  }
  static std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
};

TEST_F(LogTest, TheTextLogOfADirectoryPatchListsEveryFile) {
  ASSERT_EQ(run({"-l", "-d=*", "old", "new", "p"}), 0) << err();
  const std::string log = read("p.log");
  EXPECT_EQ(log.rfind("Verdelin Log File\n", 0), 0u) << log;
  EXPECT_NE(log.find("Patched files: 3\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Embedded files (no source, stored whole): 2\n"), std::string::npos);
  EXPECT_NE(log.find("Skipped files (identical in every version): 1\n  same.cfg, 1500 bytes"), std::string::npos);
  for (const char* name : {"program.exe, ", "readme.txt, ", "sub\\data.bin, ", "tiny.txt, 13 bytes",
                           "sub\\added.dat, 2000 bytes"}) {
    EXPECT_EQ(count(log, std::string("  ") + name), 1u) << name << "\n" << log;
  }
  EXPECT_EQ(count(log, "    from:"), 3u) << "one source each";
  EXPECT_NE(log.find("old"), std::string::npos) << "sources by their absolute paths";
  EXPECT_EQ(log.find("<"), std::string::npos) << "no tag is left";
  EXPECT_EQ(log.find("LOGITEM"), std::string::npos) << "only the log body is written";
}

TEST_F(LogTest, TheHtmlLogIsACleanPage) {
  ASSERT_EQ(run({"-l=html", "-d=*", "old", "new", "p"}), 0) << err();
  const std::string log = read("p.log");
  EXPECT_EQ(log.rfind("<!DOCTYPE html><!-- Verdelin Log File -->", 0), 0u);
  EXPECT_NE(log.find("<h2>Patched files: 3</h2>"), std::string::npos);
  EXPECT_NE(log.find("<h2>Embedded files: 2</h2>"), std::string::npos);
  EXPECT_NE(log.find("<h2>Skipped files: 1</h2>"), std::string::npos);
  EXPECT_EQ(count(log, "<tr><td class=\"path\">"), 6u) << log;
  EXPECT_EQ(log.find("http"), std::string::npos) << "nothing from outside";
  EXPECT_EQ(log.find("<script"), std::string::npos);
#ifndef _WIN32
  if (std::system("command -v tidy >/dev/null 2>&1") != 0) GTEST_SKIP() << "tidy is not installed";
  const std::string command = "tidy -q -e '" + at("p.log") + "' >'" + at("tidy.txt") + "' 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << read("tidy.txt");
#endif
}

TEST_F(LogTest, AFilePatchHasNoDirectorySections) {
  for (const char* flavour : {"-l=txt", "-l=html"}) {
    ASSERT_EQ(run({flavour, "old/program.exe", "new/program.exe", "p"}), 0) << err();
    const std::string log = read("p.log");
    EXPECT_NE(log.find("Patched files: 1"), std::string::npos) << flavour << log;
    EXPECT_EQ(log.find("mbedded"), std::string::npos) << flavour;
    EXPECT_EQ(log.find("directory patch"), std::string::npos) << flavour;
  }
}

TEST_F(LogTest, ATemplateWithoutALogBodyFailsAfterThePatchIsWritten) {
  put("dist/template/logfile.txt", "no body here");
  EXPECT_EQ(run({"-l", "old", "new", "p"}), 1);
  EXPECT_NE(err().find("Error, log file template does not have correct a \"<LOGFILE></LOGFILE>\" section."),
            std::string::npos)
      << err();
  EXPECT_NE(out().find("Examining"), std::string::npos);
  EXPECT_GT(read("p.utp").size(), 100u) << "the patch stays";
  EXPECT_EQ(read("p.log"), "");
}

TEST_F(LogTest, AMissingTemplateEndsTheJobAtItsFirstTarget) {
  files.deleteFile(at("dist/template/logfile.htm"));
  EXPECT_EQ(run({"-l=html", "old", "new", "p"}), 1);
  EXPECT_NE(err().find("Error, cannot finde the log template file \""), std::string::npos) << err();
  EXPECT_NE(err().find("logfile.htm\"\nwhich is required for building a log file!"), std::string::npos) << err();
  EXPECT_EQ(out().find("Examining"), std::string::npos);
  EXPECT_FALSE(files.fileExists(at("p.utp")));
}

TEST_F(LogTest, AFileOfTheLogsNameIsOnlyReplacedWhenItIsALog) {
  put("p.utp", "an earlier patch");
  put("p.log", "my own notes\n");
  EXPECT_EQ(run({"-l", "old", "new", "p"}), 1);
  EXPECT_NE(err().find("Error, \"" + at("p.log") + "\" exists and is no log file of this program"), std::string::npos)
      << err();
  EXPECT_EQ(read("p.log"), "my own notes\n");
  EXPECT_EQ(read("p.utp"), "an earlier patch") << "refused before any work";
  put("p.log", "Verdelin Log File\nof an earlier run\n");
  ASSERT_EQ(run({"-l", "old", "new", "p"}), 0) << err();
  EXPECT_NE(read("p.log").find("Patched files: 3"), std::string::npos);
  ASSERT_EQ(run({"-l=html", "old", "new", "p"}), 0) << "an HTML log is one too";
  ASSERT_EQ(run({"-l=txt", "old", "new", "p"}), 0);
}

TEST_F(LogTest, AFailedJobStillGetsTheLogOfWhatItReported) {
  // Both targets are found by the given path, which one patch cannot do:
  // the job fails at the second, after the first was written.
  EXPECT_EQ(run({"-l", "-n=ext", "old", "new", "-n=ext", "old/sub", "new/sub", "p"}), 1);
  EXPECT_NE(err().find(builder::messageText(builder::kBuilderMsgOneTargetByPath)), std::string::npos) << err();
  const std::string log = read("p.log");
  EXPECT_NE(log.find("Patched files: 3"), std::string::npos) << log;
  EXPECT_FALSE(files.fileExists(at("p.utp"))) << "the incomplete patch is deleted";
}

TEST_F(LogTest, ALogFileThatCannotBeCreated) {
  builderFiles.failAt(FileOp::kCreate, 2);  // the patch is the first file created
  EXPECT_EQ(run({"-l", "old/program.exe", "new/program.exe", "p"}), 1);
  EXPECT_NE(err().find("Error, cannot create the log file \"" + at("p.log") + "\"!"), std::string::npos) << err();
  EXPECT_FALSE(files.fileExists(at("p.utp")));
}

TEST_F(LogTest, GermanMessagesOfTheLog) {
  put("win/win.ini", "[intl]\nsLanguage=deu\n");
  const std::string windir = platform::getEnv("windir");
  platform::setEnv("windir", at("win"));
  put("dist/template/logfile.txt", "<LOGFILE><VALUE FROM=\"LIST_SKIPPEDFILES\" NAME=\"COUNT\"></LOGFILE>");
  EXPECT_EQ(run({"-l", "old", "new", "p"}), 1);
  platform::setEnv("windir", windir);
  EXPECT_NE(err().find("Unbekannter Wert \"COUNT\"verlangt"), std::string::npos) << err();
}

}  // namespace
