// The single console operations the progress line is drawn with, each
// flushed on its own; the product draws through console.h only, and the
// tests check each operation cell by cell. Columns and rows are 1-based;
// every operation does nothing without a terminal.
#pragma once

#include <cstdint>
#include <string>

#include "services/console.h"

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
