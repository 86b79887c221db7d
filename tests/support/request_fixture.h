// Shared by the request composition tests: scratch directories, TEMP set to
// one of them, and the exact bytes of body parts.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "exchange/form.h"
#include "exchange/request.h"
#include "services/bytes.h"
#include "services/files.h"
#include "platform/environment.h"
#include "platform/platform.h"
#include "services/number_table.h"
#include "services/random.h"
#include "support/fixtures.h"

namespace request_test {

// The request a job with these settings makes to 127.0.0.1 port 80.
inline HttpRequest request_of(const std::string& page, const std::string& method, const StringList& vars,
                              const StringList& files, const RequestOptions& options = RequestOptions()) {
  HttpRequest request{.method = method, .secure = false, .host = "127.0.0.1", .port = 80, .target = "",
                      .vars = vars, .files = files, .options = options, .route = {}};
  request.target = request_target(request_kind(request), page, form_string(vars));
  return request;
}

// The boundary and the file-name number that an upload prepared at the given
// time of day draws first.
inline std::pair<std::string, std::string> first_draws(std::uint32_t milliseconds) {
  random_reseed(milliseconds);
  std::string boundary = decimal_text(random_integer(1, 2147483647));
  std::string number = decimal_text(random_integer(1, 99999999));
  return {boundary, number};
}

// The prepared upload body as it goes out, less its closing delimiter line:
// the texts, and each source's counted bytes read through its handle (from
// the body file where it was staged).
inline std::string body_parts(const PreparedRequest& request) {
  std::string bytes;
  for (std::size_t i = 0; i < request.texts.size(); ++i) {
    bytes += request.texts[i];
    if (i == request.sources.size()) break;
    const UploadSource& source = request.sources[i];
    const FileHandle file = file_handle(source.staged ? request.body_file : source.number);
    std::string piece(static_cast<std::size_t>(source.size), '\0');
    ErrorNumber error_code = 0;
    std::size_t done = 0;
    while (done < piece.size()) {
      std::size_t got = platform_read_at(error_code, file, piece.data() + done, piece.size() - done,
                                         source.offset + done);
      if (got == 0) break;
      done += got;
    }
    bytes += piece.substr(0, done);
  }
  const std::size_t closing = request.boundary.size() + 6;  // "--" boundary "--" CR LF
  return bytes.size() >= closing ? bytes.substr(0, bytes.size() - closing) : bytes;
}

// One variable's part of an upload body.
inline std::string value_part(const std::string& boundary, const std::string& name,
                              const std::string& value) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
         value + "\r\n";
}

// The index-th file's part of an upload body.
inline std::string file_part(const std::string& boundary, int index, const std::string& path,
                             const std::string& content) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"FILE" +
         decimal_text(index) + "\"; filename=\"" + path +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n";
}

// TEMP points at a scratch directory of its own for each test; the numbers
// start afresh.
class RequestFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = getenv("TEMP")) saved_temp = old;
    set_temp(temp.path);
    reset_number_table();
  }
  void TearDown() override {
    if (saved_temp) {
      setenv("TEMP", saved_temp->c_str(), 1);
    } else {
      unsetenv("TEMP");
    }
    environment_snapshot();
    reset_number_table();
  }
  void set_temp(const std::string& value) {
    setenv("TEMP", value.c_str(), 1);
    environment_snapshot();
  }
  void expect_no_open_numbers() {
    for (std::int16_t n = 1; n <= 64; ++n) EXPECT_EQ(find_number(n), nullptr) << n;
  }

  TempDir dir;
  TempDir temp;
  std::optional<std::string> saved_temp;
};

}  // namespace request_test
