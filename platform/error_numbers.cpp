#include "platform/error_numbers.h"

#include <array>

void set_error(ErrorNumber& error_code, int number) {
  error_code = static_cast<ErrorNumber>(number == 0 ? int{kErrBadHandle} : number);
}

ErrorNumber map_system_error(std::uint32_t system_value) {
  // Entries 0 to 39 are indexed by the system value; 112 (disk full) uses
  // entry 39 and every other value the last entry.
  static constexpr std::array<ErrorNumber, 41> kTable = {
      75,                                  // 0: never used (0 is success)
      75, 53, 76, 67, 70, 51, 241, 7, 241,  // 1 to 9
      241, 51, 51, 51, 7, 68, 75, 74, 53, 70,  // 10 to 19
      68, 71, 51, 72, 51, 72, 72, 72, 72, 72,  // 20 to 29
      72, 72, 70, 70, 72, 75, 70, 75, 62, 61,  // 30 to 39
      75,                                  // every other value
  };
  if (system_value < 40) return kTable[system_value];
  if (system_value == 112) return kTable[39];
  return kTable[40];
}
