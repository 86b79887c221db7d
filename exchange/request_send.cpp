// Sending a prepared request on an open connection.
#include "exchange/request.h"
#include "services/files.h"
#include "services/numbers.h"
#include "services/tcp.h"
#include "services/version.h"

namespace {

// Sends size bytes of the body file with the kernel's copy. The size was
// announced in Content-Length, so no more than that goes out; a file that
// has become shorter fails with 62, since later bytes could not follow.
void send_body_file(ErrorNumber& error_code, std::int16_t connection, std::int16_t body,
                    std::uint64_t size) {
  const std::intptr_t handle = file_handle(body);
  if (handle == kNoHandle) {
    set_error(error_code, kErrNotOpen);
    return;
  }
  tcp_send_file(error_code, connection, handle, 0, size);
}

}  // namespace

void send_request(ErrorNumber& error_code, std::int16_t connection, const std::string& site,
                  std::uint16_t port, const std::string& page, const std::string& method,
                  const StringList& files, PreparedRequest& request) {
  RequestKind kind = request_kind(method, files);
  std::int16_t body = -1;
  std::uint64_t body_size = 0;
  if (kind == RequestKind::upload_post) {
    // The body file is opened before anything is sent: a request whose body
    // cannot follow its header is not started at all.
    body = next_free_number();
    ErrorNumber step = 0;
    file_open_read(step, body, request.body_file_name);
    if (step == 0) body_size = file_size(step, body);
    if (step != 0) {
      set_error(error_code, step);
      file_close(step, body);
      discard_prepared_request(request);
      return;
    }
  }

  tcp_send_line(error_code, connection, request_line(kind, page, request.form_string));
  tcp_send_line(error_code, connection, "User-Agent: Ravelok/" RAVELOK_VERSION " [ca] [DOS]");
  tcp_send_line(error_code, connection, host_header(site, port));
  tcp_send_line(error_code, connection, "Accept: */*");
  switch (kind) {
    case RequestKind::get:
      tcp_send_line(error_code, connection, "");
      break;
    case RequestKind::form_post:
      tcp_send_line(error_code, connection, "Content-Type: application/x-www-form-urlencoded");
      tcp_send_line(error_code, connection,
                    "Content-Length: " +
                        decimal_text(static_cast<std::int64_t>(request.form_string.size())));
      tcp_send_line(error_code, connection, "");
      // The CR LF after the form string is not counted in Content-Length.
      tcp_send_line(error_code, connection, request.form_string);
      break;
    case RequestKind::upload_post: {
      // The closing delimiter line "--" boundary "--" CR LF follows the file.
      std::uint64_t length = body_size + request.boundary.size() + 6;
      tcp_send_line(error_code, connection,
                    "Content-Type: multipart/form-data; boundary=" + request.boundary);
      tcp_send_line(error_code, connection,
                    "Content-Length: " + decimal_text(static_cast<std::int64_t>(length)));
      tcp_send_line(error_code, connection, "");
      send_body_file(error_code, connection, body, body_size);
      tcp_send_line(error_code, connection, "--" + request.boundary + "--");
      file_close(error_code, body);
      discard_prepared_request(request);
      break;
    }
  }
}
