// Saving the answer and showing it.
#pragma once

#include <string>

#include "exchange/body_store.h"
#include "services/errors.h"

// Ends the body in the store with CR LF (nothing with the store's exact)
// under the store's save name: a body already in the existing save file is
// ended there; an unnamed one takes the name when it is still free;
// otherwise the file is opened (an existing one emptied) and written. With
// plain_files_only (the generated default name) a link is not followed and
// only a regular file is overwritten. The save's first failure goes to
// failure.
void save_response(Failure& failure, BodyStore& store);

// Keep: the body in the store, and the header under header_name when that
// is not empty, each go to a new file beside the old one, which replaces it
// whole (platform_replace) once everything is written and the run has not
// failed (failure is still 0); a 304 replaces only the header's file.
// Otherwise the old files are left as they were, and no new file is left
// beside them. A save name that is no regular file (a device) is written as
// without Keep; CR LF follows the body unless the store is exact. Returns
// true when the save file was replaced.
bool replace_saved_files(Failure& failure, BodyStore& store, const std::string& header_name,
                         const std::string& header, int status);

// Keep, before anything is sent: a new file can be made beside name (its
// directory takes one), and a file an earlier run cut short left under
// the replacement name is removed. Records the failure for step under
// name; an empty name, or one that is no regular file, is not checked.
// plain_files_only as for check_save_file.
void check_replacement(Failure& failure, Step step, const std::string& name,
                       bool plain_files_only);

// Finds whether saving to name would fail at its open, without changing
// anything on disk, and records that failure for step (Step::save, or
// Step::save_header for the SaveHeader file) as the save would: its number,
// the name and the system's words. The directory must exist, an existing
// file must open for writing, and a missing one must be allowed in its
// directory; with plain_files_only (the generated default name) only a
// regular file, not through a link, is taken. An empty name is no file to
// save to: nothing is recorded. A failure that only writing can meet (a
// full disk) is not foreseen.
void check_save_file(Failure& failure, Step step, const std::string& name,
                     bool plain_files_only);

// Hands file to the desktop's viewer; reports nothing.
void shell_open(const std::string& file, int show_command);
