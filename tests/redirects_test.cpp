// The redirect rule, from an answer to the next request or a stop; and
// whole runs that follow redirects: what each server receives, the exit
// status, the failure line, and what is saved.
#include "job/redirects.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "support/job_fixture.h"
#include "support/scripted_server.h"

class RedirectRun : public WholeRun {};

// Chains of redirects between two scripted servers, A (the Site) and B:
// what each server receives (the request line, credentials, the body), the
// status, the failure line, the saved body and header. {A}, {B} and {D}
// (a port nobody listens on) stand for the ports.
TEST_F(RedirectRun, Chains) {
  const std::string ports[] = {std::to_string(free_loopback_port()), std::to_string(free_loopback_port()),
                               std::to_string(free_loopback_port())};
  auto filled = [&](const std::string& text) {
    return replaced(replaced(replaced(text, "{A}", ports[0]), "{B}", ports[1]), "{D}", ports[2]);
  };
  auto moved = [](int status, const std::string& location, const std::string& body) {
    return "HTTP/1.0 " + std::to_string(status) + " Moved\r\n" +
           (location.empty() ? "" : "Location: " + location + "\r\n") +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nfinal";
  // A line whose value took a variable (PATH: every run has it) is a secret
  // that goes where the credentials go.
  const std::vector<std::string> credentials = {"User=u", "Password=p", "[Headers]", "1=cookie: c=1", "2=X-Keep: k",
                                                "3=X-Path: ${PATH}"};
  // A followed redirect's body is never stored: 40 MiB of it need no TEMP
  // (missing in every row) and little memory.
  const std::string big(40u << 20, 'r');
  temp_value = temp.file("missing");
  write_file(work.file("doc.txt"), "put me");
  struct Row {
    const char* name;
    std::vector<std::string> settings;  // [URL] keys, then sections
    std::vector<std::string> a, b;      // the answers of A's and B's clients in turn
    int status;
    std::string saved;
    std::vector<std::string> a_got, b_got;  // each request: its line, [auth] [cookie] [keep], its body
    std::string words;                      // in the failure line
    std::string header = "";                // SaveHeader's file
    bool bounded = false;                   // run with 32 MiB of data at most
  };
  const std::vector<Row> rows = {
      {"no Follow: a 301 is the answer", {}, {moved(301, "/b", "moved")}, {}, 0, "moved",
       {"GET /a? HTTP/1.0"}, {}, ""},
      {"a relative Location on the Site keeps the credentials", [&] {
         std::vector<std::string> s = {"Follow=1", "Page=/a/b?x"};
         s.insert(s.end(), credentials.begin(), credentials.end());
         return s;
       }(), {moved(302, "../c/./d?x=1#f", "r"), ok}, {}, 0, "final",
       {"GET /a/b?x HTTP/1.0 [auth] [cookie] [keep] [path]", "GET /c/d?x=1 HTTP/1.0 [auth] [cookie] [keep] [path]"},
       {}, ""},
      {"another port gets none, the Site them again", [&] {
         std::vector<std::string> s = {"Follow=2"};
         s.insert(s.end(), credentials.begin(), credentials.end());
         return s;
       }(), {moved(307, "http://127.0.0.1:{B}/b", "r"), ok}, {moved(308, "//127.0.0.1:{A}/c", "r")}, 0, "final",
       {"GET /a? HTTP/1.0 [auth] [cookie] [keep] [path]", "GET /c HTTP/1.0 [auth] [cookie] [keep] [path]"},
       {"GET /b HTTP/1.0 [keep]"}, ""},
      {"a form POST sent again by 307", {"Follow=1", "Method=POST", "[Vars]", "1=v=1"}, {moved(307, "/b", "r"), ok},
       {}, 0, "final", {"POST /a HTTP/1.0 v=1", "POST /b HTTP/1.0 v=1"}, {}, ""},
      {"a loop", {"Follow=5"}, {moved(302, "/b", "one"), moved(302, "/c", "two"), moved(301, "/b", "three")}, {},
       47, "three", {"GET /a? HTTP/1.0", "GET /b HTTP/1.0", "GET /c HTTP/1.0"}, {},
       "redirect from 127.0.0.1 port {A} not followed: a loop: GET http://127.0.0.1:{A}/b was asked for before "
       "(47 too many redirects)"},
      {"Follow reached", {"Follow=1"}, {moved(302, "/b", "one"), moved(302, "/c", "two")}, {}, 47, "two",
       {"GET /a? HTTP/1.0", "GET /b HTTP/1.0"}, {},
       "redirect from 127.0.0.1 port {A} not followed: Follow=1 reached, it leads on to \"/c\" (47 too many redirects)"},
      {"FailOn and SaveHeader on the last answer", {"Follow=1", "FailOn=300", "SaveHeader=h.txt"},
       {moved(302, "http://127.0.0.1:{B}/b", "r")}, {"HTTP/1.0 404 Not Found\r\nContent-Length: 4\r\n\r\ngone"}, 22,
       "gone", {"GET /a? HTTP/1.0"}, {"GET /b HTTP/1.0"}, "the server answered 404 Not Found (22 error answer)",
       "HTTP/1.0 404 Not Found\r\nContent-Length: 4\r\n"},
      {"no Location", {"Follow=1"}, {moved(302, "", "r")}, {}, 48, "r", {"GET /a? HTTP/1.0"}, {},
       "redirect from 127.0.0.1 port {A} refused: the answer has no Location (48 redirect refused)"},
      // A Location refused for any reason (Location.ResolvedOrRefused has
      // them all) ends the run alike; its line never shows a password.
      {"a password in the Location", {"Follow=1"}, {moved(301, "http://user:pw@127.0.0.1:{B}/x", "r")}, {}, 48, "r",
       {"GET /a? HTTP/1.0"}, {},
       "redirect from 127.0.0.1 port {A} refused: Location \"http://...@127.0.0.1:{B}/x\" holds a user name or "
       "password (48 redirect refused)"},
      {"a later request's failure names its host and port", {"Follow=1"}, {moved(302, "http://127.0.0.1:{D}/", "r")},
       {}, 57, "", {"GET /a? HTTP/1.0"}, {}, "cannot connect to 127.0.0.1 port {D}: "},
      {"a large redirect body never reaches the save file", {"Follow=1"}, {moved(301, "/b", big), ok}, {}, 0, "final",
       {"GET /a? HTTP/1.0", "GET /b HTTP/1.0"}, {}, "", "", true},
      {"a retry starts again at the Site", {"Follow=1", "Retries=1", "FailOn=500"},
       {moved(302, "/b", "r"), "HTTP/1.0 503 Busy\r\nContent-Length: 1\r\n\r\nx", moved(302, "/b", "r"), ok}, {},
       0, "final", {"GET /a? HTTP/1.0", "GET /b HTTP/1.0", "GET /a? HTTP/1.0", "GET /b HTTP/1.0"}, {}, ""},
      {"a POST taken by a 303: only the request after it is tried again", {"Follow=2", "Method=POST", "Retries=2",
       "FailOn=400", "[Vars]", "1=v=1"}, {moved(303, "http://127.0.0.1:{B}/b", "r")},
       {"HTTP/1.0 503 Busy\r\nContent-Length: 1\r\n\r\nx", ok}, 0, "final", {"POST /a HTTP/1.0 v=1"},
       {"GET /b HTTP/1.0", "GET /b HTTP/1.0"}, ""},
      {"a PUT sent again by 301, its Body whole", {"Follow=1", "Method=PUT", "Body=doc.txt"},
       {moved(301, "/b", "r"), ok}, {}, 0, "final", {"PUT /a? HTTP/1.0 put me", "PUT /b HTTP/1.0 put me"}, {}, ""},
      {"a PATCH taken by a 303 is never sent again", {"Follow=1", "Method=PATCH", "Body=doc.txt", "Retries=1"},
       {moved(303, "http://127.0.0.1:{D}/", "r")}, {}, 57, "", {"PATCH /a? HTTP/1.0 put me"}, {},
       "; the PATCH was taken by 127.0.0.1 port {A} (303 Moved), not sent again; try 2 of 2\n"},
      {"a POST taken by a 302 is never sent again", {"Follow=1", "Method=POST", "Retries=1", "[Vars]", "1=v=1"},
       {moved(302, "http://127.0.0.1:{D}/", "r")}, {}, 57, "", {"POST /a HTTP/1.0 v=1"}, {},
       "; the POST was taken by 127.0.0.1 port {A} (302 Moved), not sent again; try 2 of 2\n"},
      {"a taken POST's retry through the proxy (B) keeps the proxy's credentials", {"Follow=1", "Method=POST",
       "Retries=1", "FailOn=500", "Proxy=127.0.0.1:{B}", "[Vars]", "1=v=1", "[Headers]", "1=Proxy-Authorization: Basic eA=="},
       {}, {moved(303, "/b", "r"), "HTTP/1.0 503 Busy\r\nContent-Length: 1\r\n\r\nx", ok}, 0, "final", {},
       {"POST http://127.0.0.1:{A}/a HTTP/1.0 [pa] v=1", "GET http://127.0.0.1:{A}/b HTTP/1.0 [pa]",
        "GET http://127.0.0.1:{A}/b HTTP/1.0 [pa]"}, ""},
      {"each request through the proxy (B)", {"Follow=1", "Proxy=127.0.0.1:{B}"}, {},
       {moved(302, "/b", "r"), ok}, 0, "final", {},
       {"GET http://127.0.0.1:{A}/a? HTTP/1.0", "GET http://127.0.0.1:{A}/b HTTP/1.0"}, ""},
  };
  auto summary = [](const std::string& request) {
    std::string line = request.substr(0, request.find("\r\n"));
    if (request.find("\r\nAuthorization: Basic dTpw\r\n") != std::string::npos) line += " [auth]";
    if (request.find("\r\ncookie: c=1\r\n") != std::string::npos) line += " [cookie]";
    if (request.find("\r\nX-Keep: k\r\n") != std::string::npos) line += " [keep]";
    if (request.find("\r\nX-Path: ") != std::string::npos) line += " [path]";
    if (request.find("\r\nProxy-Authorization: Basic eA==\r\n") != std::string::npos) line += " [pa]";
    const std::size_t end = request.find("\r\n\r\n");
    if (end != std::string::npos && end + 4 < request.size()) line += " " + request.substr(end + 4);
    return line;
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // A save file left by an earlier run, longer than any answer here.
    write_file(work.file("answer.txt"), std::string(20000, 'o'));
    unlink(work.file("h.txt").c_str());
    std::vector<std::unique_ptr<ScriptedServer>> servers;
    for (int i = 0; i < 2; ++i) {
      const std::vector<std::string>& answers = i == 0 ? row.a : row.b;
      std::vector<std::vector<ServerChunk>> later;
      for (std::size_t k = 1; k < answers.size(); ++k) later.push_back({{filled(answers[k])}});
      servers.push_back(std::make_unique<ScriptedServer>(ServerScript{
          .answer = {{answers.empty() ? std::string() : filled(answers[0])}}, .when = AnswerWhen::after_request,
          .port = static_cast<std::uint16_t>(std::stoi(ports[i])), .connections = std::max<int>(1, answers.size()),
          .accept_limit_ms = 5000, .later_answers = later}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->failure();
    }
    // A row's Page comes first and wins over the job's.
    std::vector<std::string> settings = with_keys(job(servers[0]->port(), "/a"), row.settings);
    for (std::string& line : settings) line = filled(line);
    RunOptions options;
#ifndef __SANITIZE_ADDRESS__
    // The sanitizers' own memory would not fit.
    if (row.bounded && !testing_windows_binary()) options.wrapper = {"/usr/bin/prlimit", "--data=33554432"};
#endif
    RunResult result = run(settings, options);
    for (auto& server : servers) server->stop();
    EXPECT_EQ(result.status, row.status) << result.output;
    for (int i = 0; i < 2; ++i) {
      const std::vector<std::string>& expected = i == 0 ? row.a_got : row.b_got;
      EXPECT_EQ(servers[i]->accepted(), static_cast<int>(expected.size())) << "ABD"[i];
      for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(summary(servers[i]->request(k)), filled(expected[k])) << "ABD"[i] << k;
      }
    }
    EXPECT_EQ(read_file(work.file("answer.txt")), row.saved + "\r\n");
    if (row.words.empty()) {
      EXPECT_EQ(result.output, "");
    } else {
      EXPECT_NE(result.output.find(filled(row.words)), std::string::npos) << result.output;
    }
    EXPECT_EQ(result.output.find("pw"), std::string::npos);
    if (!row.header.empty()) {
      EXPECT_EQ(read_file(work.file("h.txt")), row.header);
    }
    EXPECT_TRUE(list_directory(temp.path).empty());
  }
  // While the next request waits, the save file still holds what an earlier
  // run left there, not the redirect's body.
  write_file(work.file("answer.txt"), std::string(20000, 'o'));
  ScriptedServer a({.answer = {{filled(moved(301, "http://127.0.0.1:{B}/b", big))}}, .when = AnswerWhen::after_request,
                    .port = static_cast<std::uint16_t>(std::stoi(ports[0]))});
  ScriptedServer b({.answer = {}, .when = AnswerWhen::never, .port = static_cast<std::uint16_t>(std::stoi(ports[1]))});
  ASSERT_TRUE(a.ok() && b.ok());
  RunResult result;
  std::thread runner([&] {
    result = run({"[URL]", "Site=127.0.0.1", "Port=" + ports[0], "Page=/a", "Save=answer.txt", "Follow=1", "Timeout=20"});
  });
  for (int waited = 0; b.accepted() == 0 && waited < 10000; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(b.accepted(), 1);
  EXPECT_TRUE(read_file(work.file("answer.txt")) == std::string(20000, 'o'));
  b.stop();
  runner.join();
  EXPECT_EQ(result.status, 62) << result.output;
  EXPECT_EQ(read_file(work.file("answer.txt")), "\r\n");
}

namespace {

// The next request in one line: method, URL, variables, files, Body and
// header lines; or "last" when the answer ends the chain.
std::string described(const RedirectStep& step) {
  if (!step.follow) return step.stop.number == 0 ? "last" : step.stop.reason;
  const HttpRequest& next = step.next;
  std::string text = next.method + " " + web_address_text(request_address(next));
  for (const std::string& var : next.vars) text += " var:" + var;
  for (const std::string& file : next.files) text += " file:" + file;
  if (!next.options.body.empty()) text += " body:" + next.options.body + " " + next.options.body_type;
  for (const std::string& line : next.options.header_lines) text += " [" + line + "]";
  return text;
}

TEST(RedirectRule, NextRequestOrStop) {
  // The job's request to the Site h, the answer ("" for a try that
  // failed) and what follows it.
  struct Row { const char* name; std::string method, page; StringList vars, files; std::string body, answer, next; };
  const Row rows[] = {
      {"a failed try", "GET", "/a", {}, {}, "", "", "last"},
      {"no redirect", "GET", "/a", {}, {}, "", "HTTP/1.1 300 Choices\r\nLocation: /b", "last"},
      {"303 makes a form POST a GET", "POST", "/a", {"v=1"}, {}, "",
       "HTTP/1.1 303 See Other\r\nLocation: /b", "GET http://h/b [Cookie: c=1] [X-Keep: k]"},
      {"308 sends an upload again", "POST", "/a", {"v=1"}, {"f.bin"}, "",
       "HTTP/1.1 308 Permanent\r\nLocation: /b", "POST http://h/b var:v=1 file:f.bin [Cookie: c=1] [X-Keep: k]"},
      {"307 sends a Body again, its variables were in the URL", "POST", "/a", {"v=1"}, {}, "b.json",
       "HTTP/1.1 307 Temporary\r\nLocation: /b", "POST http://h/b body:b.json text/json [Cookie: c=1] [X-Keep: k]"},
      {"301 keeps a PUT and its Body", "PUT", "/a", {"v=1"}, {}, "b.json",
       "HTTP/1.1 301 Moved\r\nLocation: /b", "PUT http://h/b body:b.json text/json [Cookie: c=1] [X-Keep: k]"},
      {"302 keeps a PATCH", "PATCH", "/a", {}, {}, "b.json", "HTTP/1.1 302 Found\r\nLocation: /b",
       "PATCH http://h/b body:b.json text/json [Cookie: c=1] [X-Keep: k]"},
      {"303 makes a PATCH a GET", "PATCH", "/a", {}, {}, "b.json", "HTTP/1.1 303 See Other\r\nLocation: /b",
       "GET http://h/b [Cookie: c=1] [X-Keep: k]"},
      {"307 keeps a PATCH", "PATCH", "/a", {}, {}, "b.json", "HTTP/1.1 307 Temporary\r\nLocation: /b",
       "PATCH http://h/b body:b.json text/json [Cookie: c=1] [X-Keep: k]"},
      {"308 keeps a PUT", "PUT", "/a", {}, {}, "b.json", "HTTP/1.1 308 Permanent\r\nLocation: /b",
       "PUT http://h/b body:b.json text/json [Cookie: c=1] [X-Keep: k]"},
      {"301 after a PUT without a Body: a GET", "PUT", "/a", {}, {}, "", "HTTP/1.1 301 Moved\r\nLocation: /b",
       "GET http://h/b [Cookie: c=1] [X-Keep: k]"},
      {"a PUT to its own URL is a loop", "PUT", "/a", {}, {}, "b.json", "HTTP/1.1 301 Moved\r\nLocation: /a?",
       "a loop: PUT http://h/a? was asked for before"},
      {"/a? and /a are one request", "GET", "/a", {}, {}, "", "HTTP/1.1 302 Found\r\nLocation: /a",
       "a loop: GET http://h/a was asked for before"},
      {"a GET's variables were in the URL", "GET", "/a", {"v=1"}, {}, "",
       "HTTP/1.1 308 Permanent\r\nLocation: /b", "GET http://h/b [Cookie: c=1] [X-Keep: k]"},
  };
  for (const Row& row : rows) {
    JobSettings job;
    job.method = row.method;
    job.site = "h";
    job.page = row.page;
    job.vars = row.vars;
    job.files = row.files;
    job.options.body = row.body;
    job.options.body_type = "text/json";
    job.options.header_lines = {"Cookie: c=1", "X-Keep: k"};
    job.follow = 1;
    const HttpRequest request = first_request(job);
    ChainSoFar chain{request_address(request), {request_key(request)}, 0};
    TransactionResult answer;
    answer.header = row.answer;
    if (row.answer.empty()) note_failure(answer.failure, kErrSocket, Step::connect, "h port 80");
    EXPECT_EQ(described(redirect_step(job, chain, request, answer)), row.next) << row.name;
  }
}

}  // namespace
