// A job as its settings file describes it: found from the command line,
// read once at the start of the run.
#pragma once

#include <cstdint>
#include <string>

#include "exchange/client_cert.h"
#include "exchange/request.h"
#include "job/command_line.h"
#include "job/proxy.h"
#include "services/bytes.h"
#include "services/errors.h"

// Everything a run takes from its command line and settings file.
struct JobSettings {
  std::string settings_file;
  std::string site;                // the host, without its scheme prefix
  bool secure = false;             // Site began with https://
  std::string ca_file;             // CAFile: certificates to trust instead of the system's
  ClientCertificate client;        // ClientCert, ClientKey, ClientKeyPassword
  std::int16_t port = 0;
  std::string page;
  std::string method;
  std::string save;
  std::int16_t show = 0;
  bool default_save_name = false;  // save was generated, not configured
  StringList vars;
  StringList files;
  StringList expect;               // [Expect]: texts the last answer's body must hold
  StringList reject;               // [Reject]: texts it must not hold
  // [URL] keys read as plain numbers (0 when empty: the rule without them).
  std::int64_t fail_on = 0;       // an answer status at or past it fails the run
  std::int64_t timeout = 0;       // seconds of each wait; 0: 3
  std::int64_t max_time = 0;      // seconds of the whole run; 0: no bound
  std::int64_t retries = 0;       // further tries after a failed one
  std::int64_t retry_wait = 0;    // seconds before the first retry; 0: 1
  std::int64_t follow = 0;        // redirects followed; 0: none, a redirect is the answer
  std::string save_header;        // the file that receives the answer's header
  bool keep = false;              // Keep: the saved files replaced only by a run that ends 0
  bool exact = false;             // Exact: the body saved as it arrived, nothing added
  bool if_modified = false;       // IfModified: a GET asks only for an answer newer than the save file
  std::string report;             // Report: the file that gets a line on every run
  bool verbose = false;           // --verbose: the exchange shown on standard error
  std::string refused;            // the first setting whose value is refused, in words
  RequestOptions options;         // header lines, credentials, upload parts, a Body file
  ProxySetting proxy;             // the Proxy key
};

// The settings file named by the first argument's directory, or by the
// current directory without one.
std::string settings_file_of(const CommandLine& arguments);

// Finds the settings file from the arguments (the first one, or the current
// directory) and reads the job from it, drawing the default save name when
// the answer is to be shown and no Save is configured.
JobSettings read_job_settings(const CommandLine& arguments);

// The longest [Expect] or [Reject] text.
inline constexpr std::size_t kLongestCheckText = 1024;

// Why an [Expect] or [Reject] text is refused (too long), or empty.
std::string check_text_problem(const std::string& text);

// Records why the settings file name cannot be read (53 when missing), if
// it cannot.
void check_settings_file(Failure& failure, const std::string& name);
