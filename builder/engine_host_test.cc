#include "builder/engine_host.h"

#include <gtest/gtest.h>

#include <string>

#include "builder/messages.h"
#include "platform/files.h"
#include "tests/machine_support.h"

namespace builder {
namespace {

class EngineHostTest : public ::testing::Test {
 protected:
  std::string path(const char* name) { return ::testing::TempDir() + name; }
  void put(const std::string& p, const std::string& bytes) { ASSERT_TRUE(files.writeWholeFile(p, bytes)); }

  platform::SystemFileSystem files;
  diffengine::Memory memory;
  testing_support::CapturingConsole console;
  Output out{console};
  ConsoleEngineHost host{out};
  std::string& g_out = console.out;
  std::string& g_err = console.err;
};

TEST_F(EngineHostTest, AStepShowsSizesPhasesAndPercentages) {
  put(path("host_a"), std::string(5000, 'a') + "tail of the source file");
  put(path("host_b"), std::string(5000, 'a') + "another tail");
  HostedEngine engine(diffengine::EngineSettings(), host, files, memory);
  diffengine::StateFile a{path("host_a"), 0, 0};
  diffengine::StateFile b{path("host_b"), 0, 0};
  engine.searchStep(a, b);
  EXPECT_EQ(g_out.rfind("(5023 -> 5012 Bytes)\nWarp 1: Representing ...     ", 0), 0u) << g_out;
  EXPECT_NE(g_out.find("Warp 2: Presorting   ...     "), std::string::npos);
  EXPECT_NE(g_out.find("Warp 3: Prepacking   ...     "), std::string::npos);
  EXPECT_EQ(g_err.rfind("\b\b\b\b  0%", 0), 0u);
  EXPECT_EQ(g_err.substr(g_err.size() - 12), "\b\b\b\b100%\b\b\b\b");
  files.deleteFile(a.path);
  files.deleteFile(b.path);
}

TEST_F(EngineHostTest, MissingFilesEndWithTheNumberedMessages) {
  HostedEngine engine(diffengine::EngineSettings(), host, files, memory);
  diffengine::StateFile a{path("host_missing"), 0, 0};
  diffengine::StateFile b{path("host_missing_too"), 0, 0};
  try {
    engine.searchStep(a, b);
    ADD_FAILURE();
  } catch (const FatalError& exit) {
    EXPECT_EQ(exit.text(), "\n\nError, can't open start file \"" + a.path + "\" for reading!");
  }
  put(a.path, "abc");
  try {
    engine.searchStep(a, b);
    ADD_FAILURE();
  } catch (const FatalError& exit) {
    EXPECT_EQ(exit.text(), "\n\nError, cannot open end file \"" + b.path + "\" for writing!");
  }
  files.deleteFile(a.path);
}

TEST_F(EngineHostTest, NumberedTextsAreCutAtTheMessageBuffer) {
  HostedEngine engine(diffengine::EngineSettings(), host, files, memory);
  diffengine::StateFile a{path(std::string(2000, 'n').c_str()), 0, 0};
  diffengine::StateFile b{path("host_missing_too"), 0, 0};
  try {
    engine.searchStep(a, b);
    ADD_FAILURE();
  } catch (const FatalError& exit) {
    EXPECT_EQ(exit.text().size(), kMessageBuffer - 1);
    EXPECT_EQ(exit.text().rfind("\n\nError, can't open start file \"", 0), 0u);
  }
}

TEST_F(EngineHostTest, TheEnginesOwnTextsAndAllocationFailuresKeepTheirKind) {
  try {
    failFromEngine(out, diffengine::EngineError("Error, the engine's own words"));
  } catch (const AllocationFailure&) {
    ADD_FAILURE() << "an ordinary failure raised as an allocation failure";
  } catch (const FatalError& exit) {
    EXPECT_EQ(exit.text(), "Error, the engine's own words");
  }
  // The counting tables are allocated with the engine.
  memory.failFor("to hold counters for internal purposes", 1);
  try {
    HostedEngine engine(diffengine::EngineSettings(), host, files, memory);
    ADD_FAILURE();
  } catch (const AllocationFailure& exit) {
    EXPECT_EQ(exit.text(), "Error, can't allocate 524288 Bytes (to hold counters for internal purposes)!\n");
  }
  EXPECT_EQ(g_out + g_err, "") << "the failure is only raised";
}

}  // namespace
}  // namespace builder
