#include "builder/startup.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

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
