// Request composition: the request kind, the request and Host lines, and the
// upload body file. Sending is in request_send.cpp.
#include <algorithm>

#include "exchange/form.h"
#include "exchange/matcher.h"
#include "exchange/request.h"
#include "exchange/request_internal.h"
#include "platform/platform.h"
#include "services/files.h"
#include "services/numbers.h"
#include "services/random.h"

namespace {

// Upload files are copied in pieces of this size: large enough that the
// system calls and the delimiter watch cost little per byte, small enough
// that memory stays constant whatever the file's size.
constexpr std::size_t kPieceSize = 128u << 10;
// Bounds for drawing again; each further draw is needed only when the data
// or the temporary directory happen to hold what was drawn.
constexpr int kMaxNameDraws = 100;
constexpr int kMaxBoundaryDraws = 20;
constexpr char kHexDigits[] = "0123456789ABCDEF";

void append_escaped(std::string& text, unsigned char byte) {
  text.push_back('%');
  text.push_back(kHexDigits[byte >> 4]);
  text.push_back(kHexDigits[byte & 0x0F]);
}

// A part's name or file name goes between quotes on a header line of the
// body: a quote or a line end in it would end the name or the line early.
std::string part_name_text(const std::string& name) {
  std::string text;
  for (char c : name) {
    if (c == '"' || c == '\r' || c == '\n') {
      append_escaped(text, static_cast<unsigned char>(c));
    } else {
      text.push_back(c);
    }
  }
  return text;
}

// Looks for "--" + boundary in data written in pieces, an occurrence that
// straddles two pieces included.
struct DelimiterWatch {
  Matcher delimiter;
  bool found = false;
};

void watch_start(DelimiterWatch& watch) { matcher_reset(watch.delimiter); }

void watch_bytes(DelimiterWatch& watch, const char* data, std::size_t size) {
  if (!watch.found) watch.found = matcher_feed(watch.delimiter, data, size) != kNoMatch;
}

// Where the body is written, and where its first failure goes.
struct BodyWriter {
  std::int16_t number = -1;
  std::string name;  // the name the body file was created under
  Failure& failure;
};

// Records a failed write to the body file (a full or failing disk).
void body_failed(BodyWriter& body, ErrorNumber number) {
  note_failure(body.failure, number, Step::body_file, body.name, failure_reason(number));
}

// Writes text and CR LF to the body file; false when the write failed.
bool write_line(BodyWriter& body, const std::string& text) {
  ErrorNumber step = 0;
  file_write(step, body.number, text + "\r\n");
  if (step != 0) body_failed(body, step);
  return step == 0;
}

// Records a failure of the index-th upload file, at path.
void upload_failed(BodyWriter& body, std::size_t index, const std::string& path,
                   ErrorNumber number) {
  if (body.failure.number != 0) return;
  note_failure(body.failure, number, Step::upload_file, path, failure_reason(number));
  body.failure.index = static_cast<std::int32_t>(index);
}

// Appends the index-th upload file, at path, to the body file in pieces of
// kPieceSize bytes, asking its length again before every piece, so a file
// that changes while it is copied is taken as each piece finds it. False
// after a failure.
bool copy_upload_file(BodyWriter& body, std::size_t index, const std::string& path,
                      DelimiterWatch& watch) {
  std::int16_t source = next_free_number();
  ErrorNumber step = 0;
  file_open_read(step, source, path);
  if (step != 0) {
    upload_failed(body, index, path, step);
    return false;
  }
  std::string buffer(kPieceSize, '\0');
  std::uint64_t position = 0;
  bool copied = true;
  while (copied && !watch.found) {
    std::uint64_t length = file_size(step, source);
    if (step == 0 && position >= length) break;
    std::size_t want = step != 0 ? 0 : static_cast<std::size_t>(
        std::min<std::uint64_t>(kPieceSize, length - position));
    std::size_t got = step != 0 ? 0 : file_read(step, source, buffer.data(), want);
    if (step != 0) {
      upload_failed(body, index, path, step);
      copied = false;
    } else if (got == 0) {
      // Nothing read: the file was cut shorter since its length was asked.
      break;
    } else {
      file_write(step, body.number, buffer.data(), got);
      if (step != 0) {
        body_failed(body, step);
        copied = false;
      } else {
        watch_bytes(watch, buffer.data(), got);
        position += got;
      }
    }
  }
  ErrorNumber unused = 0;
  file_close(unused, source);
  return copied;
}

// Writes the parts of every variable and every file under boundary. Stops at
// the first failure (false) or when the data holds the delimiter.
bool write_body(BodyWriter& body, const std::string& boundary, const StringList& vars,
                const StringList& files, DelimiterWatch& watch) {
  const std::string delimiter = "--" + boundary;
  for (const std::string& entry : vars) {
    FormVariable variable = split_form_entry(entry);
    if (!write_line(body, delimiter) ||
        !write_line(body, "Content-Disposition: form-data; name=\"" +
                              part_name_text(variable.name) + "\"") ||
        !write_line(body, "")) {
      return false;
    }
    watch_start(watch);
    watch_bytes(watch, variable.value.data(), variable.value.size());
    if (watch.found) return true;
    if (!write_line(body, variable.value)) return false;
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!write_line(body, delimiter) ||
        !write_line(body, "Content-Disposition: form-data; name=\"FILE" +
                              decimal_text(static_cast<std::int64_t>(i + 1)) +
                              "\"; filename=\"" + part_name_text(files[i]) + "\"") ||
        !write_line(body, "Content-Type: application/octet-stream") ||
        !write_line(body, "")) {
      return false;
    }
    watch_start(watch);
    if (!copy_upload_file(body, i + 1, files[i], watch)) return false;
    if (watch.found) return true;
    if (!write_line(body, "")) return false;
  }
  return true;
}

// The temporary directory with a separator at its end; empty (the current
// directory) when there is no such directory value at all.
std::string body_file_prefix() {
  std::string prefix = platform_temp_directory();
  if (!prefix.empty() && !platform_ends_with_separator(prefix)) {
    prefix.push_back(platform_separator());
  }
  return prefix;
}

// Creates the body file under a drawn name, drawing again while the name is
// taken; the file keeps no name once made. The number it is open under, or
// -1 with the failure recorded.
std::int16_t create_body_file(Failure& failure, const std::string& prefix,
                              PreparedRequest& request) {
  std::string name;
  for (int draw = 0; draw < kMaxNameDraws; ++draw) {
    name = prefix + decimal_text(random_integer(1, 99999999)) + ".TMP";
    std::int16_t number = next_free_number();
    bool taken = false;
    ErrorNumber step = 0;
    file_create_unnamed(step, number, name, taken);
    if (step != 0) {
      note_failure(failure, step, Step::body_file, name, failure_reason(step));
      return -1;
    }
    if (!taken) {
      request.body_file_name = name;
      request.body_file = number;
      return number;
    }
  }
  // Every drawn name already existed: as an existing file refuses a new one.
  note_failure(failure, kErrSystem, Step::body_file, name, "every name drawn was taken");
  return -1;
}

}  // namespace

RequestKind request_kind(const std::string& method, const StringList& files) {
  if (method != "POST") return RequestKind::get;
  return files.empty() ? RequestKind::form_post : RequestKind::upload_post;
}

std::string request_line(RequestKind kind, const std::string& page,
                         const std::string& form_string) {
  std::string target = page.empty() ? std::string("/") : page;
  if (kind == RequestKind::get) {
    if (target.find('?') == std::string::npos) {
      target += "?" + form_string;
    } else if (!form_string.empty()) {
      target += "&" + form_string;
    }
  }
  // Blanks and control bytes would split or end the line. The encoded
  // values hold none, so this touches only the page and the names.
  std::string line = kind == RequestKind::get ? "GET " : "POST ";
  for (char c : target) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= 32 || byte == 127) {
      append_escaped(line, byte);
    } else {
      line.push_back(c);
    }
  }
  return line + " HTTP/1.0";
}

std::string host_header(const std::string& host, std::uint16_t port, std::uint16_t default_port) {
  std::string line = "Host: ";
  const bool brackets = host.find(':') != std::string::npos;
  if (brackets) line += '[';
  line += host;
  if (brackets) line += ']';
  if (port != default_port) {
    line += ':';
    line += decimal_text(port);
  }
  return line;
}

std::string site_host(const std::string& site) {
  if (site.size() >= 2 && site.front() == '[' && site.back() == ']') {
    return site.substr(1, site.size() - 2);
  }
  return site;
}

PreparedRequest prepare_request(Failure& failure, const std::string& page,
                                const std::string& method, const StringList& vars,
                                const StringList& files) {
  return prepare_request_at(failure, page, method, vars, files, platform_local_milliseconds());
}

PreparedRequest prepare_request_at(Failure& failure, const std::string& /*page*/,
                                   const std::string& method, const StringList& vars,
                                   const StringList& files, std::uint32_t milliseconds) {
  PreparedRequest request;
  if (request_kind(method, files) != RequestKind::upload_post) {
    request.form_string = form_string(vars);
    return request;
  }
  random_reseed(milliseconds);
  const std::string prefix = body_file_prefix();
  for (int draw = 0; draw < kMaxBoundaryDraws; ++draw) {
    request.boundary = decimal_text(random_integer(1, 2147483647));
    std::int16_t number = create_body_file(failure, prefix, request);
    if (number < 0) return request;
    BodyWriter body{number, request.body_file_name, failure};
    DelimiterWatch watch;
    watch.delimiter = make_matcher("--" + request.boundary);
    bool written = write_body(body, request.boundary, vars, files, watch);
    // After a failure the file stays open for discard_prepared_request.
    if (!written) return request;
    if (!watch.found) {
      ErrorNumber step = 0;
      request.body_size = file_size(step, number);
      if (step != 0) body_failed(body, step);
      return request;
    }
    // The data holds the delimiter, which would end a part early: start over
    // with a new boundary in a new file.
    discard_prepared_request(request);
  }
  note_failure(failure, kErrSystem, Step::body_file, request.body_file_name,
               "every boundary drawn was in the data");
  return request;
}

void discard_prepared_request(PreparedRequest& request) {
  ErrorNumber unused = 0;
  if (request.body_file >= 0) file_close(unused, request.body_file);
  request.body_file = -1;
  request.body_size = 0;
  request.body_file_name.clear();
}
