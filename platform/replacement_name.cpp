// The name of a file that is to replace another whole: the same on every
// system but for the bytes that end a directory, which the backend tells.
#include "platform/platform.h"

std::string platform_replacement_name(const std::string& name) {
  std::size_t start = name.size();
  while (start > 0 && !platform_ends_with_separator(std::string(1, name[start - 1]))) --start;
  std::string result = name.substr(0, start);
  result += '.';
  result.append(name, start, std::string::npos);
  result += ".ravelok-new";
  return result;
}
