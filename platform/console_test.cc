#include "platform/console.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Cp850Test, GermanLettersBecomeUtf8) {
  EXPECT_EQ(cp850ToUtf8("gr\x94\xe1" "er \x84\x81\x8e\x99\x9a"), "größer äüÄÖÜ");
  EXPECT_EQ(cp850ToUtf8("plain ascii\n"), "plain ascii\n");
  EXPECT_EQ(cp850ToUtf8("\xb0\xff"), "\u2591\u00a0");
  EXPECT_EQ(cp850ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Cp850Test, ValidUtf8PassesThrough) {
  // A UTF-8 file name inside a message is not mangled.
  EXPECT_EQ(cp850ToUtf8("file \"\xc3\xa4" "bc.txt\""), "file \"äbc.txt\"");
  EXPECT_EQ(cp850ToUtf8("\xe2\x82\xac"), "€");
  // Overlong forms and truncated sequences are CP850 bytes.
  EXPECT_EQ(cp850ToUtf8("\xc0\x80"), "\u2514\u00c7");
  EXPECT_EQ(cp850ToUtf8("\xe1"), "ß");
}

TEST(Cp850Test, RoundTripOfEveryHighByte) {
  std::string all;
  for (int c = 0x80; c <= 0xff; ++c) {
    all.push_back(static_cast<char>(c));
    all.push_back(' ');  // keeps neighbours from forming UTF-8 sequences
  }
  EXPECT_EQ(utf8ToCp850(cp850ToUtf8(all)), all);
  EXPECT_EQ(utf8ToCp850("größer"), "gr\x94\xe1" "er");
  EXPECT_EQ(utf8ToCp850("\xe2\x82\xac"), "?");
}

}  // namespace
}  // namespace platform
