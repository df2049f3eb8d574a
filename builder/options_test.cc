#include "builder/options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "builder/messages.h"

namespace builder {
namespace {

// What a refused word came back with.
struct Refused {
  std::string en, de, arg;
  bool stop = false;  // a refusal that ends the run on standard output
};

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override { setDefaults(&options); }

  Options& parse(std::initializer_list<std::string> words, bool fromCommandLine = true) {
    for (const std::string& w : words) {
      const OptionError e = parseWord(&options, w, fromCommandLine, files);
      if (e) ADD_FAILURE() << "\"" << w << "\" refused: " << e.en;
    }
    return options;
  }

  Options& complete(std::initializer_list<std::string> words) {
    parse(words);
    completeSettings(&options);
    return options;
  }

  Refused refusal(std::initializer_list<std::string> words, bool fromCommandLine = true) {
    for (const std::string& w : words) {
      const OptionError e = parseWord(&options, w, fromCommandLine, files);
      if (e) return Refused{e.en, e.de, e.arg, e.kind == OptionError::Kind::kRefusal};
    }
    ADD_FAILURE() << "words were accepted";
    return Refused{};
  }

  static std::vector<std::string> split(const std::string& value) {
    std::vector<std::string> words;
    EXPECT_FALSE(splitOptionsVariable(value, &words));
    return words;
  }

  Options options;
  platform::SystemFileSystem files;
};

TEST_F(OptionsTest, PositionalWordsMakeStatesAndPatchName) {
  complete({"a.dat", "b.dat", "out"});
  ASSERT_EQ(options.targets.size(), 1u);
  EXPECT_EQ(options.targets[0].stateNames, (std::vector<std::string>{"a.dat", "b.dat"}));
  EXPECT_EQ(options.targets[0].findMethod, patchformat::kLocateGivenPath);
  EXPECT_EQ(options.finalName, "out.utp");
  EXPECT_EQ(options.baseName, "out");
  EXPECT_EQ(options.patchName, "out.utp");
}

TEST_F(OptionsTest, PatchNameExtensions) {
  complete({"old", "new", "PATCH.UTP"});
  EXPECT_EQ(options.finalName, "PATCH.UTP");
  EXPECT_EQ(options.baseName, "PATCH");

  setDefaults(&options);
  complete({"-s", "old", "new", "x.exe"});
  EXPECT_EQ(options.finalName, "x.exe");
  EXPECT_EQ(options.baseName, "x");

  setDefaults(&options);
  complete({"-s", "old", "new", "x"});
  EXPECT_EQ(options.finalName, "x.exe");

  // With -s a name ending in .utp is a base name, not the final name.
  setDefaults(&options);
  complete({"-s", "old", "new", "x.utp"});
  EXPECT_EQ(options.finalName, "x.utp.exe");
  EXPECT_EQ(options.baseName, "x.utp");

  // Shorter than the extension: the extension is added.
  setDefaults(&options);
  complete({"old", "new", "tp"});
  EXPECT_EQ(options.finalName, "tp.utp");
}

TEST_F(OptionsTest, NewTargetClosesTheCurrentOne) {
  complete({"s1", "e1", "-n=win", "s2", "e2", "p"});
  ASSERT_EQ(options.targets.size(), 2u);
  EXPECT_EQ(options.targets[0].stateNames, (std::vector<std::string>{"s1", "e1"}));
  EXPECT_EQ(options.targets[0].findMethod, patchformat::kLocateGivenPath);
  EXPECT_EQ(options.targets[1].stateNames, (std::vector<std::string>{"s2", "e2"}));
  EXPECT_EQ(options.targets[1].findMethod, patchformat::kLocateWindowsDir);
  EXPECT_EQ(options.finalName, "p.utp");
}

TEST_F(OptionsTest, NewTargetValues) {
  parse({"-n=Windows"});
  EXPECT_EQ(options.targets.size(), 1u) << "an empty current target only changes its method";
  EXPECT_EQ(options.current().findMethod, patchformat::kLocateWindowsDir);
  parse({"-nSYSTEM"});
  EXPECT_EQ(options.current().findMethod, patchformat::kLocateSystemDir);
  parse({"-n=ext"});
  EXPECT_EQ(options.current().findMethod, patchformat::kLocateGivenPath);
  parse({"-n"});
  EXPECT_EQ(options.current().findMethod, patchformat::kLocateKeep);

  Refused r = refusal({"-n=abc"});
  EXPECT_EQ(r.en, "Error, no further information for option \"-n\" expected!");
  EXPECT_EQ(r.de, "Fehler, keine weiteren Angaben bei Option \"-n\" erwartet!");
}

TEST_F(OptionsTest, NewTargetAfterNamesStartsAnotherTarget) {
  parse({"a", "b", "-n", "c", "d", "-n=sys", "e", "f", "p"});
  ASSERT_EQ(options.targets.size(), 3u);
  EXPECT_EQ(options.targets[1].findMethod, patchformat::kLocateKeep);
  EXPECT_EQ(options.targets[1].stateNames, (std::vector<std::string>{"c", "d"}));
  EXPECT_EQ(options.targets[2].findMethod, patchformat::kLocateSystemDir);
  EXPECT_EQ(options.patchName, "p");
}

TEST_F(OptionsTest, SearchLevelDigits) {
  parse({"-0"});
  EXPECT_EQ(options.searchLevel, 0);
  parse({"-9"});
  EXPECT_EQ(options.searchLevel, 9);
  EXPECT_EQ(refusal({"-55"}).en, "Error, no further information for option \"-5\" expected!");
}

TEST_F(OptionsTest, MarginRange) {
  parse({"-B=0"});
  EXPECT_EQ(options.encoderMargin, 0);
  parse({"-B100"});
  EXPECT_EQ(options.encoderMargin, 100);
  parse({"-B=100"});
  EXPECT_EQ(options.encoderMargin, 100);
  parse({"-B=10000"});
  EXPECT_EQ(options.encoderMargin, 10000);
  parse({"-B=$10"});
  EXPECT_EQ(options.encoderMargin, 16);

  const std::string range = "Error, only values 0..10000 are valid for option -B !";
  EXPECT_EQ(refusal({"-B=10001"}).en, range);
  EXPECT_EQ(refusal({"-B=-1"}).en, range);
  EXPECT_EQ(refusal({"-B=-1"}).de, "Fehler, nur Werte 0..10000 sind zul\x84ssig f\x81r Option -B !");
  const std::string nan = "Error, option \"-B\" requires numerical parameter!";
  EXPECT_EQ(refusal({"-B"}).en, nan);
  EXPECT_EQ(refusal({"-B=12x"}).en, nan);
  EXPECT_EQ(refusal({"-B=0x"}).en, nan);
}

TEST_F(OptionsTest, LiteralBlockAndMismatchGroup) {
  complete({"a", "b", "p"});
  EXPECT_EQ(options.literalBlockSize, 20);
  EXPECT_EQ(options.mismatchGroupSize, 190);

  setDefaults(&options);
  complete({"-C=10", "-P=10000", "a", "b", "p"});
  EXPECT_EQ(options.literalBlockSize, 10);
  EXPECT_EQ(options.mismatchGroupSize, 10000);

  Refused c = refusal({"-C=9"});
  EXPECT_EQ(c.en, "Error, only values 10..255 are valid for option \"-C\" !");
  EXPECT_EQ(c.de, "Fehler, nur Werte 10..255 sind zul\x84ssig f\x81r Option -C!");
  EXPECT_EQ(refusal({"-C=256"}).en, c.en);
  EXPECT_EQ(refusal({"-C=abc"}).de, "Fehler, Option \"-c\" erfordert eine numerische Angabe!");
  EXPECT_EQ(refusal({"-P=9"}).en, "Error, only values 10..10000 are valid for option \"-P\" !");
  EXPECT_EQ(refusal({"-P"}).en, "Error, option \"-P\" require numerical parameter!");
}

TEST_F(OptionsTest, WorkersFromOneToSixtyFour) {
  parse({});
  EXPECT_EQ(options.workers, 0) << "one per core";
  parse({"-w=3"});
  EXPECT_EQ(options.workers, 3);
  parse({"-w64"});
  EXPECT_EQ(options.workers, 64);
  EXPECT_EQ(refusal({"-w=0"}).en, "Error, only values from \"1\" to \"64\" are valid for option \"-w\"!");
  EXPECT_EQ(refusal({"-w=65"}).en, "Error, only values from \"1\" to \"64\" are valid for option \"-w\"!");
  EXPECT_EQ(refusal({"-w=two"}).de, "Fehler, Option \"-w\" erfordert eine numerische Angabe!");
}

TEST_F(OptionsTest, MemoryLimitInMegabytesWithoutWrapping) {
  parse({"-m=16"});
  EXPECT_EQ(options.memoryLimit, 16LL << 20);
  parse({"-m=4096"});  // wraps to 0 in 32 bits
  EXPECT_EQ(options.memoryLimit, 4096LL << 20);
  parse({"-m0x10"});
  EXPECT_EQ(options.memoryLimit, 16LL << 20);
  EXPECT_EQ(refusal({"-m=0"}).en, "Error, only values larger than \"0\" are valid for option \"-m\"!");
  EXPECT_EQ(refusal({"-m=-3"}).en, "Error, only values larger than \"0\" are valid for option \"-m\"!");
  EXPECT_EQ(refusal({"-m=x"}).en, "Error, option \"-m\" require numerical parameter!");
}

TEST_F(OptionsTest, NumberReaders) {
  std::int64_t v = 0;
  EXPECT_TRUE(readSignedNumber("  +42", &v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(readSignedNumber("-0x1f", &v));
  EXPECT_EQ(v, -31);
  EXPECT_TRUE(readSignedNumber("X10", &v));
  EXPECT_EQ(v, 16);
  EXPECT_FALSE(readSignedNumber("", &v));
  EXPECT_FALSE(readSignedNumber("12 ", &v));
  EXPECT_FALSE(readSignedNumber("1a", &v));
  EXPECT_TRUE(readSignedNumber("99999999999999999999999", &v));
  EXPECT_GT(v, 10000) << "huge values saturate rather than wrap into a valid range";

  EXPECT_EQ(readLooseNumber("$1F"), 31u);
  EXPECT_EQ(readLooseNumber("0x1F"), 31u);
  EXPECT_EQ(readLooseNumber("0X1f"), 31u);
  EXPECT_EQ(readLooseNumber("12ab"), 12u);
  EXPECT_EQ(readLooseNumber("1-2"), 12u);
  EXPECT_EQ(readLooseNumber(""), 0u);
  parse({"-y=$1F", "-Y=7"});
  EXPECT_EQ(options.engineHint, 31u);
  EXPECT_EQ(options.unusedY, 7u);
}

TEST_F(OptionsTest, PatternFlags) {
  parse({"-d!=*.bak"});
  ASSERT_EQ(options.current().removePatterns.size(), 1u);
  EXPECT_EQ(options.current().removePatterns[0].pattern, "*.bak");
  EXPECT_TRUE(options.current().removePatterns[0].exclude);
  EXPECT_FALSE(options.current().removePatterns[0].matchFlag);

  parse({"-e>!=x*"});
  ASSERT_EQ(options.current().exactPatterns.size(), 1u);
  EXPECT_EQ(options.current().exactPatterns[0].pattern, "x*");
  EXPECT_TRUE(options.current().exactPatterns[0].exclude);
  EXPECT_TRUE(options.current().exactPatterns[0].matchFlag);

  parse({"-d"});
  EXPECT_EQ(options.current().removePatterns[1].pattern, "*");
  EXPECT_FALSE(options.current().removePatterns[1].exclude);

  parse({"-delete>=*.old", "-Exact!=a", "-unimportant!>=u*"});
  EXPECT_TRUE(options.current().removePatterns[2].matchFlag);
  EXPECT_EQ(options.current().removePatterns[2].pattern, "*.old");
  EXPECT_EQ(options.current().exactPatterns[1].pattern, "a");
  EXPECT_TRUE(options.current().exactPatterns[1].matchFlag);
  ASSERT_EQ(options.current().unimportantPatterns.size(), 1u);
  EXPECT_EQ(options.current().unimportantPatterns[0].pattern, "u*");
  EXPECT_TRUE(options.current().unimportantPatterns[0].matchFlag);
  EXPECT_FALSE(options.current().unimportantPatterns[0].exclude);

  // Only one "!" and one ">" per pass: a third flag stays in the pattern.
  parse({"-d!!!=x"});
  EXPECT_EQ(options.current().removePatterns[3].pattern, "!=x");
}

TEST_F(OptionsTest, ForceAllOrForcePattern) {
  parse({"-f="});
  EXPECT_TRUE(options.forceAll);
  EXPECT_TRUE(options.current().forcePatterns.empty());
  setDefaults(&options);
  parse({"-force"});
  EXPECT_TRUE(options.forceAll);
  setDefaults(&options);
  parse({"-f=*.dll"});
  EXPECT_FALSE(options.forceAll);
  ASSERT_EQ(options.current().forcePatterns.size(), 1u);
  EXPECT_EQ(options.current().forcePatterns[0].pattern, "*.dll");
}

TEST_F(OptionsTest, IgnoreFlags) {
  parse({"-is=*.tmp", "-i2f=*.log", "-i=*.obj", "-ignore13=x", "-i!>E=y", "-i"});
  const auto& list = options.current().ignorePatterns;
  ASSERT_EQ(list.size(), 6u);
  EXPECT_EQ(list[0].pattern, "*.tmp");
  EXPECT_TRUE(list[0].inSources);
  EXPECT_FALSE(list[0].inFinal);

  EXPECT_FALSE(list[1].inSources);
  EXPECT_TRUE(list[1].inFinal);
  EXPECT_TRUE(list[1].inStartState[1]);
  EXPECT_FALSE(list[1].inStartState[0]);

  EXPECT_TRUE(list[2].inSources);
  EXPECT_TRUE(list[2].inFinal);

  EXPECT_FALSE(list[3].inSources);
  EXPECT_FALSE(list[3].inFinal);
  EXPECT_TRUE(list[3].inStartState[0]);
  EXPECT_TRUE(list[3].inStartState[2]);

  EXPECT_TRUE(list[4].exclude);
  EXPECT_TRUE(list[4].matchFlag);
  EXPECT_TRUE(list[4].inFinal);
  EXPECT_FALSE(list[4].inSources);

  EXPECT_EQ(list[5].pattern, "") << "an empty ignore pattern stays empty";
  EXPECT_TRUE(list[5].inSources && list[5].inFinal);
}

TEST_F(OptionsTest, Comments) {
  parse({"-c=Line one\\nLine two"});
  EXPECT_EQ(options.commentText, "Line one\rLine two\r");
  parse({"-comment=done\\n"});
  EXPECT_EQ(options.commentText, "done\r") << "no second carriage return";
  parse({"-c="});
  EXPECT_EQ(options.commentText, "done\r") << "an empty comment changes nothing";

  // The limit the message names is the one that holds: 10 lines of 75.
  parse({"-c=" + std::string(75, 'x')});
  EXPECT_EQ(options.commentText.size(), 76u);
  Refused r = refusal({"-c=" + std::string(76, 'x')});
  EXPECT_EQ(r.en, "Error, the comment exceeds the limit of 10 lines of 75 characters.");
  EXPECT_EQ(r.de, "Fehler, der Kommentar \x81" "berschreitet die Grenze von 10 Zeilen zu 75 Zeichen.");

  std::string tenLines;
  for (int i = 0; i < 9; ++i) tenLines += "l\\n";
  parse({"-c=" + tenLines + "last"});
  parse({"-c=" + tenLines + "last\\n"});
  EXPECT_EQ(options.commentText, "l\rl\rl\rl\rl\rl\rl\rl\rl\rlast\r") << "the tenth line may end in a line break";
  EXPECT_EQ(refusal({"-c=" + tenLines + "last\\nmore"}).en, r.en) << "an eleventh line is refused";

  // Text comments are cut to 255 characters after the checks.
  std::string manyLines;
  for (int i = 0; i < 9; ++i) manyLines += std::string(70, 'a') + "\\n";
  parse({"-c=" + manyLines});
  EXPECT_EQ(options.commentText.size(), 255u);
}

TEST_F(OptionsTest, CommentFromFile) {
  const std::string path = ::testing::TempDir() + "comment.txt";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("first\r\nsecond\r\nthird", f);
  std::fclose(f);
  parse({"-c=@" + path});
  EXPECT_EQ(options.commentText, "first\rsecond\rthird");

  const auto write = [&](const std::string& bytes) {
    f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  };
  write(std::string(75, 'y') + "\r\n");
  parse({"-c=@" + path});
  EXPECT_EQ(options.commentText, std::string(75, 'y') + "\r");
  const std::string tooLong = "Error, the comment exceeds the limit of 10 lines of 75 characters.";
  write(std::string(76, 'y') + "\r\n");
  EXPECT_EQ(refusal({"-c=@" + path}).en, tooLong);
  // Ten lines, each ending in CR LF, fit; an eleventh does not.
  std::string tenLines;
  for (int i = 0; i < 10; ++i) tenLines += "line\r\n";
  write(tenLines);
  parse({"-c=@" + path});
  EXPECT_EQ(options.commentText.size(), 50u) << "accepted";
  write(tenLines + "eleventh");
  EXPECT_EQ(refusal({"-c=@" + path}).en, tooLong);
  // Line feeds alone end no line: short lines run together, and the
  // message says why, naming the file.
  write("a first line of forty characters, or so.\na second line of the same kind as that.\n");
  const Refused lf = refusal({"-c=@" + path});
  EXPECT_EQ(lf.en,
            "Error, the comment file \"%s\" has LF line ends: only CR LF ends a line there, so its lines run "
            "together beyond 75 characters. Save it with CR LF line ends.");
  EXPECT_EQ(lf.arg, path);
  write("a first line of forty characters, or so.\r\na second line of the same kind as that.\r\n");
  parse({"-c=@" + path});
  EXPECT_EQ(options.commentText,
            "a first line of forty characters, or so.\ra second line of the same kind as that.\r");
  write("a line with LF\n" + std::string(80, 'z') + "\r\n");
  EXPECT_EQ(refusal({"-c=@" + path}).en, lf.en) << "the long line holds a lone LF";
  write("a line with LF\nshort\r\n" + std::string(80, 'z') + "\r\n");
  EXPECT_EQ(refusal({"-c=@" + path}).en, tooLong) << "the long line holds none";
  std::remove(path.c_str());

  Refused missing = refusal({"-c=@" + path});
  EXPECT_EQ(missing.en, "Error, cannot open comment file \"%s\".");
  EXPECT_EQ(missing.arg, path);
}

TEST_F(OptionsTest, ErrorTextsInEitherLanguage) {
  const std::string missing = ::testing::TempDir() + "no-such-comment.txt";
  OptionError e = parseWord(&options, "-c=@" + missing, true, files);
  EXPECT_EQ(e.kind, OptionError::Kind::kFatal);
  EXPECT_EQ(e.text(false), "Error, cannot open comment file \"" + missing + "\".");
  EXPECT_EQ(e.text(true), "Fehler, kann Kommentar-Datei \"" + missing + "\" nicht \x94" "ffnen.");
  e = parseWord(&options, "-q=x", true, files);
  EXPECT_EQ(e.text(true), "Fehler, keine weiteren Angaben bei Option \"-q\" erwartet!");
  e = parseWord(&options, "-c=@" + std::string(2000, 'p'), true, files);
  EXPECT_EQ(e.text(false).size(), kMessageBuffer - 1) << "a formatted text is cut at the message buffer";
  EXPECT_FALSE(parseWord(&options, "-q", true, files)) << "an accepted word";
}

TEST_F(OptionsTest, StubChoices) {
  parse({"-s"});
  EXPECT_TRUE(options.executable);
  EXPECT_FALSE(options.guiStub);
  EXPECT_EQ(options.stubPlatform, "Win32");
  parse({"-s=loc"});
  EXPECT_TRUE(options.localStub);
  parse({"-s=Gui"});
  EXPECT_TRUE(options.guiStub);
  EXPECT_FALSE(options.localStub);
  parse({"-s=GUI16"});
  EXPECT_EQ(options.stubPlatform, "Win16");
  parse({"-s=fx"});
  EXPECT_FALSE(options.guiStub);
  EXPECT_EQ(refusal({"-s=gui64"}).en, "Error, no further information for option \"-s\" expected!");
}

TEST_F(OptionsTest, VersionStringsOfTheExecutable) {
  parse({"-R=ProductName=Rocket", "-Rcompanyname=Works", "-R=\"FileDescription=Rocket update\"",
         "-R=ProductVersion=\"5.2 beta\"", "-R=LegalCopyright=", "-R=PRODUCTNAME=Rocket 2=final"});
  const std::vector<std::pair<std::string, std::string>> wanted = {{"ProductName", "Rocket 2=final"},
                                                                   {"CompanyName", "Works"},
                                                                   {"FileDescription", "Rocket update"},
                                                                   {"ProductVersion", "5.2 beta"},
                                                                   {"LegalCopyright", ""}};
  ASSERT_EQ(options.versionStrings.size(), wanted.size()) << "a later value replaces an earlier one";
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    EXPECT_EQ(options.versionStrings[i].key, wanted[i].first) << "the resource's spelling";
    EXPECT_EQ(options.versionStrings[i].value, wanted[i].second);
  }
  // From VERDELIN_OPTS a value with blanks comes in quotes, which go.
  setDefaults(&options);
  for (const std::string& word : split("-R=\"FileVersion=5.2 beta\" -q")) parse({word}, false);
  ASSERT_EQ(options.versionStrings.size(), 1u);
  EXPECT_EQ(options.versionStrings[0].value, "5.2 beta");

  // The refusals' texts: tests/kestmain_transcripts.sh.
  for (const char* word : {"-R", "-R=ProductName", "-R==Rocket"}) {
    EXPECT_NE(refusal({word}).en.find("requires a key and a value"), std::string::npos) << word;
  }
  EXPECT_NE(refusal({"-R=Product=Rocket"}).en.find("unknown key"), std::string::npos);
  // Every key takes a value up to the room the stubs reserve for it.
  for (const packaging::VendorKey& key : packaging::kVendorKeys) {
    SCOPED_TRACE(key.name);
    setDefaults(&options);
    const std::string longest(key.maxLength, '\xe9');
    parse({std::string("-R=") + key.name + "=" + longest});
    EXPECT_NE(refusal({std::string("-R=") + key.name + "=" + longest + "v"}).en.find("is longer than"),
              std::string::npos);
    EXPECT_EQ(options.versionStrings.back().value, longest) << "the refused value left it";
  }
}

TEST_F(OptionsTest, TimeLogAndPackers) {
  parse({"-t=latest"});
  EXPECT_EQ(options.dateMode, DateMode::kLatest);
  parse({"-time=c"});
  EXPECT_EQ(options.dateMode, DateMode::kNow);
  Refused t = refusal({"-t=Now"});
  EXPECT_EQ(t.en, "Unknown \"-time=\" option value \"Now\"!");
  EXPECT_EQ(t.de, "Unbekannter \"-time=\" Wert \"Now\"!");
  EXPECT_EQ(refusal({"-t"}).en, "Unknown \"-time=\" option value \"\"!");

  parse({"-l"});
  EXPECT_TRUE(options.logEnabled && options.logAsText);
  parse({"-logfile=html"});
  EXPECT_FALSE(options.logAsText);
  parse({"-log=HTML"});
  EXPECT_FALSE(options.logAsText) << "other values leave the choice as it was";
  parse({"-l=txt"});
  EXPECT_TRUE(options.logAsText);

  parse({"-Z=rar"});
  EXPECT_EQ(options.packer, Packer::kRar);
  EXPECT_FALSE(options.packAfterwards);
  parse({"-z=InfoZip"});
  EXPECT_EQ(options.packer, Packer::kInfoZip);
  EXPECT_TRUE(options.packAfterwards && options.packerChosen);
  parse({"-Z=arj", "-Z=nonsense"});
  EXPECT_EQ(options.packer, Packer::kInfoZip) << "-Z is ignored once -z named a packer";
  EXPECT_TRUE(refusal({"-z=zip7"}).en.find("are allowed for options \"-z\" and \"-Z\"!") != std::string::npos);
  setDefaults(&options);
  parse({"-x"});
  EXPECT_TRUE(options.packAfterwards);
  EXPECT_EQ(options.packer, Packer::kInternalZip);
}

TEST_F(OptionsTest, FlagsAndRefusals) {
  parse({"-a", "-all", "-q", "-quiet", "-r", "-p", "-j", "-jwhatever", "-h", "-help", "-g=prot"});
  EXPECT_TRUE(options.includeHidden && options.quiet && options.selfReference && options.showUsage);
  EXPECT_FALSE(options.internalCompression);
  EXPECT_EQ(options.protection, (std::vector<std::string>{"prot"}));

  EXPECT_EQ(refusal({"-qx"}).en, "Error, no further information for option \"-q\" expected!");
  EXPECT_EQ(refusal({"-allx"}).en, "Error, no further information for option \"-a\" expected!");
  EXPECT_EQ(refusal({"-W"}).en, "Error, unknown option \"-W\"!");
  EXPECT_EQ(refusal({"-W"}).de, "Fehler, unbekannte Option \"-W\"!");
  EXPECT_EQ(refusal({"-~"}).en, "Error, unknown option \"-~\"!");
  EXPECT_EQ(refusal({"-F"}).en, "Error, unknown option \"-F\"!") << "letters are case-sensitive";
  EXPECT_EQ(refusal({"-A"}).en, "Error, extended attributes (EA) are OS feature specific for OS/2 platform");
  EXPECT_EQ(refusal({"-g"}).en, "Error, no protection info given to option \"-g\"!");
  EXPECT_EQ(refusal({"-D"}).en, "Error, option \"-D\" requires filename parameter!");
  Refused v = refusal({"-version"});
  EXPECT_EQ(v.en, "");
  EXPECT_EQ(v.de, "");
}

TEST_F(OptionsTest, CompactEncoderTakesOnlyTheLzmaValue) {
  EXPECT_FALSE(options.compact) << "off unless asked for";
  parse({"-o"});
  EXPECT_TRUE(options.compact);
  EXPECT_FALSE(options.lzmaBody);
  parse({"-o=LZMA"});
  EXPECT_TRUE(options.compact);
  EXPECT_TRUE(options.lzmaBody);
  EXPECT_EQ(refusal({"-o=9"}).en, "Error, unknown value \"9\" for option \"-o\", only -o=lzma is known!");
  EXPECT_EQ(refusal({"-ox"}).de, "Fehler, unbekannter Wert \"x\" f\x81r Option \"-o\", nur -o=lzma ist bekannt!");
  EXPECT_EQ(refusal({"-o="}).en, "Error, unknown value \"\" for option \"-o\", only -o=lzma is known!");
  EXPECT_EQ(refusal({"-olzma"}).en, "Error, unknown value \"lzma\" for option \"-o\", only -o=lzma is known!");
}

TEST_F(OptionsTest, BackupDirectoryAndRemoveFiles) {
  parse({"-b=Old", "-b=", "-D=readme.txt"});
  EXPECT_EQ(options.current().backupDir, "Old") << "an empty -b keeps the name";
  ASSERT_EQ(options.current().removeFiles.size(), 1u);
  EXPECT_EQ(options.current().removeFiles[0].pattern, "readme.txt");
}

// Patterns are kept as written, whatever the system's code page makes of
// the word; the names of -D go into the patch in it (tests/names_test.cc).
TEST_F(OptionsTest, PatternsAsWrittenAndRemoveNamesInTheCodePage) {
  for (const std::string& w : {"-i=日本.txt", "-ignore2=\\日*", "-d!=日本.txt", "-e=日本.txt", "-f>=日本.txt",
                               "-u=日本.txt", "-D=r\xc3\xa9sum\xc3\xa9.md"}) {
    const OptionError e = parseWord(&options, platform::systemFromUtf8(w), w, true, files);
    EXPECT_FALSE(e) << w << ": " << e.en;
  }
  const TargetOptions& t = options.current();
  ASSERT_EQ(t.ignorePatterns.size(), 2u);
  EXPECT_EQ(t.ignorePatterns[0].pattern, "日本.txt");
  EXPECT_EQ(t.ignorePatterns[1].pattern, "\\日*");
  EXPECT_TRUE(t.ignorePatterns[1].inStartState[1]);
  EXPECT_EQ(t.removePatterns[0].pattern, "日本.txt");
  EXPECT_TRUE(t.removePatterns[0].exclude);
  EXPECT_EQ(t.exactPatterns[0].pattern, "日本.txt");
  EXPECT_EQ(t.forcePatterns[0].pattern, "日本.txt");
  EXPECT_EQ(t.unimportantPatterns[0].pattern, "日本.txt");
  EXPECT_EQ(t.removeFiles[0].pattern, "r\xe9sum\xe9.md") << "system text, as in the patch";
  // System text alone is taken as it reads: "?" stays a wildcard.
  parse({"-i=??.txt"});
  EXPECT_EQ(options.current().ignorePatterns.back().pattern, "??.txt");
  // A pattern's length counts characters: 255 of them fit.
  std::string longest;
  for (int i = 0; i < 255; ++i) longest += "日";
  EXPECT_FALSE(parseWord(&options, platform::systemFromUtf8("-i=" + longest), "-i=" + longest, true, files));
  EXPECT_TRUE(parseWord(&options, platform::systemFromUtf8("-i=" + longest + "x"), "-i=" + longest + "x", true, files));
}

TEST_F(OptionsTest, EnvironmentWords) {
  Refused r = refusal({"file.dat"}, false);
  EXPECT_EQ(r.en, "Error, supposed file paramter \"file.dat\" may no occur in VERDELIN_OPTS!");
  EXPECT_EQ(r.de, "Fehler, Dateiparameter \"file.dat\" darf nicht in VERDELIN_OPTS auftauchen!");
  parse({"", "-q"}, false);
  EXPECT_TRUE(options.quiet);
}

TEST_F(OptionsTest, SplittingTheVariable) {
  EXPECT_EQ(split("-q -c=\"a b\"  -r"), (std::vector<std::string>{"-q", "-c=\"a b\"", "", "-r"}));
  EXPECT_EQ(split(""), (std::vector<std::string>{""}));
  EXPECT_EQ(split(std::string(999, 'x')).size(), 1u);
  std::vector<std::string> words;
  const OptionError tooLong = splitOptionsVariable(std::string(1000, 'x'), &words);
  EXPECT_EQ(tooLong.kind, OptionError::Kind::kFatal) << "a value of 1000 characters was taken";
  EXPECT_NE(tooLong.en.find("999"), std::string::npos);
  std::string written = "-i=";
  for (int i = 0; i < 996; ++i) written += "日";
  EXPECT_EQ(split(written).size(), 1u) << "999 characters written in 2991 bytes";
  EXPECT_TRUE(splitOptionsVariable(written + "x", &words));
  parse({"-c=\"a b\""}, false);
  EXPECT_EQ(options.commentText, "\"a b\"\r") << "the quotes stay part of the value";
}

TEST_F(OptionsTest, LongTextsAreRefusedNotCut) {
  const std::string longName(256, 'n');
  const std::string ok(255, 'n');
  parse({ok, ok, "p"});
  EXPECT_EQ(options.current().stateNames[0], ok);
  EXPECT_NE(refusal({longName, "x"}).en.find("longer than 255"), std::string::npos);
  EXPECT_NE(refusal({"-d=" + longName}).en.find("\"-d\""), std::string::npos);
  EXPECT_NE(refusal({"-i=" + longName}).en.find("\"-i\""), std::string::npos);
  EXPECT_NE(refusal({"-b=" + longName}).en.find("\"-b\""), std::string::npos);
  EXPECT_NE(refusal({"-D=" + longName}).en.find("\"-D\""), std::string::npos);
  setDefaults(&options);
  EXPECT_NE(refusal({"-k=Software\\" + longName}).en.find("\"-k\""), std::string::npos);
}

TEST_F(OptionsTest, AtMostTwentyStatesPerTarget) {
  for (int i = 0; i < 20; ++i) parse({"s" + std::to_string(i)});
  parse({"patch"});
  EXPECT_EQ(options.current().nameCount(), 20u);
  Refused r = refusal({"one-more"});
  EXPECT_NE(r.en.find("at most 20 states"), std::string::npos);
  EXPECT_NE(r.en.find("patch"), std::string::npos) << "names the state that is one too many";
}

TEST_F(OptionsTest, RefusalTextsAreCutTo255) {
  Refused r = refusal({"-t=" + std::string(400, 'v')});
  EXPECT_EQ(r.en.size(), 255u);
}

TEST_F(OptionsTest, AutofindKey) {
  parse({"-k=Software\\Acme\\Tool\\InstallDir"});
  EXPECT_EQ(options.current().findMethod, patchformat::kLocateRegistry);
  EXPECT_EQ(options.current().registryKey, "Software\\Acme\\Tool");
  EXPECT_EQ(options.current().registryValue, "InstallDir");
  EXPECT_EQ(options.current().rootKey, platform::kHkeyLocalMachine);

  setDefaults(&options);
  parse({"-key=\"Software/Acme/Tool/@\""});
  EXPECT_EQ(options.current().registryKey, "Software\\Acme\\Tool");
  EXPECT_EQ(options.current().registryValue, "");

  setDefaults(&options);
  parse({"-k=Path"});
  EXPECT_EQ(options.current().registryKey, "");
  EXPECT_EQ(options.current().registryValue, "Path");

  setDefaults(&options);
  parse({"-k=\\HKEY_LOCAL_MACHINE\\Soft\\V"});
  EXPECT_EQ(options.current().registryKey, "HKEY_LOCAL_MACHINE\\Soft") << "a root name stays part of the path";

  setDefaults(&options);
  EXPECT_EQ(refusal({"-k"}).en, "Error, must give a registry key for option \"-k\"!");
}

TEST_F(OptionsTest, AutofindRefusals) {
  const std::string windows =
      "Error, cannot provide registry autofind information for windows directory or windows system targets";
  Refused r = refusal({"-n=win", "-k=X\\Y"});
  EXPECT_TRUE(r.stop);
  EXPECT_EQ(r.en, windows);
  setDefaults(&options);
  EXPECT_EQ(refusal({"-n", "-k=A\\B"}).en, windows);
  setDefaults(&options);
  r = refusal({"-k=A\\B", "-k=C\\D"});
  EXPECT_TRUE(r.stop);
  EXPECT_EQ(r.en, "Error, cannot provide two registry autofind keys for the same target!");
  // A new target may have a key of its own.
  setDefaults(&options);
  parse({"-k=A\\B", "s", "e", "-n=ext", "-k=C\\D"});
  EXPECT_EQ(options.targets.size(), 2u);
  EXPECT_EQ(options.current().registryKey, "C");
}

}  // namespace
}  // namespace builder
