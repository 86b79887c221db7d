// Request composition: the request kind, the request and Host lines, and the
// upload body file. Sending is in request_send.cpp.
#include <algorithm>

#include "exchange/form.h"
#include "exchange/matcher.h"
#include "exchange/request.h"
#include "exchange/request_internal.h"
#include "platform/platform.h"
#include "services/files.h"
#include "services/number_table.h"
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

// Where the first failure of preparing an upload goes.
struct Preparation {
  Failure& failure;
  PreparedRequest& request;
  std::string body_prefix;  // the temporary directory, with its separator
  std::uint64_t staged = 0;  // bytes in the body file so far
};

// Records a failure of an upload file (its index counted from 1) at path.
void upload_failed(Failure& failure, std::size_t index, const std::string& path, ErrorNumber number) {
  if (failure.number != 0) return;
  note_failure(failure, number, Step::upload_file, path, failure_reason(number));
  failure.index = static_cast<std::int32_t>(index);
}

// Records a failure of the body file.
void body_failed(Preparation& preparation, ErrorNumber number) {
  note_failure(preparation.failure, number, Step::body_file, preparation.request.body_file_name,
               failure_reason(number));
}

// Creates the body file under a drawn name, drawing again while the name is
// taken; the file keeps no name once made. False with the failure recorded.
bool create_body_file(Preparation& preparation) {
  PreparedRequest& request = preparation.request;
  std::string name;
  for (int draw = 0; draw < kMaxNameDraws; ++draw) {
    name = preparation.body_prefix + decimal_text(random_integer(1, 99999999)) + ".TMP";
    std::int16_t number = next_free_number();
    bool taken = false;
    ErrorNumber step = 0;
    file_create_unnamed(step, number, name, taken);
    if (step != 0) {
      note_failure(preparation.failure, step, Step::body_file, name, failure_reason(step));
      return false;
    }
    if (!taken) {
      request.body_file_name = name;
      request.body_file = number;
      return true;
    }
  }
  // Every drawn name already existed: as an existing file refuses a new one.
  note_failure(preparation.failure, kErrSystem, Step::body_file, name, "every name drawn was taken");
  return false;
}

// Copies a source whose size cannot be known before it is read (a pipe, a
// device, a file that reports no size) to the end of the body file, in
// pieces, to its end. False with the failure recorded.
bool stage_source(Preparation& preparation, UploadSource& source, std::string& piece) {
  PreparedRequest& request = preparation.request;
  ErrorNumber step = 0;
  source.offset = preparation.staged;
  source.size = 0;
  for (;;) {
    const std::size_t got = file_read(step, source.number, piece.data(), piece.size());
    if (step != 0) {
      upload_failed(preparation.failure, source.index, source.path, step);
      return false;
    }
    if (got == 0) break;
    file_write(step, request.body_file, piece.data(), got);
    if (step != 0) {
      body_failed(preparation, step);
      return false;
    }
    source.size += got;
    preparation.staged += got;
  }
  source.staged = true;
  return true;
}

// Opens the index-th upload file and counts its bytes: a regular file by
// its size, anything else (and a regular file that says it is empty yet
// holds bytes, as many under /proc do) by staging it in the body file.
// False with the failure recorded.
bool count_source(Preparation& preparation, std::size_t index, const std::string& path,
                  std::string& piece) {
  PreparedRequest& request = preparation.request;
  UploadSource source;
  source.path = path;
  source.index = index;
  source.number = next_free_number();
  ErrorNumber step = 0;
  file_open_read(step, source.number, path);
  if (step == 0) source.stamp = platform_file_stamp(step, file_handle(source.number));
  if (step != 0 || source.stamp.terminal) {
    if (find_number(source.number) != nullptr) {
      ErrorNumber unused = 0;
      file_close(unused, source.number);
    }
    if (step != 0) {
      upload_failed(preparation.failure, index, path, step);
    } else {
      // Reading a terminal would wait for someone to type.
      upload_failed(preparation.failure, index, path, kErrNoDevice);
      preparation.failure.reason = "a terminal, which a job never reads";
    }
    return false;
  }
  request.sources.push_back(source);
  UploadSource& counted = request.sources.back();
  bool staged = !counted.stamp.regular;
  if (counted.stamp.regular && counted.stamp.size == 0) {
    const std::size_t got = platform_read_at(step, file_handle(counted.number), piece.data(), 1, 0);
    if (step != 0) {
      upload_failed(preparation.failure, index, path, step);
      return false;
    }
    staged = got > 0;
  }
  if (!staged) {
    counted.size = counted.stamp.size;
    return true;
  }
  if (request.body_file < 0 && !create_body_file(preparation)) return false;
  return stage_source(preparation, counted, piece);
}

// True when the delimiter occurs in bytes of the file open as handle, from
// offset, size bytes long, read in pieces (a match across two pieces
// included). Reading stops at an early end of the file, which sending
// will then find. False with read_error set when a read fails.
bool holds_delimiter(ErrorNumber& read_error, FileHandle handle, std::uint64_t offset,
                     std::uint64_t size, Matcher& delimiter, std::string& piece) {
  matcher_reset(delimiter);
  std::uint64_t done = 0;
  while (done < size) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, piece.size()));
    const std::size_t got = platform_read_at(read_error, handle, piece.data(), want, offset + done);
    if (read_error != 0 || got == 0) return false;
    if (matcher_feed(delimiter, piece.data(), got) != kNoMatch) return true;
    done += got;
  }
  return false;
}

// True when "--" + boundary occurs in a variable's value or an upload
// file's bytes, where it would end a part early. With while_sent, a regular
// file is not searched now but marked to be searched as it is sent; a
// staged source, read once already, is searched here. False with the
// failure recorded when a file cannot be read.
bool data_holds_delimiter(Preparation& preparation, const std::string& boundary,
                          const StringList& vars, std::string& piece, bool while_sent) {
  Matcher delimiter = make_matcher("--" + boundary);
  for (const std::string& entry : vars) {
    const std::string value = split_form_entry(entry).value;
    matcher_reset(delimiter);
    if (matcher_feed(delimiter, value.data(), value.size()) != kNoMatch) return true;
  }
  PreparedRequest& request = preparation.request;
  for (UploadSource& source : request.sources) {
    source.searched_as_sent = while_sent && !source.staged;
    if (source.searched_as_sent) continue;
    ErrorNumber step = 0;
    const FileHandle handle = file_handle(source.staged ? request.body_file : source.number);
    if (holds_delimiter(step, handle, source.offset, source.size, delimiter, piece)) return true;
    if (step != 0) {
      if (source.staged) {
        body_failed(preparation, step);
      } else {
        upload_failed(preparation.failure, source.index, source.path, step);
      }
      return false;
    }
  }
  return false;
}

// The texts around the upload files under boundary: the variables' parts
// and the first file's part header, then between each two files the end of
// one part and the header of the next, then the closing delimiter line.
// A part's type is a header value, not a quoted name: it goes out as
// written (a line break in it is refused with the settings), so that its
// quoted parameters (charset="utf-8") reach the server unchanged.
void frame_body(PreparedRequest& request, const StringList& vars, const StringList& files,
                const std::vector<UploadPart>& parts) {
  const std::string delimiter = "--" + request.boundary;
  std::string text;
  for (const std::string& entry : vars) {
    const FormVariable variable = split_form_entry(entry);
    text += delimiter + "\r\nContent-Disposition: form-data; name=\"" + part_name_text(variable.name) +
            "\"\r\n\r\n" + variable.value + "\r\n";
  }
  request.texts.clear();
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (i > 0) text = "\r\n";
    const UploadPart part = i < parts.size() ? parts[i] : UploadPart();
    const std::string field =
        part.field.empty() ? "FILE" + decimal_text(static_cast<std::int64_t>(i + 1)) : part.field;
    text += delimiter + "\r\nContent-Disposition: form-data; name=\"" + part_name_text(field) +
            "\"; filename=\"" + part_name_text(part.name.empty() ? files[i] : part.name) +
            "\"\r\nContent-Type: " +
            (part.type.empty() ? std::string("application/octet-stream") : part.type) + "\r\n\r\n";
    request.texts.push_back(text);
  }
  request.texts.push_back("\r\n" + delimiter + "--\r\n");
  request.body_size = 0;
  for (const std::string& piece : request.texts) request.body_size += piece.size();
  for (const UploadSource& source : request.sources) request.body_size += source.size;
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

// Draws boundaries, from the request's next draw on, until the data holds
// none, and frames the body under it. The files are opened and counted
// once, after the first boundary, so that a body file staging needs draws
// its name where names were always drawn; every boundary is followed by a
// name, a file made or not. False with the failure recorded.
bool draw_boundary(Preparation& preparation, const HttpRequest& wanted, std::string& piece) {
  PreparedRequest& request = preparation.request;
  while (request.boundary_draws < kMaxBoundaryDraws) {
    const int draw = request.boundary_draws++;
    request.boundary = decimal_text(random_integer(1, 2147483647));
    bool named = false;
    if (draw == 0) {
      preparation.body_prefix = body_file_prefix();
      for (std::size_t i = 0; i < wanted.files.size(); ++i) {
        // After a failure the files stay open for discard_prepared_request.
        if (!count_source(preparation, i + 1, wanted.files[i], piece)) return false;
      }
      named = request.body_file >= 0;
    }
    if (!named) random_integer(1, 99999999);
    if (!data_holds_delimiter(preparation, request.boundary, wanted.vars, piece, draw == 0)) {
      if (preparation.failure.number != 0) return false;
      frame_body(request, wanted.vars, wanted.files, wanted.options.parts);
      return true;
    }
    // The data holds the delimiter, which would end a part early: draw a new
    // boundary.
  }
  note_failure(preparation.failure, kErrSystem, Step::body_file, request.body_file_name,
               "every boundary drawn was in the data");
  return false;
}

}  // namespace

std::string method_sent(const std::string& method, const std::string& body) {
  if (method == "POST" || (!body.empty() && (method == "PUT" || method == "PATCH"))) return method;
  return "GET";
}

RequestKind request_kind(const HttpRequest& request) {
  const std::string method = method_sent(request.method, request.options.body);
  if (method == "GET") return RequestKind::get;
  if (!request.options.body.empty()) return RequestKind::body_post;
  return request.files.empty() ? RequestKind::form_post : RequestKind::upload_post;
}

std::string request_target(RequestKind kind, const std::string& page, const std::string& form_string) {
  std::string target = page.empty() ? std::string("/") : page;
  if (kind == RequestKind::get || kind == RequestKind::body_post) {
    if (target.find('?') == std::string::npos) {
      target += "?" + form_string;
    } else if (!form_string.empty()) {
      target += "&" + form_string;
    }
  }
  return target;
}

std::string request_line(const std::string& method, const std::string& target, const std::string& origin) {
  const std::string whole = origin.empty() ? target : origin + (target[0] == '/' ? "" : "/") + target;
  // Blanks and control bytes would split or end the line. The encoded
  // values hold none, so this touches only the page and the names.
  std::string line = method + " ";
  for (char c : whole) {
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

PreparedRequest prepare_request(Failure& failure, const HttpRequest& request) {
  return prepare_request_at(failure, request, platform_local_milliseconds());
}

PreparedRequest prepare_request_at(Failure& failure, const HttpRequest& wanted, std::uint32_t milliseconds) {
  PreparedRequest request;
  const RequestKind kind = request_kind(wanted);
  if (kind != RequestKind::upload_post) {
    request.form_string = form_string(wanted.vars);
    if (kind != RequestKind::body_post) return request;
  }
  Preparation preparation{failure, request, std::string()};
  random_reseed(milliseconds);
  std::string piece(kPieceSize, '\0');
  if (kind == RequestKind::body_post) {
    // The Body file is the whole body: counted as an upload file is (a
    // source of unknown size staged), with nothing around it.
    preparation.body_prefix = body_file_prefix();
    if (!count_source(preparation, 0, wanted.options.body, piece)) return request;
    request.texts = {std::string(), std::string()};
    request.body_size = request.sources[0].size;
    return request;
  }
  draw_boundary(preparation, wanted, piece);
  return request;
}

bool redraw_boundary(Failure& failure, const HttpRequest& request, PreparedRequest& prepared) {
  Preparation preparation{failure, prepared, std::string()};
  std::string piece(kPieceSize, '\0');
  prepared.sent = 0;
  return draw_boundary(preparation, request, piece);
}

void discard_prepared_request(PreparedRequest& request) {
  ErrorNumber unused = 0;
  for (const UploadSource& source : request.sources) {
    if (source.number >= 0) file_close(unused, source.number);
  }
  request.sources.clear();
  if (request.body_file >= 0) file_close(unused, request.body_file);
  request.body_file = -1;
  request.body_size = 0;
  request.body_file_name.clear();
}
