#include "builder/messages.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/machine_support.h"

namespace builder {
namespace {

class MessagesTest : public ::testing::Test {
 protected:
  testing_support::CapturingConsole console;
  Output out{console};
  std::string& g_out = console.out;
  std::string& g_err = console.err;
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
  out.numbered(kBuilderMsgCannotFindFile, "a.dat");
  EXPECT_EQ(g_out, "Error, can't find file \"a.dat\"!\n");
  out.numberedError(kBuilderMsgAllocation, 1112L, "to hold counters for internal purposes");
  EXPECT_EQ(g_err, "Error, can't allocate 1112 Bytes (to hold counters for internal purposes)!\n");
  EXPECT_EQ(formatMessage("%s and %ld", "x", 5L), "x and 5");
  EXPECT_EQ(formatMessage("%ld%%", -3L), "-3%");
}

TEST_F(MessagesTest, BilingualOutputFollowsTheLanguage) {
  out.bilingual("yes", "ja", platform::Stream::kOut);
  out.setGerman(true);
  out.bilingual("yes", "ja", platform::Stream::kOut);
  out.bilingualFormat("%s en", "%s de", "x", MsgArg(), platform::Stream::kErr);
  out.bilingualFormatLine("%ld en", "%ld de", 7L, MsgArg(), platform::Stream::kErr);
  EXPECT_EQ(g_out, "yes\nja\n");
  EXPECT_EQ(g_err, "x de7 de\n");
}

TEST_F(MessagesTest, FatalErrorsCarryTheirText) {
  out.setGerman(true);
  try {
    out.failBilingualFormat("E %s", "D %s", "arg");
    FAIL();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(), "D arg");
  }
  try {
    out.failBilingual("E %s", "D %s");
    FAIL();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(), "D %s") << "shown as it is";
  }
  // Numbered messages exist in English only, also in German mode.
  try {
    out.failNumbered(kBuilderMsgCannotFindFile, "f");
    FAIL();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(), "Error, can't find file \"f\"!\n");
  }
}

TEST_F(MessagesTest, FatalTextsAreCutAtTheMessageBuffer) {
  try {
    out.failNumbered(kBuilderMsgCannotFindFile, std::string(3000, 'n'));
    FAIL();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text().size(), kMessageBuffer - 1);
  }
}

TEST_F(MessagesTest, AllocationFailureIsItsOwnException) {
  try {
    out.failNumbered(kBuilderMsgAllocation, 100L, "to backup the index");
    FAIL();
  } catch (const AllocationFailure& e) {
    EXPECT_EQ(e.text(), "Error, can't allocate 100 Bytes (to backup the index)!\n");
  }
  // Any other numbered message is an ordinary fatal error.
  EXPECT_THROW(
      {
        try {
          out.failNumbered(kBuilderMsgNoTemporaryFile);
        } catch (const AllocationFailure&) {
          FAIL() << "message 9 raised as an allocation failure";
        }
      },
      FatalError);
}

TEST_F(MessagesTest, NoticesAreCutTo255BytesAndFormattedOnlyWithAnArgument) {
  out.notice(std::string(300, 'e'), std::string(300, 'd'));
  EXPECT_EQ(g_out, std::string(255, 'e'));
  g_out.clear();
  out.notice("100% %s", "100% %s de");
  EXPECT_EQ(g_out, "100% %s") << "literal without an argument";
  g_out.clear();
  out.setGerman(true);
  out.notice("en %s", "de %s", "x");
  EXPECT_EQ(g_out, "de x");
}

TEST_F(MessagesTest, ProgressPrintsTheLabelOnceAndTheCounterToStderr) {
  out.progress(2, 0);
  out.progress(2, 5);
  out.progress(2, 100);
  EXPECT_EQ(g_out, "Warp 2: Presorting   ...     ");
  EXPECT_EQ(g_err, "\b\b\b\b  0%\b\b\b\b  5%\b\b\b\b100%");
  g_out.clear();
  out.progress(1, 0);
  out.progress(3, 0);
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
