#include "job/command_line.h"
#include "platform/command_tail.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct SplitCase {
  const char* name;
  std::string tail;
  std::vector<std::string> arguments;
};

TEST(SplitCommandLine, SplitsAsTheRulesSay) {
  const std::string q = "\"";
  const SplitCase cases[] = {
      {"empty tail", "", {}},
      {"separators only", " ,; \t,,", {}},
      {"runs of spaces", "  a  b ", {"a", "b"}},
      {"every separator", "a,b;c\td", {"a", "b", "c", "d"}},
      {"commas around", ",,a,,", {"a"}},
      {"quoted with space", q + "C:\\My Jobs" + q + " x", {"C:\\My Jobs", "x"}},
      {"quoted with separators", q + "a,b" + q + ";c", {"a,b", "c"}},
      {"empty quoted", q + q + " x", {"", "x"}},
      {"empty quoted alone", q + q, {""}},
      {"quote inside", "a" + q + "b", {"a" + q + "b"}},
      {"quotes inside two", "ab" + q + "c d" + q, {"ab" + q + "c", "d" + q}},
      {"more than nine", "1 2 3 4 5 6 7 8 9 10 11",
       {"1", "2", "3", "4", "5", "6", "7", "8", "9"}},
      {"text after closing quote", q + "abc" + q + "def,x", {"abc" + q + "de", "x"}},
      {"unclosed quote", "x " + q + "abc", {"x"}},
      {"trailing space kept out", "dir ", {"dir"}},
      {"nul byte is ordinary", std::string("a\0b c", 5), {std::string("a\0b", 3), "c"}},
  };
  for (const SplitCase& c : cases) {
    CommandLine split = split_command_line(c.tail);
    EXPECT_EQ(split.arguments, c.arguments) << c.name;
    EXPECT_EQ(split.count, static_cast<std::int16_t>(c.arguments.size())) << c.name;
  }
}

TEST(CommandTail, DropsTheProgramName) {
  struct Case { std::string line; std::string tail; };
  const Case cases[] = {
      {"\"prog\"x", "x"},
      {"\"prog\"   x", "x"},
      {"prog.exe a b ", "a b "},
      {"prog\ta", "\ta"},           // a tab ends the name and stays
      {"\"C:\\Program Files\\r.exe\" \"d\"", "\"d\""},
      {"prog", ""},
      {"\"unclosed name", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(command_tail_of(c.line), c.tail) << c.line;
}

}  // namespace
