#include "packaging/regex.h"

#include <gtest/gtest.h>

#include <string>

namespace packaging {
namespace {

TEST(RegexTest, FixedOptionsAndTheMatchForms) {
  Regex r;
  std::string error;
  ASSERT_TRUE(r.compile("<logfile>(.*?)</LOGFILE>", 0, &error)) << error;
  const std::string text = "head <LOGFILE>one\ntwo</logfile> tail";
  std::size_t start = 0, length = 0;
  ASSERT_TRUE(r.match(text, &start, &length)) << "case-insensitive, and . matches a line end";
  EXPECT_EQ(start, 5u);
  EXPECT_EQ(length, 26u);
  std::string whole, group;
  ASSERT_TRUE(r.match(text, &whole, &group));
  EXPECT_EQ(group, "one\ntwo");
  ASSERT_TRUE(r.compile(R"re(<VALUE\s+FROM="(\w+)"\s+NAME="(\w+)">)re", kRegexAnchored, &error));
  std::string from, name;
  EXPECT_FALSE(r.match(std::string(" <VALUE FROM=\"A\" NAME=\"B\">"), &whole, &from, &name)) << "anchored";
  ASSERT_TRUE(r.match(std::string("<value\r\nfrom=\"A\"\tNAME=\"b_2\">rest"), &whole, &from, &name));
  EXPECT_EQ(from, "A");
  EXPECT_EQ(name, "b_2");
  // A subject is a start and a length: what lies behind it is not seen.
  const char* buffer = "<VALUE FROM=\"A\" NAME=\"B\">";
  EXPECT_FALSE(r.match(Subject(buffer, 20), &whole, &from, &name));
  EXPECT_TRUE(r.match(Subject(buffer), &whole, &from, &name)) << "length 0: up to the terminating zero";
  ASSERT_TRUE(r.compile("^b", 0, &error));
  EXPECT_TRUE(r.match(std::string("a\nb"), &start, &length)) << "multi-line";
}

TEST(RegexTest, CopyWithALimitAndOneShotForms) {
  std::string out, error;
  EXPECT_EQ(regexCopy("b+", std::string("abbbc"), &out, 0, &error), 1);
  EXPECT_EQ(out, "bbb");
  EXPECT_EQ(regexCopy("b+", std::string("abbbc"), &out, 2, &error), -1);
  EXPECT_EQ(regexCopy("b+", std::string("abbbc"), &out, 3, &error), 1);
  EXPECT_EQ(regexCopy("x", std::string("abc"), &out, 0, &error), 0);
  EXPECT_TRUE(out.empty());
  std::string whole, g1, g2;
  EXPECT_TRUE(regexMatch("(a)(x)?", std::string("za"), &whole, &g1, &g2, &error));
  EXPECT_EQ(g1, "a");
  EXPECT_EQ(g2, "") << "a group that took no part";
  EXPECT_FALSE(regexMatch("(unclosed", std::string("x"), &whole, &g1, &error));
  EXPECT_NE(error.find("missing closing parenthesis"), std::string::npos) << error;
}

}  // namespace
}  // namespace packaging
