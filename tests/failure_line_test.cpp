// The line a failed run writes on standard error, in whole runs: what
// failed, on what, the system's words and the exit status, one line and
// nothing else; nothing at all after a success.
#include <gtest/gtest.h>

#include "support/job_fixture.h"
#include "support/scripted_server.h"

class FailureLineRun : public WholeRun {};

TEST_F(FailureLineRun, NamesWhatFailed) {
  ScriptedServer cut({.answer = {{"HTTP/1.0 200 OK\r\nContent-Length: 2048\r\n\r\n" +
                                  std::string(1024, 'c')}},
                      .when = AnswerWhen::after_request});
  ScriptedServer silent({.answer = {}, .when = AnswerWhen::never});
  ScriptedServer stalled({.answer = {{"HTTP/1.0 200 OK\r\nContent-Length: 2048\r\n\r\n" +
                                      std::string(1234, 's')}},
                          .when = AnswerWhen::after_request, .end = EndAction::hold_open});
  ScriptedServer fine({.answer = {{"HTTP/1.0 200 OK\r\n\r\nok"}}, .when = AnswerWhen::after_request,
                       .connections = 3});
  // Texts from the network as a terminal must not obey them: a control
  // sequence introducer in a status line, a host of 70,000 bytes.
  ScriptedServer c1({.answer = {{"HTTP/1.0 503 \x9B" "2J\r\n\r\n"}}, .when = AnswerWhen::after_request});
  ScriptedServer far({.answer = {{"HTTP/1.0 302 Found\r\nLocation: http://" + std::string(70000, 'h') + "/x\r\n\r\n"}},
                      .when = AnswerWhen::after_request});
  ASSERT_TRUE(cut.ok() && silent.ok() && stalled.ok() && fine.ok() && c1.ok() && far.ok());
  const std::string refused = std::to_string(free_loopback_port());
  const std::string at = "127.0.0.1 port ";
  struct Case {
    std::vector<std::string> settings;  // after Site, Page and Save
    int status;
    std::vector<std::string> fragments;  // found in this order; the last ends the line
  };
  const std::string port_of_fine = std::to_string(fine.port());
  const Case cases[] = {
      {{"Port=" + port_of_fine, "Method=POST", "[Files]", "1=absent.bin"}, 53,
       {"cannot read upload file 1 \"absent.bin\": ", "(53 file not found); nothing sent"}},
      {{"Port=" + std::to_string(cut.port())}, 62,
       {"answer from " + at + std::to_string(cut.port()) +
            " cut short: 1,024 of 2,048 body bytes before the server closed (62 end of data)"}},
      {{"Port=" + std::to_string(silent.port())}, 24,
       {"no answer from " + at + std::to_string(silent.port()) + " within 3 s (24 time-out)"}},
      {{"Port=" + std::to_string(stalled.port())}, 24,
       {"answer from " + at + std::to_string(stalled.port()) +
        " stopped: 1,234 of 2,048 body bytes, then nothing more within 3 s (24 time-out)"}},
      // The unresolved host: a private resolver setting (below) fails the
      // lookup without asking any other host.
      {{"Site=HTTP://example.org/upload", "Port=" + port_of_fine}, 57,
       {"cannot resolve host \"example.org/upload\": ",
        "(57 network failure); Site takes the host name alone, the path belongs in Page"}},
      {{"Site=localhost:8080"}, 57, {"\"localhost:8080\": ", "alone, the port belongs in Port"}},
      {{"Site=https://localhost:99999/x"}, 57, {"alone, the port belongs in Port and the path in Page"}},
      // The credentials never show; an IPv6 address is no host and port.
      {{"Site=user:secret@localhost"}, 57, {"host \"...@localhost\": ", "password does not belong in it"}},
      {{"Site=fe80::1%nosuch0"}, 57, {"host \"fe80::1%nosuch0\": ", "(57 network failure)"}},
      {{"Site=::1", "Port=" + refused}, 57,
       {"cannot connect to ::1 port " + refused + ": ", "(57 network failure)"}},
      {{"Port=" + std::to_string(c1.port()), "FailOn=400"}, 22,
       {testing_windows_binary() ? "the server answered 503 \x9B" "2J (22 error answer)"
                                 : "the server answered 503 \\x9B2J (22 error answer)"}},
      {{"Site=127.0.0.1", "Port=" + std::to_string(far.port()), "Follow=1"}, 57,
       {"cannot resolve host \"" + std::string(200, 'h') + "...\": ", "(57 network failure)"}},
      {{"Port=" + port_of_fine}, 0, {}},
  };
  write_file(work.file("resolv.conf"), "nameserver 127.0.0.1\noptions attempts:1 timeout:1\n");
  write_file(work.file("hosts"), "127.0.0.1 localhost\n");
  for (const Case& c : cases) {
    // A case's own Site wins over the job's.
    const std::vector<std::string> settings = with_keys({"[URL]", "Site=127.0.0.1", "Page=/p", "Save=answer.txt"},
                                                        c.settings);
    RunOptions options{.timeout_ms = 20000};
    if (c.settings[0].rfind("Site=", 0) == 0) {
      if (testing_windows_binary() || !file_exists("/usr/bin/unshare")) continue;
      options.wrapper = {"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
                         "mount --bind \"$0\" /etc/resolv.conf && mount --bind \"$1\" /etc/hosts && "
                         "shift && exec \"$@\"",
                         work.file("resolv.conf"), work.file("hosts")};
    }
    RunResult result = run(settings, options);
    if (!options.wrapper.empty() && result.output.find("mount") != std::string::npos) continue;
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_EQ(result.output.find("secret"), std::string::npos);
    std::string expected_start = c.fragments.empty() ? "" : "ravelok: ";
    EXPECT_EQ(result.output.substr(0, expected_start.size()), expected_start) << result.output;
    std::size_t from = 0;
    for (const std::string& fragment : c.fragments) {
      std::size_t found = result.output.find(fragment, from);
      EXPECT_NE(found, std::string::npos) << fragment << " in " << result.output;
      from = found == std::string::npos ? from : found + fragment.size();
    }
    // One line and nothing else; nothing at all after a success.
    EXPECT_EQ(result.output.size(), c.fragments.empty() ? 0u : from + 1) << result.output;
  }
  silent.stop();
  stalled.stop();
}
