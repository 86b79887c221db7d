// Disk files opened under numbers from the number table (shared with TCP
// connections). Every operation records its failure in error_code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "services/errors.h"

// Opens name for output under number: created when missing, a regular file
// emptied (and cut at its position when closed); write access only. With
// plain_files_only a link is not followed and only a regular file is taken.
void file_open_output(ErrorNumber& error_code, std::int16_t number, const std::string& name,
                      bool plain_files_only = false);

// Records the failure file_open_output would record for name, without
// opening a number or changing anything on disk (platform_check_output):
// nothing when the open would succeed as far as can be told beforehand.
void file_check_output(ErrorNumber& error_code, const std::string& name,
                       bool plain_files_only = false);

// Opens an existing file for binary reading under number; never creates one.
void file_open_read(ErrorNumber& error_code, std::int16_t number, const std::string& name);

// Creates name new for output under number, owner-only and never through an
// existing file or link, and takes the name away at once: the file lives
// only as long as the number is open (platform_create_unnamed). name_taken
// tells that the name exists (no error).
void file_create_unnamed(ErrorNumber& error_code, std::int16_t number, const std::string& name,
                         bool& name_taken);

// Writes exactly the bytes (one logical write); 52 when the number is not
// open, 54 when it is not open for output.
void file_write(ErrorNumber& error_code, std::int16_t number, const char* data, std::size_t size);
void file_write(ErrorNumber& error_code, std::int16_t number, const std::string& bytes);

// Writes CR LF.
void file_write_line_end(ErrorNumber& error_code, std::int16_t number);

// Reads up to size bytes from the current position into buffer; the count.
std::size_t file_read(ErrorNumber& error_code, std::int16_t number, char* buffer,
                      std::size_t size);

// Size in bytes of the file open under number.
std::uint64_t file_size(ErrorNumber& error_code, std::int16_t number);

// The system handle behind number, or kNoFile (for kernel copies).
FileHandle file_handle(std::int16_t number);

// Closes the file (an output disk file is first cut at its position) and
// frees the number; a number that is not open is ignored.
void file_close(ErrorNumber& error_code, std::int16_t number);
