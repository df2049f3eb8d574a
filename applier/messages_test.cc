#include "applier/messages.h"

#include <gtest/gtest.h>

namespace applier {
namespace {

TEST(ApplierMessages, BothNumberingsShareOneTable) {
  EXPECT_EQ(messageText(Numbering::kConsole, 0), "Error, patch is corrupted!");
  EXPECT_EQ(messageText(Numbering::kConsole, 31), "%nThe patch file can be applied to \"%s\".%nDo you want to apply it?");
  EXPECT_EQ(messageText(Numbering::kWindowed, 29),
            "The patch can be applied to \"%s\". Do you want to apply the patch to it?");
  EXPECT_EQ(otherNumber(Numbering::kWindowed, 36), 40);
  EXPECT_EQ(otherNumber(Numbering::kConsole, 29), -1) << "\"Press any key\" is the console's own";
  EXPECT_EQ(messageText(Numbering::kWindowed, 38), "\x01(ok, already updated)");
  EXPECT_EQ(messageText(Numbering::kConsole, 42), "(ok, already updated)%n");
  EXPECT_EQ(messageText(Numbering::kConsole, 18), "Skipping embedded file \"%m\".%n");
  EXPECT_EQ(messageText(Numbering::kWindowed, 18), "Skipping embedded file \"%m\".");
  EXPECT_EQ(messageText(Numbering::kConsole, 38), " (y/n) ");
  EXPECT_EQ(messageText(Numbering::kWindowed, 50), "");
  EXPECT_NE(messageText(Numbering::kConsole, 12).find("/verdelin/pelmo%s.htm"), std::string::npos);
  // Every console number from 0 to 44 has a text, and the windowed ones run
  // to 40; the room, truncation, unknown-version, unexpected-error, in-use,
  // rights, another-run and log messages follow, and the console's wait
  // before its window closes.
  for (int n = 0; n <= 54; ++n) EXPECT_FALSE(messageText(Numbering::kConsole, n).empty()) << n;
  for (int n = 0; n <= 49; ++n) EXPECT_FALSE(messageText(Numbering::kWindowed, n).empty()) << n;
  EXPECT_EQ(otherNumber(Numbering::kConsole, kMsgNoRoom), 41);
  EXPECT_EQ(otherNumber(Numbering::kConsole, kMsgNoKnownVersion), 43);
  EXPECT_EQ(otherNumber(Numbering::kConsole, kMsgUnexpected), 44);
  EXPECT_EQ(otherNumber(Numbering::kConsole, kMsgInUseBy), 45);
  EXPECT_EQ(otherNumber(Numbering::kConsole, kMsgLogFailed), 49);
  EXPECT_EQ(otherNumber(Numbering::kConsole, kMsgPressKeyToClose), -1);
}

// A number given to two messages would show the first one for both: each
// number of either numbering names one message, whose number in the other
// numbering leads back to it.
TEST(ApplierMessages, EveryNumberNamesOneMessage) {
  for (int n = 0; n < 100; ++n) {
    const int windowed = otherNumber(Numbering::kConsole, n);
    if (windowed >= 0) EXPECT_EQ(otherNumber(Numbering::kWindowed, windowed), n) << "console " << n;
    const int console = otherNumber(Numbering::kWindowed, n);
    if (console >= 0) EXPECT_EQ(otherNumber(Numbering::kConsole, console), n) << "windowed " << n;
  }
  EXPECT_EQ(numberedMessage(Numbering::kStub, kMsgTargetMissing, MessageValues{"", "C:\\App", ""}),
            "Error, the target path \"C:\\App\" does not exist.");
  EXPECT_EQ(otherNumber(Numbering::kConsole, kMsgTestSucceeded), -1) << "the windowed appliers have no test mode";
}

TEST(ApplierMessages, TheStubTableLacksTheNoPatchAndVersionMessages) {
  EXPECT_EQ(messageText(Numbering::kStub, 10), messageText(Numbering::kWindowed, 10));
  EXPECT_EQ(messageText(Numbering::kStub, 11), messageText(Numbering::kWindowed, 13)) << "moved down two places";
  EXPECT_EQ(messageText(Numbering::kStub, 47), messageText(Numbering::kWindowed, 49));
  EXPECT_EQ(messageText(Numbering::kStub, 48), "");
  EXPECT_EQ(messageText(Numbering::kStub, 30), "Usage: Patchname.exe [path]%n");
  EXPECT_EQ(numberedMessage(Numbering::kStub, kMsgNoPatchFile), "");
  EXPECT_EQ(numberedMessage(Numbering::kStub, kMsgOk), "\x01(ok)");
  EXPECT_EQ(numberedMessage(Numbering::kWindowed, kMsgUsage), "Usage: Pelmo32.exe patch.utp [path]\r\n");
}

TEST(ApplierMessages, PlaceholdersAndTheCurrentDirectory) {
  MessageValues v{"update.utp", ".", "sub\\a.dll"};
  EXPECT_EQ(formatMessage("%nError, \"%p\" is no patch file.", v), "\r\nError, \"update.utp\" is no patch file.");
  EXPECT_EQ(formatMessage("Updating file \"%m\": ", v), "Updating file \"sub\\a.dll\": ");
  EXPECT_EQ(formatMessage("to \"%s\".", v), "to \"current directory\".");
  v.argument = ".\\";
  EXPECT_EQ(formatMessage("%s", v), "current directory");
  v.argument = ".\\sub\\x";
  EXPECT_EQ(formatMessage("%s", v), "sub\\x");
  v.argument = ".x";
  EXPECT_EQ(formatMessage("%s", v), ".x");
  EXPECT_EQ(formatMessage("100%q and 5%", v), "100%q and 5%");
  EXPECT_EQ(formatMessage("%%n", v), "%\r\n") << "a percent sign stays and the next one is expanded";
}

}  // namespace
}  // namespace applier
