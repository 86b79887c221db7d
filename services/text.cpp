#include "services/text.h"

#include <cstdint>

#include "platform/ascii.h"
#include "platform/environment.h"

namespace {

// Where the "${NAME}" reference at at ends (past its "}"), or npos when
// none starts there.
std::size_t reference_end(const std::string& text, std::size_t at) {
  if (text.compare(at, 2, "${") != 0) return std::string::npos;
  std::size_t end = at + 2;
  while (end < text.size() && (is_ascii_letter(text[end]) || is_ascii_digit(text[end]) || text[end] == '_')) ++end;
  if (end > at + 2 && end < text.size() && text[end] == '}' && !is_ascii_digit(text[at + 2])) return end + 1;
  return std::string::npos;
}

}  // namespace

bool expand_variables(const std::string& text, std::string& expanded, std::string& missing) {
  expanded.clear();
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = reference_end(text, at);
    if (end == std::string::npos) {
      expanded += text[at++];
      continue;
    }
    const std::string name = text.substr(at + 2, end - at - 3);
    std::string value;
    if (!environment_variable(name, value)) {
      missing = name;
      return false;
    }
    expanded += value;
    at = end;
  }
  return true;
}

bool names_variable(const std::string& text) {
  for (std::size_t at = text.find("${"); at != std::string::npos; at = text.find("${", at + 1)) {
    if (reference_end(text, at) != std::string::npos) return true;
  }
  return false;
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
