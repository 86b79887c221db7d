#include "job/request_options.h"

#include "platform/ascii.h"
#include "services/text.h"
#include "settings/settings.h"

namespace {

// A header name is an HTTP token.
bool is_token(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (!is_ascii_letter(c) && !is_ascii_digit(c) && std::string("!#$%&'*+-.^_`|~").find(c) == std::string::npos) {
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
    const std::string value = trim_blanks(headers[i].substr(colon + 1));
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
