#include "builder/startup.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "builder/cleanup.h"
#include "builder/messages.h"
#include "platform/files.h"
#include "platform/process.h"
#include "tests/machine_support.h"

namespace builder {
namespace {

TEST(StartupTest, ProgramDirectory) {
  EXPECT_EQ(programDirectory("C:\\Tools\\Kest\\kestmain.exe"), "C:\\Tools\\Kest\\");
  EXPECT_EQ(programDirectory("/usr/local/bin/kestmain"), "/usr/local/bin/");
  EXPECT_EQ(programDirectory("a/b\\c"), "a/b\\");
  EXPECT_EQ(programDirectory("kestmain"), "");
}

OptionError readWords(Options* options, std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  platform::SystemFileSystem files;
  return readOptions(options, static_cast<int>(argv.size()), argv.data(), files);
}

// Command-line words, then completion.
TEST(StartupTest, ReadOptionsTakesCommandLineWords) {
  Options options;
  setDefaults(&options);
  EXPECT_FALSE(readWords(&options, {"kestmain", "a", "b", "out"}));
  EXPECT_EQ(options.finalName, "out.utp");
  ASSERT_EQ(options.targets.size(), 1u);
  EXPECT_EQ(options.targets[0].stateNames, (std::vector<std::string>{"a", "b"}));
}

// Every kind of option lands in the job description.
TEST(StartupTest, ReadOptionsFillsTargetsPatternsAndSettings) {
  Options o;
  setDefaults(&o);
  EXPECT_FALSE(readWords(&o, {"kestmain", "-B=100", "-9", "-r", "-j", "-C30", "-m=16", "-b=Old", "-d!=*.bak", "s1",
                              "e1", "-n=win", "-is=*.tmp", "s2", "e2", "p", "-s=gui", "-t=latest", "-logfile=html",
                              "-z=RAR"}));
  EXPECT_EQ(o.finalName, "p.exe");
  EXPECT_EQ(o.baseName, "p");
  ASSERT_EQ(o.targets.size(), 2u);
  const TargetOptions& first = o.targets[0];
  EXPECT_EQ(first.findMethod, patchformat::kLocateGivenPath);
  EXPECT_EQ(first.backupDir, "Old");
  EXPECT_EQ(first.stateNames, (std::vector<std::string>{"s1", "e1"}));
  ASSERT_EQ(first.removePatterns.size(), 1u);
  EXPECT_EQ(first.removePatterns[0].pattern, "*.bak");
  EXPECT_TRUE(first.removePatterns[0].exclude);
  EXPECT_FALSE(first.removePatterns[0].matchFlag);
  EXPECT_TRUE(first.ignorePatterns.empty());
  const TargetOptions& second = o.targets[1];
  EXPECT_EQ(second.findMethod, patchformat::kLocateWindowsDir);
  EXPECT_EQ(second.backupDir, "Backup");
  EXPECT_EQ(second.stateNames, (std::vector<std::string>{"s2", "e2"}));
  ASSERT_EQ(second.ignorePatterns.size(), 1u);
  EXPECT_EQ(second.ignorePatterns[0].pattern, "*.tmp");
  EXPECT_TRUE(second.ignorePatterns[0].inSources);
  EXPECT_FALSE(second.ignorePatterns[0].inFinal);
  EXPECT_EQ(second.ignorePatterns[0].inStartState, (std::array<bool, kIgnoreStateSlots>{})) << "no single states";
  EXPECT_TRUE(second.removePatterns.empty());
  EXPECT_EQ(o.searchLevel, 9);
  EXPECT_EQ(o.encoderMargin, 100);
  EXPECT_EQ(o.literalBlockSize, 30u);
  EXPECT_EQ(o.mismatchGroupSize, 190u);
  EXPECT_EQ(o.memoryLimit, 16777216);
  EXPECT_EQ(o.engineHint, 0u);
  EXPECT_TRUE(o.selfReference);
  EXPECT_FALSE(o.internalCompression);
  EXPECT_FALSE(o.includeHidden);
  EXPECT_FALSE(o.forceAll);
  EXPECT_FALSE(o.quiet);
  EXPECT_EQ(o.dateMode, DateMode::kLatest);
  EXPECT_TRUE(o.executable && o.guiStub && !o.localStub);
  EXPECT_EQ(o.stubPlatform, "Win32");
  EXPECT_TRUE(o.logEnabled);
  EXPECT_FALSE(o.logAsText);
  EXPECT_TRUE(o.packAfterwards);
  EXPECT_EQ(o.packer, Packer::kRar);
  EXPECT_EQ(o.commentText, "");
}

// Reading stops at the first refused word; the rest is not read.
TEST(StartupTest, ReadOptionsStopsAtTheFirstRefusal) {
  Options options;
  setDefaults(&options);
  const OptionError e = readWords(&options, {"kestmain", "-q", "-W", "-r", "a", "b", "p"});
  EXPECT_EQ(e.kind, OptionError::Kind::kFatal);
  EXPECT_EQ(e.en, "Error, unknown option \"-W\"!");
  EXPECT_TRUE(options.quiet);
  EXPECT_FALSE(options.selfReference);
}

#if GTEST_HAS_DEATH_TEST && !defined(_WIN32)
// The interrupt and exit handler removes a patch file that is being written.
TEST(CleanupDeathTest, InterruptDeletesTheIncompletePatch) {
  const std::string path = ::testing::TempDir() + "incomplete.utp";
  EXPECT_EXIT(
      {
        static std::unique_ptr<platform::File> file;
        file = platform::SystemFileSystem().open(path, platform::File::Mode::kCreate);
        if (!file) std::exit(7);
        file->write("partial", 7);
        registerPatchOutput(*file, path);
        platform::installInterruptHandler(cleanupHandler);
        std::raise(SIGINT);
        std::exit(8);  // not reached: the handler ends the program
      },
      ::testing::ExitedWithCode(1), "Deleting incomplete patch file \"" + path + "\"");
  EXPECT_FALSE(platform::SystemFileSystem().fileExists(path));
}

// Written and closed but not yet through its checks, the patch is still
// the run's incomplete output.
TEST(CleanupDeathTest, InterruptDeletesAPatchThatWaitsForItsChecks) {
  const std::string path = ::testing::TempDir() + "unchecked.utp";
  EXPECT_EXIT(
      {
        if (!platform::SystemFileSystem().writeWholeFile(path, "complete, unchecked")) std::exit(7);
        registerFinishedPatch(path);
        platform::installInterruptHandler(cleanupHandler);
        std::raise(SIGTERM);
        std::exit(8);
      },
      ::testing::ExitedWithCode(1), "Deleting incomplete patch file \"" + path + "\"");
  EXPECT_FALSE(platform::SystemFileSystem().fileExists(path));
}

TEST(CleanupDeathTest, InterruptDeletesTheIncompletePatchAndTheIncompleteLog) {
  const std::string patch = ::testing::TempDir() + "both.utp";
  const std::string log = ::testing::TempDir() + "both.log";
  EXPECT_EXIT(
      {
        static std::unique_ptr<platform::File> p;
        static std::unique_ptr<platform::File> l;
        p = platform::SystemFileSystem().open(patch, platform::File::Mode::kCreate);
        l = platform::SystemFileSystem().open(log, platform::File::Mode::kCreate);
        if (!p || !l) std::exit(7);
        registerPatchOutput(*p, patch);
        registerLogOutput(*l, log);
        platform::installInterruptHandler(cleanupHandler);
        std::raise(SIGINT);
        std::exit(8);
      },
      ::testing::ExitedWithCode(1), "Deleting incomplete patch file .*\n.*Deleting incomplete log file");
  EXPECT_FALSE(platform::SystemFileSystem().fileExists(patch));
  EXPECT_FALSE(platform::SystemFileSystem().fileExists(log));
}

TEST(CleanupDeathTest, ExitDeletesAnOpenLogFile) {
  const std::string path = ::testing::TempDir() + "open.log";
  EXPECT_EXIT(
      {
        static std::unique_ptr<platform::File> file;
        file = platform::SystemFileSystem().open(path, platform::File::Mode::kCreate);
        if (!file) std::exit(7);
        registerLogOutput(*file, path);
        std::atexit([] { cleanupHandler(); });
        std::exit(1);
      },
      ::testing::ExitedWithCode(1), "Deleting incomplete log file");
  EXPECT_FALSE(platform::SystemFileSystem().fileExists(path));
}
#endif

#if !defined(_WIN32)
// The interrupt and exit handler is the program's, installed by its main:
// a caller of the library keeps its own.
TEST(StartupTest, RunKestmainLeavesTheCallersInterruptHandlerAlone) {
  void (*const own)(int) = +[](int) {};
  void (*const before)(int) = std::signal(SIGINT, own);
  testing_support::TestMachine test;
  std::vector<std::string> words = {"kestmain", "-v"};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  EXPECT_EQ(runKestmain(static_cast<int>(argv.size()), argv.data(), test.machine), 1);
  EXPECT_EQ(std::signal(SIGINT, before), own);
}
#endif

}  // namespace
}  // namespace builder
