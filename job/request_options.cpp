#include "job/request_options.h"

#include "platform/ascii.h"
#include "platform/environment.h"
#include "settings/settings.h"

namespace {

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A header name is an HTTP token.
bool is_token(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (!is_letter(c) && !is_digit(c) && std::string("!#$%&'*+-.^_`|~").find(c) == std::string::npos) {
      return false;
    }
  }
  return true;
}

// True when text holds a byte that would end or split a header line.
bool breaks_line(const std::string& text) { return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

// Records the first refusal: the entry, then the rule.
void refuse(std::string& refused, const std::string& entry, const std::string& rule) {
  if (refused.empty()) refused = entry + ": " + rule;
}

// Expands value for entry; a variable that is not set, or a result that
// would break the line, is refused.
std::string expanded_value(const std::string& value, const std::string& entry, std::string& refused) {
  std::string expanded;
  std::string missing;
  if (!expand_variables(value, expanded, missing)) {
    refuse(refused, entry, "the environment variable " + missing + " is not set");
    return std::string();
  }
  if (breaks_line(expanded)) refuse(refused, entry, "the value holds a line break or a NUL byte");
  return expanded;
}

}  // namespace

bool expand_variables(const std::string& text, std::string& expanded, std::string& missing) {
  expanded.clear();
  for (std::size_t at = 0; at < text.size();) {
    if (text.compare(at, 2, "${") == 0) {
      std::size_t end = at + 2;
      while (end < text.size() && (is_letter(text[end]) || is_digit(text[end]) || text[end] == '_')) ++end;
      if (end > at + 2 && end < text.size() && text[end] == '}' && !is_digit(text[at + 2])) {
        const std::string name = text.substr(at + 2, end - at - 2);
        std::string value;
        if (!environment_variable(name, value)) {
          missing = name;
          return false;
        }
        expanded += value;
        at = end + 1;
        continue;
      }
    }
    expanded += text[at++];
  }
  return true;
}

std::string base64_text(const std::string& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    const std::size_t left = bytes.size() - at;
    std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 16;
    if (left > 1) group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    if (left > 2) group |= static_cast<unsigned char>(bytes[at + 2]);
    text += kDigits[(group >> 18) & 63];
    text += kDigits[(group >> 12) & 63];
    text += left > 1 ? kDigits[(group >> 6) & 63] : '=';
    text += left > 2 ? kDigits[group & 63] : '=';
  }
  return text;
}

RequestOptions read_request_options(const std::string& file, const StringList& files, bool post,
                                    std::string& refused) {
  RequestOptions options;
  const std::string user = read_setting(file, "URL", "User");
  const std::string password = read_setting(file, "URL", "Password");
  const StringList headers = read_setting_list(file, "Headers");
  for (std::size_t i = 0; i < headers.size(); ++i) {
    const std::string entry = "[Headers] " + decimal_text(static_cast<std::int64_t>(i + 1));
    const std::size_t colon = headers[i].find(':');
    const std::string name = headers[i].substr(0, colon);
    if (colon == std::string::npos || !is_token(name)) {
      refuse(refused, entry, "not a header line \"Name: value\" with a name of letters, digits and !#$%&'*+-.^_`|~");
      continue;
    }
    if (equal_ignoring_ascii_case(name, "Host") || equal_ignoring_ascii_case(name, "Content-Length") || (post && equal_ignoring_ascii_case(name, "Content-Type"))) {
      refuse(refused, entry, name + " is the program's own");
      continue;
    }
    if (equal_ignoring_ascii_case(name, "Authorization") && !user.empty()) {
      refuse(refused, entry, "Authorization is made from User and Password");
      continue;
    }
    std::string value = headers[i].substr(colon + 1);
    const std::size_t first = value.find_first_not_of(" \t");
    const std::size_t last = value.find_last_not_of(" \t");
    value = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
    options.header_lines.push_back(name + ": " + expanded_value(value, entry, refused));
  }
  if (!user.empty() || !password.empty()) {
    if (user.empty()) {
      refuse(refused, "[URL] Password", "a password needs a User");
    } else if (user.find(':') != std::string::npos || breaks_line(user)) {
      refuse(refused, "[URL] User", "a user name holds no \":\", line break or NUL byte");
    } else {
      const std::string secret = expanded_value(password, "[URL] Password", refused);
      options.header_lines.insert(options.header_lines.begin(),
                                  "Authorization: Basic " + base64_text(user + ":" + secret));
    }
  }
  options.body = read_setting(file, "URL", "Body");
  options.body_type = read_setting(file, "URL", "Type");
  if (breaks_line(options.body_type)) refuse(refused, "[URL] Type", "the value holds a line break or a NUL byte");
  if (post && !options.body.empty() && !files.empty()) {
    refuse(refused, "[URL] Body", "Body and [Files] together: a POST has one body");
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string key = decimal_text(static_cast<std::int64_t>(i + 1));
    UploadPart part;
    part.field = read_setting(file, "Files", key + ".Field");
    part.name = read_setting(file, "Files", key + ".Name");
    part.type = read_setting(file, "Files", key + ".Type");
    if (breaks_line(part.type)) refuse(refused, "[Files] " + key + ".Type", "the value holds a line break or a NUL byte");
    options.parts.push_back(part);
  }
  return options;
}
