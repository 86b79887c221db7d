// The progress line: cursor and text operations over the console primitives
// of the platform layer, the console form of numbers and the renderings of
// the progress line. Every backend shares this logic; a backend only draws.
//
// Each rendering reaches the terminal as one flush, so a watcher never sees a
// half-drawn line; a lone operation called from outside a rendering flushes
// on its own.
#include "services/console.h"
#include "services/console_internal.h"

#include <cstddef>

#include "platform/platform.h"
#include "services/bytes.h"

namespace {

// Runs of padding are cut from this constant; a shorter run fits in the
// string's own small buffer, so padding allocates nothing.
const std::string kSpaces(16, ' ');

// The progress line is padded to this column; the cursor rests there.
constexpr int kPadColumn = 79;
constexpr const char* kReceivingWord = "Rebent...";
// Receiving renderings closer together than this are dropped: a fast
// download would otherwise redraw the line for every 4 KiB piece.
constexpr std::uint64_t kReceivingInterval = 50;

// Set by console_init when there is a terminal; everything else is a no-op
// while it is clear.
bool g_active = false;
// When the last "Rebent..." line was drawn, and whether one has been.
bool g_receiving_drawn = false;
bool g_line_standing = false;  // a phase or receiving line is drawn and not finished
std::uint64_t g_receiving_drawn_at = 0;

// The operations below draw without flushing; the public procedures and the
// renderings flush once at their end.

void draw_print(const std::string& text) {
  if (text.empty()) return;
  platform_console_print(text);
}

void draw_number(std::int64_t value) {
  // decimal_text already carries the minus sign; other values get a space
  // in its place so that numbers line up.
  std::string text = value < 0 ? std::string() : std::string(1, ' ');
  text += decimal_text(value);
  text.push_back(' ');
  platform_console_print(text);
}

void draw_tab(int column) {
  // 64-bit arithmetic: any int column is safe, however far off it is.
  std::int64_t target = static_cast<std::int64_t>(column) - 1;
  std::int64_t current = static_cast<std::int64_t>(platform_console_column()) - 1;
  if (target < current) {
    platform_console_new_line();
    current = 0;
  }
  // The count is fixed here, not re-read per piece: on a terminal narrower
  // than the target the spaces wrap onto the next row, as they should.
  std::int64_t remaining = target - current;
  while (remaining > 0) {
    std::size_t piece = remaining < static_cast<std::int64_t>(kSpaces.size())
                            ? static_cast<std::size_t>(remaining)
                            : kSpaces.size();
    if (piece == kSpaces.size()) {
      platform_console_print(kSpaces);
    } else {
      platform_console_print(std::string(kSpaces.data(), piece));
    }
    remaining -= static_cast<std::int64_t>(piece);
  }
}

}  // namespace

void console_init() {
  g_active = platform_console_init();
  g_receiving_drawn = false;
  g_line_standing = false;
  g_receiving_drawn_at = 0;
}

void console_locate(int column, int row) {
  if (!g_active) return;
  platform_console_locate(column, row);
  platform_console_flush();
}

void console_print(const std::string& text) {
  if (!g_active) return;
  draw_print(text);
  platform_console_flush();
}

void console_print_number(std::int64_t value) {
  if (!g_active) return;
  draw_number(value);
  platform_console_flush();
}

void console_tab(int column) {
  if (!g_active) return;
  draw_tab(column);
  platform_console_flush();
}

void console_new_line() {
  if (!g_active) return;
  platform_console_new_line();
  platform_console_flush();
}

void progress_phase(const std::string& word) {
  if (!g_active) return;
  // Row 0 keeps the row: the line is redrawn where the cursor is.
  platform_console_locate(1, 0);
  draw_print(word);
  draw_tab(kPadColumn);
  platform_console_flush();
  g_line_standing = true;
}

void progress_receiving(std::int64_t received, std::int64_t announced) {
  if (!g_active) return;
  std::uint64_t now = platform_monotonic_milliseconds();
  if (g_receiving_drawn && now - g_receiving_drawn_at < kReceivingInterval) return;
  g_receiving_drawn = true;
  g_receiving_drawn_at = now;

  platform_console_locate(1, 0);
  draw_print(kReceivingWord);
  draw_number(received);
  if (announced != 0) {
    draw_print("/");
    draw_number(announced);
  }
  draw_tab(kPadColumn);
  platform_console_flush();
  g_line_standing = true;
}

void progress_finish() {
  if (!g_active) return;
  g_line_standing = false;
  // Blank the line up to the resting column, then leave it for the row
  // below so that whatever the shell prints next starts on a clean row.
  platform_console_locate(1, 0);
  draw_tab(kPadColumn);
  draw_tab(1);
  platform_console_flush();
}

void progress_clear() {
  if (!g_active || !g_line_standing) return;
  g_line_standing = false;
  platform_console_locate(1, 0);
  draw_tab(kPadColumn);
  platform_console_locate(1, 0);
  platform_console_flush();
}
