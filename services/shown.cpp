#include "services/shown.h"

namespace {

#ifdef _WIN32
// The console's code page prints 128-159 as letters.
constexpr bool kC1Controls = false;
#else
// A terminal may take 128-159 as control sequences (0x9B starts one).
constexpr bool kC1Controls = true;
#endif

bool control(unsigned char byte) { return byte < 32 || byte == 127 || (kC1Controls && byte >= 128 && byte < 160); }

}  // namespace

std::string shown(const std::string& text, std::size_t longest) {
  static const char kDigits[] = "0123456789ABCDEF";
  const bool cut = text.size() > longest;
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < longest; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (control(byte)) {
      out += "\\x";
      out.push_back(kDigits[byte >> 4]);
      out.push_back(kDigits[byte & 15]);
    } else {
      out.push_back(text[i]);
    }
  }
  return cut ? out + "..." : out;
}

std::string shown_url(const std::string& text) {
  std::string masked = text;
  const std::size_t slashes = masked.find("//");
  const std::size_t start =
      slashes != std::string::npos && slashes < masked.find_first_of("?#") ? slashes + 2 : 0;
  const std::size_t end = masked.find_first_of("/?#", start);
  const std::size_t at = masked.rfind('@', end == std::string::npos ? std::string::npos : end);
  if (at != std::string::npos && at >= start && (end == std::string::npos || at < end)) {
    masked.replace(start, at - start, "...");
  }
  return shown(masked);
}
