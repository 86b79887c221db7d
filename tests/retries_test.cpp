// Whole runs against FailOn, the time limits and Retries: the exit status,
// how many requests the server took, what is saved, the failure lines and
// the time taken.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <memory>

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
      {"301 under FailOn", {{"HTTP/1.0 301 Moved\r\nLocation: /x\r\n\r\nmoved"}}, {}, {"FailOn=400"}, 0, 1,
       "moved\r\n", {}, 0, 3},
      {"404 at FailOn: body kept", {{"HTTP/1.1 404 Not Found\r\n\r\nnone"}}, {}, {"FailOn=400"}, 22, 1,
       "none\r\n", {"ravelok: the server answered 404 Not Found (22 error answer)\n"}, 0, 3},
      {"404 without FailOn", {{"HTTP/1.1 404 Not Found\r\n\r\nnone"}}, {}, {}, 0, 1, "none\r\n", {}, 0, 3},
      {"no status line", {{"hello\r\n\r\nbody"}}, {}, {"FailOn=400", "SaveHeader=head.txt"}, 22, 1,
       "body\r\n", {"the server answered without a status line (22 error answer)"}, 0, 3, "hello\r\n"},
      {"503, then 200: retried", {{busy}}, {{{ok}}}, {"FailOn=400", "Retries=2"}, 0, 2, "ok\r\n",
       {"answered 503 Service Unavailable (22 error answer); try 1 of 3, next in 1 s\n"}, 1, 4},
      {"503 to a POST: retried", {{busy}}, {{{ok}}}, {"FailOn=400", "Retries=1", post[0], post[1], post[2]}, 0,
       2, "ok\r\n", {"; try 1 of 2, next in 1 s\n"}, 1, 4},
      {"500 to a GET: retried", {{broken}}, {{{ok}}}, {"FailOn=500", "Retries=1"}, 0, 2, "ok\r\n",
       {"500 Internal Server Error (22 error answer); try 1 of 2"}, 1, 4},
      {"500 to a POST: not retried", {{broken}}, {{{ok}}}, {"FailOn=500", "Retries=1", post[0], post[1], post[2]},
       22, 1, "oops\r\n", {"500 Internal Server Error (22 error answer)\n"}, 0, 3},
      {"reset after a GET: retried", {}, {{{ok}}}, {"Retries=1"}, 0, 2, "ok\r\n", {"; try 1 of 2, next in 1 s\n"},
       1, 4, "", EndAction::reset},
      {"reset after a POST: not retried", {}, {{{ok}}}, {"Retries=1", post[0], post[1], post[2]},
       testing_windows_binary() ? 62 : 57, 1, "\r\n",
       {testing_windows_binary() ? "without answering" : "failed while reading the answer"}, 0, 3, "",
       EndAction::reset},
      {"upload sent again whole", {{busy}}, {{{ok}}}, {"FailOn=400", "Retries=1", upload[0], upload[1], upload[2]},
       0, 2, "ok\r\n", {"try 1 of 2"}, 1, 4},
      {"Retry-After in seconds", {{busy.substr(0, 34) + "Retry-After: 2\r\n" + busy.substr(34)}}, {{{ok}}},
       {"FailOn=400", "Retries=1"}, 0, 2, "ok\r\n", {"next in 2 s\n"}, 2, 5},
      {"Retry-After as a date", {{busy.substr(0, 34) + "Retry-After: DATE\r\n" + busy.substr(34)}},
       {{{ok}}}, {"FailOn=400", "Retries=1"}, 0, 2, "ok\r\n", {"next in "}, 2, 6},
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
      {"Timeout not a number", {{ok}}, {}, {"Timeout=3s"}, 2, 0, "",
       {"bad setting in ", "RAVELOK.INI: [URL] Timeout: not a number from 0 to 86400 (2 bad settings)\n"}, 0, 2},
      {"FailOn no status", {{ok}}, {}, {"FailOn=42"}, 2, 0, "",
       {"[URL] FailOn: not an HTTP status from 100 to 599, nor 0 (2 bad settings)\n"}, 0, 2},
      {"Follow past 50", {{ok}}, {}, {"Follow=51"}, 2, 0, "",
       {"[URL] Follow: not a number from 0 to 50 (2 bad settings)\n"}, 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(work.file("answer.txt").c_str());
    unlink(work.file("head.txt").c_str());
    const bool served = !c.answer.empty() || !c.later.empty();
    std::unique_ptr<ScriptedServer> server;
    // DATE in an answer: an HTTP date three seconds ahead.
    std::vector<ServerChunk> answer = c.answer;
    char date[64];
    const std::time_t soon = std::time(nullptr) + 3;
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&soon));
    for (ServerChunk& chunk : answer) chunk.bytes = replaced(chunk.bytes, "DATE", date);
    if (served) {
      server.reset(new ScriptedServer({.answer = answer, .when = AnswerWhen::after_request, .end = c.end,
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
      if (c.requests == 2 && c.settings.back() == "1=up.bin") {
        // The second request carries the file whole again, under its own
        // boundary, as long as its Content-Length says.
        const std::string second = server->request(1);
        EXPECT_TRUE(http_request_complete(second));
        EXPECT_NE(second.find(read_file(work.file("up.bin"))), std::string::npos);
      }
    }
  }
}
