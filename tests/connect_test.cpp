// Whole runs that connect, or cannot: refused, unresolved and dropped
// connections against their time limits, and every address of a host.
#include <gtest/gtest.h>

#include <iostream>

#include "support/job_fixture.h"
#include "support/scripted_server.h"

class ConnectRun : public WholeRun {};

TEST_F(ConnectRun, CannotBeOpened) {
  struct Case {
    const char* name;
    std::string site;
    std::vector<std::string> limits;  // Timeout and MaxTime lines
    int status;
    int seconds;  // how long connecting takes: 0 at once
  };
  // A name under the reserved .invalid domain never resolves. The resolver
  // is held to one attempt of one second (RES_OPTIONS below), so a slow or
  // unreachable name server cannot stretch the run beyond a few seconds.
  // The .test names and 10.9.0.2 run in a network namespace of their own
  // (the wrapper below), where 10.9.0.2 and fd00:9::2 lie behind an
  // interface that drops every packet: their SYNs vanish, so only the
  // time-out ends the connect, and no other host is ever reached. both.test
  // gives fd00:9::2 first, then 127.0.0.1, where nothing listens; four.test
  // 127.0.0.1 first, then 10.9.0.2 (the resolver's order).
  const Case cases[] = {
      {"refused", "127.0.0.1", {}, 57, 0},
      {"refused on every address of localhost", "localhost", {}, 57, 0},
      {"unresolvable name", "ravelok-test.invalid", {}, 57, 0},
      {"dropped, the default time-out", "10.9.0.2", {}, 24, 3},
      {"dropped, Timeout=1", "10.9.0.2", {"Timeout=1"}, 24, 1},
      {"dropped, Timeout=2", "10.9.0.2", {"Timeout=2"}, 24, 2},
      {"dropped, MaxTime before Timeout", "10.9.0.2", {"Timeout=5", "MaxTime=1"}, 24, 1},
      {"dropped, then refused in half the time", "both.test", {"Timeout=2"}, 57, 1},
      {"refused, then dropped with all the time", "four.test", {"Timeout=2"}, 24, 2},
  };
  const int port = free_loopback_port();
  write_file(work.file("hosts"), "127.0.0.1 localhost\nfd00:9::2 both.test\n127.0.0.1 both.test\n"
                                 "127.0.0.1 four.test\n10.9.0.2 four.test\n");
  for (const Case& c : cases) {
    std::vector<std::string> settings = job(port);
    settings[1] = "Site=" + c.site;
    settings.insert(settings.end(), c.limits.begin(), c.limits.end());
    RunOptions options{.environment = {"RES_OPTIONS=timeout:1 attempts:1"}, .timeout_ms = 20000};
    const bool isolated = c.seconds > 0;
    if (isolated) {
      // Wine's sockets are made by its wineserver, outside the namespace.
      if (testing_windows_binary() || !file_exists("/usr/bin/unshare")) continue;
      options.wrapper = {"/usr/bin/unshare", "--net", "--mount", "/bin/sh", "-c",
                         "PATH=$PATH:/usr/sbin:/sbin; mount --bind \"$0\" /etc/hosts && ip link set lo up && "
                         "ip link add d0 type ifb && ip link set d0 up && ip addr add 10.9.0.1/24 dev d0 && "
                         "ip addr add fd00:9::1/64 dev d0 nodad || { echo no private network; exit 97; }; "
                         "exec \"$@\"",
                         work.file("hosts")};
    }
    RunResult result = run(settings, options);
    if (isolated && (result.status == 97 || result.output.rfind("unshare", 0) == 0)) {
      std::cout << "skipped " << c.name << ": " << result.output;
      continue;
    }
    EXPECT_EQ(result.status, c.status) << c.name << result.output;
    if (c.site.find(".invalid") == std::string::npos) {
      const bool run_limit = !c.limits.empty() && c.limits.back() == "MaxTime=1";
      EXPECT_EQ(result.output, std::string("ravelok: ") + (run_limit ? "MaxTime of 1 s reached: " : "") +
                                   "cannot connect to " + c.site + " port " + std::to_string(port) +
                                   (c.status == 24 ? " within " + std::to_string(c.seconds) + " s (24 time-out)\n"
                                                   : ": Connection refused (57 network failure)\n")) << c.name;
    }
    // Nothing came, and the save still writes what it has.
    EXPECT_EQ(read_file(work.file("answer.txt")), "\r\n") << c.name;
    EXPECT_GE(result.seconds, c.seconds - 0.05) << c.name;
    EXPECT_LT(result.seconds, c.site.find(".invalid") != std::string::npos ? 10.0
                              : c.seconds == 0                            ? kQuick
                                                                          : c.seconds + 0.8) << c.name;
    EXPECT_TRUE(list_directory(temp.path).empty()) << c.name;
  }
}

TEST_F(ConnectRun, EveryAddressOfTheHostIsTried) {
  // A private /etc/hosts (in a mount namespace of the run's own) gives the
  // name two addresses; the server listens on only one of them.
  const std::string unshare = "/usr/bin/unshare";
  if (!file_exists(unshare)) GTEST_SKIP() << "unshare is missing";
  struct Case { std::string hosts; std::string listen; };
  const Case cases[] = {
      {"::1 dualhost\n127.0.0.1 dualhost\n", "127.0.0.1"},
      {"127.0.0.1 dualhost\n::1 dualhost\n", "::1"},
  };
  for (const Case& c : cases) {
    ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nreached"}}, .when = AnswerWhen::after_request,
                           .address = c.listen});
    if (!server.ok()) GTEST_SKIP() << server.failure();
    write_file(work.file("hosts"), c.hosts);
    RunResult result = run({"[URL]", "Site=dualhost", "Port=" + std::to_string(server.port()), "Save=answer.txt"},
                           {.timeout_ms = 20000, .wrapper = {unshare, "--mount", "/bin/sh", "-c",
                            "mount --bind \"$0\" /etc/hosts && exec \"$@\"", work.file("hosts")}});
    if (result.status == 126 || result.output.find("mount") != std::string::npos) {
      GTEST_SKIP() << "no private mount namespace here: " << result.output;
    }
    EXPECT_EQ(result.status, 0) << c.listen << result.output;
    EXPECT_EQ(read_file(work.file("answer.txt")), "reached\r\n") << c.listen;
    ASSERT_TRUE(server.wait_done(5000));
    EXPECT_NE(server.request().find("\r\nHost: dualhost:"), std::string::npos);
  }
}
