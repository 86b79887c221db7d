// Splitting the command-line tail into at most nine arguments.
#pragma once

#include <cstdint>
#include <string>

#include "services/bytes.h"

struct CommandLine {
  StringList arguments;     // at most nine; index 0 holds argument 1
  std::int16_t count = 0;   // arguments.size()
};

// Splits tail at spaces, commas, semicolons and tabs; an argument that begins
// with a double quote runs to the next double quote. Never fails.
CommandLine split_command_line(const std::string& tail);

// The process-wide argument list, split once at the start of the job run.
const CommandLine& process_arguments();
void set_process_arguments(const CommandLine& arguments);
