// The job run: one pass from the command line to the saved answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "services/errors.h"

// What a run did, beside its failure: for its report line, and for the
// lines told only when the run fails in the end.
struct RunRecord {
  std::string method;                    // the last request's
  std::string url;                       // the last request's, without user or password
  int status = -1;                       // the last answer's status (-1: none)
  std::int64_t tries = 0;                // tries made
  std::int64_t redirects = 0;            // redirects followed in the last try
  std::uint64_t sent = 0;                // request bytes sent, all tries
  std::uint64_t received = 0;            // answer body bytes received, all tries
  std::string saved;                     // the save file's name; empty: none
  bool kept = false;                     // the old save file left as it was (Keep, a 304)
  std::vector<std::string> retry_lines;  // a line for each retried try, told if the run fails
  std::string report;                    // the Report file; empty: none
  std::string job;                       // the settings directory, as the report names it
  std::string check;                     // the [Expect] or [Reject] entry that failed ("[Expect] 1")
};

// The whole run; its first failure (the exchange's, else the save's, or why
// the settings file could not be read) goes to failure, the Site setting
// to site, and which try it was to tail ("; try 3 of 3") after retries.
void run_job(Failure& failure, std::string& site, std::string& tail, RunRecord& record);

// The whole run; returns the exit status: 0 when the job did what it was
// asked, else the number of the first failure (53 for a missing settings
// file, the exchange's number, or the save's), after writing one line that
// says why to standard error.
int job_run();
