// The proxy: which hosts no_proxy and a WinHTTP bypass list name, which
// entry of a WinHTTP list a scheme takes, what a proxy value gives or why it
// is refused, and whole runs through a scripted proxy.
#include "job/proxy.h"

#include <gtest/gtest.h>

#include "exchange/proxy_route.h"
#include "support/job_fixture.h"
#include "support/scripted_server.h"

class ProxyRun : public WholeRun {};

// The proxy lists and values: a value gives host, port and
// Proxy-Authorization, or the rule it breaks.
TEST(ProxyChoice, ListsAndValues) {
  struct Match { const char* list; const char* host; std::uint16_t port; bool no_proxy; bool bypass; };
  const Match matches[] = {
      {"example.com", "www.EXAMPLE.com", 80, true, false},
      {" .example.com ", "example.com", 80, true, false},
      {"example.com", "badexample.com", 80, false, false},
      {"a.org, example.com:8080", "example.com", 8080, true, false},
      {"example.com:8080", "example.com", 80, false, false},
      {"*", "anything", 1, true, true},
      {"127.0.0.1", "127.0.0.1", 80, true, true},
      {"[::1]:80,x", "0:0::1", 80, true, false},
      {"10.0.0.1", "10.0.0.10", 80, false, false},
      {"*.example.com;<local>", "intranet", 80, false, true},
      {"*.example.com <local>", "www.example.com", 80, false, true},
      {"<local>", "www.example.com", 80, false, false},
      {"*example.com", "badexample.com", 80, false, true},
  };
  for (const Match& m : matches) {
    EXPECT_EQ(no_proxy_matches(m.list, m.host, m.port), m.no_proxy) << m.list << " " << m.host;
    EXPECT_EQ(bypass_matches(m.list, m.host), m.bypass) << m.list << " " << m.host;
  }
  EXPECT_EQ(system_proxy_for("http=a:1;https=b:2", true), "b:2");
  EXPECT_EQ(system_proxy_for("http=a:1 https=b:2", false), "a:1");
  EXPECT_EQ(system_proxy_for("c:3;https=b:2", false), "c:3");
  EXPECT_EQ(system_proxy_for("http=a:1", true), "");

  struct Value { const char* text; const char* host; std::uint16_t port; const char* authorization; const char* rule; };
  const Value values[] = {
      {"proxy.example", "proxy.example", 80, "", ""},
      {"http://p:3128/", "p", 3128, "", ""},
      {"HTTP://[::1]:8080", "::1", 8080, "", ""},
      {"u%3A1:p%40ss@p:1", "", 0, "", "the user name before the host is empty or holds \":\""},
      {"user:p%40ss@p:1", "p", 1, "Basic dXNlcjpwQHNz", ""},
      {"user@p", "p", 80, "Basic dXNlcjo=", ""},
      {"https://p:1", "", 0, "", "a scheme other than http://"},
      {"p:0", "", 0, "", "the proxy's port is not a number from 1 to 65535"},
      {"p:80/x", "", 0, "", "not host:port"},
      {"u:%zz@p", "", 0, "", "a % in the user name or password"},
      {":8080", "", 0, "", "no host name or address before the port"},
  };
  for (const Value& v : values) {
    ProxyRoute route;
    std::string rule;
    EXPECT_EQ(parse_proxy(v.text, false, route, rule), *v.rule == '\0') << v.text;
    EXPECT_EQ(rule.rfind(v.rule, 0), 0u) << v.text << ": " << rule;
    EXPECT_EQ(route.host, v.host) << v.text;
    EXPECT_EQ(route.port, v.port) << v.text;
    EXPECT_EQ(route.authorization, v.authorization) << v.text;
  }
}

// The way to the server: a scripted proxy ([proxy] in a row) sees the whole
// URL of a plain request or the CONNECT of an HTTPS one, with credentials
// for it alone, or nothing when the row goes straight to the server (SP
// its port); refusals end the run without a secret in sight.
TEST_F(ProxyRun, ChosenAndSpokenTo) {
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
  const std::string agent = "User-Agent: Ravelok/2.00 [ca] [DOS]\r\n";
  const std::string head = agent + "Host: 127.0.0.1:SP\r\nAccept: */*\r\n";
  const std::string direct = "GET /p? HTTP/1.0\r\n" + head + "\r\n";
  const std::string proxied = "GET http://127.0.0.1:SP/p? HTTP/1.0\r\n" + head;
  const std::string tunnel = "CONNECT localhost:SP HTTP/1.0\r\nHost: localhost:SP\r\n" + agent;
  const std::string refused = "127.0.0.1:" + std::to_string(free_loopback_port());
  struct Row {
    const char* name;
    std::vector<std::string> environment;
    std::vector<std::string> settings;  // after the job's; Site=... replaces its Site
    std::string proxy_answer;           // what the proxy answers (its status line and header)
    int status;
    std::string proxy_got;  // exactly; empty: the proxy is never reached
    std::string words;      // in the failure line
    int tries = 1;          // connections the proxy takes when it is reached
    int trickle = 1;        // the answer sent this many times, 0.1 s apart
  };
  const Row rows[] = {
      {"http_proxy", {"http_proxy=[proxy]"}, {}, ok, 0, proxied + "\r\n", ""},
      {"Proxy key: %-decoded user, password from the environment",
       {"PW=p@ss:1", "http_proxy=" + refused}, {"Proxy=HTTP://us%65r:${PW}@[proxy]/"}, ok, 0,
       proxied + "Proxy-Authorization: Basic dXNlcjpwQHNzOjE=\r\n\r\n", ""},
      {"[Headers] Proxy-Authorization goes last, to the proxy", {"http_proxy=http://[proxy]"},
       {"[Headers]", "1=Proxy-Authorization: Basic eA==", "2=X-A: b"}, ok, 0,
       proxied + "X-A: b\r\nProxy-Authorization: Basic eA==\r\n\r\n", ""},
      {"HTTP_PROXY ignored", {"HTTP_PROXY=[proxy]"}, {}, ok, 0, "", ""},
      {"Proxy=none beats http_proxy", {"http_proxy=[proxy]"}, {"Proxy=NONE"}, ok, 0, "", ""},
      {"no_proxy address", {"http_proxy=[proxy]", "no_proxy=example.org , 127.0.0.1"}, {}, ok, 0, "", ""},
      {"NO_PROXY *", {"http_proxy=[proxy]", "NO_PROXY=*"}, {}, ok, 0, "", ""},
      {"no_proxy other port", {"http_proxy=[proxy]", "no_proxy=127.0.0.1:1"}, {}, ok, 0, proxied + "\r\n", ""},
      {"CONNECT refused, lower case wins", {"https_proxy=[proxy]", "HTTPS_PROXY=" + refused},
       {"Site=https://localhost", "Retries=1"}, "HTTP/1.0 403 Forbidden\r\n\r\n", 57, tunnel + "\r\n",
       "ravelok: no tunnel through proxy [proxy shown]: it answered 403 Forbidden (57 network failure)\n"},
      {"407 to credentials", {}, {"Site=https://localhost", "Proxy=u:secret@[proxy]"},
       "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", 57,
       tunnel + "Proxy-Authorization: Basic dTpzZWNyZXQ=\r\n\r\n",
       "407 Proxy Authentication Required; it refused the credentials given (57"},
      {"407 without", {"HTTPS_PROXY=[proxy]"}, {"Site=https://localhost"}, "HTTP/1.0 407 Who\r\n\r\n", 57,
       tunnel + "\r\n", "407 Who; it wants credentials (57"},
      {"503 retried", {"https_proxy=[proxy]"}, {"Site=https://localhost", "Retries=1"}, "HTTP/1.0 503 Busy\r\n\r\n", 57,
       tunnel + "\r\n", "; try 2 of 2\n", 2},
      {"proxy trickles its answer", {"https_proxy=[proxy]"}, {"Site=https://localhost", "Timeout=1"}, "x", 24,
       tunnel + "\r\n", "ravelok: no answer to CONNECT from proxy [proxy shown] within 1 s (24 time-out)\n", 1, 40},
      {"proxy closes", {"https_proxy=[proxy]"}, {"Site=https://localhost"}, "", 57, tunnel + "\r\n",
       "it closed without answering (57"},
      {"bytes after the 200", {"https_proxy=[proxy]"}, {"Site=https://localhost"}, "HTTP/1.0 200 OK\r\n\r\nxyz",
       57, tunnel + "\r\n", "it sent bytes after its answer (57"},
      {"Site with a path never reaches the proxy", {"http_proxy=[proxy]"}, {"Site=example.org/upload"}, ok, 57, "",
       "host \"example.org/upload\": not a host name, so not sent to the proxy (57 network failure); Site takes"},
      {"proxy refuses the connection", {"http_proxy=" + refused}, {}, ok, 57, "",
       "ravelok: cannot connect to proxy " + replaced(refused, ":", " port ") + ": "},
      {"Proxy of another scheme", {}, {"Proxy=socks5://u:secret@[proxy]"}, ok, 2, "",
       "[URL] Proxy: a scheme other than http://"},
      {"Proxy credentials beside a Proxy-Authorization line", {},
       {"Proxy=u:secret@[proxy]", "[Headers]", "1=Proxy-Authorization: Basic secret"}, ok, 2, "",
       "[URL] Proxy: credentials beside a Proxy-Authorization line in [Headers] (2 bad settings)\n"},
      {"https_proxy of another scheme", {"https_proxy=https://u:secret@[proxy]"}, {"Site=https://localhost"}, ok,
       2, "", "bad setting in the environment: https_proxy: a scheme other than http://"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedServer server({.answer = {{ok}}, .when = AnswerWhen::after_request, .accept_limit_ms = 4000});
    std::vector<ServerChunk> answer(static_cast<std::size_t>(row.trickle), {row.proxy_answer, row.trickle > 1 ? 100 : 0});
    ScriptedServer proxy({.answer = answer, .when = AnswerWhen::after_request,
                          .connections = row.tries, .accept_limit_ms = 4000});
    ASSERT_TRUE(server.ok() && proxy.ok());
    const std::string sp = std::to_string(server.port());
    const std::string at = "127.0.0.1:" + std::to_string(proxy.port());
    std::vector<std::string> settings = with_keys(job(server.port()), row.settings);
    std::vector<std::string> environment = row.environment;
    for (std::string& line : settings) line = replaced(line, "[proxy]", at);
    for (std::string& entry : environment) entry = replaced(entry, "[proxy]", at);
    RunResult result = run(settings, {.environment = environment, .timeout_ms = 20000});
    EXPECT_EQ(result.status, row.status) << result.output;
    EXPECT_EQ(result.output.find("secret"), std::string::npos) << result.output;
    EXPECT_LT(result.seconds, 3.0 + 1.5 * (row.tries - 1));
    const std::string words = replaced(row.words, "[proxy shown]", "127.0.0.1 port " + std::to_string(proxy.port()));
    if (words.empty()) {
      EXPECT_EQ(result.output, "");
    } else {
      EXPECT_NE(result.output.find(words), std::string::npos) << result.output;
    }
    proxy.stop();
    server.stop();
    EXPECT_EQ(proxy.request(), replaced(row.proxy_got, "SP", sp));
    EXPECT_EQ(proxy.accepted(), row.proxy_got.empty() ? 0 : row.tries);
    const bool straight = row.status == 0 && row.proxy_got.empty();
    EXPECT_EQ(server.request(), straight ? replaced(direct, "SP", sp) : "");
  }
}
