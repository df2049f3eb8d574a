#include "packaging/log_template.h"

#include <gtest/gtest.h>

#include <string>

namespace packaging {
namespace {

LogFacts sampleFacts() {
  LogFacts f;
  f.skipped = {{"/a/same.cfg", "same.cfg", 15}};
  f.embedded = {{"/b/new.txt", "new.txt", 7}, {"/b/sub/x.dat", "sub\\x.dat", 2000}};
  f.patched = {{{"/b/p.exe", "p.exe", 300}, {{"/v1/p.exe", "p.exe", 100}, {"/v2/p.exe", "p.exe", 200}}},
               {{"/b/r.txt", "r.txt", 9}, {{"/a/r.txt", "r.txt", 8}}}};
  return f;
}

std::string expand(const std::string& templateText, bool directoryPatch = true, const LogFacts& facts = sampleFacts()) {
  std::string out;
  expandLog(templateText, facts, directoryPatch, &out);
  return out;
}

// The failure's English text, or "no failure".
std::string failure(const std::string& templateText, std::string* partial = nullptr,
                    const LogFacts& facts = sampleFacts()) {
  std::string out;
  try {
    expandLog(templateText, facts, true, &out);
  } catch (const LogFailure& f) {
    if (partial != nullptr) *partial = out;
    return f.english;
  }
  return "no failure";
}

TEST(LogTemplateTest, TheBodyIsTheLogfileSectionOnly) {
  EXPECT_EQ(expand("before<LOGFILE>inside</LOGFILE>after<LOGFILE>second</LOGFILE>"), "inside");
  EXPECT_EQ(failure("<LOGFILE>never closed"),
            "\nError, log file template does not have correct a \"<LOGFILE></LOGFILE>\" section.");
  EXPECT_EQ(expand("<logfile>a <b>bold</b> < c</logfile>"), "a <b>bold</b> < c") << "other tags pass through";
}

TEST(LogTemplateTest, ConditionalSectionsAndTheirNesting) {
  const std::string t =
      "<LOGFILE>[<if feature=\"dirpatch\">dir <IF FEATURE=\"OTHER\">never <b>x</b> <IF FEATURE=\"DIRPATCH\">n</IF> "
      "</IF>end</IF>]</LOGFILE>";
  EXPECT_EQ(expand(t, true), "[dir end]") << "tags and names in small letters too";
  EXPECT_EQ(expand(t, false), "[]") << "everything inside, nested sections and tags too, is skipped";
  EXPECT_EQ(expand("<LOGFILE>a<IF FEATURE=\"X\">b<VALUE FROM=\"NOWHERE\" NAME=\"X\"></LOGFILE>"), "a")
      << "an unclosed section runs to the end, and skipped tags are not looked up";
  EXPECT_EQ(expand("<LOGFILE>a</IF >b</LOGFILE>"), "ab") << "a closing tag writes nothing";
}

TEST(LogTemplateTest, ValuesOfListsAndFiles) {
  EXPECT_EQ(expand("<LOGFILE><VALUE FROM=\"LIST_PATCHEDFILES\" NAME=\"AMOUNT\">/"
                   "<VALUE FROM=\"list_embeddedfiles\" NAME=\"amount\">/"
                   "<VALUE FROM=\"LIST_SKIPPEDFILES\" NAME=\"AMOUNT\"></LOGFILE>"),
            "2/2/1");
  EXPECT_EQ(failure("<LOGFILE><VALUE FROM=\"LIST_PATCHEDFILES\" NAME=\"COUNT\"></LOGFILE>"),
            "Unknown value \"COUNT\" requested.");
  EXPECT_EQ(expand("<LOGFILE><FOREACH FROM=\"LIST_EMBEDDEDFILES\" ITERATE=\"F\">"
                   "<VALUE FROM=\"F\" NAME=\"RELPATH\">|<VALUE FROM=\"F\" NAME=\"ABSPATH\">|"
                   "<VALUE FROM=\"F\" NAME=\"SIZE\">|<VALUE FROM=\"F\" NAME=\"DATE\">|<VALUE FROM=\"F\" NAME=\"AGE\">;"
                   "</FOREACH></LOGFILE>"),
            "new.txt|/b/new.txt|7|UNKNOWN|today;sub\\x.dat|/b/sub/x.dat|2000|UNKNOWN|today;");
  EXPECT_EQ(failure("<LOGFILE><VALUE FROM=\"MISSING\" NAME=\"AMOUNT\"></LOGFILE>"),
            "Error, Cannot find container \"MISSING\" in current context while creating the log file.");
  // Names are code page 1252 inside; the log is UTF-8, as its HTML template says.
  LogFacts named;
  named.embedded = {{"/b/Dokumente/\xdc" "bersicht \x80.txt", "Dokumente\\\xdc" "bersicht \x80.txt", 3}};
  EXPECT_EQ(expand("<LOGFILE><FOREACH FROM=\"LIST_EMBEDDEDFILES\" ITERATE=\"F\"><VALUE FROM=\"F\" NAME=\"RELPATH\">|"
                   "<VALUE FROM=\"F\" NAME=\"ABSPATH\"></FOREACH></LOGFILE>",
                   true, named),
            "Dokumente\\Übersicht €.txt|/b/Dokumente/Übersicht €.txt");
}

TEST(LogTemplateTest, LoopsOverPatchedFilesAndTheirSources) {
  const std::string t =
      "<LOGFILE><FOREACH FROM=\"LIST_PATCHEDFILES\" ITERATE=\"FILE\"><VALUE FROM=\"FILE\" NAME=\"RELPATH\">:"
      "<VALUE FROM=\"FILE\" NAME=\"SIZE\"><FOREACH FROM=\"FILE:LIST_SOURCES\" ITERATE=\"S\"> <VALUE FROM=\"S\" "
      "NAME=\"ABSPATH\">=<VALUE FROM=\"S\" NAME=\"SIZE\"></FOREACH>;</FOREACH></LOGFILE>";
  EXPECT_EQ(expand(t), "p.exe:300 /v1/p.exe=100 /v2/p.exe=200;r.txt:9 /a/r.txt=8;");
  EXPECT_EQ(failure("<LOGFILE><FOREACH FROM=\"LIST_SKIPPEDFILES\" ITERATE=\"FILE\">"
                    "<FOREACH FROM=\"FILE:LIST_SOURCES\" ITERATE=\"S\">x</FOREACH></FOREACH></LOGFILE>"),
            "Subitem requested for non containers");
  EXPECT_EQ(failure("<LOGFILE><FOREACH FROM=\"LIST_PATCHEDFILES\" ITERATE=\"FILE\">"
                    "<FOREACH FROM=\"FILE:NOTHING\" ITERATE=\"S\">x</FOREACH></FOREACH></LOGFILE>"),
            "Error, Cannot find container \"NOTHING\" in current context while creating the log file.")
      << "the path at the level where it was looked up";
  // A loop variable named like a list is never found: the list comes first.
  EXPECT_EQ(expand("<LOGFILE><FOREACH FROM=\"LIST_SKIPPEDFILES\" ITERATE=\"LIST_EMBEDDEDFILES\">"
                   "<VALUE FROM=\"LIST_EMBEDDEDFILES\" NAME=\"AMOUNT\"></FOREACH></LOGFILE>"),
            "2");
  EXPECT_EQ(expand("<LOGFILE><FOREACH FROM=\"LIST_SKIPPEDFILES\" ITERATE=\"F\">(<VALUE FROM=\"F\" NAME=\"RELPATH\">"
                   "</LOGFILE>"),
            "(same.cfg") << "an unclosed loop runs to the end";
  LogFacts none;
  EXPECT_EQ(expand("<LOGFILE>[<FOREACH FROM=\"LIST_PATCHEDFILES\" ITERATE=\"F\">x</FOREACH>]</LOGFILE>", true, none),
            "[]");
}

TEST(LogTemplateTest, InsertionsOfNamedSections) {
  const std::string items =
      "<LOGITEM NAME=\"Line\">- <VALUE FROM=\"F\" NAME=\"RELPATH\">\n</LOGITEM>"
      "<LOGITEM NAME=\"Outer\">[<LOG Insert=\"Line\">]</LOGITEM>";
  EXPECT_EQ(expand(items + "<LOGFILE><FOREACH FROM=\"LIST_EMBEDDEDFILES\" ITERATE=\"F\"><log insert=\"outer\">"
                           "</FOREACH></LOGFILE>"),
            "[- new.txt\n][- sub\\x.dat\n]")
      << "a section outside the log body is written only where it is inserted, in the current context";
  EXPECT_EQ(failure("<LOGFILE><LOG Insert=\"Nowhere\"></LOGFILE>"),
            "Refering to logfile template section which cannot be found: <LOGITEM NAME=\"Nowhere\"></LOGITEM>");
}

TEST(LogTemplateTest, RefusalsOfTemplatesThatCannotWork) {
  std::string partial;
  EXPECT_EQ(failure("<LOGITEM NAME=\"A\">a<LOG Insert=\"B\"></LOGITEM><LOGITEM NAME=\"B\">b<LOG Insert=\"a\"></LOGITEM>"
                    "<LOGFILE>start <LOG Insert=\"A\"></LOGFILE>",
                    &partial),
            "Error, log file template section <LOGITEM NAME=\"a\"> inserts itself.");
  EXPECT_EQ(partial, "start ab") << "what was expanded until the failure";
  EXPECT_EQ(failure("<LOGITEM NAME=\"S\"><LOG Insert=\"S\"></LOGITEM><LOGFILE><LOG Insert=\"S\"></LOGFILE>"),
            "Error, log file template section <LOGITEM NAME=\"S\"> inserts itself.");
  EXPECT_EQ(failure("<LOGFILE><FOREACH FROM=\"LIST_PATCHEDFILES\" ITERATE=\"F\"><FOREACH FROM=\"F\" ITERATE=\"G\">"
                    "</FOREACH></FOREACH></LOGFILE>"),
            "Error, \"F\" is no list and cannot be iterated while creating the log file.");
  const std::string long50(50, 'V');
  EXPECT_EQ(failure("<LOGFILE><FOREACH FROM=\"LIST_SKIPPEDFILES\" ITERATE=\"" + long50 + "\">x</FOREACH></LOGFILE>"),
            "Error, the name \"" + long50 + "\" in the log file template is longer than 49 characters.");
  EXPECT_EQ(expand("<LOGFILE><FOREACH FROM=\"LIST_SKIPPEDFILES\" ITERATE=\"" + long50.substr(1) + "\">x</FOREACH></LOGFILE>"),
            "x");
  const std::string step(100, 'P');
  EXPECT_EQ(failure("<LOGFILE><VALUE FROM=\"" + step + "\" NAME=\"AMOUNT\"></LOGFILE>"),
            "Error, the name \"" + step + "\" in the log file template is longer than 99 characters.");
}

TEST(LogTemplateTest, OnlyFilesCarryingTheMarkerAreLogs) {
  EXPECT_TRUE(carriesLogMarker("Verdelin Log File"));
  EXPECT_TRUE(carriesLogMarker("Verdelin Log File of the release build"));
  EXPECT_TRUE(carriesLogMarker("<!DOCTYPE html><!-- Verdelin Log File -->"));
  EXPECT_FALSE(carriesLogMarker("My notes about Verdelin Log File"));
  EXPECT_FALSE(carriesLogMarker(""));
  EXPECT_FALSE(carriesLogMarker("verdelin log file")) << "the marker is compared exactly";
}

}  // namespace
}  // namespace packaging
