#include "settings/setting_keys.h"

#include <gtest/gtest.h>

#include "services/bytes.h"
#include "services/errors.h"
#include "support/fixtures.h"

namespace {

// The manual page and the guide name every key of the table and every
// exit status the program can end with, each in its own entry or row.
TEST(SettingKeys, ManualAndGuideNameEveryKeyAndStatus) {
  const std::string manual = read_file(RAVELOK_SOURCE_DIR "/docs/ravelok.1");
  const std::string guide = read_file(RAVELOK_SOURCE_DIR "/docs/guide.md");
  ASSERT_FALSE(manual.empty() || guide.empty());
  for (const std::string& section : setting_sections_known()) {
    EXPECT_NE(manual.find(".SS \"[" + section + "]\""), std::string::npos) << section;
    EXPECT_NE(guide.find("`[" + section + "]`"), std::string::npos) << section;
  }
  for (const SettingKey& key : kSettingKeys) {
    const std::string name = key.name;
    if (key.kind == KeyKind::list) continue;
    const std::string entry = name.rfind("N.", 0) == 0 ? ".IB N ." + name.substr(2) : ".TP\n.B " + name + "\n";
    EXPECT_NE(manual.find(entry), std::string::npos) << name;
    EXPECT_NE(guide.find("`" + name + "`"), std::string::npos) << name;
  }
  const std::size_t exit = manual.find(".SH \"EXIT STATUS\"");
  ASSERT_NE(exit, std::string::npos);
  const std::string statuses = manual.substr(exit, manual.find("\n.SH ", exit + 1) - exit);
  for (const ExitStatus& status : kExitStatuses) {
    const std::string number = decimal_text(status.number);
    EXPECT_NE(statuses.find(".TP\n.B " + number + "\n"), std::string::npos) << number;
    EXPECT_NE(guide.find("\n| " + number + " | " + status.meaning + " |"), std::string::npos) << number;
  }
}

}  // namespace
