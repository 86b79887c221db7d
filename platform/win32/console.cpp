// Win32 backend: the progress line, drawn into the console's screen buffer.
#include "platform/win32/win32.h"

namespace {

// The console the progress line is drawn on.
HANDLE g_output = INVALID_HANDLE_VALUE;
HANDLE g_input = INVALID_HANDLE_VALUE;
bool g_pending_scroll = false;
constexpr WORD kAttribute = 7;  // light grey on black, whatever the console had
constexpr int kMostCells = 255;

bool read_screen(CONSOLE_SCREEN_BUFFER_INFO& info) {
  return g_output != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(g_output, &info) != 0;
}

// Moves the whole screen buffer up one row; the last row becomes blank.
void scroll_up_one_row(const CONSOLE_SCREEN_BUFFER_INFO& info) {
  SMALL_RECT moved;
  moved.Left = 0;
  moved.Top = 1;
  moved.Right = static_cast<SHORT>(info.dwSize.X - 1);
  moved.Bottom = static_cast<SHORT>(info.dwSize.Y - 1);
  COORD origin = {0, 0};
  CHAR_INFO fill;
  fill.Char.AsciiChar = ' ';
  fill.Attributes = kAttribute;
  ScrollConsoleScreenBufferA(g_output, &moved, nullptr, origin, &fill);
}

}  // namespace

bool platform_console_init() {
  HANDLE error_handle = GetStdHandle(STD_ERROR_HANDLE);
  HANDLE output_handle = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  g_output = GetConsoleMode(output_handle, &mode) ? output_handle : error_handle;
  g_input = CreateFileA("CONIN$", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                        nullptr);
  SetConsoleMode(g_output, ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT);
  // No line input, no echo and no processed input: Ctrl+C reaches the
  // console as a key press and does not end the unattended job.
  SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), 0);
  CONSOLE_CURSOR_INFO cursor;
  bool has_cursor = GetConsoleCursorInfo(g_output, &cursor) && cursor.dwSize != 0;
  if (!has_cursor) has_cursor = GetConsoleCursorInfo(output_handle, &cursor) && cursor.dwSize != 0;
  if (!has_cursor) {
    cursor.dwSize = 10;
    cursor.bVisible = TRUE;
    SetConsoleCursorInfo(g_output, &cursor);
  }
  g_pending_scroll = false;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!read_screen(info)) {
    g_output = INVALID_HANDLE_VALUE;
    return false;
  }
  return true;
}

int platform_console_width() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  return read_screen(info) ? info.dwSize.X : 80;
}

int platform_console_column() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  return read_screen(info) ? info.dwCursorPosition.X + 1 : 1;
}

void platform_console_locate(int column, int row) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!read_screen(info)) return;
  int x = column >= 1 && column <= info.dwSize.X ? column - 1 : info.dwCursorPosition.X;
  int y = row >= 1 && row <= info.dwSize.Y ? row - 1 : info.dwCursorPosition.Y;
  COORD position = {static_cast<SHORT>(x), static_cast<SHORT>(y)};
  SetConsoleCursorPosition(g_output, position);
  g_pending_scroll = false;
}

void platform_console_print(const std::string& text) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (text.empty() || !read_screen(info) || info.dwSize.X <= 0 || info.dwSize.Y <= 0) return;
  const int width = info.dwSize.X;
  const int height = info.dwSize.Y;
  int x = info.dwCursorPosition.X;
  int y = info.dwCursorPosition.Y;
  // One fixed buffer of cells: output allocates nothing.
  CHAR_INFO cells[256];
  std::size_t done = 0;
  while (done < text.size()) {
    if (g_pending_scroll) {
      g_pending_scroll = false;
      scroll_up_one_row(info);
    }
    // A buffer narrowed under the cursor leaves no room on its row: the
    // text goes on at the start of the next one, and on the last row the
    // buffer scrolls up to make that row, as a terminal does.
    std::size_t room = x < width ? static_cast<std::size_t>(width - x) : 0;
    if (room == 0) {
      x = 0;
      if (y + 1 < height) {
        ++y;
      } else {
        scroll_up_one_row(info);
      }
      room = static_cast<std::size_t>(width);
    }
    std::size_t n = text.size() - done;
    if (n > room) n = room;
    if (n > static_cast<std::size_t>(kMostCells)) n = kMostCells;
    for (std::size_t i = 0; i < n; ++i) {
      // Bytes are shown as the font's glyphs, never obeyed.
      cells[i].Char.AsciiChar = text[done + i];
      cells[i].Attributes = kAttribute;
    }
    COORD block = {static_cast<SHORT>(n), 1};
    COORD from = {0, 0};
    SMALL_RECT region;
    region.Left = static_cast<SHORT>(x);
    region.Top = static_cast<SHORT>(y);
    region.Right = static_cast<SHORT>(x + static_cast<int>(n) - 1);
    region.Bottom = static_cast<SHORT>(y);
    WriteConsoleOutputA(g_output, cells, block, from, &region);
    done += n;
    x += static_cast<int>(n);
    if (x >= width) {
      x = 0;
      if (y + 1 == height) {
        g_pending_scroll = true;
      } else {
        ++y;
      }
    }
  }
  COORD position = {static_cast<SHORT>(x), static_cast<SHORT>(y)};
  SetConsoleCursorPosition(g_output, position);
}

void platform_console_new_line() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!read_screen(info)) return;
  int row = info.dwCursorPosition.Y;
  if (row + 1 < info.dwSize.Y) {
    ++row;
  } else {
    if (g_pending_scroll) {
      g_pending_scroll = false;
      scroll_up_one_row(info);
    }
    scroll_up_one_row(info);
  }
  platform_console_locate(1, row + 1);
}

// Every call above draws at once; there is nothing to hand over.
void platform_console_flush() {}
