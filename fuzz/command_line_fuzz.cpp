// split_command_line and command_tail_of over arbitrary bytes, compared with
// a reference splitter written from the rules as a user reads them.
#include "fuzz_check.h"
#include "job/command_line.h"
#include "platform/command_tail.h"

namespace {

bool separator(char byte) { return byte == ' ' || byte == ',' || byte == ';' || byte == '\t'; }

// Arguments run between separators. One that begins with a double quote runs
// to the next double quote: followed by a separator or the end, it is the
// text between the quotes; followed by other bytes, it goes on to the next
// separator and loses its last byte. Without a closing quote the rest of the
// line gives nothing. At most nine arguments.
StringList reference_split(const std::string& tail) {
  StringList arguments;
  std::size_t at = 0;
  while (arguments.size() < 9) {
    while (at < tail.size() && separator(tail[at])) ++at;
    if (at == tail.size()) break;
    if (tail[at] != '"') {
      std::size_t end = at;
      while (end < tail.size() && !separator(tail[end])) ++end;
      arguments.push_back(tail.substr(at, end - at));
      at = end;
      continue;
    }
    std::size_t close = tail.find('"', at + 1);
    if (close == std::string::npos) break;
    std::size_t end = close + 1;
    if (end == tail.size() || separator(tail[end])) {
      arguments.push_back(tail.substr(at + 1, close - at - 1));
    } else {
      while (end < tail.size() && !separator(tail[end])) ++end;
      arguments.push_back(tail.substr(at + 1, end - at - 2));
    }
    at = end;
  }
  return arguments;
}

// The line less the program name (quoted: through the next quote; else up
// to the first byte of code 32 or less) and the spaces after it.
std::string reference_tail(const std::string& line) {
  std::size_t at = 0;
  if (!line.empty() && line[0] == '"') {
    std::size_t close = line.find('"', 1);
    at = close == std::string::npos ? line.size() : close + 1;
  } else {
    while (at < line.size() && static_cast<unsigned char>(line[at]) > 32) ++at;
  }
  while (at < line.size() && line[at] == ' ') ++at;
  return line.substr(at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  CommandLine split = split_command_line(text);
  FUZZ_CHECK(split.count >= 0 && split.count <= 9, "at most nine arguments");
  FUZZ_CHECK(static_cast<std::size_t>(split.count) == split.arguments.size(), "count agrees");
  FUZZ_CHECK(split.arguments == reference_split(text), "arguments as the reference splits");
  for (const std::string& argument : split.arguments) {
    FUZZ_CHECK(argument.size() <= text.size(), "an argument is no longer than the line");
  }
  FUZZ_CHECK(command_tail_of(text) == reference_tail(text), "tail as the reference cuts");
  return 0;
}
