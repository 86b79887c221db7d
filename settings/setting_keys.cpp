#include "settings/setting_keys.h"

#include "platform/ascii.h"
#include "services/bytes.h"
#include "settings/conversions.h"

namespace {

// Whole numbers from -32,768 to 32,767, the range a flag is kept in: a sign
// and digits alone, blanks around them allowed; empty is 0. Anything else
// the run reads as some number all the same ("yes" as 0, "0.4" as 0,
// "65536" as 0).
bool whole_16_bit_number(const std::string& text) {
  const std::string digits = trim_blanks(text);
  if (digits.empty()) return true;
  std::size_t at = 0;
  const bool negative = digits[0] == '-';
  if (digits[0] == '-' || digits[0] == '+') ++at;
  if (at == digits.size()) return false;
  std::int64_t number = 0;
  for (; at < digits.size(); ++at) {
    if (!is_ascii_digit(digits[at])) return false;
    number = number * 10 + (digits[at] - '0');
    if (number > 32768) return false;
  }
  return number <= (negative ? 32768 : 32767);
}

}  // namespace

std::vector<std::string> setting_sections_known() {
  std::vector<std::string> sections;
  for (const SettingKey& key : kSettingKeys) {
    if (sections.empty() || sections.back() != key.section) sections.push_back(key.section);
  }
  return sections;
}

std::vector<std::string> setting_keys_known(const std::string& section) {
  std::vector<std::string> keys;
  for (const SettingKey& key : kSettingKeys) {
    if (section != key.section || key.kind == KeyKind::list) continue;
    const std::string name = key.name;
    keys.push_back(name.rfind("N.", 0) == 0 ? name.substr(2) : name);
  }
  return keys;
}

const SettingKey* find_setting_key(const std::string& section, const std::string& name) {
  for (const SettingKey& key : kSettingKeys) {
    if (section == key.section && name == key.name) return &key;
  }
  return nullptr;
}

bool list_section(const std::string& section) {
  for (const SettingKey& key : kSettingKeys) {
    if (section == key.section && key.kind == KeyKind::list) return true;
  }
  return false;
}

std::string setting_value_problem(const SettingKey& key, const std::string& value) {
  std::int64_t number = 0;
  switch (key.kind) {
    case KeyKind::number:
      if (plain_number(value, key.high, number)) return std::string();
      return "not a number from 0 to " + decimal_text(key.high);
    case KeyKind::status:
      if (plain_number(value, key.high, number) && (number == 0 || number >= key.low)) return std::string();
      return "not an HTTP status from " + decimal_text(key.low) + " to " + decimal_text(key.high) + ", nor 0";
    case KeyKind::port:
      if (plain_number(value, key.high, number)) return std::string();
      return "not a number from 0 to " + decimal_text(key.high);
    case KeyKind::flag:
      if (whole_16_bit_number(value)) return std::string();
      return "not a whole number from " + decimal_text(key.low) + " to " + decimal_text(key.high) +
             " (0: do not show)";
    default:
      return std::string();
  }
}
