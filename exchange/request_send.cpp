// Sending a prepared request on an open connection.
#include "exchange/request.h"
#include "platform/platform.h"
#include "services/files.h"
#include "services/numbers.h"
#include "services/tcp.h"
#include "services/version.h"

std::string request_head(RequestKind kind, const std::string& host, std::uint16_t port,
                         std::uint16_t default_port, const std::string& page,
                         const PreparedRequest& request) {
  std::string head = request_line(kind, page, request.form_string) + "\r\n";
  head += "User-Agent: Ravelok/" RAVELOK_VERSION " [ca] [DOS]\r\n";
  head += host_header(host, port, default_port) + "\r\n";
  head += "Accept: */*\r\n";
  switch (kind) {
    case RequestKind::get:
      break;
    case RequestKind::form_post:
      head += "Content-Type: application/x-www-form-urlencoded\r\n";
      head += "Content-Length: " +
              decimal_text(static_cast<std::int64_t>(request.form_string.size())) + "\r\n";
      break;
    case RequestKind::upload_post: {
      // The closing delimiter line "--" boundary "--" CR LF follows the file.
      const std::uint64_t length = request.body_size + request.boundary.size() + 6;
      head += "Content-Type: multipart/form-data; boundary=" + request.boundary + "\r\n";
      head += "Content-Length: " + decimal_text(static_cast<std::int64_t>(length)) + "\r\n";
      break;
    }
  }
  return head + "\r\n";
}

bool send_request(Failure& failure, std::int16_t connection, const std::string& host,
                  std::uint16_t port, std::uint16_t default_port, const std::string& page, const std::string& method,
                  const StringList& files, PreparedRequest& request, const std::string& object) {
  const RequestKind kind = request_kind(method, files);
  const FileHandle body = file_handle(request.body_file);
  if (kind == RequestKind::upload_post && body == kNoFile) {
    // A request whose body cannot follow its header is not started at all.
    note_failure(failure, kErrNotOpen, Step::body_file, request.body_file_name,
                 "the body file is not open");
    return false;
  }

  // The head goes out in one piece, with a form POST's body: Content-Length
  // counts every byte after the empty line, so a server that reads exactly
  // that much finds nothing left over.
  std::string text = request_head(kind, host, port, default_port, page, request);
  if (kind == RequestKind::form_post) text += request.form_string;
  ErrorNumber error_code = 0;
  tcp_send(error_code, connection, text);
  if (kind == RequestKind::upload_post) {
    if (error_code == 0) tcp_send_file(error_code, connection, body, 0, request.body_size);
    if (error_code == 0) tcp_send(error_code, connection, "--" + request.boundary + "--\r\n");
  }
  if (error_code != 0) {
    note_failure(failure, error_code, Step::send, object, failure_reason(error_code));
  }
  return true;
}
