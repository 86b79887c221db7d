// --help, --version and --check: the first arguments that ask about the
// program, or for a check of a job's settings, instead of naming a job
// directory.
#pragma once

#include <string>

#include "job/command_line.h"

enum class UsageRequest { none, help, version, check, verbose };

// What the first argument asks for: help for "--help" or "-h", version for
// "--version" or "-V", check for "--check" or "-c", verbose (a run that
// shows its exchange) for "--verbose" or "-v", exactly as written. An
// existing directory of that name is a job directory like any other, so the
// answer is then none.
UsageRequest usage_request(const CommandLine& arguments);

// The arguments without the first one: those of the job that "--check"
// names (its directory first).
CommandLine arguments_after_first(const CommandLine& arguments);

// What the program prints for each request, ending in a line break.
std::string help_text();
std::string version_text();
