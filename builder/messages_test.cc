#include "builder/messages.h"

#include <gtest/gtest.h>

#include <string>

namespace builder {
namespace {

std::string g_out, g_err;
void capture(Out stream, const std::string& text) { (stream == Out::kStdout ? g_out : g_err) += text; }

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_out.clear();
    g_err.clear();
    setConsoleSink(capture);
    germanMode = false;
    lastMessageNumber = kNoMessagePending;
  }
  void TearDown() override {
    setConsoleSink(nullptr);
    germanMode = false;
  }
};

TEST_F(MessagesTest, TableHoldsThirtyOneEntries) {
  EXPECT_EQ(std::string(messageText(1)), "Warp 1: Representing ...     ");
  EXPECT_EQ(std::string(messageText(29)), "Error, can't allocate %ld Bytes (%s)!\n");
  EXPECT_EQ(std::string(messageText(0)).substr(0, 56), "Usage: kestrune start [start2 start3 ...] end patchname\n");
  EXPECT_EQ(std::string(messageText(0)).back(), '\n');
  EXPECT_EQ(std::string(messageText(31)), "");
  const std::string selfTest = messageText(30);
  EXPECT_EQ(selfTest.rfind("\nError, Warp 2 self-test failed. Please contact us at ", 0), 0u);
  EXPECT_EQ(selfTest.substr(selfTest.size() - 24), " with this information!\n");
}

TEST_F(MessagesTest, NumberedMessagesFormatTextsAndNumbers) {
  printNumbered(14, "a.dat");
  EXPECT_EQ(g_out, "Error, can't find file \"a.dat\"!\n");
  printNumberedError(29, 1112L, "to hold counters for internal purposes");
  EXPECT_EQ(g_err, "Error, can't allocate 1112 Bytes (to hold counters for internal purposes)!\n");
  EXPECT_EQ(formatMessage("%s and %ld", "x", 5L), "x and 5");
  EXPECT_EQ(formatMessage("%ld%%", -3L), "-3%");
}

TEST_F(MessagesTest, BilingualOutputFollowsTheLanguage) {
  printBilingual("yes", "ja", Out::kStdout);
  germanMode = true;
  printBilingual("yes", "ja", Out::kStdout);
  printBilingualFormat("%s en", "%s de", "x", MsgArg(), Out::kStderr);
  printBilingualFormatLine("%ld en", "%ld de", 7L, MsgArg(), Out::kStderr);
  EXPECT_EQ(g_out, "yes\nja\n");
  EXPECT_EQ(g_err, "x de7 de\n");
}

TEST_F(MessagesTest, FatalErrorsCarryTheirText) {
  germanMode = true;
  try {
    failBilingualFormat("E %s", "D %s", "arg");
    FAIL();
  } catch (const BuilderExit& e) {
    EXPECT_EQ(e.kind(), BuilderExit::Kind::kFatal);
    EXPECT_EQ(e.text(), "D arg");
  }
  // Numbered messages exist in English only, also in German mode.
  try {
    failNumbered(14, "f");
    FAIL();
  } catch (const BuilderExit& e) {
    EXPECT_EQ(e.text(), "Error, can't find file \"f\"!\n");
    EXPECT_EQ(lastMessageNumber, 15);
  }
}

TEST_F(MessagesTest, FatalTextsAreCutAtTheMessageBuffer) {
  try {
    failNumbered(14, std::string(3000, 'n'));
    FAIL();
  } catch (const BuilderExit& e) {
    EXPECT_EQ(e.text().size(), kMessageBuffer - 1);
  }
}

TEST_F(MessagesTest, AllocationFailureIsItsOwnException) {
  try {
    failNumbered(29, 100L, "to backup the index");
    FAIL();
  } catch (const AllocationFailure& e) {
    EXPECT_EQ(e.text(), "Error, can't allocate 100 Bytes (to backup the index)!\n");
  }
  // Any other numbered message is an ordinary fatal error.
  EXPECT_THROW(
      {
        try {
          failNumbered(9);
        } catch (const AllocationFailure&) {
          FAIL() << "message 9 raised as an allocation failure";
        }
      },
      BuilderExit);
}

TEST_F(MessagesTest, ProgressPrintsTheLabelOnceAndTheCounterToStderr) {
  progressWarp2(0);
  progressWarp2(5);
  progressWarp2(100);
  EXPECT_EQ(g_out, "Warp 2: Presorting   ...     ");
  EXPECT_EQ(g_err, "\b\b\b\b  0%\b\b\b\b  5%\b\b\b\b100%");
  g_out.clear();
  progressWarp1(0);
  progressWarp3(0);
  EXPECT_EQ(g_out, "Warp 1: Representing ...     Warp 3: Prepacking   ...     ");
}

TEST(WinIniTest, GermanKeySelectsGerman) {
  EXPECT_FALSE(winIniSelectsGerman(""));
  EXPECT_TRUE(winIniSelectsGerman("[intl]\nsLanguage=deu\n"));
  EXPECT_TRUE(winIniSelectsGerman("SLANGUAGE=DE\r\n"));
  EXPECT_TRUE(winIniSelectsGerman("[intl]\r\nsLanguage=de"));
  EXPECT_FALSE(winIniSelectsGerman("sLanguage=enu\n"));
  EXPECT_FALSE(winIniSelectsGerman(" sLanguage=deu\n")) << "the key must begin the line";
  EXPECT_FALSE(winIniSelectsGerman("sLanguage=d\n"));
  EXPECT_FALSE(winIniSelectsGerman("x=1 sLanguage=deu\n"));
  // A line longer than the 297 characters of the line buffer is read in
  // pieces, and a piece that starts with the key counts.
  EXPECT_TRUE(winIniSelectsGerman(std::string(297, 'x') + "sLanguage=de\n"));
  EXPECT_FALSE(winIniSelectsGerman(std::string(296, 'x') + "sLanguage=de\n"));
}

}  // namespace
}  // namespace builder
