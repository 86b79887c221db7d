// Composing one HTTP/1.0 request and sending it on an open connection: a
// GET with the form variables in the query, a form POST with a URL-encoded
// body, or an upload POST whose multipart body is staged in a body file in
// the temporary directory.
#pragma once

#include <cstdint>
#include <string>

#include "services/bytes.h"
#include "services/errors.h"

enum class RequestKind { get, form_post, upload_post };

// What prepare_request made and send_request uses.
struct PreparedRequest {
  std::string form_string;     // GET and form POST: the encoded variables joined by "&"
  std::string boundary;        // upload POST: 1 to 10 decimal digits
  // Upload POST: the body file, open under body_file from its creation to
  // the end of sending. It never has a name of its own for longer than its
  // creation takes; body_file_name is the name it was created under.
  std::string body_file_name;
  std::int16_t body_file = -1;
  std::uint64_t body_size = 0;  // bytes written to it
};

// GET unless method is exactly "POST"; a POST is an upload when files has an
// entry, else a form POST.
RequestKind request_kind(const std::string& method, const StringList& files);

// "GET target HTTP/1.0" or "POST target HTTP/1.0". An empty page is "/"; a
// GET adds "?" and the form string, or "&" and the form string (when there
// is one) to a page that holds a "?". Bytes 0 to 32 and 127 of the target
// are written as "%" and two upper-case hex digits.
std::string request_line(RequestKind kind, const std::string& page,
                         const std::string& form_string);

// "Host: " and host (in square brackets when it holds a ":"), then ":" and
// the port unless it is the scheme's default_port (80, or 443 for HTTPS).
std::string host_header(const std::string& host, std::uint16_t port, std::uint16_t default_port);

// The host a Site names, for the connection and the Host header alike: a
// Site written in square brackets ("[::1]") is the address inside them.
std::string site_host(const std::string& site);

// Builds the form string (GET, form POST), or for an upload POST reseeds the
// generator with the time of day, draws the boundary and the body file name
// and writes the body file completely. The first failure goes to failure
// (an upload file that cannot be read, or the body file); a body file made
// before it is left for discard_prepared_request.
PreparedRequest prepare_request(Failure& failure, const std::string& page,
                                const std::string& method, const StringList& vars,
                                const StringList& files);

// The request's head: request line, header lines and the empty line, each
// followed by CR LF, as one text. Content-Length counts exactly the body
// that follows it, and nothing follows the body.
std::string request_head(RequestKind kind, const std::string& host, std::uint16_t port,
                         std::uint16_t default_port, const std::string& page,
                         const PreparedRequest& request);

// Sends the whole request on connection: the head, then the body (the form
// string, or the body file). The first failure goes to failure, with object
// as what failed; sending stops at it. Returns false when nothing at all
// could be sent (the body file could not be read back), true once sending
// started.
bool send_request(Failure& failure, std::int16_t connection, const std::string& host,
                  std::uint16_t port, std::uint16_t default_port, const std::string& page, const std::string& method,
                  const StringList& files, PreparedRequest& request, const std::string& object);

// Closes the body file, which takes it off the disk, and empties its name.
// Records nothing.
void discard_prepared_request(PreparedRequest& request);
