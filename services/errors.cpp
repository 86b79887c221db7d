#include "services/errors.h"

#include "platform/platform.h"

std::string failure_reason(ErrorNumber number) {
  switch (number) {
    case kErrSettings: case kErrErrorAnswer:
    case kErrTimedOut: case kErrNotOpen: case kErrWrongKind:
    case kErrAlreadyOpen: case kErrEndOfFile: case kErrBadName:
    case kErrTooManyRedirects: case kErrRedirectRefused:
      return std::string();
    default:
      return platform_failure_reason();
  }
}

std::string error_meaning(ErrorNumber number) {
  for (const ExitStatus& status : kExitStatuses) {
    if (status.number == number && number != kErrNone) return status.meaning;
  }
  return "error";
}

void note_failure(Failure& record, ErrorNumber number, Step step, const std::string& object,
                  const std::string& reason) {
  if (record.number != 0 || number == 0) return;
  record.number = number;
  record.step = step;
  record.object = object;
  record.reason = reason;
}
