// Where an answer's body goes as it arrives. The job chooses the store from
// where the answer is to end up; the exchange only appends to it. A small
// body stays in memory. A large one goes on to a file: straight into an
// existing save file (emptied and rewritten in place, so its inode, links,
// owner and mode stay), else into an unnamed file beside the save name that
// takes that name at the end, else into a scratch file in the temporary
// directory; the save then finishes it. With Keep the save file is never
// written in place: past memory the body goes to a new file that replaces
// it whole at the end. A body nobody keeps is only counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "exchange/location.h"
#include "exchange/matcher.h"
#include "services/errors.h"
#include "platform/platform.h"

// A body up to this size stays in memory.
inline constexpr std::size_t kMemoryLimit = 8u << 20;
// A followed redirect's body is kept in memory up to this size.
inline constexpr std::size_t kHeldLimit = 16u << 20;

enum class StorePlace : std::uint8_t {
  memory,     // bytes
  save_file,  // the existing save file, open and emptied
  unnamed,    // a file with no name yet beside the save name
  scratch,    // an unnamed file in the temporary directory
  replacement,  // a new file that is to replace the save file whole (Keep)
  nowhere,    // counted, not kept
};

// A text looked for in the body as it arrives ([Expect], [Reject]): the
// exchange only finds it; the job decides what its finding means.
inline constexpr std::uint64_t kNotFound = static_cast<std::uint64_t>(-1);

struct BodyCheck {
  Matcher matcher;
  std::uint64_t found = kNotFound;  // body offset of the first match's start
};

struct BodyStore {
  // Chosen when the store is made.
  std::string save_name;        // where the body is to end up ("" for memory only)
  bool plain_files_only = false;  // the save name is generated: no links, regular files only
  bool replace = false;         // Keep: the save file is replaced whole, never written in place
  bool exact = false;           // the body is saved as it arrived, without the CR LF after it
  std::string temp_directory;
  // Where the body is now.
  StorePlace place = StorePlace::memory;
  std::string bytes;            // in memory: the body; in a file: bytes not yet written
  FileHandle file = kNoFile;
  std::uint64_t length = 0;     // body bytes taken, in memory or file
  std::uint64_t written = 0;    // bytes in the file
  bool file_refused = false;    // no file could be had: the body stays in memory
  // A redirect the chain will follow keeps its body away from the save
  // name: the save file never holds a body that is not the last one. It is
  // kept in memory up to kHeldLimit (shown as the answer should a loop end
  // the chain there) and past that only counted; no file ever holds it.
  // held_name is the save name meanwhile.
  bool hold_redirect = false;
  WebAddress hold_base;          // the URL asked for, against which its Location is resolved
  std::string held_name;
  bool held_dropped = false;     // a held body passed kHeldLimit: none of it is kept
  std::vector<BodyCheck> checks;  // texts looked for in every byte taken, across pieces
  ErrorNumber error = 0;        // first failure to write the file: the rest is lost
  std::string reason;           // the system's words for it
};

// A store for a body that is to end up under save_name; with keep false the
// body is only counted.
BodyStore body_store(const std::string& save_name, bool plain_files_only, bool keep,
                     const std::string& temp_directory);

// Makes room for count more bytes at the end of the store's buffer: once the
// body would pass the memory limit it moves on to a file. Returns the
// buffer to append them to (then call store_took); a store that keeps
// nothing hands out a buffer of its own that store_took empties.
std::string& store_buffer(BodyStore& store, std::size_t count);

// Accounts for count bytes appended to the store's buffer.
void store_took(BodyStore& store, std::size_t count);

// Appends bytes (store_buffer, append, store_took).
void store_append(BodyStore& store, const char* data, std::size_t size);

// The answer announced a body of length bytes: above the memory limit it
// goes to a file at once; up to it, memory is reserved.
void store_expect(BodyStore& store, std::uint64_t length);

// The answer's header is known: a 304 (Not Modified) body goes nowhere,
// since the copy already saved is current; with hold_redirect, the body of a redirect
// whose Location the chain will follow (one it would refuse ends the chain,
// and its body is the answer) is held apart from the save name from here on.
void store_status(BodyStore& store, const std::string& header);

// Gives a held store its save name back, so that the save writes the body
// there after all (the redirect ended the chain); a body past kHeldLimit
// was not kept, and nothing of it is saved.
void store_end_hold(BodyStore& store);

// Adds a text (at least one byte) to look for in the bytes taken from now on.
void store_look_for(BodyStore& store, const std::string& text);

// Drops every byte taken so far (and what the checks found in them).
void store_discard(BodyStore& store);

// Writes out the bytes waiting for the file.
void store_flush(BodyStore& store);

// Closes the store's file, if any, and empties it.
void release_store(BodyStore& store);
