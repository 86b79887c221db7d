#include "exchange/proxy_tunnel.h"

#include "exchange/answer_header.h"
#include "platform/platform.h"
#include "services/bytes.h"
#include "services/number_table.h"
#include "services/tcp.h"

std::string proxy_shown(const ProxyRoute& route) {
  return "proxy " + route.host + " port " + decimal_text(route.port);
}

std::string connect_head(const std::string& host, std::uint16_t port, const std::string& user_agent,
                         const ProxyRoute& route) {
  const bool brackets = host.find(':') != std::string::npos;
  const std::string authority =
      (brackets ? "[" + host + "]" : host) + ":" + decimal_text(port);
  std::string head = "CONNECT " + authority + " HTTP/1.0\r\nHost: " + authority + "\r\n" + user_agent + "\r\n";
  if (!route.authorization.empty()) head += "Proxy-Authorization: " + route.authorization + "\r\n";
  return head + "\r\n";
}

namespace {

// Reads the proxy's answer to CONNECT and judges it; the failure, if any,
// goes to failure.
void read_tunnel_answer(Failure& failure, std::int16_t connection, const ProxyRoute& route,
                        const std::string& object, std::string& shown) {
  ErrorNumber error_code = 0;
  std::string answer;
  std::size_t end = std::string::npos;
  while (end == std::string::npos) {
    // One byte past the bound tells an answer that is too long.
    const std::size_t room = kLongestTunnelAnswer + 1 - answer.size();
    const std::size_t got = tcp_receive_into(error_code, connection, static_cast<std::int32_t>(room), answer);
    end = answer.find("\r\n\r\n");
    if (end != std::string::npos) break;
    if (answer.size() > kLongestTunnelAnswer) {
      note_failure(failure, kErrSocket, Step::tunnel, object, "its answer's header is over 16 KiB");
      failure.status = -1;
      return;
    }
    if (error_code != 0) {
      note_failure(failure, error_code, Step::tunnel, object, failure_reason(error_code));
      return;
    }
    if (got == 0) {
      note_failure(failure, kErrSocket, Step::tunnel, object,
                   answer.empty() ? "it closed without answering" : "it closed before its answer's header ended");
      return;
    }
  }
  const std::string header = answer.substr(0, end);
  shown = header;
  const int status = answer_status(header);
  if (status < 0) {
    note_failure(failure, kErrSocket, Step::tunnel, object, "its answer has no status line");
    failure.status = -1;
    return;
  }
  if (status < 200 || status > 299) {
    std::string reason = "it answered " + status_shown(header);
    if (status == 407) {
      reason += route.authorization.empty() ? "; it wants credentials"
                                            : "; it refused the credentials given";
    }
    note_failure(failure, kErrSocket, Step::tunnel, object, reason);
    failure.status = status;
    return;
  }
  if (answer.size() > end + 4) {
    // After its 2xx a proxy relays only what the server sends, and a TLS
    // server says nothing before the client has spoken.
    note_failure(failure, kErrSocket, Step::tunnel, object, "it sent bytes after its answer");
    failure.status = -1;
  }
}

}  // namespace

void open_tunnel(Failure& failure, std::int16_t connection, const HttpRequest& request,
                 const std::string& object, std::uint32_t wait_ms, std::string& head, std::string& header) {
  const ProxyRoute& route = request.route;
  ErrorNumber error_code = 0;
  head = connect_head(site_host(request.host), request.port, user_agent_line(request.options), route);
  tcp_send(error_code, connection, head);
  if (error_code != 0) {
    note_failure(failure, error_code, Step::tunnel, object, failure_reason(error_code));
    return;
  }
  // A proxy that trickles its answer keeps each receive short, not the
  // whole answer: every wait for it ends by one time-out from now (or the
  // run's deadline, when sooner); the connection's own bound comes back for
  // the handshake and the request.
  NumberEntry* entry = find_number(connection);
  TcpConnection* open = entry != nullptr ? entry->connection.get() : nullptr;
  const std::uint64_t kept_deadline = open != nullptr ? open->deadline_ms : 0;
  tcp_limit_waits(connection, wait_ms);
  read_tunnel_answer(failure, connection, route, object, header);
  if (open != nullptr) open->deadline_ms = kept_deadline;
}
