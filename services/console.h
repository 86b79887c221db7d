// The progress line on the terminal. Columns and rows are 1-based. When
// neither standard stream is a terminal every operation does nothing.
#pragma once

#include <cstdint>
#include <string>

// Chooses the terminal; runs once at start-up.
void console_init();

// Moves the cursor; a value below 1 or beyond the terminal keeps that
// coordinate (row 0 keeps the row). Clears a pending scroll.
void console_locate(int column, int row);

// Writes the bytes at the cursor and advances it; no line end.
void console_print(const std::string& text);

// Writes a sign (a space for zero and positive values, "-" for negative
// ones), the decimal digits and one trailing space.
void console_print_number(std::int64_t value);

// Pads with spaces so that the cursor ends at column; starts a new line
// first when the cursor is already to the right of it.
void console_tab(int column);

// Column 1 of the next row.
void console_new_line();

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
