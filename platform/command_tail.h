// The command line as Windows hands it over, one line holding the program
// name too. Portable byte rules, so that both builds and their tests share
// them; the Win32 backend cuts the tail with it.
#pragma once

#include <string>

// The command line less the program name: a quoted name runs to the next
// quote, any other to the first byte of code 32 or less; the spaces after it
// are skipped.
std::string command_tail_of(const std::string& command_line);
