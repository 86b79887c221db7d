// A CONNECT tunnel through an HTTP proxy, for HTTPS: the proxy is asked to
// connect to the server, and once it agrees the connection carries the TLS
// session to the server.
#pragma once

#include <cstdint>
#include <string>

#include "exchange/proxy_route.h"
#include "exchange/request.h"
#include "services/errors.h"

// The longest answer header a proxy may give to CONNECT.
inline constexpr std::size_t kLongestTunnelAnswer = 16384;

// The CONNECT request for host and port: the request line, Host, the
// user_agent line as the request itself carries it, Proxy-Authorization
// when route has credentials, and the empty line.
std::string connect_head(const std::string& host, std::uint16_t port, const std::string& user_agent,
                         const ProxyRoute& route);

// Sends the CONNECT request for request's host and port (its User-Agent
// line, its route's credentials) on connection and reads the proxy's answer
// header, never past its blank line, within wait_ms in all (each receive
// bounded by the connection's own time-out and deadline too). A 2xx answer
// with nothing after its header leaves the connection ready for the TLS
// handshake. Otherwise the failure goes to failure (Step::tunnel, object):
// 24 when the proxy did not answer in time, 57 when it refused (its status
// in failure.status), closed, answered with more than kLongestTunnelAnswer
// bytes of header, without a status line, or with bytes after its header.
// head gets the CONNECT request as sent, header the proxy's answer header
// once it came whole (both for --verbose).
void open_tunnel(Failure& failure, std::int16_t connection, const HttpRequest& request,
                 const std::string& object, std::uint32_t wait_ms, std::string& head, std::string& header);
