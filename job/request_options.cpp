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

// Why a header value is refused: a byte that would end or split its line,
// or another control byte (a tab aside), which no header value holds and a
// terminal or a server may act on; empty when it is fine.
std::string value_problem(const std::string& value) {
  if (breaks_line(value)) return "the value holds a line break or a NUL byte";
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 32 && byte != '\t') || byte == 127) return "the value holds a control byte";
  }
  return std::string();
}

// The header names that frame or route the message: the program writes
// those it needs, and the others have no place in the one HTTP/1.0
// request of a run (a proxy that read them could take the body for another
// request's).
constexpr const char* kProgramHeaders[] = {"Host",       "Content-Length",   "Transfer-Encoding", "Connection",
                                           "Keep-Alive", "Proxy-Connection", "TE",                "Trailer",
                                           "Upgrade",    "Expect"};

bool program_header(const std::string& name, bool body) {
  for (const char* own : kProgramHeaders) {
    if (equal_ignoring_ascii_case(name, own)) return true;
  }
  return body && equal_ignoring_ascii_case(name, "Content-Type");
}

// Records the first refusal: the entry, then the rule.
void refuse(std::string& refused, const std::string& entry, const std::string& rule) {
  if (refused.empty() && !rule.empty()) refused = entry + ": " + rule;
}

// value with its "${NAME}" references expanded; one whose variable is not
// set is refused.
std::string expanded_value(const std::string& value, const std::string& entry, std::string& refused) {
  std::string expanded;
  std::string missing;
  if (!expand_variables(value, expanded, missing)) {
    refuse(refused, entry, "the environment variable " + missing + " is not set");
    return std::string();
  }
  return expanded;
}

}  // namespace

RequestOptions read_request_options(const std::string& file, const StringList& files, const std::string& method,
                                    std::string& refused) {
  RequestOptions options;
  options.body = read_setting(file, "URL", "Body");
  options.body_type = read_setting(file, "URL", "Type");
  // A request with a body writes its own Content-Type (from Type).
  const std::string sent = method_sent(method, options.body);
  const std::string user = read_setting(file, "URL", "User");
  const std::string password = read_setting(file, "URL", "Password");
  const StringList headers = read_setting_list(file, "Headers");
  int proxy_lines = 0;
  for (std::size_t i = 0; i < headers.size(); ++i) {
    const std::string entry = "[Headers] " + decimal_text(static_cast<std::int64_t>(i + 1));
    const std::size_t colon = headers[i].find(':');
    const std::string name = headers[i].substr(0, colon);
    if (colon == std::string::npos || !is_token(name)) {
      refuse(refused, entry, "not a header line \"Name: value\" with a name of letters, digits and !#$%&'*+-.^_`|~");
      continue;
    }
    if (program_header(name, sent != "GET")) {
      refuse(refused, entry, name + " is the program's own");
      continue;
    }
    if (equal_ignoring_ascii_case(name, "Proxy-Authorization") && proxy_lines++ > 0) {
      refuse(refused, entry, "a second Proxy-Authorization line; a proxy takes one");
      continue;
    }
    if (equal_ignoring_ascii_case(name, "Authorization") && !user.empty()) {
      refuse(refused, entry, "Authorization is made from User and Password");
      continue;
    }
    const std::string value = trim_blanks(headers[i].substr(colon + 1));
    const std::string expanded = expanded_value(value, entry, refused);
    refuse(refused, entry, value_problem(expanded));
    options.header_lines.push_back(name + ": " + expanded);
    if (names_variable(value)) options.secret_lines.push_back(options.header_lines.back());
  }
  if (!user.empty() || !password.empty()) {
    if (user.empty()) {
      refuse(refused, "[URL] Password", "a password needs a User");
    } else if (user.find(':') != std::string::npos || breaks_line(user)) {
      refuse(refused, "[URL] User", "a user name holds no \":\", line break or NUL byte");
    } else {
      const std::string secret = expanded_value(password, "[URL] Password", refused);
      if (breaks_line(secret)) refuse(refused, "[URL] Password", "the value holds a line break or a NUL byte");
      options.header_lines.insert(options.header_lines.begin(),
                                  "Authorization: Basic " + base64_text(user + ":" + secret));
    }
  }
  refuse(refused, "[URL] Type", value_problem(options.body_type));
  if (sent == "POST" && !options.body.empty() && !files.empty()) {
    refuse(refused, "[URL] Body", "Body and [Files] together: a POST has one body");
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string key = decimal_text(static_cast<std::int64_t>(i + 1));
    UploadPart part;
    part.field = read_setting(file, "Files", key + ".Field");
    part.name = read_setting(file, "Files", key + ".Name");
    part.type = read_setting(file, "Files", key + ".Type");
    refuse(refused, "[Files] " + key + ".Type", value_problem(part.type));
    options.parts.push_back(part);
  }
  return options;
}
