#include "job/usage.h"

#include "platform/platform.h"
#include "services/bytes.h"
#include "services/errors.h"
#include "services/version.h"
#include "settings/setting_keys.h"

UsageRequest usage_request(const CommandLine& arguments) {
  if (arguments.count == 0) return UsageRequest::none;
  const std::string& first = arguments.arguments[0];
  UsageRequest request = UsageRequest::none;
  if (first == "--help" || first == "-h") request = UsageRequest::help;
  if (first == "--version" || first == "-V") request = UsageRequest::version;
  if (first == "--check" || first == "-c") request = UsageRequest::check;
  if (first == "--verbose" || first == "-v") request = UsageRequest::verbose;
  if (request != UsageRequest::none && platform_is_directory(first)) return UsageRequest::none;
  return request;
}

CommandLine arguments_after_first(const CommandLine& arguments) {
  CommandLine rest;
  if (arguments.count > 0) {
    rest.arguments.assign(arguments.arguments.begin() + 1, arguments.arguments.end());
  }
  rest.count = static_cast<std::int16_t>(rest.arguments.size());
  return rest;
}

namespace {

// label, then text in words wrapped to lines of at most 79 bytes, each line
// after the first indented to indent; a label as long as the indent or
// longer is followed by one space.
std::string wrapped(const std::string& label, const std::string& text, std::size_t indent) {
  std::string out = label;
  out.append(out.size() < indent ? indent - out.size() : 1, ' ');
  std::size_t line_start = 0;
  bool first_word = true;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(at, end - at);
    at = end + 1;
    if (!first_word && out.size() - line_start + 1 + word.size() > 79) {
      out += "\n";
      line_start = out.size();
      out.append(indent, ' ');
    } else if (!first_word) {
      out += ' ';
    }
    out += word;
    first_word = false;
  }
  return out + "\n";
}

// One key's line of --help: "[Section] Key=" and its meaning, then what an
// empty value means.
std::string key_help(const SettingKey& key) {
  std::string label = std::string("  [") + key.section + "] ";
  label += key.kind == KeyKind::list ? std::string("1=, 2=") : std::string(key.name) + "=";
  std::string text = key.meaning;
  if (*key.empty != '\0') text += std::string("; empty: ") + key.empty;
  return wrapped(label, text, 18);
}

}  // namespace

std::string help_text() {
  std::string text =
      "Usage: ravelok [DIRECTORY]\n"
      "       ravelok --verbose | -v [DIRECTORY]\n"
      "       ravelok --check | -c [DIRECTORY]\n"
      "       ravelok --help | -h | --version | -V\n"
      "\n"
      "Sends the HTTP/1.0 request described in DIRECTORY/RAVELOK.INI (the current\n"
      "directory without DIRECTORY; the name in any letter case), saves the\n"
      "answer's body and exits. Relative paths are taken from the current directory.\n"
      "--check reads the settings as a run would, sends and writes nothing, and\n"
      "prints one line per finding (names the run does not read, list entries it\n"
      "never reaches, values it misreads or refuses, files it cannot read).\n"
      "--verbose runs the job and shows on standard error each request as sent\n"
      "(\"> \", credentials and ${NAME} values as ***), each answer's header (\"< \")\n"
      "and each decision: proxy, redirect, retry (\"* \").\n"
      "Every wait for the server (connecting, the TLS handshake, each send, each\n"
      "receive) gives up after Timeout seconds, 3 when it is not set.\n"
      "\n"
      "RAVELOK.INI:\n";
  for (const SettingKey& key : kSettingKeys) text += key_help(key);
  text += "\nExit status:\n";
  for (const ExitStatus& status : kExitStatuses) {
    if (*status.when != '\0') text += wrapped("  " + decimal_text(status.number), status.when, 6);
  }
  return text +
         "  other: see the manual\n"
         "\n"
         "Manual: man ravelok. Guide: PREFIX/share/doc/ravelok/docs/guide.md\n"
         "(beside ravelok.exe on Windows).\n";
}

std::string version_text() { return "ravelok " RAVELOK_VERSION "\n"; }
