// The progress line on the terminal. When neither standard stream is a
// terminal every operation does nothing. The single operations it is drawn
// with are in console_internal.h.
#pragma once

#include <cstdint>
#include <string>

// Chooses the terminal; runs once at start-up.
void console_init();

// The phase line: the word at column 1, padded to column 79.
void progress_phase(const std::string& word);

// The receiving line: "Rebent...", the count received and, when announced is
// not 0, "/" and announced. A rendering less than 50 ms after the previous
// one is skipped; the first is always drawn.
void progress_receiving(std::int64_t received, std::int64_t announced);

// Blanks the progress line and moves to column 1 of the next row.
void progress_finish();

// Blanks a progress line still standing and leaves the cursor at its column
// 1, so that a message written next starts on a clean row.
void progress_clear();
