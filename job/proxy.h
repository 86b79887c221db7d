// Choosing the way to the server: straight, or through an HTTP proxy named
// by the [URL] key Proxy, by the environment (http_proxy, https_proxy or
// HTTPS_PROXY, with no_proxy or NO_PROXY naming hosts reached straight) or,
// on Windows when none of those variables is set, by the system's WinHTTP
// proxy setting. No proxy's credentials ever go into a refusal's words.
#pragma once

#include <cstdint>
#include <string>

#include "exchange/proxy_route.h"
#include "exchange/request.h"
#include "services/errors.h"

// What the Proxy key holds.
struct ProxySetting {
  bool direct = false;  // "none": no proxy, whatever the environment says
  ProxyRoute route;     // host empty (and not direct): the environment decides
};

// Reads [URL] Proxy from the settings file file: empty, "none" (any letter
// case), or a proxy as parse_proxy takes it, "${NAME}" in its password taken
// from the environment. The first rule broken goes into refused (unless it
// holds one already), naming the key and the rule, never the value; so does
// a Proxy with credentials beside a Proxy-Authorization line of options.
ProxySetting read_proxy_setting(const std::string& file, const RequestOptions& options,
                                std::string& refused);

// Reads a proxy written "host", "host:port" or "http://host:port", "[v6]"
// for an IPv6 address, "user:password@" (or "user@") before the host with
// %XX decoded, a "/" at the end allowed; the port is 80 when absent. With
// expand, "${NAME}" in the password is the environment variable NAME.
// False with the broken rule in rule.
bool parse_proxy(const std::string& text, bool expand, ProxyRoute& route, std::string& rule);

// The route of one request of scheme (secure: HTTPS) to host (no brackets)
// and port: the Proxy setting when it names one or says none, else the
// environment, else (no proxy variable set, not even an HTTP_PROXY, which
// is never read) the system's setting. A variable that does not parse
// ends it with 2 in failure (Step::setting), naming the variable.
ProxyRoute choose_proxy(Failure& failure, const ProxySetting& setting, bool secure,
                        const std::string& host, std::uint16_t port);

// True when the no_proxy list names host (and port, where an entry has
// one): comma-separated names, domain suffixes with or without a leading
// dot, addresses, or "*"; blanks around entries ignored, any letter case.
bool no_proxy_matches(const std::string& list, const std::string& host, std::uint16_t port);

// True when the WinHTTP bypass list (";"- or blank-separated) names host:
// "<local>" stands for a name without a dot, "*" for any run of bytes.
bool bypass_matches(const std::string& list, const std::string& host);

// The entry of a WinHTTP proxy list ("host:port", or
// "http=host:port;https=host:port") for the scheme; empty when none.
std::string system_proxy_for(const std::string& list, bool secure);

// A Proxy-Authorization line among the header lines (the settings allow
// one) goes to a proxy alone: through one it becomes route's credentials,
// without one it is dropped, and either way it leaves the lines (inside an
// HTTPS tunnel it would reach the server). Beside credentials of the
// route's own it is refused with 2 in failure (Step::setting, object).
void take_proxy_header(Failure& failure, const std::string& object, ProxyRoute& route,
                       RequestOptions& options);
