// The retry rule, row for row against the guide's table; and whole runs
// against FailOn, the time limits and Retries: the exit status, how many
// requests the server took, what is saved, the failure lines and the time
// taken.
#include "job/retry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "services/bytes.h"
#include "support/job_fixture.h"
#include "support/scripted_server.h"

class RetryRun : public WholeRun {};

// The answer's status against FailOn, the header kept, the waits' and the
// run's bounds, and retries.
TEST_F(RetryRun, StatusTimeLimitsAndRetries) {
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
  const std::string busy = "HTTP/1.0 503 Service Unavailable\r\nContent-Length: 4\r\n\r\nbusy";
  const std::string broken = "HTTP/1.0 500 Internal Server Error\r\nContent-Length: 4\r\n\r\noops";
  std::vector<ServerChunk> drip = {{"HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\n"}};
  // Bytes at 0.3 s, 1.3 s, 2.3 s, ...: two of them before a bound of 2 s.
  for (int i = 0; i < 9; ++i) drip.push_back({"d", i == 0 ? 300 : 1000});
  write_file(work.file("up.bin"), std::string("\0\r\n--x", 6) + std::string(3000, 'u'));
  const std::vector<std::string> post = {"Method=POST", "[Vars]", "1=a=b"};
  const std::vector<std::string> upload = {"Method=POST", "[Files]", "1=up.bin"};
  const std::string refused = "Port=" + std::to_string(free_loopback_port());
  struct Case {
    const char* name;
    std::vector<ServerChunk> answer;       // the first client's; none: no server
    std::vector<std::vector<ServerChunk>> later;  // the next clients'
    std::vector<std::string> settings;     // [URL] keys, then any sections
    int status;
    int requests;                          // clients the server took
    std::string saved;
    std::vector<std::string> fragments;    // in this order
    double least, most;                    // seconds
    std::string header = "";               // SaveHeader's bytes, when given
    EndAction end = EndAction::close;
  };
  const Case cases[] = {
      {"200 under FailOn, header kept", {{ok}}, {}, {"FailOn=400", "SaveHeader=head.txt"}, 0, 1, "ok\r\n", {},
       0, 3, "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n"},
      {"404 at FailOn: body kept", {{"HTTP/1.1 404 Not Found\r\n\r\nnone"}}, {}, {"FailOn=400"}, 22, 1,
       "none\r\n", {"ravelok: the server answered 404 Not Found (22 error answer)\n"}, 0, 3},
      {"no status line", {{"hello\r\n\r\nbody"}}, {}, {"FailOn=400", "SaveHeader=head.txt"}, 22, 1,
       "body\r\n", {"the server answered without a status line (22 error answer)"}, 0, 3, "hello\r\n"},
      {"503, then 200: retried", {{busy}}, {{{ok}}}, {"FailOn=400", "Retries=2"}, 0, 2, "ok\r\n", {}, 1, 4},
      {"500 to a POST: not retried", {{broken}}, {{{ok}}}, {"FailOn=500", "Retries=1", post[0], post[1], post[2]},
       22, 1, "oops\r\n", {"500 Internal Server Error (22 error answer)\n"}, 0, 3},
      {"reset after a POST: not retried", {}, {{{ok}}}, {"Retries=1", post[0], post[1], post[2]},
       testing_windows_binary() ? 62 : 57, 1, "\r\n",
       {testing_windows_binary() ? "without answering" : "failed while reading the answer"}, 0, 3, "",
       EndAction::reset},
      {"500 to a PUT: sent again", {{broken}}, {{{ok}}}, {"FailOn=500", "Retries=1", "Method=PUT", "Body=up.bin"},
       0, 2, "ok\r\n", {}, 1, 4},
      {"500 to a PATCH: not retried", {{broken}}, {{{ok}}}, {"FailOn=500", "Retries=1", "Method=PATCH", "Body=up.bin"},
       22, 1, "oops\r\n", {"500 Internal Server Error (22 error answer)\n"}, 0, 3},
      {"upload sent again whole", {{busy}}, {{{ok}}}, {"FailOn=400", "Retries=1", upload[0], upload[1], upload[2]},
       0, 2, "ok\r\n", {}, 1, 4},
      {"Retry-After in seconds", {{busy.substr(0, 34) + "Retry-After: 2\r\n" + busy.substr(34)}}, {{{ok}}},
       {"FailOn=400", "Retries=1"}, 0, 2, "ok\r\n", {}, 2, 5},
      {"Retry-After past an hour: not retried", {{busy.substr(0, 34) + "Retry-After: 99999999999\r\n" + busy.substr(34)}},
       {{{ok}}}, {"FailOn=400", "Retries=1"}, 22, 1, "busy\r\n",
       {"(22 error answer); not retried: the server asked for a pause of 99999999999 s\n"}, 0, 3},
      {"refused, retried, refused", {}, {}, {refused, "Retries=1"}, 57, 0, "\r\n",
       {"; try 1 of 2, next in 1 s\n", "ravelok: cannot connect", "; try 2 of 2\n"}, 1, 4},
      {"no retry past MaxTime", {}, {}, {refused, "Retries=5", "RetryWait=2", "MaxTime=3"}, 57, 0, "\r\n",
       {"try 1 of 6, next in 2 s\n", "; try 2 of 6\n"}, 2, 3},
      {"answer after 2 s within Timeout=8", {{ok, 2000}}, {}, {"Timeout=8"}, 0, 1, "ok\r\n", {}, 2, 4},
      {"no answer within the default 3 s", {{ok, 5000}}, {}, {}, 24, 1, "\r\n",
       {"no answer from 127.0.0.1 port ", " within 3 s (24 time-out)\n"}, 3.1, 4.5},
      {"answer after 2 s past Timeout=1", {{ok, 2000}}, {}, {"Timeout=1"}, 24, 1, "\r\n",
       {"no answer from 127.0.0.1 port ", " within 1 s (24 time-out)\n"}, 1, 2},
      {"a byte a second past MaxTime=2", drip, {}, {"MaxTime=2"}, 24, 1, "dd\r\n",
       {"ravelok: MaxTime of 2 s reached: answer from 127.0.0.1 port ", " stopped (24 time-out)\n"}, 2, 3},
      {"[Expect] found, cut between two writes", {{"HTTP/1.0 200 OK\r\n\r\nRecord sa"}, {"ved.", 300}}, {},
       {"[Expect]", "1=Record", "1=x", "2=Record saved", "3=", "4=absent"}, 0, 1, "Record saved.\r\n", {}, 0.3, 3},
      {"[Expect] missing: not retried", {{ok}}, {{{ok}}}, {"Retries=2", "[Expect]", "1=o", "2=OK", "3=k"}, 80, 1,
       "ok\r\n", {"ravelok: [Expect] 2 \"OK\" not found in the answer (80 answer check failed)\n"}, 0, 3},
      {"[Reject] absent", {{ok}}, {}, {"[Reject]", "1=OK", "2=okay"}, 0, 1, "ok\r\n", {}, 0, 3},
      {"[Reject] found across a cut", {{"HTTP/1.0 200 OK\r\n\r\nabc\x01" "Dup"}, {"Duplicate", 300}}, {},
       {"[Expect]", "1=abc", "[Reject]", "1=zz", "2=DupDup"}, 80, 1, "abc\x01" "DupDuplicate\r\n",
       {"ravelok: [Reject] 2 \"DupDup\" found at byte 4 (80 answer check failed)\n"}, 0.3, 3},
      {"FailOn before the checks", {{"HTTP/1.1 404 Not Found\r\n\r\nnone"}}, {}, {"FailOn=400", "[Expect]", "1=x"},
       22, 1, "none\r\n", {"404 Not Found (22 error answer)\n"}, 0, 3},
      {"a followed redirect's body unchecked", {{"HTTP/1.0 302 Found\r\nLocation: /q\r\n\r\nDuplicate"}}, {{{ok}}},
       {"Follow=1", "[Reject]", "1=Duplicate"}, 0, 2, "ok\r\n", {}, 0, 3},
      {"[Expect] text over 1,024 bytes", {{ok}}, {}, {"[Expect]", "1=ok", "2=" + std::string(1025, 'a')}, 2, 0, "",
       {"RAVELOK.INI: [Expect] 2: a text of 1,025 bytes, longer than the 1,024 looked for (2 bad settings)\n"}, 0, 2},
      {"Timeout not a number", {{ok}}, {}, {"Timeout=3s"}, 2, 0, "",
       {"bad setting in ", "RAVELOK.INI: [URL] Timeout: not a number from 0 to 86400 (2 bad settings)\n"}, 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(work.file("answer.txt").c_str());
    unlink(work.file("head.txt").c_str());
    const bool served = !c.answer.empty() || !c.later.empty();
    std::unique_ptr<ScriptedServer> server;
    if (served) {
      server.reset(new ScriptedServer({.answer = c.answer, .when = AnswerWhen::after_request, .end = c.end,
                                       .connections = 1 + static_cast<int>(c.later.size()),
                                       .accept_limit_ms = 8000, .later_answers = c.later}));
      ASSERT_TRUE(server->ok());
    }
    // A row without a server names the port it runs against.
    RunResult result = run(with_keys(job(served ? server->port() : 0), c.settings));
    EXPECT_EQ(result.status, c.status) << result.output;
    std::size_t from = 0;
    for (const std::string& fragment : c.fragments) {
      const std::size_t found = result.output.find(fragment, from);
      EXPECT_NE(found, std::string::npos) << fragment << " in " << result.output;
      if (found != std::string::npos) from = found + fragment.size();
    }
    if (c.fragments.empty()) {
      EXPECT_EQ(result.output, "");
    }
    EXPECT_EQ(read_file(work.file("answer.txt")), c.saved);
    if (!c.header.empty()) {
      EXPECT_EQ(read_file(work.file("head.txt")), c.header);
    }
    EXPECT_GE(result.seconds, c.least - 0.2);
    EXPECT_LT(result.seconds, c.most + 0.5);
    if (served) {
      server->stop();
      EXPECT_EQ(server->accepted(), c.requests);
      if (c.requests == 2 && (c.settings.back() == "1=up.bin" || c.settings.back() == "Body=up.bin")) {
        // The second request carries the file whole again, under its own
        // boundary, as long as its Content-Length says.
        const std::string second = server->request(1);
        EXPECT_TRUE(http_request_complete(second));
        EXPECT_NE(second.find(read_file(work.file("up.bin"))), std::string::npos);
      }
    }
  }
}

namespace {

// A failed try; status: the proxy's to CONNECT, or the answer's that FailOn
// reached (the rule takes it apart; it is kept in the same field here).
Failure failed(Step step, ErrorNumber number, std::int32_t status = 0, const std::string& reason = "") {
  Failure failure;
  note_failure(failure, number, step, "here", reason);
  failure.status = status;
  return failure;
}

// The guide's retry table row by row: its first cell, then "retried" or
// "not retried" for a GET and a POST, checked on failures of the row's kind.
TEST(RetryRule, MatchesTheGuidesTableRowForRow) {
  const Step status = Step::status, tunnel = Step::tunnel;
  const std::map<std::string, std::vector<Failure>> rows = {
      {"nothing sent: the name not resolved, the connection refused, unreachable or timed out, a TLS "
       "handshake that failed or stalled",
       {failed(Step::resolve, 57), failed(Step::connect, 57), failed(Step::connect, 24),
        failed(Step::secure, 24), failed(Step::secure, 57, 0, "handshake failure: unexpected eof")}},
      {"the request not sent whole (a reset or time-out while sending)",
       {failed(Step::send, 57), failed(Step::send, 24)}},
      {"an answer of 408, 429 or 503 that `FailOn` reaches",
       {failed(status, 22, 408), failed(status, 22, 429), failed(status, 22, 503)}},
      {"an answer of 500, 502 or 504 that `FailOn` reaches",
       {failed(status, 22, 500), failed(status, 22, 502), failed(status, 22, 504)}},
      {"a time-out, reset or close after the request was sent whole, before a complete answer",
       {failed(Step::receive, 24), failed(Step::receive, 57), failed(Step::answer, 62), failed(Step::answer, 24)}},
      {"a proxy's answer to CONNECT of 502, 503 or 504, or none at all (it closed or stayed silent)",
       {failed(tunnel, 57, 502), failed(tunnel, 57, 504), failed(tunnel, 57), failed(tunnel, 24)}},
      {"a proxy's answer to CONNECT of 403, 407 or another refusal",
       {failed(tunnel, 57, 403), failed(tunnel, 57, 407), failed(tunnel, 57, -1)}},
      {"a certificate refused, a setting, an upload file, the CA file, the save, a redirect not followed "
       "(47, 48), `MaxTime` reached, an `[Expect]` or `[Reject]` check (80)",
       {failed(Step::secure, 57, 0, "certificate verify failed"), failed(Step::setting, 2),
        failed(Step::upload_file, 53), failed(Step::ca_file, 54), failed(Step::save, 61),
        failed(Step::redirect, 47), failed(Step::redirect, 48), failed(Step::run_time, 24), failed(status, 22, 404),
        failed(Step::body_check, 80)}},
  };
  std::stringstream guide(read_file(RAVELOK_SOURCE_DIR "/docs/guide.md"));
  std::string line;
  while (std::getline(guide, line) && line != "| the try failed with | GET, PUT | POST, PATCH |") {
  }
  std::getline(guide, line);  // the bar under the header
  std::size_t seen = 0;
  while (std::getline(guide, line) && line.rfind("| ", 0) == 0) {
    const std::size_t get = line.find(" | ", 2), post = line.find(" | ", get + 3);
    const auto row = rows.find(line.substr(2, get - 2));
    ASSERT_NE(row, rows.end()) << "a row without failures here: " << line;
    ++seen;
    for (const Failure& f : row->second) {
      EXPECT_EQ(worth_retrying(f, false, f.status), line.compare(get + 3, 7, "retried") == 0) << line;
      EXPECT_EQ(worth_retrying(f, true, f.status), line.compare(post + 3, 7, "retried") == 0) << line;
    }
  }
  EXPECT_EQ(seen, rows.size());
}

// The pause before another try, or why none is made.
TEST(RetryRule, PausesRetryAfterAndTheDeadline) {
  const Failure refused = failed(Step::connect, kErrSocket);
  const Failure busy_answer = failed(Step::status, kErrErrorAnswer, 503);
  struct Case { RetrySettings settings; std::int64_t attempt; Failure last; std::string header, next; };
  const std::string busy = "HTTP/1.1 503 Busy\r\nRetry-After: ";
  const Case cases[] = {
      {{3, 0, false, 0}, 1, refused, "", "1"},        // RetryWait 0 waits 1 s
      {{3, 0, false, 0}, 2, refused, "", "2"},        // doubled after each try
      {{9, 5, false, 0}, 3, refused, "", "20"},
      {{9, 100, false, 0}, 3, refused, "", "300"},    // at most 300 s
      {{3, 0, false, 0}, 3, refused, "", "none"},     // the last try
      {{3, 0, true, 0}, 1, failed(Step::receive, kErrSocket), "", "none"},  // a POST the server may have taken
      {{3, 2, false, 0}, 1, busy_answer, busy + "7", "7"},                 // Retry-After when longer
      {{3, 9, false, 0}, 1, busy_answer, busy + "7", "9"},
      {{3, 1, false, 0}, 1, busy_answer, busy + "3600", "3600"},
      {{3, 1, false, 0}, 1, busy_answer, busy + "3601", "not retried: the server asked for a pause of 3601 s"},
      {{3, 1, false, 0}, 1, busy_answer, busy + "99999999999",
       "not retried: the server asked for a pause of 99999999999 s"},
      {{3, 2, false, 3001}, 1, refused, "", "2"},     // ends before MaxTime
      {{3, 2, false, 3000}, 1, refused, "", "not retried: a pause of 2 s would end past MaxTime"},
      {{3, 1, false, 9000}, 1, busy_answer, busy + "9", "not retried: a pause of 9 s would end past MaxTime"},
  };
  for (const Case& c : cases) {
    const RetryDecision next = retry_decision(c.settings, c.attempt, c.last, c.header, Moment{1000, 30});
    EXPECT_EQ(next.pause >= 0 ? decimal_text(next.pause) : next.why_not.empty() ? "none" : next.why_not, c.next)
        << c.attempt << " " << c.header;
  }
}

}  // namespace
