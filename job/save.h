// Saving the answer and showing it.
#pragma once

#include <string>

#include "exchange/response.h"
#include "services/errors.h"

// Writes the body followed by CR LF to the file name; an existing file is
// emptied first. With plain_files_only (the generated default name) a link is
// not followed and only a regular file is overwritten. The save's first
// failure goes to failure.
void save_response(Failure& failure, const std::string& name, const ResponseBody& body,
                   bool plain_files_only);

// Hands file to the desktop's viewer; reports nothing.
void shell_open(const std::string& file, int show_command);
