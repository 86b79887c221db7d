// A redirect's Location over arbitrary bytes. The input is a base target and
// a reference separated by the first line feed; its first byte chooses an
// HTTPS base. The whole input is also read as an answer's header.
// A resolved address is http or https, names a host and a port, carries a
// target from "/" without control bytes, a fragment or a dot segment in its
// path (unless the base's path holds one), never steps from HTTPS to HTTP, and resolving its own text gives it
// back. A Location shown in a failure line is at most 120 bytes, holds no
// control byte, and keeps nothing of a user name before an "@".
#include "exchange/location.h"
#include "services/shown.h"
#include "fuzz_check.h"

namespace {

bool holds_control(const std::string& text) {
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

// True when a path holds "." or ".." as a whole segment.
bool holds_dot_segment(const std::string& path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string segment = path.substr(start, end - start);
    if (segment == "." || segment == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  ErrorNumber header_error = 0;
  std::string header_why;
  const std::string location = answer_location(header_error, header_why, "HTTP/1.0 302 Found\r\n" + input);
  FUZZ_CHECK(header_error == 0 ? !location.empty() : location.empty() && !header_why.empty(),
             "a Location, or a refusal in words");

  if (size == 0) return 0;
  WebAddress base;
  base.secure = (data[0] & 1) != 0;
  base.host = "base.example";
  base.port = base.secure ? 443 : 80;
  const std::size_t line = input.find('\n', 1);
  base.target = "/" + input.substr(1, line == std::string::npos ? std::string::npos : line - 1);
  if (holds_control(base.target)) base.target = "/b/c/d;p?q";
  const std::string reference = line == std::string::npos ? input.substr(1) : input.substr(line + 1);

  ErrorNumber error_code = 0;
  std::string why;
  const WebAddress address = resolve_location(error_code, why, base, reference);
  if (error_code != 0) {
    FUZZ_CHECK(error_code == kErrRedirectRefused && !why.empty(), "a refusal is 48, in words");
    FUZZ_CHECK(address.host.empty() && address.target.empty(), "a refusal leads nowhere");
  } else {
    FUZZ_CHECK(!address.host.empty() && address.port != 0, "a host and a port");
    FUZZ_CHECK(!address.target.empty() && address.target[0] == '/', "a target from /");
    FUZZ_CHECK(!holds_control(address.target) && address.target.find('#') == std::string::npos &&
                   address.target.find(' ') == std::string::npos,
               "no control byte, blank or fragment in the target");
    // A reference without a path keeps the base's path as it stands.
    const bool base_dots = holds_dot_segment(base.target.substr(0, base.target.find('?')));
    FUZZ_CHECK(base_dots || !holds_dot_segment(address.target.substr(0, address.target.find('?'))),
               "no dot segment in the path");
    FUZZ_CHECK(address.secure || !base.secure, "never from HTTPS down to HTTP");
    ErrorNumber again_error = 0;
    const WebAddress again = resolve_location(again_error, why, base, web_address_text(address));
    FUZZ_CHECK(again_error == 0 && again.secure == address.secure && again.host == address.host &&
                   again.port == address.port && (base_dots || again.target == address.target),
               "an address's own text resolves to it");
  }

  const std::string shown = shown_url(reference);
  // Each byte kept may be written as \xHH; a byte from 128 to 159 is one a
  // terminal may obey.
  bool c1 = false;
  for (char c : shown) c1 = c1 || (static_cast<unsigned char>(c) >= 0x80 && static_cast<unsigned char>(c) < 0xA0);
  FUZZ_CHECK(shown.size() <= 4 * kLongestShown + 3 && !holds_control(shown) && !c1, "short and clean");
  const std::string written = "http://user:secret@";
  if (reference.compare(0, written.size(), written) == 0 &&
      reference.find_first_of("/?#", 7) > written.size() &&
      reference.find("secret", written.size()) == std::string::npos) {
    FUZZ_CHECK(shown.find("secret") == std::string::npos, "a password is never shown");
  }
  return 0;
}
