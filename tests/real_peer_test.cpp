// What ravelok sends, parsed by real server-side code (Python's standard
// library behind scripts/echo_server.py, Go's net/http behind
// tests/peers/go_server.go, PHP's and busboy's behind tests/peers/), and
// large answers from nginx and Go.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

#include "support/job_fixture.h"
#include "support/scripted_server.h"

namespace {

struct Parsed {
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<std::vector<std::string>> files;  // field name, file name, content
  std::string path;
  std::string body;
};

// Reads the echo server's /hex/ report out of a saved answer.
Parsed parse_hex_report(const std::string& saved) {
  Parsed parsed;
  std::istringstream lines(saved);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string kind, a, b, c;
    words >> kind >> a >> b >> c;
    if (kind == "field") parsed.fields.emplace_back(from_hex(a), from_hex(b));
    if (kind == "file") parsed.files.push_back({from_hex(a), from_hex(b), from_hex(c)});
    if (kind == "path") parsed.path = from_hex(a);
    if (kind == "body") parsed.body = from_hex(a);
  }
  return parsed;
}

class EchoServerTest : public WholeRun {
 protected:
  void SetUp() override {
    server_.emplace(std::vector<std::string>{"python3", std::string(RAVELOK_SOURCE_DIR) + "/scripts/echo_server.py",
                                             "--port-file", work.file("port")});
    port_ = wait_for_port_file(work.file("port"), 10000);
    ASSERT_NE(port_, 0) << "echo server did not start";
  }

  // Runs one job against the echo server and returns its parsed report.
  Parsed run_job(const std::string& method, const std::vector<std::string>& vars,
                 const std::vector<std::string>& files) {
    std::vector<std::string> lines = {"[URL]", "Site=127.0.0.1", "Port=" + std::to_string(port_),
                                      "Page=/hex/form", "Method=" + method,
                                      "Save=" + (work.file("answer.txt"))};
    lines.push_back("[Vars]");
    for (std::size_t i = 0; i < vars.size(); ++i) lines.push_back(std::to_string(i + 1) + "=" + vars[i]);
    lines.push_back("[Files]");
    for (std::size_t i = 0; i < files.size(); ++i) lines.push_back(std::to_string(i + 1) + "=" + files[i]);
    RunResult result = run(lines, {.timeout_ms = 20000});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(list_directory(temp.path).empty()) << "a temporary file was left behind";
    std::string saved = read_file(work.file("answer.txt"));
    EXPECT_GE(saved.size(), 2u);
    EXPECT_EQ(saved.substr(saved.size() - 2), "\r\n");
    return parse_hex_report(saved);
  }

  std::optional<Background> server_;
  int port_ = 0;
};

// Every byte a settings value can hold: not NUL, CR or LF, and no blank at
// either end (those are trimmed by the settings reader).
std::string every_value_byte() {
  std::string value = "x";
  for (int b = 1; b < 256; ++b) {
    if (b != '\r' && b != '\n') value.push_back(static_cast<char>(b));
  }
  return value + "x";
}

TEST_F(EchoServerTest, UrlEncodedValuesArriveByteExact) {
  const std::string odd = every_value_byte();
  const std::vector<std::string> vars = {"plain=value", "spaced=a b  c", "marks=+%&=/?#;",
                                         "odd=" + odd, "empty=", "equals=a=b=c"};
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"plain", "value"}, {"spaced", "a b  c"}, {"marks", "+%&=/?#;"},
      {"odd", odd},       {"empty", ""},        {"equals", "a=b=c"}};
  for (const std::string method : {"GET", "post"}) {
    Parsed parsed = run_job(method, vars, {});
    EXPECT_EQ(parsed.fields, expected) << method;
  }
}

TEST_F(EchoServerTest, MultipartValuesAndFilesArriveByteExact) {
  std::string all_bytes;
  for (int round = 0; round < 64; ++round) {
    for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<char>(b));
  }
  const std::string tricky = "line\r\n--\r\n\r\n--boundary\r\nContent-Disposition: x\r\n\r\n";
  write_file(work.file("all.bin"), all_bytes);
  write_file(work.file("empty.bin"), "");
  write_file(work.file("tricky.txt"), tricky);
  const std::string odd = every_value_byte();
  Parsed parsed = run_job("POST", {"author=Marta Puig", "odd=" + odd},
                          {work.file("all.bin"), work.file("empty.bin"), "tricky.txt"});
  const std::vector<std::pair<std::string, std::string>> fields = {{"author", "Marta Puig"},
                                                                   {"odd", odd}};
  EXPECT_EQ(parsed.fields, fields);
  ASSERT_EQ(parsed.files.size(), 3u);
  EXPECT_EQ(parsed.files[0], (std::vector<std::string>{"FILE1", work.file("all.bin"), all_bytes}));
  EXPECT_EQ(parsed.files[1], (std::vector<std::string>{"FILE2", work.file("empty.bin"), ""}));
  EXPECT_EQ(parsed.files[2], (std::vector<std::string>{"FILE3", "tricky.txt", tricky}));
}

class NginxPeer : public WholeRun {};

// nginx serves a large file; the saved copy is byte-exact and the temporary
// file that held it on the way is gone. A PUT of the file to nginx's WebDAV
// module leaves a byte-exact copy of it there.
TEST_F(NginxPeer, LargeAnswerSavedAndPutByteExact) {
  if (!file_exists(kNginx)) GTEST_SKIP() << "nginx is not installed (scripts/setup.sh installs it)";
  ASSERT_EQ(mkdir((work.file("www")).c_str(), 0755), 0);
  ASSERT_EQ(mkdir((work.file("www/dav")).c_str(), 0755), 0);
  const std::size_t size = 120u << 20;
  {
    std::mt19937_64 generator(20261208);
    std::ofstream out(work.file("www/big.bin"), std::ios::binary);
    std::vector<std::uint64_t> block(1 << 16);
    for (std::size_t done = 0; done < size; done += block.size() * 8) {
      for (auto& word : block) word = generator();
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
    }
  }
  const int port = free_loopback_port();
  std::optional<Background> server;
  ASSERT_TRUE(start_nginx(server, work.path, port,
                          "listen 127.0.0.1:" + std::to_string(port) + "; root " + work.file("www") +
                              "; location /dav/ { dav_methods PUT; client_max_body_size 0; }"))
      << read_file(work.file("error.log"));

  // Whether the file at copy holds the size bytes of big.bin and then tail.
  const auto same = [&](const std::string& copy, const std::string& tail) {
    std::ifstream original(work.file("www/big.bin"), std::ios::binary);
    std::ifstream saved(copy, std::ios::binary);
    std::vector<char> a(1 << 20), b(1 << 20);
    for (std::size_t compared = 0; compared < size; compared += static_cast<std::size_t>(original.gcount())) {
      original.read(a.data(), static_cast<std::streamsize>(a.size()));
      saved.read(b.data(), static_cast<std::streamsize>(b.size()));
      if (original.gcount() != saved.gcount() || !std::equal(a.begin(), a.begin() + original.gcount(), b.begin())) {
        ADD_FAILURE() << copy << " differs at " << compared;
        return;
      }
    }
    char end[3] = {};
    saved.read(end, 3);
    EXPECT_EQ(std::string(end, static_cast<std::size_t>(saved.gcount())), tail);
  };
  RunResult result = run({"[URL]", "Site=localhost", "Port=" + std::to_string(port), "Page=/big.bin",
                          "Save=" + (work.file("saved.bin"))}, {.timeout_ms = 120000});
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(list_directory(temp.path).empty());
  same(work.file("saved.bin"), "\r\n");

  result = run({"[URL]", "Site=localhost", "Port=" + std::to_string(port), "Page=/dav/copy.bin", "Method=PUT",
                "Body=" + work.file("www/big.bin"), "Save=" + work.file("put.txt"), "FailOn=300"},
               {.timeout_ms = 120000});
  EXPECT_EQ(result.status, 0) << result.output;
  same(work.file("www/dav/copy.bin"), "");
}

// nginx answers /301, /302, /303, /307 and /308 with that redirect to a
// scripted server on another port; a GET, a form POST and an upload POST
// are followed: what the second server receives (method, target, body).
TEST_F(NginxPeer, RedirectsFollowedWithTheirMethod) {
  if (!file_exists(kNginx)) GTEST_SKIP() << "nginx is not installed (scripts/setup.sh installs it)";
  const int statuses[] = {301, 302, 303, 307, 308};
  ScriptedServer target({.answer = {{"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"}},
                         .when = AnswerWhen::after_request, .connections = 15, .accept_limit_ms = 60000});
  ASSERT_TRUE(target.ok()) << target.failure();
  const int port = free_loopback_port();
  std::string locations;
  for (int status : statuses) {
    locations += "    location = /" + std::to_string(status) + " { return " + std::to_string(status) +
                 " http://127.0.0.1:" + std::to_string(target.port()) + "/t?s=" + std::to_string(status) + "; }\n";
  }
  std::optional<Background> server;
  ASSERT_TRUE(start_nginx(server, work.path, port, "listen 127.0.0.1:" + std::to_string(port) + ";\n" + locations))
      << read_file(work.file("error.log"));
  write_file(work.file("up.txt"), "file bytes");

  int served = 0;
  for (const std::string kind : {"GET", "form", "upload"}) {
    for (int status : statuses) {
      SCOPED_TRACE(kind + " " + std::to_string(status));
      std::vector<std::string> lines = {"[URL]", "Site=127.0.0.1", "Port=" + std::to_string(port),
                                        "Page=/" + std::to_string(status), "Save=" + work.file("saved.txt"),
                                        "Follow=1", "Method=" + std::string(kind == "GET" ? "" : "POST"),
                                        "[Vars]", "1=q=1"};
      if (kind == "upload") lines.insert(lines.end(), {"[Files]", "1=up.txt"});
      RunResult result = run(lines, {.timeout_ms = 20000});
      EXPECT_EQ(result.status, 0) << result.output;
      EXPECT_EQ(read_file(work.file("saved.txt")), "ok\r\n");
      ASSERT_TRUE(target.wait_answered(5000, ++served));
      const std::string request = target.request(static_cast<std::size_t>(served - 1));
      const std::string body = request.substr(request.find("\r\n\r\n") + 4);
      const bool again = kind != "GET" && status >= 307;
      EXPECT_EQ(request.substr(0, request.find("\r\n")),
                std::string(again ? "POST" : "GET") + " /t?s=" + std::to_string(status) + " HTTP/1.0");
      if (!again) {
        EXPECT_EQ(body, "");
        EXPECT_EQ(request.find("Content-"), std::string::npos);
      } else if (kind == "form") {
        EXPECT_EQ(body, "q=1");
      } else {
        EXPECT_NE(body.find("name=\"q\"\r\n\r\n1\r\n"), std::string::npos) << body;
        EXPECT_NE(body.find("filename=\"up.txt\"\r\nContent-Type: application/octet-stream\r\n\r\nfile bytes\r\n"),
                  std::string::npos) << body;
      }
    }
  }
  EXPECT_TRUE(list_directory(temp.path).empty());
}

class GoPeer : public WholeRun {};

// Go's net/http server (tests/peers/go_server.go) parses the form with
// r.ParseForm, checks that "text" arrived byte-exact (against its
// hexadecimal in "hex") and answers with "size" bytes of a fixed pattern and
// their Content-Length. Go reads exactly Content-Length bytes of a POST body
// and then closes: a byte sent after the body and left unread makes its
// kernel reset the connection, which can cut the answer or end the run with
// 57. Many runs, since that depends on timing.
TEST_F(GoPeer, FormAnswersSavedWhole) {
  if (std::string(RAVELOK_GO_SERVER).empty()) {
    GTEST_SKIP() << "go was not found when the build was configured (scripts/test.sh installs golang-go)";
  }
  Background server({RAVELOK_GO_SERVER, work.file("port")});
  const int port = wait_for_port_file(work.file("port"), 10000);
  ASSERT_NE(port, 0) << "the Go server did not start";

  const std::string text = every_value_byte();
  std::string hex;
  for (unsigned char c : text) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
  struct Row {
    const char* method;
    const char* size_field;  // "" leaves the server's default, 1,000,000
    std::size_t size;
    int runs;
  };
  const Row rows[] = {{"POST", "", 1000000, 100}, {"GET", "size=1000000", 1000000, 10},
                      {"POST", "size=10", 10, 10}};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  for (const Row& row : rows) {
    std::string expected(row.size, '\0');
    for (std::size_t i = 0; i < row.size; ++i) expected[i] = static_cast<char>(i * 7 % 251);
    expected += "\r\n";
    std::vector<std::string> lines = {"[URL]", "Site=127.0.0.1", "Port=" + std::to_string(port), "Page=/form",
                                      "Method=" + std::string(row.method), "Save=" + work.file("saved.bin"),
                                      "[Vars]", "1=text=" + text, "2=hex=" + hex};
    if (*row.size_field) lines.push_back("3=" + std::string(row.size_field));
    write_file(work.file("RAVELOK.INI"), ini(lines));
    int failed = 0;
    std::string failures;
    for (int run_number = 0; run_number < row.runs; ++run_number) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the runs took too long";
      unlink(work.file("saved.bin").c_str());
      RunResult result = run_binary({.timeout_ms = 10000});
      std::string saved = read_file(work.file("saved.bin"));
      if (result.status != 0 || saved != expected) {
        ++failed;
        const char* kind = saved == expected                  ? " (the expected bytes)"
                           : saved.size() == expected.size() ? " (differing)"
                                                             : "";
        failures += "\n  run " + std::to_string(run_number) + ": status " + std::to_string(result.status) +
                    (result.timed_out ? " (timed out)" : "") + ", saved " + std::to_string(saved.size()) +
                    " bytes" + kind + (saved != expected && saved.size() < 200 ? ": " + saved : "") + " " + result.output;
      }
    }
    EXPECT_EQ(failed, 0) << row.method << " " << row.size_field << ": " << failed << " of " << row.runs
                         << " runs failed; each should exit 0 and save " << expected.size() << " bytes"
                         << failures;
  }
  EXPECT_TRUE(list_directory(temp.path).empty()) << "a temporary file was left behind";
}

// The upload part keys, a Body and credentials as real server-side parsers
// read them: PHP's $_FILES and request variables (tests/peers/parsers.php on
// PHP's built-in server), Go's multipart.Reader and net/http
// (tests/peers/go_server.go) and Node's busboy (tests/peers/busboy_server.js).
// Each peer answers with the same lines of hexadecimal, so each row expects
// one report from every peer it names.
class ServerParsers : public WholeRun, public ::testing::WithParamInterface<std::string> {};

TEST_P(ServerParsers, ReceiveWhatTheSettingsSay) {
  const std::string peer = GetParam();
  const std::string peers = std::string(RAVELOK_SOURCE_DIR) + "/tests/peers/";
  int port = 0;
  std::vector<std::string> argv = {"/usr/bin/env", "NODE_PATH=/usr/share/nodejs", "node",
                                   peers + "busboy_server.js", work.file("port")};
  if (peer == "php") {
    if (!file_exists("/usr/bin/php")) GTEST_SKIP() << "php is not installed (scripts/test.sh installs php-cli)";
    port = free_loopback_port();
    argv = {"php", "-S", "127.0.0.1:" + std::to_string(port), peers + "parsers.php"};
  } else if (peer == "go") {
    if (std::string(RAVELOK_GO_SERVER).empty()) {
      GTEST_SKIP() << "go was not found when the build was configured (scripts/test.sh installs golang-go)";
    }
    argv = {RAVELOK_GO_SERVER, work.file("port")};
  } else if (!file_exists("/usr/bin/node") || !file_exists("/usr/share/nodejs/busboy/package.json")) {
    GTEST_SKIP() << "node or busboy is not installed (scripts/test.sh installs nodejs and node-busboy)";
  }
  Background server(argv);
  if (port == 0) port = wait_for_port_file(work.file("port"), 10000);
  ASSERT_TRUE(port != 0 && wait_for_listener(port, 10000)) << "the " << peer << " peer did not start";

  const auto hex = [](const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) text += "0123456789abcdef"[c >> 4], text += "0123456789abcdef"[c & 15];
    return text;
  };
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<char>(b));
  const std::string json = "{\"nom\": \"F\xC3\xA0" "brica \\\"Nord\\\"\",\r\n \"n\": [1, 2]}\n";
  ASSERT_EQ(mkdir(work.file("sub").c_str(), 0755), 0);
  write_file(work.file("all.bin"), all_bytes);
  write_file(work.file("sub/empty.bin"), "");
  write_file(work.file("doc.json"), json);
  const std::string odd = every_value_byte();
  const std::string octets = " " + hex("application/octet-stream");
  const std::string all_file = " 256 " + hex(all_bytes) + "\n";
  const std::string posted = "\nmethod " + hex("POST") + "\n";
  struct Row {
    const char* name;
    const char* peers;
    std::vector<std::string> settings;  // [URL] keys, then sections
    std::string report;
  };
  const Row rows[] = {
      {"part keys and their defaults", "php go busboy",
       {"Page=/multipart", "[Files]", "1=all.bin", "1.Field=document", "1.Name=re\"port; \xC3\xA7.csv",
        "1.Type=text/csv", "2=sub/empty.bin", "3=all.bin", "3.Field=c\xC3\xB2pia"},
       "file " + hex("document") + " " + hex("re%22port; \xC3\xA7.csv") + " " + hex("text/csv") + all_file +
           "file " + hex("FILE2") + " " + hex("sub/empty.bin") + octets + " 0 \n" +
           "file " + hex("c\xC3\xB2pia") + " " + hex("all.bin") + octets + all_file},
      // PHP and busboy keep only the type itself; Go shows the whole value.
      {"a type with a quoted parameter", "go",
       {"Page=/multipart", "[Files]", "1=all.bin", "1.Type=text/plain; charset=\"utf-8\""},
       "file " + hex("FILE1") + " " + hex("all.bin") + " " + hex("text/plain; charset=\"utf-8\"") + all_file},
      {"a JSON Body, credentials and a header from the environment", "php go",
       {"Page=/request", "Body=doc.json", "Type=application/json", "User=N\xC3\xBAria", "Password=${PW}",
        "[Vars]", "1=id=7", "2=note=" + odd, "[Headers]", "1=X-Api-Key:  ${KEY} "},
       "type " + hex("application/json") + "\nquery " + hex("id") + " " + hex("7") + "\nquery " + hex("note") +
           " " + hex(odd) + "\nbody " + hex(json) + "\nuser " + hex("N\xC3\xBAria") + "\npassword " +
           hex("pa$$ w0rd:x") + "\nkey " + hex("k3y/+= v@lue") + posted},
      {"a Body of the default type", "php go",
       {"Page=/request", "Body=doc.json", "[Headers]", "1=X-Api-Key: plain $ value"},
       "type " + hex("application/octet-stream") + "\nbody " + hex(json) + "\nuser \npassword \nkey " +
           hex("plain $ value") + posted},
      // A PUT or PATCH names no type unless Type gives one.
      {"a PUT of a Body", "php go", {"Method=put", "Page=/request", "Body=all.bin", "[Vars]", "1=id=7"},
       "type \nquery " + hex("id") + " " + hex("7") + "\nbody " + hex(all_bytes) + "\nuser \npassword \nkey \nmethod " +
           hex("PUT") + "\n"},
      {"a PATCH of a Body with its Type", "php go",
       {"Method=PATCH", "Page=/request", "Body=doc.json", "Type=application/merge-patch+json"},
       "type " + hex("application/merge-patch+json") + "\nbody " + hex(json) + "\nuser \npassword \nkey \nmethod " +
           hex("PATCH") + "\n"},
  };
  for (const Row& row : rows) {
    if ((" " + std::string(row.peers) + " ").find(" " + peer + " ") == std::string::npos) continue;
    SCOPED_TRACE(row.name);
    // A row's own Method comes first and wins over the POST after it.
    std::vector<std::string> lines = {"[URL]", "Site=127.0.0.1", "Port=" + std::to_string(port)};
    lines.insert(lines.end(), row.settings.begin(), row.settings.end());
    lines.insert(std::find_if(lines.begin() + 1, lines.end(), [](const std::string& l) { return l[0] == '['; }),
                 {"Method=POST", "Save=" + work.file("answer.txt")});
    unlink(work.file("answer.txt").c_str());
    RunResult result = run(lines, {.environment = {"PW=pa$$ w0rd:x", "KEY=k3y/+= v@lue"}, .timeout_ms = 20000});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(read_file(work.file("answer.txt")), row.report + "\r\n");
  }
  EXPECT_TRUE(list_directory(temp.path).empty()) << "a temporary file was left behind";
}

INSTANTIATE_TEST_SUITE_P(Peers, ServerParsers, ::testing::Values("php", "go", "busboy"),
                         [](const ::testing::TestParamInfo<std::string>& peer_info) { return peer_info.param; });

}  // namespace
