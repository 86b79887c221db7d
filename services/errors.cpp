#include "services/errors.h"

#include <array>

#include "platform/platform.h"

void set_error(ErrorNumber& error_code, int number) {
  error_code = static_cast<ErrorNumber>(number == 0 ? int{kErrBadHandle} : number);
}

std::string failure_reason(ErrorNumber number) {
  switch (number) {
    case kErrTimedOut: case kErrNotOpen: case kErrWrongKind:
    case kErrAlreadyOpen: case kErrEndOfFile: case kErrBadName:
      return std::string();
    default:
      return platform_failure_reason();
  }
}

std::string error_meaning(ErrorNumber number) {
  switch (number) {
    case kErrNoMemory: return "no memory";
    case kErrTimedOut: return "time-out";
    case kErrBadHandle: return "bad file handle";
    case kErrNotOpen: return "bad file number";
    case kErrNotFound: return "file not found";
    case kErrWrongKind: return "wrong kind of file";
    case kErrAlreadyOpen: return "file already open";
    case kErrSocket: return "network failure";
    case kErrDiskFull: return "disk full";
    case kErrEndOfFile: return "end of data";
    case kErrBadName: return "bad file name";
    case kErrTooManyFiles: return "too many open files";
    case kErrNoDevice: return "no device";
    case kErrAccessDenied: return "access denied";
    case kErrNotReady: return "device not ready";
    case kErrMedia: return "media error";
    case kErrOtherDevice: return "other device";
    case kErrSystem: return "other system error";
    case kErrPathNotFound: return "path not found";
    default: return "error";
  }
}

void note_failure(Failure& record, ErrorNumber number, Step step, const std::string& object,
                  const std::string& reason) {
  if (record.number != 0 || number == 0) return;
  record.number = number;
  record.step = step;
  record.object = object;
  record.reason = reason;
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
