#include "exchange/form.h"

#include <gtest/gtest.h>

namespace {

TEST(FormEncode, EachByteClass) {
  struct Case { std::string value; std::string encoded; };
  const Case cases[] = {
      {"", ""},
      {" ", "+"},
      {"a b", "a+b"},
      {"  ", "++"},
      {"+", "%2B"}, {"%", "%25"}, {"&", "%26"}, {"=", "%3D"}, {"/", "%2F"}, {"*", "%2A"},
      {"~", "~"}, {"-._~", "-._~"},
      {"\n", "%0A"}, {std::string(1, '\0'), "%00"}, {"\xE9", "%E9"}, {"\xFF", "%FF"},
      {"\x7F", "%7F"}, {"\x1F", "%1F"}, {"\x80", "%80"},
      {"%41", "%2541"},
      {"AZaz09", "AZaz09"},
      // The neighbours of every kept range are escaped.
      {"/:@[`{", "%2F%3A%40%5B%60%7B"},
      {"caf\xE9 au lait", "caf%E9+au+lait"},
  };
  for (const Case& c : cases) EXPECT_EQ(encode_form_value(c.value), c.encoded) << c.value;
}

TEST(FormSplit, AtTheFirstEquals) {
  struct Case { std::string entry; std::string name; std::string value; bool has_equals; };
  const Case cases[] = {
      {"a=b", "a", "b", true},
      {"a=b=c", "a", "b=c", true},
      {"flag", "flag", "", false},
      {"flag=", "flag", "", true},
      {"=v", "", "v", true},
      {"", "", "", false},
      {"=", "", "", true},
      {std::string("n\0m=v\0w", 7), std::string("n\0m", 3), std::string("v\0w", 3), true},
  };
  for (const Case& c : cases) {
    FormVariable variable = split_form_entry(c.entry);
    EXPECT_EQ(variable.name, c.name) << c.entry;
    EXPECT_EQ(variable.value, c.value) << c.entry;
    EXPECT_EQ(variable.has_equals, c.has_equals) << c.entry;
  }
}

TEST(FormString, NamesRawValuesEncoded) {
  struct Case { StringList vars; std::string form; };
  const Case cases[] = {
      {{}, ""},
      {{"q=a b", "flag", "c=x&y"}, "q=a+b&flag&c=x%26y"},
      {{"a=b=c"}, "a=b%3Dc"},
      {{"flag"}, "flag"},
      {{"=v"}, "=v"},
      {{"flag="}, "flag="},
      {{"my name=1", "a&b=2"}, "my name=1&a&b=2"},
      {{"", "x=1"}, "&x=1"},
      {{"a=", "b="}, "a=&b="},
  };
  for (const Case& c : cases) EXPECT_EQ(form_string(c.vars), c.form) << c.form;
}

}  // namespace
