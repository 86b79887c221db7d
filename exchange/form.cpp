#include "exchange/form.h"

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool kept_as_is(unsigned char byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= 'a' && byte <= 'z') || byte == '-' || byte == '.' || byte == '_' ||
         byte == '~';
}
}  // namespace

std::string encode_form_value(const std::string& value) {
  std::string result;
  result.reserve(value.size());
  for (char c : value) {
    // Bytes 128 to 255 are not letters here: compare as unsigned values.
    unsigned char byte = static_cast<unsigned char>(c);
    if (kept_as_is(byte)) {
      result.push_back(c);
    } else if (byte == ' ') {
      result.push_back('+');
    } else {
      result.push_back('%');
      result.push_back(kHexDigits[byte >> 4]);
      result.push_back(kHexDigits[byte & 0x0F]);
    }
  }
  return result;
}

FormVariable split_form_entry(const std::string& entry) {
  FormVariable variable;
  std::size_t equals = entry.find('=');
  if (equals == std::string::npos) {
    variable.name = entry;
    return variable;
  }
  variable.name = entry.substr(0, equals);
  variable.value = entry.substr(equals + 1);
  variable.has_equals = true;
  return variable;
}

std::string form_string(const StringList& vars) {
  std::string result;
  for (std::size_t i = 0; i < vars.size(); ++i) {
    if (i > 0) result.push_back('&');
    FormVariable variable = split_form_entry(vars[i]);
    // Only the value is encoded; the name goes out as the settings hold it.
    result += variable.name;
    if (variable.has_equals) {
      result.push_back('=');
      result += encode_form_value(variable.value);
    }
  }
  return result;
}
