// The number table: small numbers naming the open disk files and TCP
// connections of the process, handed out from one counter.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/platform.h"
#include "services/errors.h"

struct TcpConnection;

enum class NumberKind { file_output, file_read, tcp };

struct NumberEntry {
  std::int16_t number = 0;
  NumberKind kind = NumberKind::file_read;
  FileHandle handle = kNoFile;                // a disk file; kNoFile for a connection
  std::unique_ptr<TcpConnection> connection;  // set for kind tcp only
};

// A number from 1 to 32767 that is not open: the counter goes up by one and
// wraps from 32767 to 1, skipping numbers in use.
std::int16_t next_free_number();

// The entry open under number, or nullptr.
NumberEntry* find_number(std::int16_t number);

// Enters an object under number; fails with 52 for a negative number and 55
// for one already open. Returns the new entry or nullptr.
NumberEntry* enter_number(ErrorNumber& error_code, std::int16_t number, NumberKind kind,
                          FileHandle handle);

// Takes number out of the table, freeing its record. Closes nothing.
void remove_number(std::int16_t number);

// Empties the table and sets the counter to 0, as at start-up.
void reset_number_table();
