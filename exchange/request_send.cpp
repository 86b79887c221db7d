// Sending a prepared request on an open connection.
#include <algorithm>

#include "exchange/location.h"
#include "exchange/matcher.h"
#include "exchange/request.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "services/files.h"
#include "services/number_table.h"
#include "services/tcp.h"
#include "services/version.h"

namespace {

// True when one of lines is a header line whose name is name, in any
// letter case.
bool given(const StringList& lines, const std::string& name) {
  for (const std::string& line : lines) {
    if (line.size() > name.size() && line[name.size()] == ':' &&
        equal_ignoring_ascii_case(line.substr(0, name.size()), name)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string user_agent_line(const RequestOptions& options) {
  for (const std::string& line : options.header_lines) {
    if (line.size() > 10 && line[10] == ':' && equal_ignoring_ascii_case(line.substr(0, 10), "User-Agent")) {
      return line;
    }
  }
  return "User-Agent: Ravelok/" RAVELOK_VERSION " [ca] [DOS]";
}

std::string request_head(const HttpRequest& request, const PreparedRequest& prepared) {
  const RequestKind kind = request_kind(request);
  const RequestOptions& options = request.options;
  const std::string host = site_host(request.host);
  // Plain HTTP through a proxy names the whole URL, the Host line's own
  // form of host and port after the scheme; HTTPS goes through a tunnel
  // and names the path alone.
  const bool to_proxy = !request.route.host.empty() && !request.secure;
  const std::string origin =
      to_proxy ? "http://" + host_header(host, request.port, 80).substr(6) : std::string();
  std::string head = request_line(method_sent(request.method, options.body), request.target, origin) + "\r\n";
  if (!given(options.header_lines, "User-Agent")) head += user_agent_line(options) + "\r\n";
  head += host_header(host, request.port, default_port(request.secure)) + "\r\n";
  if (!given(options.header_lines, "Accept")) head += "Accept: */*\r\n";
  switch (kind) {
    case RequestKind::get:
      break;
    case RequestKind::form_post:
      head += "Content-Type: application/x-www-form-urlencoded\r\n";
      head += "Content-Length: " +
              decimal_text(static_cast<std::int64_t>(prepared.form_string.size())) + "\r\n";
      break;
    case RequestKind::upload_post:
      head += "Content-Type: multipart/form-data; boundary=" + prepared.boundary + "\r\n";
      head += "Content-Length: " + decimal_text(static_cast<std::int64_t>(prepared.body_size)) + "\r\n";
      break;
    case RequestKind::body_post:
      // A PUT or PATCH names a type only when the job gives one: a signed
      // upload address may have signed the type, or its absence.
      if (!options.body_type.empty()) {
        head += "Content-Type: " + options.body_type + "\r\n";
      } else if (request.method == "POST") {
        head += "Content-Type: application/octet-stream\r\n";
      }
      head += "Content-Length: " + decimal_text(static_cast<std::int64_t>(prepared.body_size)) + "\r\n";
      break;
  }
  for (const std::string& line : options.header_lines) head += line + "\r\n";
  if (to_proxy && !request.route.authorization.empty()) {
    head += "Proxy-Authorization: " + request.route.authorization + "\r\n";
  }
  return head + "\r\n";
}

namespace {

// Sends size bytes of file, from offset, in pieces as tcp_send_file does,
// each searched for the delimiter before it goes out: a piece that holds
// one, or ends one begun in the piece before, is not sent, and clashed is
// set. Returns the count of the file's bytes sent; fails as tcp_send_file
// does.
std::uint64_t send_searching(ErrorNumber& error_code, std::int16_t connection, FileHandle file,
                             std::uint64_t offset, std::uint64_t size, const std::string& boundary,
                             bool& clashed) {
  const AlignedBytes piece = aligned_bytes(static_cast<std::size_t>(std::min<std::uint64_t>(size, kFilePiece)), 0);
  if (piece.data == nullptr) {
    error_code = kErrNoMemory;
    return 0;
  }
  Matcher delimiter = make_matcher("--" + boundary);
  std::uint64_t sent = 0;
  while (sent < size) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size - sent, kFilePiece));
    ErrorNumber read_error = 0;
    const std::size_t got = platform_read_at(read_error, file, piece.data, want, offset + sent);
    if (read_error != 0 || got == 0) {
      // A failed read, or a file shorter than the size announced.
      error_code = read_error != 0 ? read_error : ErrorNumber{kErrEndOfFile};
      return sent;
    }
    if (matcher_feed(delimiter, piece.data, got) != kNoMatch) {
      clashed = true;
      return sent;
    }
    tcp_send_bytes(error_code, connection, piece.data, got);
    if (error_code != 0) return sent;
    sent += got;
  }
  return sent;
}

// Sends the bytes of one upload source, straight from its file (or from
// the body file where it was staged): 0 when they all went out; 62 with
// failure set when the file ended before its counted bytes, which leaves
// the request torn; another number when the connection failed. A file that
// changed while it was sent is noted in changed; one found to hold the
// delimiter sets clashed, with 0.
ErrorNumber send_source(Failure& failure, Failure& changed, std::int16_t connection,
                        const PreparedRequest& request, const UploadSource& source, bool& clashed) {
  const FileHandle file = file_handle(source.staged ? request.body_file : source.number);
  ErrorNumber error_code = 0;
  const std::uint64_t sent =
      source.searched_as_sent ? send_searching(error_code, connection, file, source.offset, source.size,
                                               request.boundary, clashed)
                              : tcp_send_file(error_code, connection, file, source.offset, source.size);
  if (clashed) return 0;
  const std::string of = " of its " + grouped_digits(source.size) + " counted bytes went out";
  if (error_code == kErrEndOfFile) {
    note_failure(failure, kErrEndOfFile, Step::upload_changed, source.path,
                 "it ended early: " + grouped_digits(sent) + of);
    failure.index = static_cast<std::int32_t>(source.index);
    return error_code;
  }
  if (error_code != 0 || source.staged) return error_code;
  // Bytes sent as they were counted, or a torn file: the size and the time
  // of the last write tell.
  ErrorNumber step = 0;
  const FileStamp now = platform_file_stamp(step, file);
  if (step != 0 || now.size != source.stamp.size || now.modified != source.stamp.modified) {
    note_failure(changed, kErrEndOfFile, Step::upload_changed, source.path,
                 "its size or time of last write changed; all" + of);
    changed.index = static_cast<std::int32_t>(source.index);
  }
  return 0;
}

}  // namespace

SendOutcome send_request(Failure& failure, Failure& changed, std::int16_t connection,
                         const HttpRequest& request, PreparedRequest& prepared,
                         const std::string& object) {
  const RequestKind kind = request_kind(request);
  // A Body file goes out as an upload's one source with no framing.
  const bool from_files = kind == RequestKind::upload_post || kind == RequestKind::body_post;
  if (from_files && prepared.sources.size() + 1 != prepared.texts.size()) {
    // A request whose body cannot follow its header is not started at all.
    note_failure(failure, kErrNotOpen, Step::body_file, prepared.body_file_name,
                 "the upload body is not prepared");
    return SendOutcome::not_started;
  }

  // The head goes out in one piece with what follows it in memory (a form
  // POST's body, an upload's first framing): Content-Length counts every
  // byte after the empty line, so a server that reads exactly that much
  // finds nothing left over.
  prepared.head = request_head(request, prepared);
  std::string text = prepared.head;
  if (kind == RequestKind::form_post) text += prepared.form_string;
  if (from_files) text += prepared.texts[0];
  ErrorNumber error_code = 0;
  tcp_send(error_code, connection, text);
  if (error_code == 0) prepared.sent += text.size();
  for (std::size_t i = 0; from_files && error_code == 0 && i < prepared.sources.size(); ++i) {
    bool clashed = false;
    error_code = send_source(failure, changed, connection, prepared, prepared.sources[i], clashed);
    if (clashed) return SendOutcome::clashed;
    if (error_code == kErrEndOfFile) return SendOutcome::abandoned;
    if (error_code == 0) prepared.sent += prepared.sources[i].size;
    if (error_code == 0 && !prepared.texts[i + 1].empty()) tcp_send(error_code, connection, prepared.texts[i + 1]);
    if (error_code == 0) prepared.sent += prepared.texts[i + 1].size();
  }
  if (error_code != 0) {
    note_failure(failure, error_code, Step::send, object, failure_reason(error_code));
  }
  return SendOutcome::sent;
}
