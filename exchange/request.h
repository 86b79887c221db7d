// Composing one HTTP/1.0 request and sending it on an open connection: a
// GET with the form variables in the query, a form POST with a URL-encoded
// body, an upload POST whose multipart body is sent from memory (the
// framing and the variables) and straight from the upload files, counted
// before connecting, or a POST, PUT or PATCH of one Body file; only a
// source whose size cannot be known in advance (a pipe, a device) is staged
// in a body file in the temporary directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "exchange/proxy_route.h"
#include "platform/platform.h"
#include "services/bytes.h"
#include "services/errors.h"

struct TlsClientCredential;

// body_post: the whole body is the Body file, sent by POST, PUT or PATCH.
enum class RequestKind { get, form_post, upload_post, body_post };

// One upload file's part as the job names it; an empty member keeps the
// default: the field FILEn, the path as written, application/octet-stream.
struct UploadPart {
  std::string field;
  std::string name;
  std::string type;
};

// What a job adds to its request beyond the method, target, variables and
// files.
struct RequestOptions {
  // Header lines ("Name: value"), sent in order after the program's own; a
  // User-Agent or Accept line among them takes the place of the program's.
  StringList header_lines;
  // The header lines whose value took a "${NAME}" from the environment:
  // secrets by the administrator's choice, which go only to the Site.
  StringList secret_lines;
  std::vector<UploadPart> parts;  // by upload file, from the first; may be shorter
  std::string body;               // the whole body of a POST, PUT or PATCH is this file; the variables go in the query
  std::string body_type;          // its Content-Type; empty: application/octet-stream for a POST, none otherwise
  // HTTPS: the client certificate offered to the Site's own scheme, host
  // and port alone; nullptr: none. The job owns it.
  const TlsClientCredential* client_credential = nullptr;
};

// One request of a run, settled before it is made: the job's own request
// to the Site, or one that a redirect leads to. Nothing of it changes
// while it is made.
struct HttpRequest {
  std::string method;       // "POST" posts, "PUT" and "PATCH" send a Body; anything else makes a GET
  bool secure = false;      // HTTPS
  std::string host;         // as the Site writes it: an IPv6 address may stand in brackets
  std::uint16_t port = 80;  // the scheme's default when the job sets none
  // What the request line names, before its bytes are escaped: the page
  // with, for a GET and a Body POST, the form string (request_target), or
  // a redirect's target.
  std::string target;
  StringList vars;
  StringList files;
  RequestOptions options;
  ProxyRoute route;         // the proxy it goes through; an empty host: straight to the server
};

// One upload file of an upload POST, open from preparation to the end of
// sending.
struct UploadSource {
  std::int16_t number = -1;     // the upload file's number
  std::string path;             // as the Files entry names it
  std::size_t index = 0;        // its Files entry, from 1
  std::uint64_t size = 0;       // the bytes counted into Content-Length
  FileStamp stamp;              // the file as it was counted
  bool staged = false;          // its bytes lie in the body file, from offset
  std::uint64_t offset = 0;
  // Searched for the delimiter as it is sent, piece by piece, rather than
  // whole before connecting: each byte of the file is then read once.
  bool searched_as_sent = false;
};

// What prepare_request made and send_request uses.
struct PreparedRequest {
  std::string form_string;     // GET and form POST: the encoded variables joined by "&"
  std::string boundary;        // upload POST: 1 to 10 decimal digits
  // Upload POST: the body is texts[0], the bytes of sources[0], texts[1],
  // ..., the bytes of the last source, then the last text (which ends with
  // the closing delimiter line); body_size counts all of it.
  std::vector<std::string> texts;
  std::vector<UploadSource> sources;
  std::uint64_t body_size = 0;
  // The body file, made only when a source must be staged: open under
  // body_file from its creation to the end of sending, it never has a name
  // of its own for longer than its creation takes; body_file_name is the
  // name it was created under.
  std::string body_file_name;
  std::int16_t body_file = -1;
  std::string head;        // the head send_request sent
  std::uint64_t sent = 0;  // bytes send_request got out, in whole pieces
  int boundary_draws = 0;  // upload POST: the boundaries drawn so far
};

// The method a request line carries for a job's method (upper-cased) and
// Body: "POST"; "PUT" or "PATCH" with a Body file; "GET" for anything else,
// a PUT or PATCH without a Body among them.
std::string method_sent(const std::string& method, const std::string& body);

// GET unless method_sent says otherwise; a POST, PUT or PATCH with a Body
// file sends it, else a POST is an upload when files has an entry, else a
// form POST.
RequestKind request_kind(const HttpRequest& request);

// The target a request line carries, before its bytes are escaped: an
// empty page is "/"; a GET (and a request of a Body file) adds "?" and the
// form string, or "&" and the form string (when there is one) to a page that
// holds a "?".
std::string request_target(RequestKind kind, const std::string& page, const std::string& form_string);

// method, the target and "HTTP/1.0" ("GET /x? HTTP/1.0"). Bytes 0 to 32
// and 127 of the target are written as "%" and two upper-case hex digits. A
// request to a proxy puts origin ("http://host:port") before the target,
// and a "/" between them when the target does not begin with one.
std::string request_line(const std::string& method, const std::string& target,
                         const std::string& origin = std::string());

// The User-Agent line of the request, without its CR LF: the one among the
// header lines of options, else the program's own.
std::string user_agent_line(const RequestOptions& options);

// "Host: " and host (in square brackets when it holds a ":"), then ":" and
// the port unless it is the scheme's default_port (80, or 443 for HTTPS).
std::string host_header(const std::string& host, std::uint16_t port, std::uint16_t default_port);

// The host a Site names, for the connection and the Host header alike: a
// Site written in square brackets ("[::1]") is the address inside them.
std::string site_host(const std::string& site);

// Builds the form string (GET, form POST), or for an upload POST: opens
// every upload file and counts its bytes (a regular file by its size, any
// other source by staging it whole in the body file), reseeds the generator
// with the time of day and draws the boundary and a body file name, drawing
// both again while the data holds the delimiter. A regular upload file is
// left to be searched as it is sent (searched_as_sent) under the first
// boundary, and searched whole before connecting under any later one. The
// first failure goes to failure (an upload file that cannot be read, or
// the body file); what was opened before it is left for
// discard_prepared_request.
// A request of a Body file opens and counts that file alone (its failures
// are an upload file's, index 0), and the form string goes in the query.
PreparedRequest prepare_request(Failure& failure, const HttpRequest& request);

// After a send that clashed: draws the next boundaries, searching every
// upload file whole before anything is sent again, as prepare_request does
// after a clash it finds itself, and frames the body anew. False with the
// failure recorded (a file that cannot be read, every boundary in the
// data).
bool redraw_boundary(Failure& failure, const HttpRequest& request, PreparedRequest& prepared);

// The request's head: request line, header lines and the empty line, each
// followed by CR LF, as one text. Content-Length counts exactly the body
// that follows it, and nothing follows the body. Through a proxy, plain
// HTTP names the whole URL in the request line and ends the head with the
// route's Proxy-Authorization.
std::string request_head(const HttpRequest& request, const PreparedRequest& prepared);

// How sending a request ended.
enum class SendOutcome : std::uint8_t {
  not_started,  // nothing could be sent
  sent,         // sent, or stopped by a failure of the connection
  abandoned,    // an upload file ended before its counted bytes: the
                // connection must be closed without anything more
  clashed,      // an upload file searched as it was sent holds the
                // delimiter: nothing of that piece went out, the connection
                // must be closed without anything more (the body is short
                // of its Content-Length, which no server takes as a
                // request), and the request made again (redraw_boundary)
};

// Sends the whole request on connection: the head, then the body (the form
// string, or the upload body from memory and from the files). The first
// failure goes to failure, with object as what failed; sending stops at it.
// An upload file that ends before its counted bytes stops it with 62
// (abandoned); one whose size or modification time changed while it was
// sent is noted in changed (62), and sending goes on.
SendOutcome send_request(Failure& failure, Failure& changed, std::int16_t connection,
                         const HttpRequest& request, PreparedRequest& prepared,
                         const std::string& object);

// Closes the upload files and the body file, which takes it off the disk,
// and empties its name. Records nothing.
void discard_prepared_request(PreparedRequest& request);
