#include "job/site.h"

#include "platform/ascii.h"

std::string site_without_scheme(const std::string& site, bool& secure, bool& known) {
  const std::string scheme = ascii_upper_text(site.substr(0, 8));
  secure = scheme == "HTTPS://";
  known = secure || scheme.substr(0, 7) == "HTTP://";
  if (!known) return site;
  return site.substr(secure ? 8 : 7);
}

bool host_holds_port(const std::string& host) {
  const std::size_t colon = host.find(':');
  return (colon != std::string::npos && host.find(':', colon + 1) == std::string::npos) ||
         (!host.empty() && host.front() == '[' && host.find("]:") != std::string::npos);
}
