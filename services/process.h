// Process start-up: the console, the command-line tail, the environment
// snapshot and the program state, in that order.
#pragma once

#include <string>

void process_start(int argc, char** argv);

// The command-line tail kept at start-up.
const std::string& process_command_tail();

// Ends what process_start set up, right before the process exits.
void process_finish();
