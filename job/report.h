// The report: one line of JSON that a run appends to the Report file, what
// ever its outcome, so that a scheduler's jobs leave a record of every run.
#pragma once

#include <cstdint>
#include <string>

#include "job/job_run.h"
#include "job/redirects.h"

// What a report line tells beside the run's record.
struct ReportFacts {
  std::int64_t start = 0;  // the run's start, in seconds since 1970-01-01 00:00 UTC
  int exit = 0;            // the exit status
  std::string error;       // the failure line as written, without its line break; empty: none
  std::uint64_t ms = 0;    // the whole run, in milliseconds
};

// text as a JSON string, in quotes: '"' and '\' escaped, control bytes as
// \n, \r, \t or \u00XX, valid UTF-8 as it stands, and every byte that is
// not part of valid UTF-8 as \u00XX.
std::string json_string(const std::string& text);

// The line, ending in a line break: time, job, method, url, status, exit,
// error, tries, redirects, sent, received, ms, saved, kept, in this order.
// An empty text and a status of -1 are null; the url never carries a user
// name or password.
std::string report_line(const RunRecord& record, const ReportFacts& facts);

// Takes the request's method and URL into record (the job's own request,
// before any try).
void record_request(RunRecord& record, const HttpRequest& request);

// Takes what a try's chain did into record: the last request's method and
// URL, the redirects it followed, and the bytes it sent and received.
void record_chain(RunRecord& record, const ChainResult& chain);

// Appends line to the Report file with one write; when that fails, one
// line on standard error says why, and nothing else changes.
void append_report(const std::string& file, const std::string& line);
