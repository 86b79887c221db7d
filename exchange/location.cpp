#include "exchange/location.h"

#include <cstddef>
#include <vector>

#include "platform/ascii.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

// A reference split as RFC 3986 appendix B splits it; the fragment is
// dropped, since it never goes out in a request.
struct Reference {
  bool has_scheme = false;
  std::string scheme;
  bool has_authority = false;
  std::string authority;
  std::string path;
  bool has_query = false;
  std::string query;
};

Reference split_reference(const std::string& text) {
  Reference reference;
  std::size_t at = 0;
  const std::size_t colon = text.find_first_of(":/?#");
  if (colon != std::string::npos && colon > 0 && text[colon] == ':') {
    reference.has_scheme = true;
    reference.scheme = text.substr(0, colon);
    at = colon + 1;
  }
  if (text.compare(at, 2, "//") == 0) {
    const std::size_t end = text.find_first_of("/?#", at + 2);
    reference.has_authority = true;
    reference.authority = text.substr(at + 2, (end == std::string::npos ? text.size() : end) - at - 2);
    at = end == std::string::npos ? text.size() : end;
  }
  std::size_t end = text.find_first_of("?#", at);
  if (end == std::string::npos) end = text.size();
  reference.path = text.substr(at, end - at);
  if (end < text.size() && text[end] == '?') {
    const std::size_t hash = text.find('#', end);
    reference.has_query = true;
    reference.query = text.substr(end + 1, (hash == std::string::npos ? text.size() : hash) - end - 1);
  }
  return reference;
}

// RFC 3986 section 5.2.4.
std::string remove_dot_segments(std::string input) {
  std::string output;
  while (!input.empty()) {
    if (input.compare(0, 3, "../") == 0) {
      input.erase(0, 3);
    } else if (input.compare(0, 2, "./") == 0) {
      input.erase(0, 2);
    } else if (input.compare(0, 3, "/./") == 0) {
      input.erase(0, 2);
    } else if (input == "/.") {
      input = "/";
    } else if (input.compare(0, 4, "/../") == 0 || input == "/..") {
      input = input.size() == 3 ? std::string("/") : input.substr(3);
      const std::size_t last = output.rfind('/');
      output.erase(last == std::string::npos ? 0 : last);
    } else if (input == "." || input == "..") {
      input.clear();
    } else {
      const std::size_t next = input.find('/', 1);
      const std::size_t end = next == std::string::npos ? input.size() : next;
      output += input.substr(0, end);
      input.erase(0, end);
    }
  }
  return output;
}

// RFC 3986 section 5.2.3, for a base that has an authority.
std::string merge(const std::string& base_path, const std::string& path) {
  if (base_path.empty()) return "/" + path;
  const std::size_t slash = base_path.rfind('/');
  return slash == std::string::npos ? path : base_path.substr(0, slash + 1) + path;
}

// A space, a "#" (which only the base's Page can bring) or a byte past 127
// as "%XX", as browsers send them; the rest as written.
std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte == ' ' || byte == '#' || byte > 0x7F) {
      out += '%';
      out += kHexDigits[byte >> 4];
      out += kHexDigits[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

// Takes host and port from an authority; false with why set when it holds
// a user name, no host, a host of other bytes or a bad port.
bool read_authority(const std::string& authority, bool secure, WebAddress& address, std::string& why) {
  if (authority.find('@') != std::string::npos) {
    why = "holds a user name or password";
    return false;
  }
  std::string host;
  std::size_t after = 0;
  if (!authority.empty() && authority[0] == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string::npos) {
      why = "has an IPv6 address without its closing bracket";
      return false;
    }
    host = authority.substr(1, close - 1);
    for (char c : host) {
      const bool hex = hex_digit_value(c) >= 0;
      if (!hex && c != ':' && c != '.') {
        why = "names a host that is no IPv6 address";
        return false;
      }
    }
    if (host.find(':') == std::string::npos) {
      why = "names a host that is no IPv6 address";
      return false;
    }
    after = close + 1;
  } else {
    after = authority.find(':');
    if (after == std::string::npos) after = authority.size();
    host = authority.substr(0, after);
    for (char c : host) {
      if (!is_ascii_letter(c) && !is_ascii_digit(c) && std::string("-._~!$&'()*+,;=").find(c) == std::string::npos) {
        why = "names a host of bytes no host name holds";
        return false;
      }
    }
  }
  if (host.empty()) {
    why = "names no host";
    return false;
  }
  address.host = ascii_lower_text(host);
  address.port = default_port(secure);
  if (after == authority.size()) return true;
  if (authority[after] != ':') {
    why = "has more than a port after its host";
    return false;
  }
  const std::string digits = authority.substr(after + 1);
  if (digits.empty()) return true;
  std::uint32_t port = 0;
  for (char c : digits) {
    if (!is_ascii_digit(c) || port > 65535) {
      why = "has a port that is not a number from 1 to 65535";
      return false;
    }
    port = port * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (port == 0 || port > 65535) {
    why = "has a port that is not a number from 1 to 65535";
    return false;
  }
  address.port = static_cast<std::uint16_t>(port);
  return true;
}

}  // namespace

bool redirect_followed(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool redirect_keeps_method(int status) { return status == 307 || status == 308; }

std::string web_address_text(const WebAddress& address) {
  std::string text = address.secure ? "https://" : "http://";
  text += address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
  if (address.port != default_port(address.secure)) {
    text += ':';
    text += std::to_string(address.port);
  }
  return text + address.target;
}

std::string answer_location(ErrorNumber& error_code, std::string& why, const std::string& header) {
  static const std::string kName = "location:";
  std::vector<std::string> values;
  bool folded = false;
  std::size_t line = header.find('\n');
  while (line != std::string::npos) {
    const std::size_t start = line + 1;
    std::size_t end = header.find('\n', start);
    const std::size_t next = end;
    if (end == std::string::npos) end = header.size();
    if (end > start && header[end - 1] == '\r') --end;
    if (end - start >= kName.size() && equal_ignoring_ascii_case(header.substr(start, kName.size()), kName)) {
      const std::string value = trim_blanks(header.substr(start + kName.size(), end - start - kName.size()));
      // A value folded onto the next line is one this reading would cut.
      folded = folded || (next != std::string::npos && next + 1 < header.size() &&
                          (header[next + 1] == ' ' || header[next + 1] == '\t'));
      values.push_back(value);
    }
    line = next;
  }
  if (values.empty()) {
    why = "the answer has no Location";
  } else if (values.size() > 1) {
    why = "the answer has " + std::to_string(values.size()) + " Location fields";
  } else if (values[0].empty()) {
    why = "the Location is empty";
  } else if (folded) {
    why = "the Location is folded over several lines";
  } else {
    return values[0];
  }
  error_code = kErrRedirectRefused;
  return std::string();
}

WebAddress resolve_location(ErrorNumber& error_code, std::string& why, const WebAddress& base,
                            const std::string& reference) {
  for (char c : reference) {
    if (is_control(static_cast<unsigned char>(c))) {
      error_code = kErrRedirectRefused;
      why = "holds a control byte";
      return WebAddress();
    }
  }
  const Reference r = split_reference(reference);
  WebAddress address;
  std::string path;
  std::string query;
  bool has_query = r.has_query;
  query = r.query;
  std::string problem;
  if (r.has_scheme) {
    const std::string scheme = ascii_lower_text(r.scheme);
    bool valid = is_ascii_letter(r.scheme[0]);
    for (char c : r.scheme) valid = valid && (is_ascii_letter(c) || is_ascii_digit(c) || c == '+' || c == '-' || c == '.');
    if (!valid) {
      problem = "is no URL";
    } else if (scheme != "http" && scheme != "https") {
      problem = "is not http:// or https://";
    } else if (!r.has_authority) {
      problem = "names no host";
    } else {
      address.secure = scheme == "https";
      read_authority(r.authority, address.secure, address, problem);
      path = remove_dot_segments(r.path);
    }
  } else {
    address.secure = base.secure;
    const std::size_t mark = base.target.find('?');
    const std::string base_path = base.target.substr(0, mark);
    if (r.has_authority) {
      read_authority(r.authority, address.secure, address, problem);
      path = remove_dot_segments(r.path);
    } else {
      address.host = base.host;
      address.port = base.port;
      if (r.path.empty()) {
        path = base_path;
        if (!r.has_query && mark != std::string::npos) {
          has_query = true;
          query = base.target.substr(mark + 1);
        }
      } else if (r.path[0] == '/') {
        path = remove_dot_segments(r.path);
      } else {
        path = remove_dot_segments(merge(base_path, r.path));
      }
    }
  }
  if (problem.empty() && base.secure && !address.secure) {
    problem = "leads from HTTPS down to plain HTTP";
  }
  if (!problem.empty()) {
    error_code = kErrRedirectRefused;
    why = problem;
    return WebAddress();
  }
  if (path.empty() || path[0] != '/') path.insert(path.begin(), '/');
  if (has_query) {
    path += '?';
    path += query;
  }
  address.target = escaped(path);
  return address;
}
