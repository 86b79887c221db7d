#include "job/command_line.h"

namespace {

CommandLine g_arguments;

bool is_separator(char byte) { return byte == ' ' || byte == ',' || byte == ';' || byte == '\t'; }

}  // namespace

CommandLine split_command_line(const std::string& tail) {
  CommandLine result;
  // Positions are 1-based as in the scan's description; L + 1 is the end.
  const std::size_t length = tail.size();
  std::size_t start = 1;
  std::size_t quote_count = 0;
  bool in_argument = false;
  for (std::size_t i = 1; i <= length + 1; ++i) {
    if (i == length + 1 || is_separator(tail[i - 1])) {
      if (in_argument) {
        result.arguments.push_back(tail.substr(start - 1, i - start - quote_count));
        ++result.count;
        if (result.count == 9) break;
        in_argument = false;
      }
      start = i + 1;
      quote_count = 0;
    } else {
      if (!in_argument && tail[i - 1] == '"') {
        std::size_t close = tail.find('"', i);  // 0-based index i is position i + 1
        i = close == std::string::npos ? length + 1 : close + 1;
        ++start;
        quote_count = 1;
        if (i == length + 1) {
          // No closing quote: the scan has reached the end inside the
          // argument, so nothing is stored for it.
          in_argument = true;
          break;
        }
      }
      in_argument = true;
    }
  }
  return result;
}

const CommandLine& process_arguments() { return g_arguments; }

void set_process_arguments(const CommandLine& arguments) { g_arguments = arguments; }
