// Error numbers and the per-activation error_code.
//
// A failing operation records a number in the error_code that its caller
// hands it (always the first parameter, by reference) and returns a neutral
// value; nothing is thrown and nothing stops the process.
#pragma once

#include <cstdint>

using ErrorNumber = std::uint8_t;

// Error numbers used across the program.
enum : ErrorNumber {
  kErrNone = 0,
  kErrSettings = 2,       // a setting's value is refused, or the settings check found something
  kErrErrorAnswer = 22,   // the server's answer has a status at or past FailOn
  kErrNoMemory = 7,
  kErrTimedOut = 24,
  kErrTooManyRedirects = 47,  // more redirects than Follow allows, or a loop of them
  kErrRedirectRefused = 48,   // a redirect whose Location is not followed (missing, unparsable, a downgrade)
  kErrBadHandle = 51,
  kErrNotOpen = 52,
  kErrNotFound = 53,
  kErrWrongKind = 54,
  kErrAlreadyOpen = 55,
  kErrSocket = 57,
  kErrDiskFull = 61,
  kErrEndOfFile = 62,
  kErrBadName = 64,
  kErrTooManyFiles = 67,
  kErrNoDevice = 68,
  kErrAccessDenied = 70,
  kErrNotReady = 71,
  kErrMedia = 72,
  kErrOtherDevice = 74,
  kErrSystem = 75,
  kErrPathNotFound = 76,
  kErrAnswerCheck = 80,   // an [Expect] text missing from the answer's body, or a [Reject] text in it
  kErrMemoryDamaged = 241,
  kErrNumberTable = 242,
};

// Stores number in error_code, replacing any earlier one; 0 is stored as 51.
void set_error(ErrorNumber& error_code, int number);

// Turns a Windows system error value (GetLastError) into an error number.
ErrorNumber map_system_error(std::uint32_t system_value);
