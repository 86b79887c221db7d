// The failure record of a run: the step that failed, what it failed on and
// the words for it. The error numbers themselves are in platform/error_numbers.h.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error_numbers.h"

// The steps of a run whose failure decides its exit status.
enum class Step : std::uint8_t {
  none,
  settings,     // finding and reading the settings file
  setting,      // a setting's value that the run refuses
  upload_file,  // reading a file to upload
  upload_changed,  // an upload file that changed while it was sent
  body_file,    // staging the upload body in the temporary directory
  ca_file,      // reading the certificates named by CAFile
  client_cert,  // loading the client certificate named by ClientCert (and ClientKey)
  resolve,      // looking up the host name
  connect,      // opening the connection
  secure,       // the TLS handshake and the server's certificate
  tunnel,       // asking a proxy to connect to the server (CONNECT)
  send,         // sending the request
  receive,      // reading the answer
  answer,       // the answer ended, or stopped coming, short of its end
  status,       // the answer's status reached FailOn
  redirect,     // a redirect not followed: Follow reached, a loop, a Location refused
  run_time,     // MaxTime ran out
  save,         // writing the save file
  save_header,  // writing the SaveHeader file
  check,        // the settings check found something (its findings are its output)
  body_check,   // an [Expect] or [Reject] entry failed on the answer's body
};

// The first failure of a step: its number, the step, what it failed on (a
// file name, or a host and port) and the system's own words for it. A step
// that reports an outcome is handed one of these and fills it once.
struct Failure {
  ErrorNumber number = 0;
  Step step = Step::none;
  std::string object;
  std::string reason;
  std::int32_t index = 0;  // which upload file, counted from 1, when one failed
  std::uint32_t seconds = 3;  // the wait that ran out, for a time-out
  bool nothing_sent = false;  // the run ended on it before connecting
  std::int32_t status = 0;  // a tunnel refused: the proxy's status; -1 when its answer was unusable
  std::uint64_t at = 0;     // a [Reject] text found: its offset in the body
};

// The system's words for a failure just recorded with number, or empty when
// the program itself, not the system, found it (a time-out, an early end of
// data, a refused name or number).
std::string failure_reason(ErrorNumber number);

// An exit status the program can end with: the error number of the run's
// first failure, or 0.
struct ExitStatus {
  ErrorNumber number;
  const char* meaning;  // a few words, as the failure line gives them
  const char* when;     // when it arises, for --help; empty for the rare ones the manual tells
};

inline constexpr ExitStatus kExitStatuses[] = {
    {kErrNone, "success",
     "the job did what it was asked (an HTTP error answer included, unless FailOn reaches it)"},
    {kErrSettings, "bad settings",
     "a setting's value is not what its key takes, or --check found something"},
    {kErrNoMemory, "no memory", ""},
    {kErrErrorAnswer, "error answer", "the answer's status reached FailOn"},
    {kErrTimedOut, "time-out", "time-out (Timeout without progress, or MaxTime reached)"},
    {kErrTooManyRedirects, "too many redirects", "more redirects than Follow allows, or a loop of them"},
    {kErrRedirectRefused, "redirect refused", "a redirect refused (its Location, or HTTPS down to HTTP)"},
    {kErrBadHandle, "bad file handle", ""},
    {kErrNotOpen, "bad file number", ""},
    {kErrNotFound, "file not found", "the settings file or an upload file does not exist"},
    {kErrWrongKind, "wrong kind of file",
     "CAFile or ClientCert holds no usable certificate, or ClientKeyPassword does not open it"},
    {kErrAlreadyOpen, "file already open", ""},
    {kErrSocket, "network failure", "the connection could not be opened or failed"},
    {kErrDiskFull, "disk full", "disk full"},
    {kErrEndOfFile, "end of data",
     "the server closed early, or an upload file changed while it was sent"},
    {kErrBadName, "bad file name", ""},
    {kErrTooManyFiles, "too many open files", ""},
    {kErrNoDevice, "no device", ""},
    {kErrAccessDenied, "access denied", "access denied"},
    {kErrNotReady, "device not ready", ""},
    {kErrMedia, "media error", ""},
    {kErrOtherDevice, "other device", ""},
    {kErrSystem, "other system error", ""},
    {kErrPathNotFound, "path not found", "path not found"},
    {kErrAnswerCheck, "answer check failed",
     "an [Expect] text is missing from the answer's body, or a [Reject] text is in it"},
    // Windows' own numbers for damaged memory blocks and a bad environment,
    // which no run meets but a system in trouble; its words stay the
    // generic ones.
    {kErrMemoryDamaged, "error", ""},
};

// A few words for an error number ("file not found", "time-out"); "error"
// for a number that is no exit status.
std::string error_meaning(ErrorNumber number);

// Fills record unless it already holds a failure; a number of 0 records
// nothing.
void note_failure(Failure& record, ErrorNumber number, Step step, const std::string& object,
                  const std::string& reason = std::string());
