// What a job adds to its request (header lines, credentials, upload parts,
// a Body file), in whole runs: the exact request, or a refusal before
// anything is connected.
#include <gtest/gtest.h>

#include "support/job_fixture.h"
#include "support/scripted_server.h"

class RequestOptionsRun : public WholeRun {};

// Header lines, credentials, upload parts and a Body file: the exact
// request, or a refusal before anything is connected whose line names the
// entry and never a value.
TEST_F(RequestOptionsRun, HeadersCredentialsPartsAndBody) {
  write_file(work.file("doc.json"), "{\"a\": [1, 2]}\n");
  write_file(work.file("up.bin"), "x,y\n");
  const std::vector<std::string> secrets = {"KEY=k3y-value", "PW=pa$$word", "BROKEN=a\nb"};
  // The server listens on a port above 32767, which reads as a negative
  // 16-bit value: the run still connects, and the Host line names it.
  int port = 0;
  for (int i = 0; i < 50 && port <= 32767; ++i) port = free_loopback_port();
  ASSERT_GT(port, 32767);
  struct Case {
    const char* name;
    std::vector<std::string> settings;  // [URL] keys, then sections
    int status;
    std::string head;  // the request after its line, up to Host (PORT for the port), and after
    std::string fragment;  // in the failure line, or in the request's body
  };
  const std::string host = "Host: 127.0.0.1:PORT\r\n";
  const std::string agent = "User-Agent: Ravelok/2.00 [ca] [DOS]\r\n";
  const Case cases[] = {
      {"none: the variables in the query", {"[Vars]", "1=q=a b", "2=flag", "3=c=x&y"}, 0,
       "GET /p?q=a+b&flag&c=x%26y HTTP/1.0\r\n" + agent + host + "Accept: */*\r\n\r\n", ""},
      {"a header from the environment", {"[Headers]", "1=X-Api-Key:  ${KEY} "}, 0,
       "GET /p? HTTP/1.0\r\n" + agent + host + "Accept: */*\r\nX-Api-Key: k3y-value\r\n\r\n", ""},
      {"User-Agent and Accept replaced, $ kept",
       {"[Headers]", "1=accept: application/json", "2=User-Agent: job/1", "3=X-Cost: $5 ${ ${1X} $"}, 0,
       "GET /p? HTTP/1.0\r\n" + host + "accept: application/json\r\nUser-Agent: job/1\r\nX-Cost: $5 ${ ${1X} $\r\n\r\n",
       ""},
      {"Basic credentials", {"User=ana", "Password=${PW}"}, 0,
       "GET /p? HTTP/1.0\r\n" + agent + host + "Accept: */*\r\nAuthorization: Basic YW5hOnBhJCR3b3Jk\r\n\r\n", ""},
      {"a JSON Body", {"Method=POST", "Body=doc.json", "Type=application/json", "[Vars]", "1=v=1 2"}, 0,
       "POST /p?v=1+2 HTTP/1.0\r\n" + agent + host +
           "Accept: */*\r\nContent-Type: application/json\r\nContent-Length: 14\r\n\r\n{\"a\": [1, 2]}\n",
       ""},
      {"a PUT of a Body: no Content-Type without Type", {"Method=put", "Body=doc.json", "[Vars]", "1=v=1 2"}, 0,
       "PUT /p?v=1+2 HTTP/1.0\r\n" + agent + host + "Accept: */*\r\nContent-Length: 14\r\n\r\n{\"a\": [1, 2]}\n", ""},
      {"a PATCH of a Body with its Type", {"Method=PATCH", "Body=doc.json", "Type=application/merge-patch+json"}, 0,
       "PATCH /p? HTTP/1.0\r\n" + agent + host +
           "Accept: */*\r\nContent-Type: application/merge-patch+json\r\nContent-Length: 14\r\n\r\n{\"a\": [1, 2]}\n",
       ""},
      {"a PUT without a Body is a GET", {"Method=PUT", "Type=text/plain", "[Headers]", "1=Content-Type: text/x"}, 0,
       "GET /p? HTTP/1.0\r\n" + agent + host + "Accept: */*\r\nContent-Type: text/x\r\n\r\n", ""},
      {"upload part keys", {"Method=POST", "[Files]", "1=up.bin", "1.Field=document", "1.Name=re\"port.csv", "1.Type=text/csv"},
       0, "", "name=\"document\"; filename=\"re%22port.csv\"\r\nContent-Type: text/csv\r\n\r\nx,y\n\r\n"},
      {"Host given", {"[Headers]", "1=Host: elsewhere"}, 2, "", "[Headers] 1: Host is the program's own (2 bad settings)"},
      {"Content-Type of a POST", {"Method=POST", "[Headers]", "1=X-A: b", "2=content-type: text/plain"}, 2, "",
       "[Headers] 2: content-type is the program's own"},
      {"no token", {"[Headers]", "1=Bad Name: x"}, 2, "", "[Headers] 1: not a header line"},
      {"a framing header", {"Method=POST", "[Headers]", "1=Transfer-Encoding: chunked"}, 2, "",
       "[Headers] 1: Transfer-Encoding is the program's own"},
      {"Expect", {"[Headers]", "1=X-A: b", "2=expect: 100-continue"}, 2, "", "[Headers] 2: expect is the program's own"},
      {"a control byte", {"[Headers]", "1=X-A: a\x1b[2Jb"}, 2, "", "[Headers] 1: the value holds a control byte"},
      {"two Proxy-Authorization lines", {"[Headers]", "1=Proxy-Authorization: Basic ${KEY}",
       "2=proxy-authorization: Basic ${KEY}2"}, 2, "", "[Headers] 2: a second Proxy-Authorization line"},
      {"Proxy-Authorization without a proxy: not sent", {"[Headers]", "1=Proxy-Authorization: Basic ${KEY}"}, 0,
       "GET /p? HTTP/1.0\r\n" + agent + host + "Accept: */*\r\n\r\n", ""},
      {"a variable not set", {"[Headers]", "1=X-Token: ${NOT_SET_HERE}"}, 2, "",
       "[Headers] 1: the environment variable NOT_SET_HERE is not set"},
      {"a variable with a line break", {"[Headers]", "1=X-Token: ${BROKEN}"}, 2, "",
       "[Headers] 1: the value holds a line break or a NUL byte"},
      {"Authorization twice", {"User=ana", "Password=${PW}", "[Headers]", "1=Authorization: Bearer ${KEY}"}, 2, "",
       "[Headers] 1: Authorization is made from User and Password"},
      {"Body and Files", {"Method=POST", "Body=doc.json", "[Files]", "1=up.bin"}, 2, "",
       "[URL] Body: Body and [Files] together"},
      {"Body missing", {"Method=POST", "Body=absent.json"}, 53, "", "cannot read Body file \"absent.json\": "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"}},
                           .when = AnswerWhen::after_request, .port = static_cast<std::uint16_t>(port)});
    ASSERT_TRUE(server.ok());
    std::vector<std::string> settings = job(server.port());
    settings.insert(settings.end(), c.settings.begin(), c.settings.end());
    RunResult result = run(settings, {.environment = secrets, .timeout_ms = 20000});
    server.stop();
    EXPECT_EQ(result.status, c.status) << result.output;
    for (const char* secret : {"k3y", "pa$$", "YW5h"}) EXPECT_EQ(result.output.find(secret), std::string::npos);
    std::string request = server.request();
    const std::size_t port_at = request.find(":" + std::to_string(server.port()) + "\r\n");
    if (port_at != std::string::npos) request.replace(port_at + 1, std::to_string(server.port()).size(), "PORT");
    if (c.status == 0) {
      EXPECT_EQ(result.output, "");
      EXPECT_TRUE(http_request_complete(request));
      EXPECT_TRUE(c.head.empty() || request == c.head) << request;
      EXPECT_NE(request.find(c.fragment), std::string::npos) << request;
    } else {
      EXPECT_NE(result.output.find(c.fragment), std::string::npos) << result.output;
      EXPECT_EQ(request, "");
      // A refused setting connects nothing at all.
      if (c.status == 2) {
        EXPECT_EQ(server.accepted(), 0);
      }
    }
  }
}
