#include "exchange/request.h"
#include "exchange/request_internal.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/environment.h"
#include "services/number_table.h"
#include "services/random.h"
#include "support/request_fixture.h"

namespace {

namespace fs = std::filesystem;
using request_test::body_parts;
using request_test::file_part;
using request_test::first_draws;
using request_test::request_of;
using request_test::RequestFixture;
using request_test::value_part;

constexpr std::uint32_t kNoon = 45296789;  // 12:34:56.789

TEST(RequestKind, OnlyExactPostPosts) {
  struct Case { std::string method; StringList files; std::string body; RequestKind kind; };
  const Case cases[] = {
      {"POST", {}, "", RequestKind::form_post},
      {"POST", {"a.txt"}, "", RequestKind::upload_post},
      {"GET", {}, "", RequestKind::get},
      {"PUT", {"a.txt"}, "", RequestKind::get},
      {"HEAD", {}, "", RequestKind::get},
      {"", {"a.txt"}, "", RequestKind::get},
      {"post", {}, "", RequestKind::get},
      {"POST ", {}, "", RequestKind::get},
      {"PUT", {"a.txt"}, "b.bin", RequestKind::body_post},
      {"PATCH", {}, "b.bin", RequestKind::body_post},
      {"PATCH", {}, "", RequestKind::get},
      {"put", {}, "b.bin", RequestKind::get},
      {"DELETE", {}, "b.bin", RequestKind::get},
  };
  for (const Case& c : cases) {
    RequestOptions options;
    options.body = c.body;
    EXPECT_EQ(request_kind(request_of("/", c.method, {}, c.files, options)), c.kind) << c.method;
  }
}

TEST(RequestLine, TargetsAndEscapes) {
  struct Case { RequestKind kind; std::string method, page, form, line; };
  const Case cases[] = {
      {RequestKind::get, "GET", "/x", "", "GET /x? HTTP/1.0"},
      {RequestKind::get, "GET", "/x", "a=1&b", "GET /x?a=1&b HTTP/1.0"},
      {RequestKind::get, "GET", "", "", "GET /? HTTP/1.0"},
      {RequestKind::get, "GET", "", "a=1", "GET /?a=1 HTTP/1.0"},
      {RequestKind::get, "GET", "/s?k=v", "a=1", "GET /s?k=v&a=1 HTTP/1.0"},
      {RequestKind::get, "GET", "/s?k=v", "", "GET /s?k=v HTTP/1.0"},
      {RequestKind::get, "GET", "/s?", "a=1", "GET /s?&a=1 HTTP/1.0"},
      {RequestKind::form_post, "POST", "/form", "a=1", "POST /form HTTP/1.0"},
      {RequestKind::upload_post, "POST", "", "", "POST / HTTP/1.0"},
      {RequestKind::form_post, "POST", "/s?k=v", "a=1", "POST /s?k=v HTTP/1.0"},
      {RequestKind::body_post, "PUT", "/up", "a=1", "PUT /up?a=1 HTTP/1.0"},
      {RequestKind::body_post, "PATCH", "/s?k=v", "a=1", "PATCH /s?k=v&a=1 HTTP/1.0"},
      // Blanks and control bytes of the page and the names are escaped;
      // every other byte stays as written.
      {RequestKind::get, "GET", "/a b\t\x7F", "", "GET /a%20b%09%7F? HTTP/1.0"},
      {RequestKind::get, "GET", "/x", "my name=a+b&c\r\nd=1", "GET /x?my%20name=a+b&c%0D%0Ad=1 HTTP/1.0"},
      {RequestKind::form_post, "POST", std::string("/\0\x1F\x20\x21", 5), "", "POST /%00%1F%20! HTTP/1.0"},
      {RequestKind::get, "GET", "/caf\xE9%41\"<>", "", "GET /caf\xE9%41\"<>? HTTP/1.0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(request_line(c.method, request_target(c.kind, c.page, c.form)), c.line) << c.line;
  }
  // Through a proxy the target is the whole URL, the path as above.
  EXPECT_EQ(request_line("GET", "/s?k=v&a=1", "http://h:8080"), "GET http://h:8080/s?k=v&a=1 HTTP/1.0");
  EXPECT_EQ(request_line("POST", "a b", "http://[::1]"), "POST http://[::1]/a%20b HTTP/1.0");
}

TEST(HostHeader, SiteAndPort) {
  struct Case { std::string site; std::uint16_t port; std::uint16_t default_port; std::string line; };
  const Case cases[] = {
      {"www.example.org", 80, 80, "Host: www.example.org"},
      {"www.example.org", 8080, 80, "Host: www.example.org:8080"},
      {"127.0.0.1", 40000, 80, "Host: 127.0.0.1:40000"},
      {"::1", 80, 80, "Host: [::1]"},
      {"fe80::1", 65535, 80, "Host: [fe80::1]:65535"},
      {"localhost", 1, 80, "Host: localhost:1"},
      {"www.example.org", 443, 443, "Host: www.example.org"},
      {"www.example.org", 80, 443, "Host: www.example.org:80"},
      {"::1", 443, 443, "Host: [::1]"},
  };
  for (const Case& c : cases) EXPECT_EQ(host_header(c.site, c.port, c.default_port), c.line) << c.line;
}

class Prepare : public RequestFixture {};

TEST_F(Prepare, GetAndFormPostBuildTheFormStringOnly) {
  const std::string missing = dir.file("never.txt");
  struct Case { std::string method; StringList vars; StringList files; std::string form; };
  const Case cases[] = {
      {"GET", {}, {}, ""},
      {"GET", {"a=b=c", "flag", "=v", "n m&=x y"}, {missing}, "a=b%3Dc&flag&=v&n m&=x+y"},
      {"PUT", {"q=1"}, {missing, missing}, "q=1"},
      {"", {}, {missing}, ""},
      {"POST", {}, {}, ""},
      {"POST", {"q=a b", "flag", "c=x&y"}, {}, "q=a+b&flag&c=x%26y"},
  };
  for (const Case& c : cases) {
    Failure failure;
    PreparedRequest request = prepare_request_at(failure, request_of("/p", c.method, c.vars, c.files), kNoon);
    EXPECT_EQ(failure.number, 0) << c.method;
    EXPECT_EQ(request.form_string, c.form) << c.method;
    EXPECT_EQ(request.boundary, "");
    EXPECT_EQ(request.body_file_name, "");
    EXPECT_EQ(request.body_file, -1);
  }
  // No body file was made and the upload files were never opened (or made).
  EXPECT_TRUE(fs::is_empty(temp.path));
  EXPECT_FALSE(fs::exists(missing));
  expect_no_open_numbers();
}

TEST_F(Prepare, UploadBodyByteForByte) {
  write_file(dir.file("one.txt"), "hello\r\n");
  write_file(dir.file("empty.bin"), "");
  const StringList vars = {"a=1", "x=y=z", "flag", "=v", "sp ace=a b&c"};
  const StringList files = {dir.file("one.txt"), dir.file("empty.bin")};
  auto [boundary, number] = first_draws(kNoon);

  Failure failure;
  PreparedRequest request = prepare_request_at(failure, request_of("/up", "POST", vars, files), kNoon);
  EXPECT_EQ(failure.number, 0);
  EXPECT_EQ(request.form_string, "");
  EXPECT_EQ(request.boundary, boundary);
  // Regular files go out from where they are: no body file.
  EXPECT_EQ(request.body_file_name, "");
  EXPECT_EQ(request.body_file, -1);
  const std::string expected =
      value_part(boundary, "a", "1") + value_part(boundary, "x", "y=z") +
      value_part(boundary, "flag", "") + value_part(boundary, "", "v") +
      value_part(boundary, "sp ace", "a b&c") +
      file_part(boundary, 1, dir.file("one.txt"), "hello\r\n") +
      file_part(boundary, 2, dir.file("empty.bin"), "");
  EXPECT_EQ(body_parts(request), expected);
  // The empty file's part: its empty line, then at once CR LF.
  EXPECT_NE(expected.find("octet-stream\r\n\r\n\r\n"), std::string::npos);
  EXPECT_EQ(request.body_size, expected.size() + boundary.size() + 6);

  discard_prepared_request(request);
  EXPECT_TRUE(fs::is_empty(temp.path));
  expect_no_open_numbers();
}

TEST_F(Prepare, FilesAroundThePieceSizeAndNoVariables) {
  // Around the old 4 KiB pieces and the 128 KiB copy pieces.
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{4096},
                           std::size_t{4097}, std::size_t{8192}, std::size_t{20000},
                           std::size_t{131071}, std::size_t{131072}, std::size_t{131073},
                           std::size_t{3 * 131072 + 4097}}) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 31 + size) % 256);
    write_file(dir.file("data"), content);
    write_file(dir.file("second"), "2");
    Failure failure;
    PreparedRequest request =
        prepare_request_at(failure, request_of("/", "POST", {}, {dir.file("data"), dir.file("second")}), kNoon);
    EXPECT_EQ(failure.number, 0) << size;
    EXPECT_EQ(body_parts(request),
              file_part(request.boundary, 1, dir.file("data"), content) +
                  file_part(request.boundary, 2, dir.file("second"), "2"))
        << size;
    discard_prepared_request(request);
  }
  EXPECT_TRUE(fs::is_empty(temp.path));
}

TEST_F(Prepare, QuotesAndLineEndsInNamesAreEscaped) {
  const std::string odd = dir.file("we\"ird\r\nname \\.txt");
  write_file(odd, "x");
  const StringList vars = {"q\"\r\nx=raw \"value\"\r\nline"};
  Failure failure;
  PreparedRequest request = prepare_request_at(failure, request_of("/", "POST", vars, {odd}), kNoon);
  EXPECT_EQ(failure.number, 0);
  const std::string& b = request.boundary;
  EXPECT_EQ(body_parts(request),
            "--" + b + "\r\nContent-Disposition: form-data; name=\"q%22%0D%0Ax\"\r\n\r\n" +
                "raw \"value\"\r\nline\r\n" + "--" + b +
                "\r\nContent-Disposition: form-data; name=\"FILE1\"; filename=\"" + dir.path +
                "/we%22ird%0D%0Aname \\.txt\"\r\n" +
                "Content-Type: application/octet-stream\r\n\r\nx\r\n");
  discard_prepared_request(request);
}

TEST_F(Prepare, BodyFileLiesInsideTempOwnerOnly) {
  // A file that says it is empty yet holds bytes must be staged.
  const std::string staged = "/proc/version";
  for (bool trailing : {false, true}) {
    std::string value = temp.path + (trailing ? "/" : "");
    set_temp(value);
    auto [boundary, number] = first_draws(kNoon);
    Failure failure;
    PreparedRequest request = prepare_request_at(failure, request_of("/", "POST", {}, {staged}), kNoon);
    EXPECT_EQ(failure.number, 0);
    EXPECT_EQ(request.body_file_name, temp.path + "/" + number + ".TMP") << value;
    // Made under that name, which it gives up at once: nothing to open,
    // swap or leave behind.
    EXPECT_TRUE(fs::is_empty(temp.path));
    struct stat info;
    ASSERT_EQ(fstat(static_cast<int>(file_handle(request.body_file).value), &info), 0);
    EXPECT_EQ(info.st_nlink, 0u);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    discard_prepared_request(request);
    EXPECT_TRUE(fs::is_empty(temp.path));
  }
  // The same time of day gives the same boundary and name.
  Failure failure;
  PreparedRequest first = prepare_request_at(failure, request_of("/", "POST", {}, {staged}), kNoon);
  std::string name = first.body_file_name;
  discard_prepared_request(first);
  PreparedRequest second = prepare_request_at(failure, request_of("/", "POST", {}, {staged}), kNoon);
  EXPECT_EQ(second.body_file_name, name);
  EXPECT_EQ(second.boundary, first.boundary);
  discard_prepared_request(second);
  PreparedRequest other = prepare_request_at(failure, request_of("/", "POST", {}, {staged}), kNoon + 7);
  EXPECT_NE(other.boundary, first.boundary);
  discard_prepared_request(other);
  EXPECT_EQ(failure.number, 0);
}

TEST_F(Prepare, ATakenNameIsLeftAloneAndAnotherDrawn) {
  const std::string staged = "/proc/version";
  auto [boundary, number] = first_draws(kNoon);
  const std::string next_name =
      temp.path + "/" + decimal_text(random_integer(1, 99999999)) + ".TMP";
  const std::string drawn = temp.path + "/" + number + ".TMP";
  const std::string target = dir.file("target");
  for (bool as_link : {false, true}) {
    if (as_link) {
      ASSERT_EQ(symlink(target.c_str(), drawn.c_str()), 0);
    } else {
      write_file(drawn, "someone else's");
    }
    Failure failure;
    PreparedRequest request = prepare_request_at(failure, request_of("/", "POST", {}, {staged}), kNoon);
    EXPECT_EQ(failure.number, 0);
    EXPECT_EQ(request.boundary, boundary);  // the boundary stays
    EXPECT_EQ(request.body_file_name, next_name);
    EXPECT_EQ(body_parts(request), file_part(boundary, 1, staged, read_file(staged)));
    discard_prepared_request(request);
    if (as_link) {
      EXPECT_TRUE(fs::is_symlink(drawn));
      EXPECT_FALSE(fs::exists(target));
    } else {
      EXPECT_EQ(read_file(drawn), "someone else's");
    }
    fs::remove(drawn);
  }
  EXPECT_TRUE(fs::is_empty(temp.path));
}

TEST_F(Prepare, DelimiterInTheDataDrawsANewBoundary) {
  auto [first, number] = first_draws(kNoon);
  const std::string delimiter = "--" + first;
  // In a file, across the first piece boundary; in a value, whole.
  std::string content(4090, 'a');
  content += delimiter + "\r\nmore";
  write_file(dir.file("f"), content);
  struct Case { StringList vars; StringList files; };
  const Case cases[] = {
      {{}, {dir.file("f")}},
      {{"v=before" + delimiter + "after"}, {dir.file("g")}},
  };
  write_file(dir.file("g"), "plain");
  for (const Case& c : cases) {
    Failure failure;
    const HttpRequest wanted = request_of("/", "POST", c.vars, c.files);
    PreparedRequest request = prepare_request_at(failure, wanted, kNoon);
    EXPECT_EQ(failure.number, 0);
    // A file is searched as it is sent under the first boundary; the send
    // that finds the delimiter asks for the next one.
    EXPECT_EQ(request.boundary == first, c.vars.empty());
    EXPECT_EQ(request.sources[0].searched_as_sent, c.vars.empty());
    if (c.vars.empty()) {
      EXPECT_TRUE(redraw_boundary(failure, wanted, request));
    }
    EXPECT_FALSE(request.sources[0].searched_as_sent);
    // The draws keep their order, a name after each boundary even when no
    // file is made: boundary, name, boundary.
    first_draws(kNoon);
    EXPECT_EQ(request.boundary, decimal_text(random_integer(1, 2147483647)));
    std::string expected;
    for (const std::string& entry : c.vars) {
      expected += value_part(request.boundary, "v", entry.substr(2));
    }
    expected += file_part(request.boundary, 1, c.files[0], read_file(c.files[0]));
    EXPECT_EQ(body_parts(request), expected);
    discard_prepared_request(request);
    // The file of the abandoned boundary is gone too.
    EXPECT_TRUE(fs::is_empty(temp.path));
  }
}

TEST_F(Prepare, DelimiterAcrossCopyPiecesIsFound) {
  // Under a boundary drawn again, the files are searched whole before
  // anything is sent: the second boundary's delimiter is planted.
  first_draws(kNoon);
  const std::string second = decimal_text(random_integer(1, 2147483647));
  const std::string delimiter = "--" + second;
  const std::size_t piece = 131072;
  struct Case { std::size_t at; bool whole; };
  // Where the delimiter starts in the file; whole false puts all but its
  // last byte there, which must not count.
  const Case cases[] = {
      {0, true},         {piece - 5, true},      {piece - 1, true},
      {piece, true},     {2 * piece - 3, true},  {3 * piece + 17, true},
      {piece - 5, false}, {2 * piece - 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.at) + (c.whole ? " whole" : " cut"));
    std::string content(c.at, 'a');
    content += c.whole ? delimiter : delimiter.substr(0, delimiter.size() - 1) + "X";
    content += std::string(1000, 'b');
    write_file(dir.file("f"), content);
    Failure failure;
    const HttpRequest wanted = request_of("/", "POST", {}, {dir.file("f")});
    PreparedRequest request = prepare_request_at(failure, wanted, kNoon);
    EXPECT_TRUE(redraw_boundary(failure, wanted, request));
    EXPECT_EQ(failure.number, 0);
    EXPECT_EQ(request.boundary != second, c.whole);
    EXPECT_TRUE(body_parts(request) ==
                file_part(request.boundary, 1, dir.file("f"), content));
    discard_prepared_request(request);
    EXPECT_TRUE(fs::is_empty(temp.path));
  }
}

TEST_F(Prepare, UnreadableUploadFilesAreRecordedNotCreated) {
  ASSERT_EQ(mkdir((dir.file("a_directory")).c_str(), 0700), 0);
  write_file(dir.file("locked"), "secret");
  chmod((dir.file("locked")).c_str(), 0);
  struct Case { std::string name; int error; };
  std::vector<Case> cases = {
      {dir.file("missing.txt"), 53},
      {dir.file("a_directory"), 70},
      {dir.file("no_dir/file.txt"), 53},
  };
  if (geteuid() != 0) cases.push_back({dir.file("locked"), 70});
  for (const Case& c : cases) {
    Failure failure;
    PreparedRequest request = prepare_request_at(failure, request_of("/", "POST", {"a=1"}, {c.name}), kNoon);
    EXPECT_EQ(failure.number, c.error) << c.name;
    EXPECT_EQ(failure.step, Step::upload_file);
    EXPECT_EQ(failure.object, c.name);
    EXPECT_EQ(failure.index, 1);
    discard_prepared_request(request);
    EXPECT_TRUE(fs::is_empty(temp.path)) << c.name;
  }
  EXPECT_FALSE(fs::exists(dir.file("missing.txt")));
  EXPECT_FALSE(fs::exists(dir.file("no_dir")));
  EXPECT_TRUE(fs::is_directory(dir.file("a_directory")));
  expect_no_open_numbers();
}

TEST_F(Prepare, SourcesWithoutASizeAreStagedWhole) {
  // A FIFO without a writer and /dev/null end at once; /proc/version says it
  // is empty yet holds bytes; all three are read to their end, once, into
  // the body file. A terminal is never read: it would wait for someone.
  ASSERT_EQ(mkfifo((dir.file("fifo")).c_str(), 0600), 0);
  write_file(dir.file("f"), "data");
  const StringList files = {dir.file("fifo"), "/dev/null", "/proc/version", dir.file("f")};
  Failure failure;
  PreparedRequest request = prepare_request_at(failure, request_of("/", "POST", {}, files), kNoon);
  EXPECT_EQ(failure.number, 0);
  EXPECT_EQ(body_parts(request),
            file_part(request.boundary, 1, dir.file("fifo"), "") + file_part(request.boundary, 2, "/dev/null", "") +
                file_part(request.boundary, 3, "/proc/version", read_file("/proc/version")) +
                file_part(request.boundary, 4, dir.file("f"), "data"));
  EXPECT_TRUE(request.sources.at(2).staged);
  EXPECT_FALSE(request.sources.at(3).staged);
  discard_prepared_request(request);
  expect_no_open_numbers();

  // Opening /dev/ptmx makes a new terminal.
  request = prepare_request_at(failure, request_of("/", "POST", {}, {dir.file("f"), "/dev/ptmx"}), kNoon);
  EXPECT_EQ(failure.number, 68);
  EXPECT_EQ(failure.index, 2);
  EXPECT_EQ(failure.reason, "a terminal, which a job never reads");
  discard_prepared_request(request);
  expect_no_open_numbers();
}

TEST_F(Prepare, TempIsNeededOnlyForStaging) {
  write_file(dir.file("f"), "data");
  set_temp(temp.path + "/gone");
  Failure failure;
  PreparedRequest request = prepare_request_at(failure, request_of("/", "POST", {}, {dir.file("f")}), kNoon);
  EXPECT_EQ(failure.number, 0);
  EXPECT_EQ(body_parts(request), file_part(request.boundary, 1, dir.file("f"), "data"));
  discard_prepared_request(request);
  request = prepare_request_at(failure, request_of("/", "POST", {}, {dir.file("f"), "/proc/version"}), kNoon);
  EXPECT_EQ(failure.number, 76);
  EXPECT_EQ(failure.step, Step::body_file);
  EXPECT_EQ(request.body_file, -1);
  discard_prepared_request(request);
  EXPECT_TRUE(fs::is_empty(temp.path));
  expect_no_open_numbers();
}

}  // namespace
