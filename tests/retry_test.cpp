#include "job/retry.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <vector>

#include "support/fixtures.h"

namespace {

Failure failed(Step step, ErrorNumber number, const std::string& reason = "", std::int32_t status = 0) {
  Failure failure;
  note_failure(failure, number, step, "here", reason);
  failure.status = status;
  return failure;
}

// A try that failed, with the answer's status (-1 without one).
struct Try {
  Failure failure;
  int status = -1;
};

Try answered(int status) { return {failed(Step::status, kErrErrorAnswer), status}; }

// The guide's retry table, row by row: each row's first cell, and tries
// that failed as it says.
const std::map<std::string, std::vector<Try>>& guide_rows() {
  static const std::map<std::string, std::vector<Try>> rows = {
      {"nothing sent: the name not resolved, the connection refused, unreachable or timed out, a TLS "
       "handshake that failed or stalled",
       {{failed(Step::resolve, kErrSocket)}, {failed(Step::connect, kErrSocket)},
        {failed(Step::connect, kErrTimedOut)}, {failed(Step::secure, kErrTimedOut)},
        {failed(Step::secure, kErrSocket, "handshake failure: unexpected eof")}}},
      {"the request not sent whole (a reset or time-out while sending)",
       {{failed(Step::send, kErrSocket)}, {failed(Step::send, kErrTimedOut)}}},
      {"an answer of 408, 429 or 503 that `FailOn` reaches", {answered(408), answered(429), answered(503)}},
      {"an answer of 500, 502 or 504 that `FailOn` reaches", {answered(500), answered(502), answered(504)}},
      {"a time-out, reset or close after the request was sent whole, before a complete answer",
       {{failed(Step::receive, kErrTimedOut)}, {failed(Step::receive, kErrSocket)},
        {failed(Step::answer, kErrEndOfFile)}, {failed(Step::answer, kErrTimedOut)}}},
      {"a proxy's answer to CONNECT of 502, 503 or 504, or none at all (it closed or stayed silent)",
       {{failed(Step::tunnel, kErrSocket, "", 502)}, {failed(Step::tunnel, kErrSocket, "", 504)},
        {failed(Step::tunnel, kErrSocket)}, {failed(Step::tunnel, kErrTimedOut)}}},
      {"a proxy's answer to CONNECT of 403, 407 or another refusal",
       {{failed(Step::tunnel, kErrSocket, "", 403)}, {failed(Step::tunnel, kErrSocket, "", 407)},
        {failed(Step::tunnel, kErrSocket, "", -1)}}},
      {"a certificate refused, a setting, an upload file, the CA file, the save, a redirect not followed "
       "(47, 48), `MaxTime` reached",
       {{failed(Step::secure, kErrSocket, "certificate verify failed")}, {failed(Step::setting, kErrSettings)},
        {failed(Step::upload_file, kErrNotFound)}, {failed(Step::ca_file, kErrWrongKind)},
        {failed(Step::save, kErrDiskFull)}, {failed(Step::redirect, kErrTooManyRedirects)},
        {failed(Step::redirect, kErrRedirectRefused)}, {failed(Step::run_time, kErrTimedOut)},
        answered(404)}},
  };
  return rows;
}

// The table's cells between its bars, trimmed.
std::vector<std::string> cells(const std::string& line) {
  std::vector<std::string> found;
  std::stringstream row(line.substr(1));
  for (std::string cell; std::getline(row, cell, '|');) found.push_back(cell.substr(1, cell.size() - 2));
  return found;
}

TEST(RetryRule, MatchesTheGuidesTableRowForRow) {
  std::stringstream guide(read_file(RAVELOK_SOURCE_DIR "/docs/guide.md"));
  std::string line;
  while (std::getline(guide, line) && line != "| the try failed with | GET | POST |") {
  }
  std::getline(guide, line);  // the bar under the header
  std::size_t rows = 0;
  while (std::getline(guide, line) && line.rfind("| ", 0) == 0) {
    const std::vector<std::string> row = cells(line);
    ASSERT_EQ(row.size(), 3u) << line;
    const auto tries = guide_rows().find(row[0]);
    ASSERT_NE(tries, guide_rows().end()) << "a row without failures here: " << row[0];
    ++rows;
    for (const Try& t : tries->second) {
      EXPECT_EQ(worth_retrying(t.failure, false, t.status), row[1].rfind("retried", 0) == 0) << row[0];
      EXPECT_EQ(worth_retrying(t.failure, true, t.status), row[2].rfind("retried", 0) == 0) << row[0];
    }
  }
  EXPECT_EQ(rows, guide_rows().size());
}

TEST(RetryRule, PausesRetryAfterAndTheDeadline) {
  const Failure refused = failed(Step::connect, kErrSocket);
  struct Case {
    RetrySettings settings;
    std::int64_t attempt;
    Try last;
    std::string header;
    std::int64_t pause;
  };
  const std::string busy = "HTTP/1.1 503 Busy\r\nRetry-After: ";
  const Case cases[] = {
      {{3, 0, false, 0}, 1, {refused}, "", 1},        // RetryWait 0 waits 1 s
      {{3, 0, false, 0}, 2, {refused}, "", 2},        // doubled after each try
      {{9, 5, false, 0}, 3, {refused}, "", 20},
      {{9, 100, false, 0}, 3, {refused}, "", 300},    // at most 300 s
      {{3, 0, false, 0}, 3, {refused}, "", -1},       // the last try
      {{3, 0, true, 0}, 1, {failed(Step::receive, kErrSocket)}, "", -1},  // a POST the server may have taken
      {{3, 2, false, 0}, 1, answered(503), busy + "7", 7},               // Retry-After when longer
      {{3, 9, false, 0}, 1, answered(503), busy + "7", 9},
      {{3, 1, false, 0}, 1, answered(503), busy + "Thu, 01 Jan 1970 00:01:00 GMT", 30},
      {{3, 1, false, 0}, 1, answered(503), busy + "3600", 3600},
      {{3, 1, false, 0}, 1, answered(503), busy + "3601", -1},           // more than an hour: no retry
      {{3, 2, false, 3001}, 1, {refused}, "", 2},                        // ends before MaxTime
      {{3, 2, false, 3000}, 1, {refused}, "", -1},                       // would end at MaxTime
  };
  for (const Case& c : cases) {
    const Moment now{1000, 30};
    EXPECT_EQ(retry_pause(c.settings, c.attempt, c.last.failure, c.header, now), c.pause)
        << c.attempt << " " << c.header;
  }
}

}  // namespace
