#include "settings/settings.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "settings/conversions.h"
#include "support/fixtures.h"

namespace {

using namespace std::string_literals;

TEST(SettingsRead, NoFileAtAll) {
  TempDir scratch;
  std::string name = scratch.file("RAVELOK.INI");
  for (const char* key : {"Site", "Port", "Page", "Method", "Save", "Show"}) {
    EXPECT_EQ(read_setting(name, "URL", key), "") << key;
  }
  EXPECT_EQ(to_int16(number_from_text(read_setting(name, "URL", "Port"))), 0);
  EXPECT_EQ(to_int16(number_from_text(read_setting(name, "URL", "Show"))), 0);
  EXPECT_TRUE(read_setting_list(name, "Vars").empty());
  EXPECT_TRUE(read_setting_list(name, "Files").empty());
}

TEST(SettingsRead, UrlValuesAndTheirConversions) {
  TempDir scratch;
  std::string name = scratch.file("RAVELOK.INI");
  ASSERT_TRUE(write_file(name,
                               "[URL]\r\nSite=www.example.org\r\nPort= 8080\r\nPage=/a b.asp\r\n"
                               "Method=Post\r\nSave=C:\\out.htm\r\nShow=-1\r\n"));
  EXPECT_EQ(read_setting(name, "URL", "Site"), "www.example.org");
  EXPECT_EQ(to_int16(number_from_text(read_setting(name, "URL", "Port"))), 8080);
  EXPECT_EQ(read_setting(name, "URL", "Page"), "/a b.asp");
  EXPECT_EQ(upper_case(read_setting(name, "URL", "Method")), "POST");
  EXPECT_EQ(read_setting(name, "URL", "Save"), "C:\\out.htm");
  EXPECT_EQ(to_int16(number_from_text(read_setting(name, "url", "SHOW"))), -1);
}

TEST(SettingsRead, NamesPassThroughFixedBuffers) {
  TempDir scratch;
  std::string name = scratch.file("RAVELOK.INI");
  std::string name63(63, 's');
  std::string key63(63, 'k');
  ASSERT_TRUE(write_file(name, "[" + name63 + "]\n" + key63 + "=cut\n" + key63 +
                                         "K=whole\nValue=" + std::string(3000, 'v') + "\n"));
  struct Case { std::string section; std::string key; std::string value; };
  const Case cases[] = {
      {name63, key63, "cut"},
      {name63 + "tail", key63 + "K", "cut"},       // both cut to 63 bytes
      {name63, key63 + "\0junk"s, "cut"},           // a NUL ends a name
      {name63 + "\0"s, key63, "cut"},
      {name63, "Value", std::string(2047, 'v')},
      {name63.substr(0, 62), key63, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_setting(name, c.section, c.key), c.value) << c.section.size() << c.key.size();
  }
}

TEST(SettingsRead, FileNameIsNeverCut) {
  TempDir scratch;
  // A path of exactly 255 bytes, and one far longer inside it.
  std::string directory = scratch.file(std::string(100, 'd'));
  ASSERT_TRUE(std::filesystem::create_directory(directory));
  std::string name = directory + "/" + std::string(255 - directory.size() - 1, 'f');
  ASSERT_EQ(name.size(), 255u);
  ASSERT_TRUE(write_file(name, "[URL]\nSite=long\n"));
  std::string deep = directory + "/" + std::string(200, 'e');
  ASSERT_TRUE(std::filesystem::create_directory(deep));
  ASSERT_TRUE(write_file(deep + "/RAVELOK.INI", "[URL]\nSite=deep\n"));
  EXPECT_EQ(read_setting(name, "URL", "Site"), "long");
#ifdef _WIN32
  // Windows' ANSI calls take no name that long: it is refused, never cut.
  EXPECT_EQ(read_setting(deep + "/RAVELOK.INI", "URL", "Site"), "");
#else
  EXPECT_EQ(read_setting(deep + "/RAVELOK.INI", "URL", "Site"), "deep");
#endif
  EXPECT_EQ(read_setting(name + "/RAVELOK.INI", "URL", "Site"), "");
  EXPECT_EQ(read_setting(name.substr(0, 254), "URL", "Site"), "");
}

TEST(SettingsList, EndsAtTheFirstMissingOrBlankKey) {
  struct Case { const char* what; std::string vars; StringList list; };
  const Case cases[] = {
      {"keys 1, 2 and 4", "1=a\n2=b\n4=d\n", {"a", "b"}},
      {"first key 0", "0=a\n2=b\n", {}},
      {"first key 01", "01=a\n02=b\n", {}},
      {"spaces only", "1=a\n2=\"   \"\n3=c\n", {"a"}},
      {"empty quotes", "1=a\n2=''\n3=c\n", {"a"}},
      {"trailing spaces kept", "1=\"a  \"\n2=b\n", {"a  ", "b"}},
      {"a tab is no space", "1=\"\t\"\n", {"\t"}},
      {"keys out of order", "2=b\n1=a\n3=c\n", {"a", "b", "c"}},
      {"long value cut", "1=" + std::string(3000, 'x') + "\n", {std::string(2047, 'x')}},
      {"no section", "", {}},
  };
  TempDir scratch;
  std::string name = scratch.file("RAVELOK.INI");
  for (const Case& c : cases) {
    ASSERT_TRUE(write_file(name, "[Files]\n1=f\n[Vars]\n" + c.vars + "[Other]\n5=x\n"));
    EXPECT_EQ(read_setting_list(name, "Vars"), c.list) << c.what;
    EXPECT_EQ(read_setting_list(name, "Files"), StringList{"f"}) << c.what;
  }
}

// The entry counter is 16 bits wide: a list stops at 32,767 entries instead of
// wrapping round, and every entry up to there is kept.
TEST(SettingsList, FortyThousandKeysGiveTheFirst32767) {
  TempDir scratch;
  std::string name = scratch.file("RAVELOK.INI");
  std::string text = "[Vars]\r\n";
  for (int n = 1; n <= 40000; ++n) {
    text += std::to_string(n) + "=name" + std::to_string(n) + "=value " + std::to_string(n) +
            "\r\n";
  }
  ASSERT_TRUE(write_file(name, text + "[Files]\r\n1=f\r\n"));
  StringList list = read_setting_list(name, "Vars");
  ASSERT_EQ(list.size(), 32767u);
  for (int n = 1; n <= 32767; ++n) {
    ASSERT_EQ(list[n - 1], "name" + std::to_string(n) + "=value " + std::to_string(n)) << n;
  }
  EXPECT_EQ(read_setting(name, "Vars", "40000"), "name40000=value 40000");
  EXPECT_EQ(read_setting_list(name, "Files"), StringList{"f"});
}

}  // namespace
