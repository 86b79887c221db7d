// The way one request reaches its server: straight, or through an HTTP
// proxy (the request line naming the whole URL for plain HTTP, a CONNECT
// tunnel for HTTPS).
#pragma once

#include <cstdint>
#include <string>

struct ProxyRoute {
  std::string host;           // the proxy's host name or address; empty: a direct connection
  std::uint16_t port = 0;     // the proxy's port
  std::string authorization;  // "Basic ..." for Proxy-Authorization, sent to the proxy alone; empty: none
};

// How a failure line names the proxy: "proxy HOST port N".
std::string proxy_shown(const ProxyRoute& route);
