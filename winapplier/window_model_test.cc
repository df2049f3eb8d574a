#include "winapplier/window_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace winapplier {
namespace {

TEST(CommandLineTest, TokensQuotesAndNumbering) {
  EXPECT_EQ(tokenize("Pelmo32.exe  \"my patch.utp\" C:\\a\" b\"c \"\""),
            (std::vector<std::string>{"Pelmo32.exe", "my patch.utp", "C:\\a bc", ""}));
  CommandLine c = parseCommandLine("\"C:\\Program Files\\Pelmo32.exe\" up.utp \"D:\\My App\"", false);
  EXPECT_FALSE(c.usage);
  EXPECT_EQ(c.patchName, "up.utp");
  EXPECT_EQ(c.path, "D:\\My App");
  c = parseCommandLine("Pelmo32.exe up.utp", false);
  EXPECT_EQ(c.path, ".") << "no path given: the current directory";
  // Self-contained: the first token after the program name is the target.
  c = parseCommandLine("update.exe \"C:\\App\"", true);
  EXPECT_FALSE(c.usage);
  EXPECT_EQ(c.patchName, "");
  EXPECT_EQ(c.path, "C:\\App");
  EXPECT_FALSE(parseCommandLine("update.exe", true).usage);
}

TEST(CommandLineTest, UsageForHelpTooManyTokensAndNoPatch) {
  EXPECT_TRUE(parseCommandLine("Pelmo32.exe", false).usage) << "no patch file";
  EXPECT_TRUE(parseCommandLine("Pelmo32.exe up.utp dir -h", false).usage);
  EXPECT_TRUE(parseCommandLine("Pelmo32.exe -h", false).usage);
  EXPECT_FALSE(parseCommandLine("Pelmo32.exe up.utp -hx", false).usage) << "only the exact token";
  EXPECT_TRUE(parseCommandLine("Pelmo32.exe up.utp dir more", false).usage);
  EXPECT_TRUE(parseCommandLine("update.exe dir more", true).usage) << "two arguments to a self-contained program";
  EXPECT_TRUE(parseCommandLine("update.exe -h", true).usage);
}

// Words that begin with '/' are switches wherever they stand, in any case,
// and count as no argument; /log takes the next word whatever it is.
TEST(CommandLineTest, SwitchesAreNoArguments) {
  CommandLine c = parseCommandLine("Pelmo32.exe /QUIET up.utp /log \"C:\\my log.txt\" dir /norestart", false);
  EXPECT_FALSE(c.usage);
  EXPECT_EQ(c.patchName, "up.utp");
  EXPECT_EQ(c.path, "dir");
  EXPECT_EQ(c.switches.mode, applier::Unattended::kQuiet);
  EXPECT_EQ(c.switches.logFile, "C:\\my log.txt");
  EXPECT_TRUE(c.switches.noRestart);
  EXPECT_EQ(parseCommandLine("Pelmo32.exe /passive up.utp", false).switches.mode, applier::Unattended::kPassive);
  EXPECT_EQ(parseCommandLine("Pelmo32.exe /quiet /passive up.utp", false).switches.mode, applier::Unattended::kQuiet)
      << "/quiet says more, in either order";
  c = parseCommandLine("update.exe /passive /log /quiet", true);
  EXPECT_EQ(c.switches.logFile, "/quiet") << "the word after /log is its file";
  EXPECT_EQ(c.path, ".");
  EXPECT_FALSE(c.usage);

  // Usage: asked for, or a command line refused.
  c = parseCommandLine("Pelmo32.exe up.utp /?", false);
  EXPECT_TRUE(c.usage && c.usageAsked);
  EXPECT_EQ(usageExitCode(c), 1) << "outside the unattended modes, as ever";
  c = parseCommandLine("Pelmo32.exe /quiet up.utp /?", false);
  EXPECT_EQ(usageExitCode(c), 0);
  c = parseCommandLine("update.exe /quiet /x C:\\App", true);
  EXPECT_TRUE(c.usage);
  EXPECT_EQ(c.switches.refused, "/x") << "an unknown switch is refused, never taken as a path";
  EXPECT_EQ(c.path, "C:\\App");
  EXPECT_EQ(usageExitCode(c), 1639);
  EXPECT_TRUE(parseCommandLine("update.exe /passive /log", true).usage) << "/log without its file";
  EXPECT_EQ(usageExitCode(parseCommandLine("update.exe /passive one two", true)), 1639);
  EXPECT_EQ(usageExitCode(parseCommandLine("update.exe /x", true)), 1);
  EXPECT_FALSE(parseCommandLine("/opt/Pelmo32.exe up.utp", false).usage) << "the program's own name is no switch";

  // What joinCommandLine writes, the split gives back.
  const std::vector<std::string> words = {"C:\\Patches\\up date.utp", "C:\\App\\", "/log", "C:\\l.txt"};
  c = parseCommandLine("Pelmo32.exe " + joinCommandLine(words), false);
  EXPECT_EQ(c.patchName, words[0]);
  EXPECT_EQ(c.path, words[1]);
  EXPECT_EQ(c.switches.logFile, words[3]);
}

class RecordingList : public ListView {
 public:
  void addLine(const std::string& line) override { shown.push_back(line); }
  void removeLastLine() override { shown.pop_back(); }
  std::vector<std::string> shown;
};

TEST(MessageListTest, CarriageReturnsEndLinesAndByteOneContinuesTheLast) {
  MessageList list;
  RecordingList view;
  list.output("Checking if the patch file can be applied.\r\n", view);
  list.output("Checking patchinfo for file \"a.dll\": ", view);
  list.output("\x01(ok)", view);
  EXPECT_EQ(view.shown, (std::vector<std::string>{"Checking if the patch file can be applied.",
                                                  "Checking patchinfo for file \"a.dll\": (ok)"}));
  list.output("\r\nTests Ok.\r\n\r\n", view);
  EXPECT_EQ(view.shown.size(), 5u) << "each carriage return adds a line, empty ones too";
  EXPECT_EQ(view.shown[2], "");
  EXPECT_EQ(view.shown[3], "Tests Ok.");
  EXPECT_EQ(list.lines(), view.shown);
  MessageList fresh;
  RecordingList other;
  fresh.output("\x01" "first", other);
  EXPECT_EQ(other.shown, (std::vector<std::string>{"first"})) << "byte 1 on an empty list";
}

TEST(PanelTextTest, ConversionAndLimits) {
  EXPECT_EQ(panelText("one\rtwo\x01three"), "one\r\r\ntwo\r\r\nthree");
  // Ten lines of 76 characters fit.
  std::string comment;
  for (int i = 0; i < 10; ++i) comment += std::string(76, 'a' + i) + "\r";
  EXPECT_EQ(panelText(comment).size(), 10u * 79u);
  // Over 2003 bytes the conversion ends before the piece that does not fit.
  EXPECT_EQ(panelText(std::string(3000, 'x')).size(), kPanelTextSize);
  EXPECT_EQ(panelText(std::string(2001, 'x') + "\r").size(), 2001u) << "no half line break";
  EXPECT_EQ(heldText(std::string(1500, 'c')).size(), 1003u);
  EXPECT_EQ(controlText(".\\sub\\dir"), "sub\\dir");
  EXPECT_EQ(controlText(".sub"), ".sub");
  EXPECT_EQ(controlText("C:\\App"), "C:\\App");
}

// The box after a refused file reads as the list does: the file's message,
// a blank line, the error; neither begins with the list's empty line.
TEST(BoxTextTest, TheRefusedFileComesBeforeTheError) {
  EXPECT_EQ(errorBoxText("", "\r\nThe patch is not applicable to it"), "\r\nThe patch is not applicable to it ")
      << "an error alone as ever: the message and one blank";
  EXPECT_EQ(errorBoxText("\r\nFile \"a.exe\" matches none\r\nReinstall it.", "Error, patch is not applicable."),
            "File \"a.exe\" matches none\r\nReinstall it.\r\n\r\nError, patch is not applicable. ");
  EXPECT_EQ(errorBoxText("\r\n\r\nFile \"a.exe\"", "\r\nError."), "File \"a.exe\"\r\n\r\nError. ");
  EXPECT_EQ(elevationOfferText("\r\nError, you may not.").rfind("Error, you may not.\r\n\r\nDo you want", 0), 0u);
}

TEST(LinksTest, HitAreasAndAddresses) {
  EXPECT_EQ(linkAt(57, 349), Link::kWhatIsAPatch);
  EXPECT_EQ(linkAt(163, 361), Link::kWhatIsAPatch);
  EXPECT_EQ(linkAt(164, 355), Link::kNone);
  EXPECT_EQ(linkAt(175, 355), Link::kCreatePatches);
  EXPECT_EQ(linkAt(329, 355), Link::kCreatePatches);
  EXPECT_EQ(linkAt(100, 348), Link::kNone);
  EXPECT_EQ(linkAt(100, 362), Link::kNone);
  EXPECT_EQ(linkAddress(Link::kWhatIsAPatch), std::string(kVendorServer) + "press/patch.htm");
  const std::string page = linkAddress(Link::kCreatePatches);
  EXPECT_EQ(page, std::string(kVendorServer) + "press/creator.htm");
  EXPECT_EQ(browserFailureText(page),
            "Cannot automatically launch system internet browser, please do it and enter \"" + page +
                "\" manually.");
}

TEST(StateTest, ButtonsAndCursorOfTheRunStates) {
  const StateLook busy = lookOf(true, false);
  EXPECT_STREQ(busy.exitText, "&Exit");
  EXPECT_FALSE(busy.exitEnabled);
  EXPECT_FALSE(busy.applyEnabled);
  EXPECT_TRUE(busy.hourglass);
  EXPECT_TRUE(lookOf(false, false).applyEnabled);
  EXPECT_FALSE(lookOf(false, true).applyEnabled) << "nothing to apply to";
  EXPECT_TRUE(lookOf(false, true).exitEnabled);
  EXPECT_FALSE(lookOf(false, true).hourglass);
}

}  // namespace
}  // namespace winapplier
