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
  switch (number) {
    case kErrSettings: return "bad settings";
    case kErrErrorAnswer: return "error answer";
    case kErrNoMemory: return "no memory";
    case kErrTimedOut: return "time-out";
    case kErrTooManyRedirects: return "too many redirects";
    case kErrRedirectRefused: return "redirect refused";
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
