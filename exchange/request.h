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
  std::string body_file_name;  // upload POST: empty once the file is deleted
  bool body_file_created = false;  // this run created the file under body_file_name
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

// "Host: " and site (in square brackets when it holds a ":"), then ":" and
// the port unless it is 80.
std::string host_header(const std::string& site, std::uint16_t port);

// Builds the form string (GET, form POST), or for an upload POST reseeds the
// generator with the time of day, draws the boundary and the body file name
// and writes the body file completely. Failures are recorded in error_code;
// a body file made before a failure is left for discard_prepared_request.
PreparedRequest prepare_request(ErrorNumber& error_code, const std::string& page,
                                const std::string& method, const StringList& vars,
                                const StringList& files);

// As prepare_request, with the reseed taken from milliseconds (since local
// midnight) instead of the clock.
PreparedRequest prepare_request_at(ErrorNumber& error_code, const std::string& page,
                                   const std::string& method, const StringList& vars,
                                   const StringList& files, std::uint32_t milliseconds);

// Sends the whole request on connection: request line, header lines, empty
// line and body, every line followed by CR LF. An upload POST's body file is
// sent and then deleted. Failures are recorded in error_code; when the body
// file cannot be read back nothing is sent at all.
void send_request(ErrorNumber& error_code, std::int16_t connection, const std::string& site,
                  std::uint16_t port, const std::string& page, const std::string& method,
                  const StringList& files, PreparedRequest& request);

// Deletes the body file when this run created it and it is still there, and
// empties its name. Records nothing.
void discard_prepared_request(PreparedRequest& request);
