// Whole runs on hostile settings files: binary garbage, 100 MB of it, and
// 40,000 variables.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/job_fixture.h"
#include "support/scripted_server.h"

class SettingsFileRun : public WholeRun {};

TEST_F(SettingsFileRun, OfBinaryGarbage) {
  // The status is defined (an empty Site in an existing file: 0, nothing
  // done), and a job written after the garbage is still found and done.
  struct Case {
    const char* name;
    std::string garbage;
  };
  const Case cases[] = {
      {"random bytes", random_bytes(1, 1u << 20)},
      {"random bytes after a UTF-16 mark", "\xff\xfe" + random_bytes(2, 1u << 20)},
      {"random bytes after a UTF-8 mark", "\xef\xbb\xbf" + random_bytes(3, 1u << 20)},
      {"NUL bytes", std::string(1u << 20, '\0')},
      {"brackets and equals", random_bytes(4, 1u << 16) + "[[[===]]]\r\n=\r\n[\r\n"},
  };
  for (const Case& c : cases) {
    ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nfine"}}, .when = AnswerWhen::after_request});
    ASSERT_TRUE(server.ok()) << server.failure();
    unlink(work.file("answer.txt").c_str());
    RunResult alone = run_text(c.garbage);
    EXPECT_EQ(alone.status, 0) << c.name << alone.output;
    EXPECT_LT(alone.seconds, kQuick) << c.name;
    EXPECT_EQ(server.accepted(), 0) << c.name;
    EXPECT_FALSE(file_exists(work.file("answer.txt"))) << c.name;

    if (c.garbage.rfind("\xff\xfe", 0) == 0) continue;  // a byte job cannot follow UTF-16
    RunResult then_job = run_text(c.garbage + "\r\n" + ini(job(server.port())));
    EXPECT_EQ(then_job.status, 0) << c.name << then_job.output;
    EXPECT_EQ(read_file(work.file("answer.txt")), "fine\r\n") << c.name;
    EXPECT_LT(then_job.seconds, kQuick) << c.name;
    EXPECT_TRUE(list_directory(temp.path).empty()) << c.name;
  }
}

TEST_F(SettingsFileRun, Of100Megabytes) {
  const std::size_t filler = 100u << 20;
  struct Case {
    const char* name;
    bool job_first;    // the job before the filler (else after it)
    std::string head;  // the line the filler continues
    std::string page;  // the path expected in the request line
  };
  const std::string page = "/" + std::string(2046, 'a');  // a value keeps 2,047 bytes
  const Case cases[] = {
      {"a comment", false, "; ", "/p"},
      {"a value", false, "[Junk]\r\nBig=", "/p"},
      {"the Page value", true, "Page=/", page},
  };
  for (const Case& c : cases) {
    ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nfine"}}, .when = AnswerWhen::after_request});
    ASSERT_TRUE(server.ok()) << server.failure();
    unlink(work.file("answer.txt").c_str());
    std::vector<std::string> lines = job(server.port());
    std::string settings;
    if (c.job_first) {
      lines.erase(lines.begin() + 3);  // the job's own Page
      settings = ini(lines);
    }
    settings += c.head;
    settings.append(filler, 'a');
    settings += "\r\n";
    if (!c.job_first) settings += ini(lines);
    RunResult result = run_text(settings);
    ASSERT_TRUE(server.wait_done(5000)) << c.name;
    EXPECT_EQ(result.status, 0) << c.name << result.output;
    EXPECT_EQ(server.request().substr(0, c.page.size() + 6), "GET " + c.page + "? ") << c.name;
    EXPECT_EQ(read_file(work.file("answer.txt")), "fine\r\n") << c.name;
    EXPECT_LT(result.seconds, 5.0) << c.name;
    EXPECT_TRUE(list_directory(temp.path).empty()) << c.name;
  }
}

TEST_F(SettingsFileRun, With40000Vars) {
  // GetPrivateProfileStringA under Wine searches the keys one by one on
  // every call: 32,767 reads of this file take minutes. The Windows suite
  // checks the 32,767 bound on a file of 40,000 short keys.
  if (testing_windows_binary()) GTEST_SKIP() << "too slow with Wine's reader";
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nfine"}}, .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  std::string settings = ini(job(server.port())) + "[Vars]\r\n";
  for (int i = 1; i <= 40000; ++i) {
    settings += std::to_string(i) + "=v" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
  }
  RunResult result = run_text(settings);
  ASSERT_TRUE(server.wait_done(5000));
  EXPECT_EQ(result.status, 0) << result.output;
  // The first 32,767 entries are sent, in order, and no more.
  const std::string request = server.request();
  const std::string line = request.substr(0, request.find("\r\n"));
  std::string expected = "GET /p?";
  for (int i = 1; i <= 32767; ++i) {
    expected += (i > 1 ? "&v" : "v") + std::to_string(i) + "=" + std::to_string(i);
  }
  expected += " HTTP/1.0";
  EXPECT_TRUE(line == expected) << "request line of " << line.size() << " bytes ends "
                                << line.substr(line.size() > 40 ? line.size() - 40 : 0);
  EXPECT_EQ(read_file(work.file("answer.txt")), "fine\r\n");
  // Takes well under 2 s; the bound leaves room for a loaded machine.
  EXPECT_LT(result.seconds, 5.0);
  RecordProperty("seconds", std::to_string(result.seconds));
}
