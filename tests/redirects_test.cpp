#include "job/redirects.h"

#include <gtest/gtest.h>

namespace {

// The next request in one line: method, URL, variables, files, Body and
// header lines; or the stop's number and words; or "last".
std::string described(const RedirectStep& step) {
  if (step.stop.number != 0) return decimal_text(step.stop.number) + " " + step.stop.reason;
  if (!step.follow) return "last";
  const HttpRequest& next = step.next;
  std::string text = next.method + " " + web_address_text(request_address(next));
  for (const std::string& var : next.vars) text += " var:" + var;
  for (const std::string& file : next.files) text += " file:" + file;
  if (!next.options.body.empty()) text += " body:" + next.options.body + " " + next.options.body_type;
  for (const std::string& line : next.options.header_lines) text += " [" + line + "]";
  return text;
}

TEST(RedirectRule, NextRequestOrStop) {
  struct Row {
    const char* name;
    std::string method, site, page;  // the job's request (Site with its scheme)
    StringList vars, files;
    std::string body;
    std::int64_t follow, followed;
    std::string answer;  // status line and fields, or "" for a try that failed
    std::string next;
  };
  const std::string found = "HTTP/1.1 302 Found\r\nLocation: ";
  const Row rows[] = {
      {"no Follow", "GET", "h", "/a", {}, {}, "", 0, 0, found + "/b", "last"},
      {"a failed try", "GET", "h", "/a", {}, {}, "", 1, 0, "", "last"},
      {"no redirect", "GET", "h", "/a", {}, {}, "", 1, 0, "HTTP/1.1 300 Choices\r\nLocation: /b", "last"},
      {"relative, credentials kept on the Site", "GET", "h", "/a/b?x", {"v=1"}, {}, "", 1, 0,
       found + "../c/./d?x=1#f", "GET http://h/c/d?x=1 [Cookie: c=1] [X-Keep: k]"},
      {"another port: no credentials", "GET", "h", "/a", {}, {}, "", 2, 0,
       "HTTP/1.1 307 Temporary\r\nLocation: http://h:81/b", "GET http://h:81/b [X-Keep: k]"},
      {"303 makes a form POST a GET", "POST", "h", "/a", {"v=1"}, {}, "", 1, 0,
       "HTTP/1.1 303 See Other\r\nLocation: /b", "GET http://h/b [Cookie: c=1] [X-Keep: k]"},
      {"307 sends a form POST again", "POST", "h", "/a", {"v=1"}, {}, "", 1, 0,
       "HTTP/1.1 307 Temporary\r\nLocation: /b", "POST http://h/b var:v=1 [Cookie: c=1] [X-Keep: k]"},
      {"308 sends an upload again", "POST", "h", "/a", {"v=1"}, {"f.bin"}, "", 1, 0,
       "HTTP/1.1 308 Permanent\r\nLocation: /b", "POST http://h/b var:v=1 file:f.bin [Cookie: c=1] [X-Keep: k]"},
      {"307 sends a Body again, its variables were in the URL", "POST", "h", "/a", {"v=1"}, {}, "b.json", 1, 0,
       "HTTP/1.1 307 Temporary\r\nLocation: /b", "POST http://h/b body:b.json text/json [Cookie: c=1] [X-Keep: k]"},
      {"a GET's variables were in the URL", "GET", "h", "/a", {"v=1"}, {}, "", 1, 0,
       "HTTP/1.1 308 Permanent\r\nLocation: /b", "GET http://h/b [Cookie: c=1] [X-Keep: k]"},
      {"Follow reached", "GET", "h", "/a", {}, {}, "", 1, 1, found + "/c",
       "47 Follow=1 reached, it leads on to \"/c\""},
      {"a loop", "GET", "h", "/a", {}, {}, "", 5, 1, found + "/a?",
       "47 a loop: GET http://h/a? was asked for before"},
      {"no Location", "GET", "h", "/a", {}, {}, "", 1, 0, "HTTP/1.1 302 Found",
       "48 the answer has no Location"},
      {"down to plain HTTP", "GET", "https://h", "/a", {}, {}, "", 1, 0, found + "http://h/b",
       "48 Location \"http://h/b\" leads from HTTPS down to plain HTTP"},
      {"a user name in the Location", "GET", "h", "/a", {}, {}, "", 1, 0, found + "http://u:pw@g/b",
       "48 Location \"http://...@g/b\" holds a user name or password"},
  };
  for (const Row& row : rows) {
    JobSettings job;
    job.method = row.method;
    job.secure = row.site.rfind("https://", 0) == 0;
    job.site = job.secure ? row.site.substr(8) : row.site;
    job.page = row.page;
    job.vars = row.vars;
    job.files = row.files;
    job.options.body = row.body;
    job.options.body_type = "text/json";
    job.options.header_lines = {"Cookie: c=1", "X-Keep: k"};
    job.follow = row.follow;
    const HttpRequest request = first_request(job);
    ChainSoFar chain{request_address(request), {request_key(request)}, row.followed};
    TransactionResult answer;
    answer.header = row.answer;
    if (row.answer.empty()) note_failure(answer.failure, kErrSocket, Step::connect, "h port 80");
    EXPECT_EQ(described(redirect_step(job, chain, request, answer)), row.next) << row.name;
  }
}

}  // namespace
