#include "platform/command_tail.h"

std::string command_tail_of(const std::string& command_line) {
  std::size_t i = 0;
  if (!command_line.empty() && command_line[0] == '"') {
    std::size_t close = command_line.find('"', 1);
    i = close == std::string::npos ? command_line.size() : close + 1;
  } else {
    while (i < command_line.size() && static_cast<unsigned char>(command_line[i]) > 32) ++i;
  }
  while (i < command_line.size() && command_line[i] == ' ') ++i;
  return command_line.substr(i);
}
