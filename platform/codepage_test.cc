#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform {
namespace {

std::string everyByte() {
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  return all;
}

TEST(Cp1252Test, EveryByteStringComesBackFromUtf8) {
  const std::string all = everyByte();
  EXPECT_EQ(utf8ToCp1252(cp1252ToUtf8(all)), all);
  // Reversed, so that each byte also meets other neighbours.
  const std::string reversed(all.rbegin(), all.rend());
  EXPECT_EQ(utf8ToCp1252(cp1252ToUtf8(reversed)), reversed);
}

TEST(Cp1252Test, LettersAndTheRowFrom80) {
  EXPECT_EQ(cp1252ToUtf8("r\xe9sum\xe9 \xdf.md"), "résumé ß.md");
  EXPECT_EQ(cp1252ToUtf8("\xdc" "bersicht"), "Übersicht");
  EXPECT_EQ(cp1252ToUtf8("\x80\x82\x84\x8a\x8c\x91\x92\x93\x94\x96\x97\x99\x9f"), "€‚„ŠŒ‘’“”–—™Ÿ");
  EXPECT_EQ(utf8ToCp1252("€ „quoted“ – Ÿ"), "\x80 \x84quoted\x93 \x96 \x9f");
  // The bytes the code page leaves undefined are the C1 controls of their value.
  EXPECT_EQ(cp1252ToUtf8("\x81\x8d\x8f\x90\x9d"), "\u0081\u008d\u008f\u0090\u009d");
  EXPECT_EQ(utf8ToCp1252("\u0081\u009d"), "\x81\x9d");
}

TEST(Cp1252Test, WhatTheCodePageLacksBecomesQuestionMarks) {
  EXPECT_EQ(utf8ToCp1252("日本語.md"), "???.md");
  EXPECT_EQ(utf8ToCp1252("Ω€.txt"), "?\x80.txt") << "no look-alike such as 'O'";
  // Other C1 controls have their bytes taken by the 0x80 row.
  EXPECT_EQ(utf8ToCp1252("\u0080\u0085"), "??");
  // Past U+FFFF a character is two UTF-16 units, and Windows gives two marks.
  EXPECT_EQ(utf8ToCp1252("a\xf0\x9f\x98\x80" "b"), "a??b");
}

TEST(Cp1252Test, BytesThatAreNotUtf8BecomeOneMarkEach) {
  EXPECT_EQ(utf8ToCp1252("bad\xff\xfe.txt"), "bad??.txt");
  EXPECT_EQ(utf8ToCp1252("\xe9t\xe9"), "?t?") << "CP1252 text read as UTF-8";
  EXPECT_EQ(utf8ToCp1252("\xc0\xaf"), "??") << "an overlong '/'";
  EXPECT_EQ(utf8ToCp1252("\xed\xa0\x80"), "???") << "a lone surrogate";
  EXPECT_EQ(utf8ToCp1252("end\xe6\x97"), "end??") << "a sequence cut short";
  EXPECT_EQ(utf8ToCp1252(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Utf8Test, CharactersAndWhatAConsoleShowsOfThem) {
  const std::string text = "a\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80\xff\xe6\x97";  // a é 日 U+1F600, then no UTF-8
  std::vector<std::size_t> lengths;
  for (std::size_t i = 0; i < text.size(); i += utf8CharacterLength(text, i)) lengths.push_back(utf8CharacterLength(text, i));
  EXPECT_EQ(lengths, (std::vector<std::size_t>{1, 2, 3, 4, 1, 1, 1})) << "a byte that is no UTF-8 is one";
  EXPECT_EQ(utf8Marked(text, false), "aé日\xf0\x9f\x98\x80???");
  EXPECT_EQ(utf8Marked(text, true), "aé?????") << "code page 850 has é, not 日 or U+1F600";
  EXPECT_EQ(utf8Marked("\\x?.md", true), "\\x?.md");
}

TEST(Cp1252Test, NamesForTheConsoleAreCp850) {
  EXPECT_EQ(cp1252ToCp850("r\xe9sum\xe9 \xdf.md"), "r\x82sum\x82 \xe1.md");
  EXPECT_EQ(cp1252ToCp850("\xc4\xd6\xdc\xe4\xf6\xfc"), "\x8e\x99\x9a\x84\x94\x81");
  EXPECT_EQ(cp1252ToCp850("\x83 \xa0"), "\x9f \xff") << "the few CP850 has of the 0x80 row, and NBSP";
  EXPECT_EQ(cp1252ToCp850("\x80\x93\x81"), "???");
  EXPECT_EQ(cp1252ToCp850("plain\\path ?.txt"), "plain\\path ?.txt");
  // On the way to a UTF-8 terminal nothing is lost that both code pages hold.
  EXPECT_EQ(cp850ToUtf8(cp1252ToCp850("Dokumente\\\xdc" "bersicht.txt")), "Dokumente\\Übersicht.txt");
}

}  // namespace
}  // namespace platform
