// Saving the answer and showing it.
#pragma once

#include <string>

#include "exchange/body_store.h"
#include "services/errors.h"

// Ends the body in the store with CR LF under the store's save name: a body
// already in the existing save file is ended there; an unnamed one takes the
// name when it is still free; otherwise the file is opened (an existing one
// emptied) and written. With plain_files_only (the generated default name) a
// link is not followed and only a regular file is overwritten. The save's
// first failure goes to failure.
void save_response(Failure& failure, BodyStore& store);

// Hands file to the desktop's viewer; reports nothing.
void shell_open(const std::string& file, int show_command);
