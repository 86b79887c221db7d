#include "job/proxy.h"

#include "platform/ascii.h"
#include "platform/environment.h"
#include "platform/platform.h"
#include "platform/tls_names.h"
#include "services/bytes.h"
#include "services/text.h"
#include "settings/settings.h"

namespace {

// %XX decoded; false at a "%" without two hex digits after it.
bool percent_decoded(const std::string& text, std::string& decoded) {
  decoded.clear();
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '%') {
      decoded += text[at];
      continue;
    }
    if (at + 2 >= text.size() || hex_digit_value(text[at + 1]) < 0 || hex_digit_value(text[at + 2]) < 0) return false;
    decoded += static_cast<char>(hex_digit_value(text[at + 1]) * 16 + hex_digit_value(text[at + 2]));
    at += 2;
  }
  return true;
}

// A port from 1 to 65535 written in decimal digits alone.
bool port_number(const std::string& text, std::uint16_t& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const long value = std::stol(text);
  if (value < 1 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

// Splits "host", "host:port", "[v6]" or "[v6]:port" (an IPv6 address
// without brackets is all host); port_text empty when none is written.
// False when a "[" is not closed or something other than ":port" follows.
bool split_host_port(const std::string& text, std::string& host, std::string& port_text, bool& had_port) {
  had_port = false;
  port_text.clear();
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 == text.size()) return true;
    if (text[close + 1] != ':') return false;
    had_port = true;
    port_text = text.substr(close + 2);
    return true;
  }
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
    host = text;
    return true;
  }
  host = text.substr(0, colon);
  had_port = true;
  port_text = text.substr(colon + 1);
  return true;
}

// The address bytes when text is a plain address, else empty.
std::string address_bytes(const std::string& text) {
  std::string bytes;
  return parse_plain_address(text, bytes) ? bytes : std::string();
}

bool ends_with_ignoring_case(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && equal_ignoring_ascii_case(text.substr(text.size() - end.size()), end);
}

// A "*" stands for any run of bytes; the rest matches in any letter case.
bool wildcard_match(const std::string& pattern, const std::string& text) {
  std::size_t p = 0, t = 0, star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && equal_ignoring_ascii_case(pattern.substr(p, 1), text.substr(t, 1))) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// The value of the first of the names that is set, with its name; false when
// none is.
bool first_set(const char* const* names, std::size_t count, std::string& name, std::string& value) {
  for (std::size_t i = 0; i < count; ++i) {
    if (environment_variable(names[i], value)) {
      name = names[i];
      return true;
    }
  }
  return false;
}

void refuse_route(Failure& failure, const std::string& object, const std::string& rule) {
  note_failure(failure, kErrSettings, Step::setting, object, rule);
}

}  // namespace

bool parse_proxy(const std::string& text, bool expand, ProxyRoute& route, std::string& rule) {
  route = ProxyRoute();
  std::string rest = trim_blanks(text);
  const std::size_t scheme = rest.find("://");
  if (scheme != std::string::npos) {
    if (!equal_ignoring_ascii_case(rest.substr(0, scheme), "http")) {
      rule = "a scheme other than http://; the proxy is host:port or http://host:port";
      return false;
    }
    rest.erase(0, scheme + 3);
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const std::size_t at = rest.rfind('@');
  std::string user;
  std::string password;
  if (at != std::string::npos) {
    const std::string credentials = rest.substr(0, at);
    rest.erase(0, at + 1);
    const std::size_t colon = credentials.find(':');
    if (!percent_decoded(credentials.substr(0, colon), user) ||
        (colon != std::string::npos && !percent_decoded(credentials.substr(colon + 1), password))) {
      rule = "a % in the user name or password is not followed by two hex digits";
      return false;
    }
    if (user.empty() || user.find(':') != std::string::npos) {
      rule = "the user name before the host is empty or holds \":\"";
      return false;
    }
    if (expand) {
      std::string expanded;
      std::string missing;
      if (!expand_variables(password, expanded, missing)) {
        rule = "the environment variable " + missing + " is not set";
        return false;
      }
      password = expanded;
    }
  }
  std::string port_text;
  bool had_port = false;
  if (rest.find('/') != std::string::npos || !split_host_port(rest, route.host, port_text, had_port)) {
    rule = "not host:port or http://host:port (an IPv6 address in brackets), nor none";
    return false;
  }
  for (char c : route.host) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= 32 || byte == 127 || c == '[' || c == ']' || c == '@') route.host.clear();
  }
  if (route.host.empty()) {
    rule = "no host name or address before the port";
    return false;
  }
  route.port = 80;
  if (had_port && !port_number(port_text, route.port)) {
    route = ProxyRoute();
    rule = "the proxy's port is not a number from 1 to 65535";
    return false;
  }
  if (at != std::string::npos) route.authorization = "Basic " + base64_text(user + ":" + password);
  return true;
}

ProxySetting read_proxy_setting(const std::string& file, const RequestOptions& options,
                                std::string& refused) {
  ProxySetting setting;
  const std::string value = trim_blanks(read_setting(file, "URL", "Proxy"));
  if (value.empty()) return setting;
  if (equal_ignoring_ascii_case(value, "none")) {
    setting.direct = true;
    return setting;
  }
  std::string rule;
  if (!parse_proxy(value, true, setting.route, rule)) {
    if (refused.empty()) refused = "[URL] Proxy: " + rule;
    setting.route = ProxyRoute();
    return setting;
  }
  for (const std::string& line : options.header_lines) {
    if (!setting.route.authorization.empty() && refused.empty() && line.size() > 19 &&
        equal_ignoring_ascii_case(line.substr(0, 20), "Proxy-Authorization:")) {
      refused = "[URL] Proxy: credentials beside a Proxy-Authorization line in [Headers]";
    }
  }
  return setting;
}

bool no_proxy_matches(const std::string& list, const std::string& host, std::uint16_t port) {
  const std::string host_address = address_bytes(host);
  std::size_t from = 0;
  while (from <= list.size()) {
    std::size_t comma = list.find(',', from);
    if (comma == std::string::npos) comma = list.size();
    const std::string entry = trim_blanks(list.substr(from, comma - from));
    from = comma + 1;
    if (entry == "*") return true;
    std::string name;
    std::string port_text;
    bool had_port = false;
    if (entry.empty() || !split_host_port(entry, name, port_text, had_port)) continue;
    std::uint16_t entry_port = 0;
    if (had_port && (!port_number(port_text, entry_port) || entry_port != port)) continue;
    if (!host_address.empty()) {
      if (address_bytes(name) == host_address) return true;
      continue;
    }
    if (!name.empty() && name[0] == '.') name.erase(0, 1);
    if (name.empty()) continue;
    if (equal_ignoring_ascii_case(name, host) || ends_with_ignoring_case(host, "." + name)) return true;
  }
  return false;
}

namespace {

// The entry of a WinHTTP list (";"- or blank-separated) that starts at
// from; from moves past it and its separator.
std::string next_system_entry(const std::string& list, std::size_t& from) {
  std::size_t end = list.find_first_of("; \t", from);
  if (end == std::string::npos) end = list.size();
  std::string entry = list.substr(from, end - from);
  from = end + 1;
  return entry;
}

}  // namespace

bool bypass_matches(const std::string& list, const std::string& host) {
  std::size_t from = 0;
  while (from < list.size()) {
    const std::string entry = next_system_entry(list, from);
    if (entry.empty()) continue;
    if (equal_ignoring_ascii_case(entry, "<local>")) {
      if (host.find('.') == std::string::npos) return true;
    } else if (wildcard_match(entry, host)) {
      return true;
    }
  }
  return false;
}

std::string system_proxy_for(const std::string& list, bool secure) {
  std::string chosen;
  std::size_t from = 0;
  while (from < list.size()) {
    const std::string entry = next_system_entry(list, from);
    const std::size_t equals = entry.find('=');
    if (entry.empty()) continue;
    if (equals == std::string::npos) {
      // One proxy for every scheme; a scheme's own entry still wins.
      if (chosen.empty()) chosen = entry;
    } else if (equal_ignoring_ascii_case(entry.substr(0, equals), secure ? "https" : "http")) {
      return entry.substr(equals + 1);
    }
  }
  return chosen;
}

ProxyRoute choose_proxy(Failure& failure, const ProxySetting& setting, bool secure,
                        const std::string& host, std::uint16_t port) {
  if (setting.direct || !setting.route.host.empty()) return setting.route;
  // An upper-case HTTP_PROXY may come from a request's "Proxy:" header
  // under CGI: only the lower-case name is read for plain HTTP.
  static const char* const kPlain[] = {"http_proxy"};
  static const char* const kSecure[] = {"https_proxy", "HTTPS_PROXY"};
  static const char* const kExcept[] = {"no_proxy", "NO_PROXY"};
  // Any of these set, an ignored HTTP_PROXY included, leaves the system's
  // setting aside: Wine's WinHTTP would take HTTP_PROXY for http_proxy, as
  // Windows names variables in any letter case.
  static const char* const kAll[] = {"http_proxy", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY",
                                     "HTTP_PROXY"};
  std::string name;
  std::string value;
  ProxyRoute route;
  std::string rule;
  if (secure ? first_set(kSecure, 2, name, value) : first_set(kPlain, 1, name, value)) {
    if (trim_blanks(value).empty()) return route;
    if (!parse_proxy(value, false, route, rule)) {
      refuse_route(failure, "the environment", name + ": " + rule);
      return ProxyRoute();
    }
    std::string except_name;
    std::string except;
    if (first_set(kExcept, 2, except_name, except) && no_proxy_matches(except, host, port)) return ProxyRoute();
    return route;
  }
  if (first_set(kAll, 6, name, value)) return route;
  std::string list;
  std::string bypass;
  if (!platform_system_proxy(list, bypass)) return route;
  const std::string entry = system_proxy_for(list, secure);
  if (entry.empty() || bypass_matches(bypass, host)) return route;
  if (!parse_proxy(entry, false, route, rule)) {
    refuse_route(failure, "the system's WinHTTP proxy setting", rule);
    return ProxyRoute();
  }
  return route;
}

void take_proxy_header(Failure& failure, const std::string& object, ProxyRoute& route,
                       RequestOptions& options) {
  StringList& lines = options.header_lines;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].size() < 20 || !equal_ignoring_ascii_case(lines[i].substr(0, 20), "Proxy-Authorization:")) {
      continue;
    }
    const std::string value = trim_blanks(lines[i].substr(20));
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
    // Without a proxy the line has nobody to go to: a server must never
    // see a proxy's credentials.
    if (route.host.empty()) return;
    if (!route.authorization.empty()) {
      refuse_route(failure, object, "a Proxy-Authorization line in [Headers] beside the proxy's own credentials");
      return;
    }
    route.authorization = value;
    return;
  }
}
