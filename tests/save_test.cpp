// Whole runs that save the answer: where (the Save file, the generated name
// in TEMP), how a large answer reaches it (in place over an old file, by
// its scratch file, in memory), what the viewer is handed, and saves that
// cannot be written.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "support/job_fixture.h"
#include "support/scripted_server.h"

class SaveRun : public WholeRun {};

TEST_F(SaveRun, RefusedConnectionStillSavesAndShows) {
  const int port = free_loopback_port();
  std::vector<std::string> settings = job(static_cast<std::uint16_t>(port));
  settings.push_back("Show=1");
  RunResult result = run(settings);
  EXPECT_EQ(result.status, 57) << result.output;
  EXPECT_EQ(read_file(work.file("answer.txt")), "\r\n");
  EXPECT_EQ(viewer_log(true), opened("answer.txt"));

  // The exchange's number wins over the save's, when the save fails only
  // once it writes (a full device passes the check before connecting).
  settings = job(static_cast<std::uint16_t>(port), "/p", "/dev/full");
  EXPECT_EQ(run(settings).status, 57);
}

TEST_F(SaveRun, DefaultSaveNameInTempAndViewer) {
  // A small answer, then one larger than memory: its unnamed file takes the
  // name at the end. Either file in the shared TEMP is its owner's alone.
  const std::string large(9u << 20, 'h');
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\n<p>hi</p>"}}, .when = AnswerWhen::after_request,
                         .connections = 4, .later_answers = {{{"HTTP/1.0 200 OK\r\n\r\n" + large}}}});
  ASSERT_TRUE(server.ok()) << server.failure();
  std::vector<std::string> settings = {"[URL]", "Site=localhost", "Port=" + std::to_string(server.port()),
                                       "Show=1"};
  const std::string name = temp.file("96862006.HTM");
  for (const std::string& body : {std::string("<p>hi</p>"), large}) {
    unlink(name.c_str());
    unlink(viewer.file("log").c_str());
    RunResult result = run(settings);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(read_file(name) == body + "\r\n");
    EXPECT_EQ(viewer_log(true), opened(name));
    struct stat info {};
    EXPECT_TRUE(testing_windows_binary() || (stat(name.c_str(), &info) == 0 && (info.st_mode & 07777) == 0600))
        << std::oct << info.st_mode;
  }

  // Wine shows a symbolic link as the file it names and has no FIFOs.
  if (testing_windows_binary()) return;
  // The generated name is never followed through a link, and only a regular
  // file is overwritten.
  unlink(name.c_str());
  write_file(work.file("precious.txt"), "keep");
  ASSERT_EQ(symlink((work.file("precious.txt")).c_str(), name.c_str()), 0);
  EXPECT_EQ(run(settings).status, 70);
  EXPECT_EQ(read_file(work.file("precious.txt")), "keep");
  unlink(name.c_str());
  ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
  EXPECT_EQ(run(settings, {.timeout_ms = 10000}).status, 70);
}

TEST_F(SaveRun, ReplacesALongerFileAndTheViewerGetsTheWholeName) {
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nabc"}}, .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  // A name of more than 300 bytes: the viewer is handed all of it.
  std::string directory = work.path;
  for (int i = 0; i < 4; ++i) {
    directory += "/" + std::string(70, static_cast<char>('a' + i));
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
  }
  const std::string name = directory + "/saved.htm";
  ASSERT_GT(name.size(), 300u);
  write_file(name, std::string(5000, 'o'));
  std::vector<std::string> settings = job(server.port(), "/p", name);
  settings.push_back("Show=1");
  RunResult result = run(settings);
  if (testing_windows_binary()) {
    // Windows' ANSI file calls take a path of at most 259 bytes: the save
    // fails (75) and leaves the old file as it was.
    EXPECT_EQ(result.status, 75) << result.output;
    EXPECT_EQ(read_file(name), std::string(5000, 'o'));
    return;
  }
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(read_file(name), "abc\r\n");
  EXPECT_EQ(viewer_log(true), name + "\n");
}

// An answer larger than memory over an existing save file: the file is
// rewritten in place as the answer arrives (same inode, links and mode), and
// at the end holds exactly what a small answer would leave, whole or cut.
TEST_F(SaveRun, LargeAnswerOverAnExistingSaveFile) {
  std::string body(12u << 20, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 7 + i / 4093) & 0xFF);
  const std::string part = body.substr(0, 9u << 20);
  const std::string full = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  const std::string more = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(16u << 20) + "\r\n\r\n";
  struct Case {
    const char* name;
    std::string old_content;
    ServerScript script;
    int status;
    std::string saved;
  };
  std::vector<Case> cases = {
      {"longer old file", std::string(20u << 20, 'o'),
       {.answer = {{full + part}, {body.substr(part.size()), 1500}}, .when = AnswerWhen::after_request},
       0, body + "\r\n"},
      {"shorter old file", "old", {.answer = {{full + body}}, .when = AnswerWhen::after_request}, 0, body + "\r\n"},
      {"closed short of Content-Length", "old", {.answer = {{more + body}}, .when = AnswerWhen::after_request},
       62, body + "\r\n"},
      // Wine hands a reset on as an orderly close.
      {"reset short of Content-Length", "old",
       {.answer = {{more + body}, {"", 500}}, .when = AnswerWhen::after_request, .end = EndAction::reset},
       testing_windows_binary() ? 62 : 57, body + "\r\n"},
      {"time-out short of Content-Length", "old",
       {.answer = {{more + body}}, .when = AnswerWhen::after_request, .end = EndAction::hold_open},
       24, body + "\r\n"},
  };
  const std::string name = work.file("answer.txt");
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(name.c_str());
    unlink(work.file("other-name.txt").c_str());
    write_file(name, c.old_content);
    chmod(name.c_str(), 0640);
    ASSERT_EQ(link(name.c_str(), work.file("other-name.txt").c_str()), 0);
    struct stat before;
    ASSERT_EQ(stat(name.c_str(), &before), 0);
    ScriptedServer server(c.script);
    ASSERT_TRUE(server.ok()) << server.failure();
    RunResult result;
    std::thread runner([&] { result = run(job(server.port())); });
    if (c.status == 0 && c.old_content.size() > 100) {
      // Meanwhile the file already holds the first part of the answer.
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
      EXPECT_TRUE(read_file(name).substr(0, 1u << 20) == part.substr(0, 1u << 20));
    }
    runner.join();
    server.stop();
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_TRUE(read_file(name) == c.saved) << read_file(name).size() << " bytes";
    EXPECT_TRUE(read_file(work.file("other-name.txt")) == c.saved);
    struct stat after;
    ASSERT_EQ(stat(name.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    if (!testing_windows_binary()) {
      EXPECT_EQ(after.st_mode & 07777, 0640u);
    }
    EXPECT_EQ(list_directory(work.path),
              (std::vector<std::string>{"RAVELOK.INI", "answer.txt", "other-name.txt"}));
    EXPECT_TRUE(list_directory(temp.path).empty());
  }
}

// As an ordinary user (older kernels let only a privileged one link an
// unnamed file by its descriptor) the large answer still takes the save name
// where that user may write, and a file the user may not write is refused
// as before.
TEST_F(SaveRun, LargeAnswerSavedByAnOrdinaryUser) {
  const std::vector<std::string> unprivileged = as_unprivileged_user();
  if (unprivileged.empty()) GTEST_SKIP() << "setpriv is not installed, or Wine";
  chmod(work.path.c_str(), 0777);  // the unprivileged user's way in
  chmod(temp.path.c_str(), 0777);
  const std::string body(10u << 20, 'z');
  struct Case { const char* name; mode_t mode; int status; bool replaced; };
  const Case cases[] = {
      {"missing", 0, 0, true},
      {"own.txt", 0640, 0, true},
      {"read-only.txt", 0444, 70, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = work.file(c.name);
    if (c.mode != 0) {
      write_file(name, "kept");
      ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
      chmod(name.c_str(), c.mode);
    }
    ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\nContent-Length: " +
                                       std::to_string(body.size()) + "\r\n\r\n" + body}},
                           .when = AnswerWhen::after_request});
    ASSERT_TRUE(server.ok()) << server.failure();
    RunResult result = run(job(server.port(), "/p", name), {.wrapper = unprivileged});
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_TRUE(read_file(name) == (c.replaced ? body + "\r\n" : std::string("kept")));
    struct stat info;
    ASSERT_EQ(stat(name.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
    if (c.mode != 0) {
      EXPECT_EQ(info.st_mode & 07777, c.mode);
    }
    EXPECT_TRUE(list_directory(temp.path).empty());
  }
  EXPECT_EQ(list_directory(work.path),
            (std::vector<std::string>{"RAVELOK.INI", "missing", "own.txt", "read-only.txt"}));
}

TEST_F(SaveRun, LargeAnswerWithoutAScratchFileStaysInMemory) {
  std::string body(10u << 20, 'm');
  body += "end";
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\n" + body}}, .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  temp_value = temp.file("missing");
  RunResult result = run(job(server.port()));
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(read_file(work.file("answer.txt")) == body + "\r\n");
}

// The time of last write of name, in seconds since 1970; -1 without it.
static std::int64_t modified_time(const std::string& name) {
  struct stat info {};
  return stat(name.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_mtim.tv_sec) : -1;
}

// Exact saves the body as it came; a 304 never touches the save file and
// ends 0, whatever FailOn; IfModified asks with the save file's time and
// gives the file the answer's Last-Modified, or 1970 after a failed run so
// that the next one asks for the whole answer.
TEST_F(SaveRun, ExactNotModifiedAndIfModified) {
  const std::string large = std::string(9u << 20, 'L') + "end";
  const std::string huge = std::string(20u << 20, 'L') + "end";
  const std::string nul_body("a\0b\r", 4);
  struct Case {
    std::vector<std::string> keys;
    std::int64_t file_time;  // the old file's time; -1: no old file
    std::string answer;
    int status;
    std::string asked;       // the If-Modified-Since line sent; "" none
    std::string saved;       // the save file afterwards
    std::int64_t time;       // its time afterwards; -1: not checked
  };
  const std::string gmt_1994 = "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n";
  const std::string moved = "HTTP/1.0 200 OK\r\nLast-Modified: Wed, 21 Oct 2015 07:28:00 GMT\r\n\r\n";
  const Case cases[] = {
      {{"Exact=1"}, -1, "HTTP/1.0 200 OK\r\n\r\n" + nul_body, 0, "", nul_body, -1},
      {{"Exact=1"}, 784111777, "HTTP/1.0 200 OK\r\n\r\n" + large, 0, "", large, -1},
      {{"Exact=1", "[Expect]", "1=LLLend"}, -1, "HTTP/1.0 200 OK\r\n\r\n" + huge, 0, "", huge, -1},
      {{"Exact=1", "[Reject]", "1=Lend"}, -1, "HTTP/1.0 200 OK\r\n\r\n" + huge, 80, "", huge, -1},
      {{"Exact=0"}, -1, "HTTP/1.0 200 OK\r\n\r\nab", 0, "", "ab\r\n", -1},
      {{"FailOn=300"}, 784111777, "HTTP/1.0 304 Not Modified\r\n\r\n", 0, "", "old", 784111777},
      {{"IfModified=1"}, 784111777, "HTTP/1.0 304 Not Modified\r\n\r\n", 0, gmt_1994, "old", 784111777},
      {{"IfModified=1", "Exact=1"}, 784111777, moved + "new", 0, gmt_1994, "new", 1445412480},
      {{"IfModified=1"}, -1, moved + "new", 0, "", "new\r\n", 1445412480},
      {{"IfModified=1", "FailOn=400"}, 784111777, "HTTP/1.0 500 No\r\n\r\nerr", 22, gmt_1994, "err\r\n", 0},
      {{"IfModified=1"}, 0, "HTTP/1.0 200 OK\r\n\r\nx", 0, "", "x\r\n", -1},
      {{"IfModified=1", "Method=POST"}, 784111777, "HTTP/1.0 200 OK\r\n\r\nx", 0, "", "x\r\n", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys.front() + " " + c.answer.substr(0, 12));
    const std::string name = work.file("answer.txt");
    unlink(name.c_str());
    if (c.file_time >= 0) {
      write_file(name, "old");
      const struct timespec times[2] = {{c.file_time, 0}, {c.file_time, 0}};
      ASSERT_EQ(utimensat(AT_FDCWD, name.c_str(), times, 0), 0);
    }
    ScriptedServer server({.answer = {{c.answer}}, .when = AnswerWhen::after_request});
    ASSERT_TRUE(server.ok()) << server.failure();
    std::vector<std::string> settings = with_keys(job(server.port()), c.keys);
    settings.push_back("SaveHeader=header.txt");
    RunResult result = run(settings, {.timeout_ms = 20000});
    EXPECT_EQ(result.status, c.status) << result.output;
    const std::string request = server.request();
    const std::size_t asked = request.find("If-Modified-Since:");
    EXPECT_EQ(asked == std::string::npos ? "" : request.substr(asked, request.find('\n', asked) + 1 - asked),
              c.asked);
    EXPECT_TRUE(read_file(name) == c.saved) << read_file(name).substr(0, 40);
    if (c.time >= 0) {
      EXPECT_EQ(modified_time(name), c.time);
    }
    EXPECT_EQ(read_file(work.file("header.txt")), c.answer.substr(0, c.answer.find("\r\n\r\n") + 2));
  }
}

// A save that cannot be written is found before anything is connected: the
// status and line the save would have given, no connection, nothing on disk
// changed. A job that keeps no answer checks nothing.
TEST_F(SaveRun, FileThatCannotBeWrittenSendsNothing) {
  chmod(work.path.c_str(), 0777);  // the unprivileged user's way in
  chmod(temp.path.c_str(), 0777);
  write_file(work.file("read-only.txt"), "kept");
  ASSERT_EQ(chown(work.file("read-only.txt").c_str(), 65534, 65534), 0);
  chmod(work.file("read-only.txt").c_str(), 0444);
  for (const char* directory : {"closed", "folder", "sealed"}) mkdir(work.file(directory).c_str(), 0755);
  write_file(work.file("sealed/old.txt"), "old");
  // A file the other user may write in a directory it may not add to: Keep
  // cannot put a new file beside it.
  write_file(work.file("closed/mine.txt"), "mine");
  ASSERT_EQ(chown(work.file("closed/mine.txt").c_str(), 65534, 65534), 0);
  // As root; as another user (65534: "closed" is not its own); with "sealed"
  // bound onto itself read-only for the run alone.
  const bool unshare = !testing_windows_binary() && file_exists("/usr/bin/unshare");
  const std::vector<std::string> runners[] = {
      {}, as_unprivileged_user(),
      unshare ? std::vector<std::string>{"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
                                         "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro "
                                         "\"$0\" && exec \"$@\"", work.file("sealed")}
              : std::vector<std::string>{}};
  struct Case { std::vector<std::string> keys; int runner; std::string object; std::string end; };
  const std::string no_temp = work.file("no-temp") + (testing_windows_binary() ? "\\" : "/");
  const Case cases[] = {
      {{"Save=missing/answer.txt"}, 0, "missing/answer.txt", "(76 path not found)"},
      {{"Save=read-only.txt"}, 1, "read-only.txt", "(70 access denied)"},
      {{"Save=closed/answer.txt"}, 1, "closed/answer.txt", "(70 access denied)"},
      {{"Save=closed/mine.txt", "Keep=1"}, 1, "closed/mine.txt", "(70 access denied)"},
      {{"Save=folder"}, 0, "folder", "(70 access denied)"},
      {{"Save=sealed/new.txt"}, 2, "sealed/new.txt", "(70 access denied)"},
      {{"Save=sealed/old.txt"}, 2, "sealed/old.txt", "(70 access denied)"},
      {{"Show=1"}, 0, no_temp + "96862006.HTM", "(76 path not found)"},  // the default name
      {{"Save=answer.txt", "SaveHeader=missing/h.txt"}, 0, "missing/h.txt", "(76 path not found)"},
      {{"Save=", "Show=0"}, 0, "", ""},  // runs
  };
  // Each entry but the settings file, with its time of last write and, for
  // a file, its bytes.
  auto snapshot = [](const std::string& directory) {
    std::string text;
    for (const std::string& entry : list_directory(directory)) {
      struct stat info {};
      stat((directory + "/" + entry).c_str(), &info);
      if (entry == "RAVELOK.INI") continue;
      text += entry + std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) +
              (S_ISREG(info.st_mode) ? read_file(directory + "/" + entry) : "") + "\n";
    }
    return text;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys.back());
    if (c.runner != 0 && runners[c.runner].empty()) continue;  // setpriv or unshare missing, or Wine
    ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nx"}}, .when = AnswerWhen::after_request,
                           .accept_limit_ms = 5000});
    ASSERT_TRUE(server.ok()) << server.failure();
    std::vector<std::string> settings = job(server.port());
    settings.pop_back();  // Save
    settings.insert(settings.end(), c.keys.begin(), c.keys.end());
    temp_value = c.keys[0] == "Show=1" ? work.file("no-temp") : temp.path;
    const std::string before = snapshot(work.path) + snapshot(work.file("sealed"));
    RunResult result = run(settings, {.wrapper = runners[c.runner]});
    if (c.runner == 2 && result.output.find("mount") != std::string::npos) continue;
    server.stop();
    EXPECT_EQ(result.status, c.end.empty() ? 0 : std::stoi(c.end.substr(1))) << result.output;
    EXPECT_EQ(server.accepted(), c.end.empty() ? 1 : 0);
    EXPECT_LT(result.seconds, kQuick);
    EXPECT_EQ(snapshot(work.path) + snapshot(work.file("sealed")), before);
    EXPECT_TRUE(list_directory(temp.path).empty() && !file_exists(work.file("no-temp")));
    // The save's own line, the system's words in the middle.
    const std::string start = c.end.empty() ? "" : "ravelok: cannot write " + c.object + ": ";
    const std::string end = c.end.empty() ? "" : " " + c.end + "; nothing sent\n";
    EXPECT_EQ(result.output.rfind(start, 0), 0u) << result.output;
    EXPECT_TRUE(result.output.size() >= start.size() + end.size() &&
                result.output.substr(result.output.size() - end.size()) == end &&
                result.output.find('\n') + 1 == result.output.size())
        << result.output;
  }
}

// Keep=1: the save and SaveHeader files change only when the run ends 0,
// each replaced whole with the old file's mode. A failed or killed run
// leaves both byte for byte, a 304 the save file; a new file an earlier run
// left beside them is gone, and nothing is left in their place.
TEST_F(SaveRun, KeepReplacesOnlyAfterASuccess) {
  const std::string large = pattern(12u << 20);
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: ";
  struct Case { const char* name; ServerScript script; std::vector<std::string> keys; int status; std::string saved; };
  const Case cases[] = {
      {"small answer", {.answer = {{"HTTP/1.0 200 OK\r\n\r\nnew"}}}, {}, 0, "new\r\n"},
      {"answer larger than memory", {.answer = {{ok + std::to_string(large.size()) + "\r\n\r\n" + large}}}, {}, 0,
       large + "\r\n"},
      {"refused", {}, {}, 57, ""},
      {"time-out in the body", {.answer = {{ok + "99999999\r\n\r\n" + large}}, .end = EndAction::hold_open},
       {"Timeout=1"}, 24, ""},
      {"cut answer", {.answer = {{ok + "99999999\r\n\r\n" + large}}}, {}, 62, ""},
      {"FailOn", {.answer = {{"HTTP/1.0 404 Not Found\r\n\r\ngone"}}}, {"FailOn=400"}, 22, ""},
      {"[Reject] text found", {.answer = {{"HTTP/1.0 200 OK\r\n\r\nDuplicate"}}}, {"[Reject]", "1=Dup"}, 80, ""},
      {"304", {.answer = {{"HTTP/1.0 304 Not Modified\r\n\r\n"}}}, {}, 0, ""},
      {"killed in the body", {.answer = {{ok + "99999999\r\n\r\n" + large}}, .end = EndAction::hold_open},
       {"Timeout=60"}, -1, ""},
  };
  const std::string name = work.file("answer.txt");
  const std::string header = work.file("head.txt");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(name, "old answer");
    write_file(header, "old header");
    chmod(name.c_str(), 0640);
    write_file(work.file(".answer.txt.ravelok-new"), "left by a power cut");
    ServerScript script = c.script;
    script.when = AnswerWhen::after_request;
    ScriptedServer server(script);
    ASSERT_TRUE(server.ok()) << server.failure();
    const int port = c.status == 57 ? free_loopback_port() : server.port();
    std::vector<std::string> keys = {"Keep=1", "SaveHeader=head.txt", "Show=1"};
    keys.insert(keys.end(), c.keys.begin(), c.keys.end());
    RunResult result = run(with_keys(job(port), keys), {.timeout_ms = c.status < 0 ? 4000 : 30000});
    server.stop();
    EXPECT_EQ(result.timed_out ? -1 : result.status, c.status) << result.output;
    EXPECT_TRUE(read_file(name) == (c.saved.empty() ? "old answer" : c.saved)) << read_file(name).size();
    // A 304 replaces the header's file alone.
    EXPECT_EQ(read_file(header).rfind(c.status != 0 ? "old header" : c.saved.empty() ? "HTTP/1.0 304" : "HTTP/1.0 200", 0), 0u);
    // A run that ends 0 shows the file, replaced or, after a 304, kept.
    EXPECT_EQ(viewer_log(c.status == 0), c.status == 0 ? opened("answer.txt") : "");
    unlink(viewer.file("log").c_str());
    struct stat info {};
    EXPECT_TRUE(testing_windows_binary() || (stat(name.c_str(), &info) == 0 && (info.st_mode & 07777) == 0640));
    EXPECT_EQ(list_directory(work.path), (std::vector<std::string>{"RAVELOK.INI", "answer.txt", "head.txt"}));
    EXPECT_TRUE(list_directory(temp.path).empty());
  }
  // Through a symbolic link, the file it leads to is replaced and the link
  // stays; a new file gets the mode a save file created without Keep gets.
  if (testing_windows_binary()) return;
  unlink(name.c_str());
  ASSERT_EQ(symlink("real.txt", name.c_str()), 0);
  ScriptedServer server({.answer = {{"HTTP/1.0 200 OK\r\n\r\nnew"}}, .when = AnswerWhen::after_request});
  ASSERT_TRUE(server.ok()) << server.failure();
  EXPECT_EQ(run(with_keys(job(server.port()), {"Keep=1"})).status, 0);
  struct stat info {};
  EXPECT_TRUE(lstat(name.c_str(), &info) == 0 && S_ISLNK(info.st_mode));
  EXPECT_EQ(read_file(work.file("real.txt")), "new\r\n");
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_TRUE(stat(name.c_str(), &info) == 0 && (info.st_mode & 07777) == (0666 & ~mask));
}
