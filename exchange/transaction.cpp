#include "exchange/transaction.h"

#include "exchange/ca_file.h"
#include "exchange/proxy_tunnel.h"
#include "exchange/request.h"
#include "exchange/response.h"
#include "services/console.h"
#include "services/shown.h"
#include "services/number_table.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "platform/tls_names.h"
#include "services/tcp.h"

namespace {

constexpr std::int32_t kReceiveSize = 4096;

// True once the header has been cut and the body has reached the
// Content-Length field's value: nothing more belongs to the answer.
bool length_reached(const ResponseReader& reader, const BodyStore& store) {
  return header_cut(reader) && reader.scanner.length_field_seen &&
         store.length >= reader.scanner.length_field;
}

// How far an answer had come when the server went quiet, in words: the
// body bytes once the header is cut, else the bytes of the header so far.
std::string stall(const ResponseReader& reader, const BodyStore& store, std::uint32_t seconds) {
  std::string arrived;
  if (!header_cut(reader)) {
    arrived = grouped_digits(reader.received) + " bytes of the header";
  } else if (reader.scanner.length_field_seen) {
    arrived = grouped_digits(store.length) + " of " +
              grouped_digits(reader.scanner.length_field) + " body bytes";
  } else {
    arrived = grouped_digits(store.length) + " body bytes";
  }
  return arrived + ", then nothing more within " + decimal_text(seconds) + " s";
}

// Reads passes until the answer has reached its Content-Length, the server
// has closed, a receive has failed or the answer can no longer be kept.
// There is nothing to wait for after any of these, so no pass is repeated.
// Tells whether the server was seen closing the connection. A time-out after
// part of the answer is an answer cut short, and says how far it came.
bool read_response(Failure& failure, ResponseReader& reader, BodyStore& store,
                   std::int16_t number, const std::string& object, std::uint32_t seconds) {
  for (;;) {
    if (length_reached(reader, store) || store.error != 0) return false;
    const bool header_cut_before = header_cut(reader);
    ErrorNumber error_code = 0;
    const std::size_t got = read_response_piece(error_code, reader, store, number, kReceiveSize);
    // The pass that cuts the header shows nothing; later passes show the
    // body received so far.
    if (got > 0 && header_cut_before) {
      progress_receiving(static_cast<std::int64_t>(store.length), reader.scanner.announced);
    }
    if (error_code == kErrTimedOut && reader.received > 0) {
      note_failure(failure, error_code, Step::answer, object, stall(reader, store, seconds));
      return false;
    }
    if (error_code != 0) {
      note_failure(failure, error_code, Step::receive, object, failure_reason(error_code));
      return false;
    }
    // Nothing and no failure: the server has closed.
    if (got == 0) return true;
  }
}

// How an answer that the server ended early fell short, in words.
std::string shortfall(const ResponseReader& reader, const BodyStore& store) {
  if (reader.received == 0) return "the server closed without answering";
  if (!header_cut(reader)) return "the server closed before the header ended";
  return grouped_digits(store.length) + " of " + grouped_digits(reader.scanner.length_field) +
         " body bytes before the server closed";
}

// True when a proxy can be told of host as it stands: an address, or a
// name of letters, digits, "-", "_" and ".". A Site that holds a port, a
// path or anything else would make another URL in the proxy's hands.
bool names_one_host(const std::string& host) {
  std::string address;
  if (parse_plain_address(host, address)) return true;
  if (host.empty()) return false;
  for (char c : host) {
    if (!is_ascii_letter(c) && !is_ascii_digit(c) && c != '-' && c != '_' && c != '.') return false;
  }
  return true;
}

// What one transaction knows of its request while it runs.
struct Exchange {
  const HttpRequest& request;
  std::string host;                 // the connection's and the Host line's, without brackets
  std::string object;               // how failure lines name the server: host and port
  bool proxied = false;             // through a proxy
  std::string connection_object;    // how they name what the connection reaches: the server or the proxy
  std::uint32_t seconds = 3;        // a time-out's words name the wait in whole seconds
  TlsPeer peer;                     // HTTPS: whom the server's certificate must name
  std::vector<std::string> roots;   // HTTPS: the CAFile's certificates; none: the system's
};

// Whom the certificate must name, and the trusted certificates: checked
// before anything is connected, so that nothing of the upload is staged
// either when they fail.
void settle_peer(Failure& failure, Exchange& exchange, const std::string& ca_file) {
  const std::string& host = exchange.host;
  TlsPeer& peer = exchange.peer;
  peer.name = host;
  peer.tunnelled = exchange.proxied;
  peer.credential = exchange.request.options.client_credential;
  // Built by appending: GCC 12's Release build warns of the temporaries
  // of "\"" + ... + "\"".
  std::string quoted = "\"";
  quoted += shown_url(host);
  quoted += "\"";
  if (!parse_plain_address(host, peer.address) && looks_like_an_address(host)) {
    // The resolver would read it as some address, one the certificate
    // was never checked against.
    note_failure(failure, kErrSocket, Step::secure, exchange.object,
                 quoted + " is no plain address: write IPv4 as four decimal numbers, IPv6 without brackets");
  } else if (peer.address.empty() && !host.empty() && host[0] == '.') {
    // A certificate check would take it as a whole domain.
    note_failure(failure, kErrSocket, Step::secure, exchange.object, quoted + " is no host name");
  }
  if (!ca_file.empty()) exchange.roots = read_ca_file(failure, ca_file);
}

// Opens the connection under number: to the server, or to the proxy and
// through its tunnel, then the TLS handshake and checks for HTTPS. Returns
// the seconds a connect that ran out of time had (the time-out, or less
// when the deadline came first); open_error is the open's own failure.
// The CONNECT request and the proxy's answer to it go to result.
std::uint32_t open_connection(Failure& failure, ErrorNumber& open_error, const Exchange& exchange,
                              std::int16_t number, const WaitLimits& limits, TransactionResult& result) {
  const HttpRequest& request = exchange.request;
  const ProxyRoute& route = request.route;
  const std::string site = shown_url(request.host);
  std::uint32_t connect_seconds = exchange.seconds;
  if (exchange.host.find('@') != std::string::npos) {
    // A user name and password written into Site are never handed to the
    // resolver, which would send them to a name server.
    open_error = kErrSocket;
    note_failure(failure, open_error, Step::resolve, site, "not looked up");
  } else if (exchange.proxied && !names_one_host(exchange.host)) {
    open_error = kErrSocket;
    note_failure(failure, open_error, Step::resolve, site, "not a host name, so not sent to the proxy");
  } else {
    const std::uint64_t now = platform_monotonic_milliseconds();
    if (limits.deadline_ms != 0 && limits.deadline_ms < now + limits.wait_ms) {
      connect_seconds = static_cast<std::uint32_t>(
          (limits.deadline_ms > now ? limits.deadline_ms - now + 999 : 0) / 1000);
    }
    tcp_open(open_error, number, exchange.proxied ? route.host : exchange.host,
             exchange.proxied ? route.port : request.port, limits, std::string());
  }
  // A proxy's name that does not resolve is no fault of the Site.
  if (open_error != 0 && platform_failure_was_lookup() && !exchange.proxied) {
    note_failure(failure, open_error, Step::resolve, site, failure_reason(open_error));
  }
  note_failure(failure, open_error, Step::connect, exchange.connection_object, failure_reason(open_error));
  if (failure.number == 0 && request.secure && exchange.proxied) {
    open_tunnel(failure, number, request, exchange.connection_object, limits.wait_ms, result.tunnel_head,
                result.tunnel_header);
  }
  if (failure.number == 0 && request.secure) {
    // No byte of the request leaves before the handshake and the checks
    // of the server's certificate have passed.
    ErrorNumber secure_error = 0;
    tcp_start_tls(secure_error, number, exchange.peer, exchange.roots);
    note_failure(failure, secure_error, Step::secure, exchange.object, failure_reason(secure_error));
  }
  return connect_seconds;
}

}  // namespace

TransactionResult http_transaction(const HttpRequest& request, const std::string& ca_file,
                                   BodyStore& store, const WaitLimits& limits) {
  TransactionResult result;
  Failure& failure = result.failure;
  const std::string host = site_host(request.host);
  const std::string object = shown_url(host) + " port " + decimal_text(request.port);
  // Through a proxy the connection is the proxy's; for plain HTTP so is
  // every later failure, while a tunnel's TLS session is the server's.
  const bool proxied = !request.route.host.empty();
  Exchange exchange{.request = request,
                    .host = host,
                    .object = object,
                    .proxied = proxied,
                    .connection_object = proxied ? proxy_shown(request.route) : object,
                    .seconds = (limits.wait_ms + 999) / 1000,
                    .peer = TlsPeer(),
                    .roots = {}};
  failure.seconds = exchange.seconds;

  if (request.secure) settle_peer(failure, exchange, ca_file);
  if (failure.number != 0) return result;

  PreparedRequest prepared = prepare_request(failure, request);
  // From the connection on, plain HTTP through a proxy speaks to the proxy
  // alone.
  const std::string& peer_object =
      exchange.proxied && !request.secure ? exchange.connection_object : exchange.object;
  Failure changed;
  std::int16_t number = -1;
  SendOutcome sending = SendOutcome::not_started;
  for (;;) {
    progress_phase("Obrint...");
    number = next_free_number();
    ErrorNumber open_error = 0;
    const std::uint32_t connect_seconds = open_connection(failure, open_error, exchange, number, limits, result);
    if (failure.number != 0) {
      // Nothing is sent, and nothing of the upload is left behind.
      discard_prepared_request(prepared);
      ErrorNumber unused = 0;
      if (open_error == 0) tcp_close(unused, number);
      failure.seconds = failure.step == Step::connect ? connect_seconds : exchange.seconds;
      return result;
    }
    progress_phase("Enviant...");
    sending = send_request(failure, changed, number, request, prepared, peer_object);
    if (sending != SendOutcome::clashed) break;
    // An upload file held the delimiter: the body went out short of its
    // Content-Length, which no server takes as a request, and the request
    // is made again on a new connection under a boundary that every file
    // has been searched for.
    tcp_abandon(number);
    ErrorNumber unused = 0;
    tcp_close(unused, number);
    changed = Failure();
    if (!redraw_boundary(failure, request, prepared)) {
      discard_prepared_request(prepared);
      failure.seconds = exchange.seconds;
      return result;
    }
  }
  result.request_head = prepared.head;
  result.request_body = request_kind(request) == RequestKind::form_post ? prepared.form_string.size()
                                                                         : prepared.body_size;
  result.sent = prepared.sent;
  discard_prepared_request(prepared);
  const bool send_failed = failure.number != 0;
  // An upload file that changed while it was sent may have gone out torn:
  // the answer is kept, but the job did not do what it was asked.
  if (failure.number == 0 && changed.number != 0) {
    failure = changed;
  }

  ResponseReader reader;
  Failure read_failure;
  bool closed = false;
  if (sending == SendOutcome::abandoned) {
    // An upload file ended before its counted bytes: the server must never
    // take what went out as the whole request, so nothing more is sent,
    // not even the end of the session, and nothing is read.
    tcp_abandon(number);
  } else if (sending == SendOutcome::sent) {
    // A server may answer before it has read everything (413 to a large
    // upload); that answer is still read, but within one time-out in all.
    if (send_failed) tcp_limit_waits(number, limits.wait_ms);
    closed = read_response(read_failure, reader, store, number, peer_object, exchange.seconds);
  }
  finish_response(reader, store);
  result.header = std::move(reader.header);
  result.received = store.length;

  ErrorNumber unused = 0;
  tcp_close(unused, number);
  progress_finish();

  // Complete: the body reached the Content-Length field's value, or, without
  // that field, the server closed after at least one byte. A header cut off
  // after that field promised a body that never came.
  const bool complete = length_reached(reader, store) ||
                        (closed && reader.received > 0 && !reader.scanner.length_field_seen);
  if (store.error != 0) {
    // Bytes that could not be kept are lost: never a success.
    note_failure(failure, store.error, Step::save,
                 store.place == StorePlace::scratch ? store.temp_directory : store.save_name,
                 store.reason);
  }
  if (!complete) {
    if (read_failure.number != 0) {
      note_failure(failure, read_failure.number, read_failure.step, read_failure.object,
                   read_failure.reason);
    } else {
      note_failure(failure, kErrEndOfFile, Step::answer, peer_object, shortfall(reader, store));
    }
  }
  failure.seconds = exchange.seconds;
  return result;
}
