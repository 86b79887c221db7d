// The job run's settings and names, runs of the binary that find (or miss)
// the settings file from the command line, and what a run ended by a signal
// leaves.
#include "job/job_settings.h"
#include "job/report.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <cstdio>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "platform/environment.h"
#include "services/random.h"
#include "services/dates.h"
#include "services/version.h"
#include "support/job_fixture.h"
#include "support/scripted_server.h"

namespace {

CommandLine arguments_of(std::vector<std::string> words) {
  CommandLine line;
  line.arguments = std::move(words);
  line.count = static_cast<std::int16_t>(line.arguments.size());
  return line;
}

class JobSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    random_reset();
    setenv("TEMP", "/var/tmp/jobs", 1);
    environment_snapshot();
  }
  void TearDown() override {
    unsetenv("TEMP");
    environment_snapshot();
  }
  TempDir dir;
};

TEST_F(JobSettingsTest, SettingsFileNameFromTheFirstArgument) {
  struct Case { std::string argument; std::string expected; };
  const Case cases[] = {
      {dir.path, dir.path + "/RAVELOK.INI"},
      {dir.path + "/", dir.path + "/RAVELOK.INI"},
      {"", "RAVELOK.INI"},
      {"D:", "D:/RAVELOK.INI"},           // ':' is an ordinary byte here
      {"a\\", "a\\/RAVELOK.INI"},         // and so is '\'
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_job_settings(arguments_of({c.argument, "ignored"})).settings_file, c.expected)
        << c.argument;
  }
}

TEST_F(JobSettingsTest, NoArgumentReadsTheCurrentDirectory) {
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  std::string name = read_job_settings(arguments_of({})).settings_file;
  ASSERT_EQ(chdir("/"), 0);
  EXPECT_EQ(read_job_settings(arguments_of({})).settings_file, "/RAVELOK.INI");
  ASSERT_EQ(chdir(saved), 0);
  char real[4096];
  ASSERT_NE(realpath(dir.path.c_str(), real), nullptr);
  EXPECT_EQ(name, std::string(real) + "/RAVELOK.INI");
}

TEST_F(JobSettingsTest, SettingsFileNameMatchesWithoutCase) {
  write_file(dir.file("ravelok.ini"), ini({"[URL]", "Site=lower"}));
  write_file(dir.file("Ravelok.INI"), ini({"[URL]", "Site=mixed"}));
  JobSettings job = read_job_settings(arguments_of({dir.path}));
  EXPECT_EQ(job.settings_file, dir.file("Ravelok.INI"));  // first in byte order
  EXPECT_EQ(job.site, "mixed");
  write_file(dir.file("RAVELOK.INI"), ini({"[URL]", "Site=exact"}));
  EXPECT_EQ(read_job_settings(arguments_of({dir.path})).site, "exact");
}

TEST_F(JobSettingsTest, ReadsAndConvertsTheValues) {
  write_file(dir.file("RAVELOK.INI"),
             ini({"[URL]", "Site=www.example.test", "Port= 8080", "Page=/a b?x=1", "Method=Post",
                  "Save=out.htm", "Show=-1", "[Vars]", "1=a=1", "2=\"b=2  \"", "4=d=4", "[Files]",
                  "1=one.bin"}));
  JobSettings job = read_job_settings(arguments_of({dir.path}));
  EXPECT_EQ(job.site, "www.example.test");
  EXPECT_EQ(job.port, 8080);
  EXPECT_EQ(job.page, "/a b?x=1");
  EXPECT_EQ(job.method, "POST");
  EXPECT_EQ(job.save, "out.htm");
  EXPECT_EQ(job.show, -1);
  EXPECT_FALSE(job.default_save_name);
  EXPECT_EQ(job.vars, (StringList{"a=1", "b=2  "}));
  EXPECT_EQ(job.files, (StringList{"one.bin"}));
}

TEST_F(JobSettingsTest, SchemePrefixChoosesTls) {
  struct Case { std::string site; std::string host; bool secure; };
  const Case cases[] = {
      {"https://www.example.test", "www.example.test", true},
      {"HtTpS://::1", "::1", true},
      {"http://10.0.0.1", "10.0.0.1", false},
      {"HTTP://h", "h", false},
      {"ftp://x", "ftp://x", false},
      {"https:/x", "https:/x", false},
      {"www.example.test/https://", "www.example.test/https://", false},
  };
  for (const Case& c : cases) {
    write_file(dir.file("RAVELOK.INI"), ini({"[URL]", "Site=" + c.site, "CAFile=ca.pem"}));
    JobSettings job = read_job_settings(arguments_of({dir.path}));
    EXPECT_EQ(job.site, c.host) << c.site;
    EXPECT_EQ(job.secure, c.secure) << c.site;
    EXPECT_EQ(job.ca_file, "ca.pem") << c.site;
  }
}

TEST_F(JobSettingsTest, DefaultSaveName) {
  struct Case { std::string temp; std::string show; std::string save; std::string expected; };
  const Case cases[] = {
      {"/var/tmp/jobs", "1", "", "/var/tmp/jobs/96862006.HTM"},
      {"/var/tmp/jobs/", "1", "", "/var/tmp/jobs//96862006.HTM"},  // the name keeps both
      {"/var/tmp/jobs", "0", "", ""},                               // dropped answer
      {"/var/tmp/jobs", "1", "mine.txt", "mine.txt"},
      {"/var/tmp/jobs", "65536", "", ""},                           // 16 bits: 0
      {"/var/tmp/jobs", "0.6", "", "/var/tmp/jobs/96862006.HTM"},
  };
  for (const Case& c : cases) {
    setenv("TEMP", c.temp.c_str(), 1);
    environment_snapshot();
    random_reset();
    write_file(dir.file("RAVELOK.INI"),
               ini({"[URL]", "Site=x", "Show=" + c.show, "Save=" + c.save}));
    JobSettings job = read_job_settings(arguments_of({dir.path}));
    EXPECT_EQ(job.save, c.expected) << c.temp << " " << c.show << " " << c.save;
    EXPECT_EQ(job.default_save_name, c.save.empty() && !c.expected.empty());
  }
}

TEST_F(JobSettingsTest, DefaultSaveNameWithoutTempUsesTheSystemDirectory) {
  unsetenv("TEMP");
  setenv("TMPDIR", "/scratch", 1);
  environment_snapshot();
  write_file(dir.file("RAVELOK.INI"), ini({"[URL]", "Show=1"}));
  EXPECT_EQ(read_job_settings(arguments_of({dir.path})).save, "/scratch/96862006.HTM");
  unsetenv("TMPDIR");
  environment_snapshot();
  random_reset();
  EXPECT_EQ(read_job_settings(arguments_of({dir.path})).save, "/tmp/96862006.HTM");
}

TEST_F(JobSettingsTest, MissingFileReadsAsEmpty) {
  JobSettings job = read_job_settings(arguments_of({dir.file("nowhere")}));
  EXPECT_EQ(job.site, "");
  EXPECT_EQ(job.port, 0);
  EXPECT_EQ(job.show, 0);
  EXPECT_TRUE(job.vars.empty());
  EXPECT_TRUE(job.files.empty());
}

// The one line a run without a settings file writes.
bool is_missing_settings_line(const std::string& output) {
  const std::string start = "ravelok: no settings file ";
  const std::string end = "(53 file not found)\n";
  return output.rfind(start, 0) == 0 && output.size() > start.size() + end.size() &&
         output.compare(output.size() - end.size(), end.size(), end) == 0 &&
         output.find('\n') == output.size() - 1;
}

// The report line: the fields in order, null for what a run did not reach,
// no user or password in the URL, and JSON for any byte of a text.
TEST(ReportLine, FieldsInOrderAndEveryByteEscaped) {
  RunRecord record;
  record.method = "POST", record.url = "http://u:pw@127.0.0.1:81/a?b=1", record.status = 200, record.tries = 2;
  record.redirects = 1, record.sent = 345, record.received = 12, record.saved = "out.txt", record.kept = true;
  record.job = "/srv/job", record.check = "[Reject] 2";
  EXPECT_EQ(report_line(record, {1796943848, 0, "", 15}),
            "{\"time\":\"2026-12-10T23:04:08Z\",\"job\":\"/srv/job\",\"method\":\"POST\",\"url\":\"http://127.0.0.1:81/a?b=1\","
            "\"status\":200,\"exit\":0,\"error\":null,\"tries\":2,\"redirects\":1,\"sent\":345,\"received\":12,"
            "\"ms\":15,\"saved\":\"out.txt\",\"kept\":true,\"check\":\"[Reject] 2\"}\n");
  EXPECT_EQ(report_line(RunRecord(), {0, 53, "ravelok: no settings file x (53 file not found)", 0}),
            "{\"time\":\"1970-01-01T00:00:00Z\",\"job\":\"\",\"method\":null,\"url\":null,\"status\":null,\"exit\":53,"
            "\"error\":\"ravelok: no settings file x (53 file not found)\",\"tries\":0,\"redirects\":0,\"sent\":0,"
            "\"received\":0,\"ms\":0,\"saved\":null,\"kept\":false,\"check\":null}\n");
  const std::pair<std::string, std::string> texts[] = {
      {"a\"b\\c/", "\"a\\\"b\\\\c/\""},
      {std::string("\0\x01\n\r\t\x1f\x7f", 7), "\"\\u0000\\u0001\\n\\r\\t\\u001f\x7f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"\xff\xc3(\xed\xa0\x80\xc0\xaf\xf4\x90\x80\x80\xe2\x82",
       "\"\\u00ff\\u00c3(\\u00ed\\u00a0\\u0080\\u00c0\\u00af\\u00f4\\u0090\\u0080\\u0080\\u00e2\\u0082\""},
  };
  for (const auto& [text, json] : texts) EXPECT_EQ(json_string(text), json);
  const std::pair<std::int64_t, std::string> times[] = {
      {951825600, "2000-02-29T12:00:00Z"}, {-1, "1969-12-31T23:59:59Z"}, {4107542400, "2100-03-01T00:00:00Z"}, {253402300800, "9999-12-31T23:59:59Z"}};
  for (const auto& [seconds, text] : times) EXPECT_EQ(rfc3339_text(seconds), text);
}

class JobRunProcess : public WholeRun {};

// An empty Site: nothing sent, saved or shown, and nothing said.
TEST_F(JobRunProcess, EmptySiteOrLongSettingsFileName) {
  RunResult result = run({"[URL]", "Site=", "Port=80", "Save=" + (work.file("out.htm")), "Show=1"},
                         {.directory = temp.path, .timeout_ms = 10000});
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(list_directory(work.path), std::vector<std::string>{"RAVELOK.INI"});
  EXPECT_TRUE(list_directory(temp.path).empty());
  // A job in a directory whose settings file name passes 255 bytes is read
  // whole: its Site is used (here a port nobody listens on). Windows' ANSI
  // calls take no such name: nothing is read or done.
  std::string deep = work.path;
  while (deep.size() < 300) {
    deep += "/" + std::string(60, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  }
  write_file(deep + "/RAVELOK.INI",
             ini({"[URL]", "Site=127.0.0.1", "Port=" + std::to_string(free_loopback_port())}));
  EXPECT_EQ(run_binary({.arguments = {deep}, .directory = temp.path, .timeout_ms = 10000}).status,
            testing_windows_binary() ? 53 : 57);
}

TEST_F(JobRunProcess, HelpAndVersionUnlessADirectoryBearsTheName) {
  ASSERT_EQ(mkdir(work.file("dir").c_str(), 0700), 0);
  write_file(work.file("dir/RAVELOK.INI"), ini({"[URL]", "Site="}));
  write_file(work.file("-h"), "a file, not a directory");
  const std::string help_start = "Usage: ravelok [DIRECTORY]\n";
  const std::string version = "ravelok " RAVELOK_VERSION "\n";
  // argument, the job directory made under that name first ("" for none),
  // status, output ("help" for the help text).
  struct Case { std::string argument; std::string job_directory; int status; std::string output; };
  const Case cases[] = {
      {"--version", "", 0, version},
      {"-V", "", 0, version},
      {"--help", "", 0, "help"},
      {"-h", "", 0, "help"},                 // a plain file of that name does not count
      {"--Help", "", 53, "missing"},         // exactly as written, else a directory
      {"-v", "", 53, "missing"},             // a verbose run of the directory "more"
      {"--verbose", "--verbose", 0, ""},
      {"--help", "--help", 0, ""},           // a job directory with an empty Site
      {"--version", "--version", 0, ""},
      {"-V", "-V", 0, ""},
      {"--check", "", 53, "missing"},        // checks the directory "more"
      {"-c", "-c", 0, ""},                   // a job directory: a run that does nothing
  };
  for (const Case& c : cases) {
    if (!c.job_directory.empty()) {
      ASSERT_EQ(rename(work.file("dir").c_str(), work.file(c.job_directory).c_str()), 0);
    }
    std::vector<std::string> before = list_directory(work.path);
    RunResult result = run_binary({.arguments = {c.argument, "more"}, .timeout_ms = 10000});
    EXPECT_EQ(result.status, c.status) << c.argument << result.output;
    if (c.output == "help") {
      EXPECT_EQ(result.output.substr(0, help_start.size()), help_start);
      EXPECT_NE(result.output.find("[Files] 1="), std::string::npos);
      EXPECT_NE(result.output.find("man ravelok"), std::string::npos);
      EXPECT_NE(result.output.find("ravelok --check | -c [DIRECTORY]"), std::string::npos);
      EXPECT_NE(result.output.find("up after Timeout seconds"), std::string::npos);
    } else if (c.output == "missing") {
      EXPECT_TRUE(is_missing_settings_line(result.output)) << result.output;
    } else {
      EXPECT_EQ(result.output, c.output) << c.argument;
    }
    // Nothing is written, in the working directory or the temporary one.
    EXPECT_EQ(list_directory(work.path), before) << c.argument;
    EXPECT_TRUE(list_directory(temp.path).empty());
    if (!c.job_directory.empty()) {
      ASSERT_EQ(rename(work.file(c.job_directory).c_str(), work.file("dir").c_str()), 0);
    }
  }
}

TEST_F(JobRunProcess, ArgumentsAreRebuiltIntoTheTail) {
  // A directory with a space, one with a comma, and an empty argument (the
  // current directory): each finds its own settings file, whose Save names a
  // distinct file that a reachable-looking but empty Site never writes.
  std::vector<std::string> dirs = {work.file("my jobs"), work.file("a,b"), work.file("semi;colon")};
  for (const std::string& d : dirs) {
    ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
    write_file(d + "/RAVELOK.INI", ini({"[URL]", "Site="}));
    RunResult result = run_binary({.arguments = {d, "second"}, .timeout_ms = 10000});
    // Windows hands over one command line, quoted only around blanks, so a
    // comma or semicolon there splits the argument: ".../a" is no job
    // directory.
    bool split = testing_windows_binary() && d.find_first_of(",;") != std::string::npos;
    EXPECT_EQ(result.status, split ? 53 : 0) << d;
  }
  // Without a settings file in the directory named, the run says 53.
  EXPECT_EQ(run_binary({.arguments = {work.file("my")}, .timeout_ms = 10000}).status, 53);
  EXPECT_EQ(run_binary({.arguments = {""}, .directory = dirs[0], .timeout_ms = 10000}).status, 0);
  EXPECT_EQ(run_binary({.arguments = {""}, .timeout_ms = 10000}).status, 53);
}

TEST_F(JobRunProcess, CommandLineOf20Arguments) {
  // Every other argument names a directory with a job of its own; only the
  // first one's job is done.
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nfirst"}}, .when = AnswerWhen::after_request,
                         .connections = 2, .accept_limit_ms = 3000});
  ASSERT_TRUE(server.ok()) << server.failure();
  write_file(work.file("RAVELOK.INI"), ini(job(server.port())));
  TempDir others;
  std::vector<std::string> arguments = {work.path};
  for (int i = 2; i <= 20; ++i) {
    std::string directory = others.file("job" + std::to_string(i));
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    std::vector<std::string> other = job(server.port());
    other.back() = "Save=" + directory + "/other.txt";
    write_file(directory + "/RAVELOK.INI", ini(other));
    arguments.push_back(directory);
  }
  RunResult result = run_binary({.arguments = arguments, .timeout_ms = 20000});
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(read_file(work.file("answer.txt")), "first\r\n");
  EXPECT_LT(result.seconds, kQuick);
  server.stop();
  EXPECT_EQ(server.accepted(), 1);
  for (int i = 2; i <= 20; ++i) {
    EXPECT_FALSE(file_exists(others.file("job" + std::to_string(i) + "/other.txt"))) << i;
  }
  EXPECT_TRUE(list_directory(temp.path).empty());
}

// Report: one line of JSON appended after each run, failed or not, with no
// secret in it; one that cannot be written is told and leaves the status.
TEST_F(JobRunProcess, ReportLineAfterEveryRun) {
  const std::string ok = "HTTP/1.0 200 OK\r\n\r\nfirst";
  ScriptedServer server({.answer = {{ok}}, .when = AnswerWhen::after_request, .connections = 3,
                         .accept_limit_ms = 8000, .later_answers = {{{"HTTP/1.0 404 Not Found\r\n\r\nno"}}, {{ok}}}});
  ASSERT_TRUE(server.ok()) << server.failure();
  const std::string report = "Report=" + work.file("runs.log");
  const RunOptions token{.environment = {"TOKEN=tok-secret"}, .timeout_ms = 10000};
  const RunResult first = run(with_keys(job(server.port()), {report, "User=u", "Password=pw-secret", "[Headers]",
                                                             "1=X-Token: ${TOKEN}"}), token);
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.output, "");
  EXPECT_EQ(run(with_keys(job(server.port()), {report, "FailOn=400", "[Headers]",
                                               "1=Authorization: Basic xyz-secret"}), token).status, 22);
  const RunResult unwritten = run(with_keys(job(server.port()), {"Report=" + work.file("none/runs.log")}));
  EXPECT_EQ(unwritten.status, 0);
  EXPECT_EQ(unwritten.output.rfind("ravelok: cannot write report " + work.file("none/runs.log") + ": ", 0), 0u);
  EXPECT_EQ(std::count(unwritten.output.begin(), unwritten.output.end(), '\n'), 1) << unwritten.output;
  server.stop();
  const std::string lines = read_file(work.file("runs.log"));
  for (const char* secret : {"secret", "dTpwdy1zZWNyZXQ="}) EXPECT_EQ(lines.find(secret), std::string::npos) << lines;
  const std::string script = "import json,sys\nfor l in open(sys.argv[1]):\n d=json.loads(l)\n print(','.join(d), "
                             "*(d[k] for k in 'method url status exit error tries sent received saved kept'.split()))";
  FILE* parsed = popen(("python3 -c \"" + script + "\" " + work.file("runs.log")).c_str(), "r");
  ASSERT_NE(parsed, nullptr);
  char buffer[2048];
  const std::string values(buffer, fread(buffer, 1, sizeof buffer, parsed));
  pclose(parsed);
  const std::string fields = "time,job,method,url,status,exit,error,tries,redirects,sent,received,ms,saved,kept,check GET "
                             "http://127.0.0.1:" + std::to_string(server.port()) + "/p? ";
  EXPECT_EQ(values, fields + "200 0 None 1 " + std::to_string(server.request(0).size()) + " 5 answer.txt False\n" +
                        fields + "404 22 ravelok: the server answered 404 Not Found (22 error answer) 1 " +
                        std::to_string(server.request(1).size()) + " 2 answer.txt False\n");
  struct stat info {};
  ASSERT_EQ(stat(work.file("runs.log").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, testing_windows_binary() ? info.st_mode & 0777 : 0600u);
}

// --verbose: each request as sent, each answer's header and each decision,
// on standard error, with no secret; the run's own status.
TEST_F(JobRunProcess, VerboseShowsTheExchangeWithoutSecrets) {
  ScriptedServer server({.answer = {{"HTTP/1.0 302 Found\r\nLocation: /b\r\nContent-Length: 0\r\n\r\n"}},
                         .when = AnswerWhen::after_request, .connections = 2, .accept_limit_ms = 8000,
                         .later_answers = {{{"HTTP/1.0 200 OK\r\nSet-Cookie: s=1\r\n\r\nok"}}}});
  ASSERT_TRUE(server.ok()) << server.failure();
  write_file(work.file("RAVELOK.INI"),
             ini(with_keys(job(server.port(), "/a"), {"Method=POST", "Follow=1", "FailOn=400", "[Vars]", "1=v=1",
                                                      "[Headers]", "1=Authorization: Basic xyz-secret",
                                                      "2=X-Token: ${TOKEN}", "3=Cookie: c=secret",
                                                      "[Expect]", "1=ok", "2=Set-Cookie"})));
  const RunResult result = run_binary({.arguments = {"-v", work.path}, .environment = {"TOKEN=tok-secret"}});
  server.stop();
  // The header is not the body: the check fails, after the exchange is shown.
  EXPECT_EQ(result.status, 80);
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port());
  std::size_t from = 0;
  for (const std::string& line : {"* " + url + "/a: no proxy\n> POST /a HTTP/1.0\n", std::string("> Authorization: ***\n"
       "> X-Token: ***\n> Cookie: ***\n> (body: 3 bytes)\n< HTTP/1.0 302 Found\n"), "* redirect followed: GET " + url +
       "/b\n* " + url + "/b: no proxy\n> GET /b HTTP/1.0\n", std::string("< HTTP/1.0 200 OK\n< Set-Cookie: s=1\n"),
       std::string("* body of 2 bytes checked: [Expect] 2 \"Set-Cookie\" not found in the answer\n")}) {
    from = result.output.find(line, from);
    EXPECT_NE(from, std::string::npos) << line << " in " << result.output;
  }
  EXPECT_EQ(result.output.find("secret"), std::string::npos);
  EXPECT_EQ(read_file(work.file("answer.txt")), "ok\r\n");

  // Through a proxy that refuses the tunnel: the CONNECT request and its
  // answer, the proxy's credentials hidden.
  ScriptedServer proxy({.answer = {{"HTTP/1.0 407 Who\r\nProxy-Authenticate: Basic\r\n\r\n"}},
                        .when = AnswerWhen::after_request});
  ASSERT_TRUE(proxy.ok()) << proxy.failure();
  const std::string at = "127.0.0.1:" + std::to_string(proxy.port());
  write_file(work.file("RAVELOK.INI"),
             ini(with_keys(job(443, "/t"), {"Site=https://localhost", "Proxy=u:proxy-secret@" + at})));
  const RunResult tunnel = run_binary({.arguments = {"--verbose", work.path}});
  proxy.stop();
  EXPECT_EQ(tunnel.status, 57);
  EXPECT_NE(tunnel.output.find("* https://localhost/t?: through proxy 127.0.0.1 port " + std::to_string(proxy.port()) +
                               "\n> CONNECT localhost:443 HTTP/1.0\n> Host: localhost:443\n"),
            std::string::npos) << tunnel.output;
  EXPECT_NE(tunnel.output.find("> Proxy-Authorization: ***\n< HTTP/1.0 407 Who\n< Proxy-Authenticate: Basic\n"),
            std::string::npos) << tunnel.output;
  EXPECT_EQ(tunnel.output.find("secret"), std::string::npos);
}

// A run is not dumpable: ended by SIGQUIT with core files allowed, it leaves
// none (one would hold the secrets it expanded), and no other process of its
// user may trace it, so its /proc entries belong to root, not to that user.
TEST_F(JobRunProcess, LeavesNoCoreFileAndCannotBeTraced) {
  const std::vector<std::string> unprivileged = as_unprivileged_user();
  if (unprivileged.empty() || !file_exists("/usr/bin/prlimit")) GTEST_SKIP() << "no setpriv or prlimit, or Wine";
  ScriptedServer silent({.answer = {}, .when = AnswerWhen::never});
  ASSERT_TRUE(silent.ok()) << silent.failure();
  chmod(work.path.c_str(), 0777);  // the user's way in, and room for a core file
  write_file(work.file("RAVELOK.INI"), ini(job(silent.port(), "/p", "")));
  chmod(work.file("RAVELOK.INI").c_str(), 0644);
  std::vector<std::string> command = {"/usr/bin/env", "-i", "-C", work.path, "/usr/bin/prlimit",
                                      "--core=unlimited"};
  command.insert(command.end(), unprivileged.begin(), unprivileged.end());
  command.insert(command.end(), {RAVELOK_BINARY, work.path});
  const int pid = start_background(command);
  for (int i = 0; i < 500 && silent.accepted() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  struct stat info {};
  EXPECT_TRUE(stat(("/proc/" + std::to_string(pid) + "/environ").c_str(), &info) == 0 && info.st_uid == 0)
      << info.st_uid;
  kill(pid, SIGQUIT);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGQUIT) << status;
  EXPECT_EQ(list_directory(work.path), std::vector<std::string>{"RAVELOK.INI"});
}

}  // namespace
