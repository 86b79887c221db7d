#include "services/number_table.h"

#include <map>

#include "services/tcp.h"

namespace {
std::map<std::int16_t, NumberEntry> g_table;
std::int16_t g_counter = 0;
}  // namespace

std::int16_t next_free_number() {
  do {
    g_counter = g_counter == 32767 ? 1 : static_cast<std::int16_t>(g_counter + 1);
  } while (g_table.count(g_counter) != 0);
  return g_counter;
}

NumberEntry* find_number(std::int16_t number) {
  auto it = g_table.find(number);
  return it == g_table.end() ? nullptr : &it->second;
}

NumberEntry* enter_number(ErrorNumber& error_code, std::int16_t number, NumberKind kind,
                          FileHandle handle) {
  if (number < 0) {
    set_error(error_code, kErrNotOpen);
    return nullptr;
  }
  if (g_table.count(number) != 0) {
    set_error(error_code, kErrAlreadyOpen);
    return nullptr;
  }
  NumberEntry& entry = g_table[number];
  entry.number = number;
  entry.kind = kind;
  entry.handle = handle;
  return &entry;
}

void remove_number(std::int16_t number) { g_table.erase(number); }

void reset_number_table() {
  g_table.clear();
  g_counter = 0;
}
