#include "exchange/transaction.h"

#include "exchange/ca_file.h"
#include "exchange/proxy_tunnel.h"
#include "exchange/request.h"
#include "exchange/response.h"
#include "services/console.h"
#include "services/numbers.h"
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

// The Site as a failure line may show it: whatever stands before an "@"
// (a user name and password written into Site) is a secret and is left out.
std::string site_shown(const std::string& site) {
  const std::size_t at = site.rfind('@');
  return at == std::string::npos ? site : "..." + site.substr(at);
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
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && !(c >= '0' && c <= '9') && c != '-' && c != '_' && c != '.') return false;
  }
  return true;
}

}  // namespace

TransactionResult http_transaction(const std::string& site, std::int16_t& port,
                                   const std::string& page, const std::string& method,
                                   const StringList& vars, const StringList& files,
                                   bool secure, const std::string& ca_file, BodyStore& store,
                                   const ExchangeLimits& limits, const RequestOptions& given_options,
                                   const ProxyRoute& route) {
  TransactionResult result;
  // A time-out's words name the wait in whole seconds.
  const std::uint32_t seconds = (limits.wait_ms + 999) / 1000;
  Failure& failure = result.failure;
  const std::uint16_t default_port = secure ? 443 : 80;
  if (port == 0) port = static_cast<std::int16_t>(default_port);
  // The port is the 16 bits of the setting read as unsigned: 40000 stays
  // 40000 instead of turning negative.
  const std::uint16_t unsigned_port = static_cast<std::uint16_t>(port);
  // The connection and the Host header name the same host.
  const std::string host = site_host(site);
  std::string object = site_shown(host) + " port " + decimal_text(unsigned_port);
  // Through a proxy the connection is the proxy's; for plain HTTP so is
  // every later failure, while a tunnel's TLS session is the server's.
  const bool proxied = !route.host.empty();
  const std::string connection_object = proxied ? proxy_shown(route) : object;
  RequestOptions options = given_options;
  if (proxied && !secure) {
    // The Host line's own form: an IPv6 address in brackets, the port unless 80.
    options.proxy_origin = "http://";
    options.proxy_origin.append(host_header(host, unsigned_port, 80), 6, std::string::npos);
    options.proxy_authorization = route.authorization;
  }

  // Whom the certificate must name, and the trusted certificates, come
  // first: without them nothing is sent, so nothing of the upload is staged
  // either.
  TlsPeer peer;
  std::vector<std::string> roots;
  if (secure) {
    peer.name = host;
    peer.tunnelled = proxied;
    std::string quoted = "\"";
    quoted += site_shown(host);
    quoted += "\"";
    if (!parse_plain_address(host, peer.address) && looks_like_an_address(host)) {
      // The resolver would read it as some address, one the certificate
      // was never checked against.
      note_failure(failure, kErrSocket, Step::secure, object,
                   quoted + " is no plain address: write IPv4 as four decimal numbers, IPv6 without brackets");
    } else if (peer.address.empty() && !host.empty() && host[0] == '.') {
      // A certificate check would take it as a whole domain.
      note_failure(failure, kErrSocket, Step::secure, object, quoted + " is no host name");
    }
    if (!ca_file.empty()) roots = read_ca_file(failure, ca_file);
  }
  if (failure.number != 0) {
    result.outcome = failure.number;
    failure.seconds = seconds;
    return result;
  }

  PreparedRequest prepared = prepare_request(failure, page, method, vars, files, options);

  progress_phase("Obrint...");
  const std::int16_t number = next_free_number();
  ErrorNumber open_error = 0;
  std::uint32_t connect_seconds = seconds;
  if (host.find('@') != std::string::npos) {
    // A user name and password written into Site are never handed to the
    // resolver, which would send them to a name server.
    open_error = kErrSocket;
    note_failure(failure, open_error, Step::resolve, site_shown(site), "not looked up");
  } else if (proxied && !names_one_host(host)) {
    open_error = kErrSocket;
    note_failure(failure, open_error, Step::resolve, site_shown(site), "not a host name, so not sent to the proxy");
  } else {
    // A connect that runs out of time names what it had: the time-out, or
    // less when the deadline comes first.
    const std::uint64_t now = platform_monotonic_milliseconds();
    if (limits.deadline_ms != 0 && limits.deadline_ms < now + limits.wait_ms) {
      connect_seconds = static_cast<std::uint32_t>(
          (limits.deadline_ms > now ? limits.deadline_ms - now + 999 : 0) / 1000);
    }
    tcp_open(open_error, number, proxied ? route.host : host, proxied ? route.port : unsigned_port,
             limits.wait_ms, limits.deadline_ms, std::string());
  }
  // A proxy's name that does not resolve is no fault of the Site.
  if (open_error != 0 && platform_failure_was_lookup() && !proxied) {
    note_failure(failure, open_error, Step::resolve, site_shown(site), failure_reason(open_error));
  }
  note_failure(failure, open_error, Step::connect, connection_object, failure_reason(open_error));
  if (failure.number == 0 && secure && proxied) {
    open_tunnel(failure, number, host, unsigned_port, user_agent_line(options), route,
                connection_object, limits.wait_ms);
  }
  if (failure.number == 0 && secure) {
    // No byte of the request leaves before the handshake and the checks
    // of the server's certificate have passed.
    ErrorNumber secure_error = 0;
    tcp_start_tls(secure_error, number, peer, roots);
    note_failure(failure, secure_error, Step::secure, object, failure_reason(secure_error));
  }
  if (failure.number != 0) {
    // Nothing is sent, and nothing of the upload is left behind.
    discard_prepared_request(prepared);
    ErrorNumber unused = 0;
    if (open_error == 0) tcp_close(unused, number);
    result.outcome = failure.number;
    failure.seconds = failure.step == Step::connect ? connect_seconds : seconds;
    return result;
  }

  progress_phase("Enviant...");
  if (proxied && !secure) object = connection_object;
  Failure changed;
  const SendOutcome sending =
      send_request(failure, changed, number, host, unsigned_port, default_port, page, method, files,
                   prepared, object, options);
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
    closed = read_response(read_failure, reader, store, number, object, seconds);
  }
  finish_response(reader, store);
  result.header = std::move(reader.header);

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
      note_failure(failure, kErrEndOfFile, Step::answer, object, shortfall(reader, store));
    }
  }
  result.outcome = failure.number;
  failure.seconds = seconds;
  return result;
}
