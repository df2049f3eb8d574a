#include "builder/startup.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "builder/cleanup.h"
#include "builder/messages.h"
#include "platform/files.h"
#include "platform/process.h"

namespace builder {
namespace {

int g_allocations = 0;
void* failOnFifth(std::size_t bytes) {
  if (++g_allocations == 5) return nullptr;
  return std::calloc(1, bytes);
}

TEST(StartupTest, StateBlockAllocationFailureIsMessage29) {
  g_allocations = 0;
  try {
    initStateBlocks(failOnFifth);
    FAIL() << "no failure reported";
  } catch (const AllocationFailure& e) {
    EXPECT_EQ(e.text(), "Error, can't allocate 1112 Bytes (to initialized the patching engine)!\n");
  }
  releaseStateBlocks();
}

TEST(StartupTest, ProgramDirectory) {
  EXPECT_EQ(programDirectory("C:\\Tools\\Kest\\kestmain.exe"), "C:\\Tools\\Kest\\");
  EXPECT_EQ(programDirectory("/usr/local/bin/kestmain"), "/usr/local/bin/");
  EXPECT_EQ(programDirectory("a/b\\c"), "a/b\\");
  EXPECT_EQ(programDirectory("kestmain"), "");
}

// Command-line words, then completion.
TEST(StartupTest, ReadOptionsTakesCommandLineWords) {
  Options options;
  setDefaults(&options);
  char prog[] = "kestmain";
  char a[] = "a";
  char b[] = "b";
  char out[] = "out";
  char* argv[] = {prog, a, b, out};
  readOptions(&options, 4, argv);
  EXPECT_EQ(options.finalName, "out.utp");
  const std::string text = describeOptions(options);
  EXPECT_NE(text.find("start state 1 \"a\""), std::string::npos);
  EXPECT_NE(text.find("end state \"b\""), std::string::npos);
}

// Every kind of option lands in the job description.
TEST(StartupTest, ReadOptionsFillsTargetsPatternsAndSettings) {
  Options options;
  setDefaults(&options);
  std::vector<std::string> words{"kestmain", "-B=100", "-9", "-r", "-j", "-C30", "-m=16", "-b=Old", "-d!=*.bak",
                                 "s1", "e1", "-n=win", "-is=*.tmp", "s2", "e2", "p", "-s=gui", "-t=latest",
                                 "-logfile=html", "-z=RAR"};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  readOptions(&options, static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(describeOptions(options),
            "Patch file \"p.exe\", base name \"p\"\n"
            "Target 1: find method 0, backup directory \"Old\"\n"
            "  start state 1 \"s1\"\n"
            "  end state \"e1\"\n"
            "  remove \"*.bak\" exclude\n"
            "Target 2: find method 2, backup directory \"Backup\"\n"
            "  start state 1 \"s2\"\n"
            "  end state \"e2\"\n"
            "  ignore \"*.tmp\" sources\n"
            "Search level 9, margin 100, literal block 30, mismatch group 190, memory limit 16777216, engine hint 0\n"
            "Self reference on, compression off, hidden files off, force all off, quiet off, date latest\n"
            "Executable gui Win32, log html, pack yes with RAR\n");
}

#if GTEST_HAS_DEATH_TEST && !defined(_WIN32)
// The interrupt and exit handler removes a patch file that is being written.
TEST(CleanupDeathTest, InterruptDeletesTheIncompletePatch) {
  const std::string path = ::testing::TempDir() + "incomplete.utp";
  EXPECT_EXIT(
      {
        static platform::File file;
        if (!file.open(path, platform::File::Mode::kCreate)) std::exit(7);
        file.write("partial", 7);
        registerPatchOutput(&file, path);
        platform::installInterruptHandler(cleanupHandler);
        std::raise(SIGINT);
        std::exit(8);  // not reached: the handler ends the program
      },
      ::testing::ExitedWithCode(1), "Deleting incomplete patch file \"" + path + "\"");
  EXPECT_FALSE(platform::fileExists(path));
}

TEST(CleanupDeathTest, ExitDeletesAnOpenLogFile) {
  const std::string path = ::testing::TempDir() + "open.log";
  EXPECT_EXIT(
      {
        static platform::File file;
        if (!file.open(path, platform::File::Mode::kCreate)) std::exit(7);
        registerLogOutput(&file, path);
        std::atexit([] { cleanupHandler(); });
        std::exit(1);
      },
      ::testing::ExitedWithCode(1), "Deleting incomplete log file");
  EXPECT_FALSE(platform::fileExists(path));
}
#endif

TEST(CleanupTest, ErrorExitDiscardsThePatchSilently) {
  const std::string path = ::testing::TempDir() + "discard.utp";
  platform::File file;
  ASSERT_TRUE(file.open(path, platform::File::Mode::kCreate));
  registerPatchOutput(&file, path);
  EXPECT_TRUE(patchOutputOpen());
  discardPatchOutput();
  EXPECT_FALSE(patchOutputOpen());
  EXPECT_FALSE(file.isOpen());
  EXPECT_FALSE(platform::fileExists(path));
  // A released file is left where it is.
  ASSERT_TRUE(file.open(path, platform::File::Mode::kCreate));
  registerPatchOutput(&file, path);
  releasePatchOutput();
  discardPatchOutput();
  EXPECT_TRUE(platform::fileExists(path));
  file.close();
  platform::deleteFile(path);
}

}  // namespace
}  // namespace builder
