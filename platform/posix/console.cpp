// POSIX backend: the terminal that shows the progress line.
//
// A terminal cannot be asked where its cursor is without reading from it,
// and the program reads nothing, so the backend keeps the cursor column
// itself. It draws with carriage return, spaces, printable bytes, CR LF and
// the column-move sequence only, and never changes the terminal's modes, so
// nothing needs restoring however the process ends. Output is gathered in a
// buffer and handed over with one write() per flush.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/console_internal.h"
#include "platform/posix/posix.h"

namespace {

constexpr int kUnknownWidth = 80;

// The terminal's descriptor, or -1 when there is none.
int g_terminal = -1;
// The cursor column, 1-based, as the program's own output left it.
int g_column = 1;
// What has been drawn since the last flush.
std::string g_pending;
std::uint64_t g_writes_made = 0;

int terminal_width() {
  struct winsize size;
  if (ioctl(g_terminal, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return kUnknownWidth;
  return size.ws_col;
}

void draw_new_line() {
  g_pending += "\r\n";
  g_column = 1;
}

}  // namespace

bool platform_console_init() {
  // Standard output first; when it is redirected the line still reaches the
  // user through standard error. A redirected stream never gets progress
  // text, which would only garble a captured file.
  g_terminal = -1;
  if (isatty(STDOUT_FILENO)) {
    g_terminal = STDOUT_FILENO;
  } else if (isatty(STDERR_FILENO)) {
    g_terminal = STDERR_FILENO;
  }
  g_column = 1;
  g_pending.clear();
  return g_terminal >= 0;
}

int platform_console_width() {
  if (g_terminal < 0) return kUnknownWidth;
  return terminal_width();
}

int platform_console_column() { return g_column; }

void platform_console_locate(int column, int row) {
  // The row cannot be known on a terminal; the line is always redrawn on the
  // row the cursor is on, which is what row 0 asks for.
  (void)row;
  if (g_terminal < 0) return;
  if (column < 1 || column > terminal_width()) return;
  // Always drawn, even when the column seems unchanged: the carriage return
  // puts the real cursor back in step should anything else have written.
  g_pending.push_back('\r');
  if (column > 1) {
    g_pending += "\x1b[";
    g_pending += std::to_string(column);
    g_pending.push_back('G');
  }
  g_column = column;
}

void platform_console_print(const std::string& text) {
  if (g_terminal < 0 || text.empty()) return;
  int width = terminal_width();
  for (char byte : text) {
    // A resized terminal may leave the kept column past the new edge;
    // starting a fresh row keeps the count of cells meaningful.
    if (g_column > width) draw_new_line();
    unsigned char code = static_cast<unsigned char>(byte);
    // Control bytes are shown, never obeyed: a stray escape or line feed in
    // a text must not move the cursor behind the program's back.
    g_pending.push_back(code < 32 || code == 127 ? '?' : byte);
    ++g_column;
    // The cursor goes to the next row at once, where a console that wraps
    // at the end of a line puts it.
    if (g_column > width) draw_new_line();
  }
}

void platform_console_new_line() {
  if (g_terminal < 0) return;
  draw_new_line();
}

void platform_console_flush() {
  if (g_terminal < 0 || g_pending.empty()) return;
  const char* data = g_pending.data();
  std::size_t left = g_pending.size();
  while (left > 0) {
    ssize_t written = write(g_terminal, data, left);
    ++g_writes_made;
    if (written < 0 && errno == EINTR) continue;
    // A terminal that went away or refuses output only loses the progress
    // line; the job goes on.
    if (written <= 0) break;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  g_pending.clear();
}

std::uint64_t console_writes_made() { return g_writes_made; }
