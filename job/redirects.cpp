#include "job/redirects.h"

#include <algorithm>
#include <vector>

#include "exchange/answer_header.h"
#include "exchange/form.h"
#include "exchange/location.h"
#include "job/proxy.h"
#include "platform/ascii.h"
#include "platform/platform.h"

namespace {

// One request of the chain, settled before it is made.
struct Hop {
  WebAddress address;      // where it goes: scheme, host, port and target
  std::string site;        // the host as http_transaction takes it
  std::int16_t port = 0;
  std::string page;
  std::string method;
  StringList vars;
  StringList files;
  RequestOptions options;
};

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The header lines that carry credentials, which only the Site's own
// scheme, host and port receive.
bool credential_line(const std::string& line) {
  const std::string name = line.substr(0, line.find(':'));
  return equal_ignoring_ascii_case(name, "Authorization") || equal_ignoring_ascii_case(name, "Cookie") ||
         equal_ignoring_ascii_case(name, "Proxy-Authorization");
}

bool same_origin(const WebAddress& a, const WebAddress& b) {
  return a.secure == b.secure && a.host == b.host && a.port == b.port;
}

// The job's own request, to the Site.
Hop first_hop(const JobSettings& job) {
  Hop hop;
  hop.site = job.site;
  hop.port = job.port;
  hop.page = job.page;
  hop.method = job.method;
  hop.vars = job.vars;
  hop.files = job.files;
  hop.options = job.options;
  hop.address.secure = job.secure;
  hop.address.host = lower(site_host(job.site));
  hop.address.port = job.port != 0 ? static_cast<std::uint16_t>(job.port) : (job.secure ? 443 : 80);
  const RequestKind kind = request_kind(job.method, job.files, job.options);
  hop.address.target = request_target(kind, job.page, form_string(job.vars));
  if (hop.address.target[0] != '/') hop.address.target.insert(hop.address.target.begin(), '/');
  return hop;
}

// The request a redirect of status leads to, at next: 301, 302 and 303 a
// GET without a body; 307 and 308 the same method and body, the variables
// again where they travel in the body (a form POST, an upload), never
// where they travelled in the URL, which the Location replaces whole.
Hop next_hop(const JobSettings& job, const Hop& from, int status, const WebAddress& next,
             const WebAddress& origin) {
  Hop hop;
  hop.address = next;
  hop.site = next.host;
  hop.port = static_cast<std::int16_t>(next.port);
  hop.page = next.target;
  hop.options.whole_target = true;
  const RequestKind kind = request_kind(from.method, from.files, from.options);
  if (redirect_keeps_method(status)) {
    hop.method = from.method;
    hop.files = from.files;
    hop.options.parts = from.options.parts;
    hop.options.body = from.options.body;
    hop.options.body_type = from.options.body_type;
    if (kind == RequestKind::form_post || kind == RequestKind::upload_post) hop.vars = from.vars;
  } else {
    hop.method = "GET";
  }
  // The job's header lines, credentials only back at the Site itself.
  for (const std::string& line : job.options.header_lines) {
    if (same_origin(next, origin) || !credential_line(line)) hop.options.header_lines.push_back(line);
  }
  return hop;
}

// What makes a request the same as another: its method and URL, and for a
// form POST its variables.
std::string request_key(const Hop& hop) {
  std::string key = (hop.method == "POST" ? "POST " : "GET ") + web_address_text(hop.address);
  for (const std::string& var : hop.vars) key += "\n" + var;
  return key;
}

// Ends the chain at a redirect that is not followed: its body is saved as
// any last answer's.
void stop_at(ChainResult& chain, ErrorNumber number, const std::string& object, const std::string& reason) {
  note_failure(chain.answer.failure, number, Step::redirect, object, reason);
  chain.answer.outcome = chain.answer.failure.number;
}

}  // namespace

ChainResult run_chain(const JobSettings& job, const ExchangeLimits& limits) {
  ChainResult chain;
  Hop hop = first_hop(job);
  const WebAddress origin = hop.address;
  std::vector<std::string> asked;
  for (std::int64_t followed = 0;; ++followed) {
    // Every request of the chain is settled here, from its scheme, host and
    // port to its header lines; the connection it takes is chosen here too.
    const bool further = followed < job.follow;
    // An answer nobody saves is read and counted, and kept nowhere.
    BodyStore store = body_store(job.save, job.default_save_name, !job.save.empty(),
                                 platform_temp_directory());
    store.hold_redirect = further;
    // The proxy is chosen for each request's own scheme, host and port
    // (no_proxy may name one host and not another).
    Failure route_failure;
    ProxyRoute route = choose_proxy(route_failure, job.proxy, hop.address.secure, hop.address.host,
                                    hop.address.port);
    take_proxy_header(route_failure, job.settings_file, route, hop.options);
    if (route_failure.number != 0) {
      chain.answer = TransactionResult();
      chain.answer.failure = route_failure;
      chain.answer.outcome = route_failure.number;
      chain.status = -1;
      store_end_hold(store);
      chain.store = std::move(store);
      return chain;
    }
    TransactionResult answer =
        http_transaction(hop.site, hop.port, hop.page, hop.method, hop.vars, hop.files, hop.address.secure,
                         job.ca_file, store, limits, hop.options, route);
    asked.push_back(request_key(hop));
    chain.answer = std::move(answer);
    chain.status = answer_status(chain.answer.header);
    chain.url = web_address_text(hop.address);
    const bool redirect = job.follow != 0 && chain.answer.failure.number == 0 && redirect_followed(chain.status);
    const std::string object = hop.address.host + " port " + decimal_text(hop.address.port);
    Hop next;
    if (redirect && !further) {
      ErrorNumber unused = 0;
      std::string why;
      const std::string location = answer_location(unused, why, chain.answer.header);
      stop_at(chain, kErrTooManyRedirects, object,
              "Follow=" + decimal_text(job.follow) + " reached" +
                  (location.empty() ? std::string() : ", it leads on to \"" + location_shown(location) + "\""));
    } else if (redirect) {
      ErrorNumber refused = 0;
      std::string why;
      const std::string location = answer_location(refused, why, chain.answer.header);
      WebAddress address;
      if (refused == 0) {
        address = resolve_location(refused, why, hop.address, location);
        if (refused != 0) why = "Location \"" + location_shown(location) + "\" " + why;
      }
      if (refused != 0) {
        stop_at(chain, refused, object, why);
      } else {
        next = next_hop(job, hop, chain.status, address, origin);
        if (std::find(asked.begin(), asked.end(), request_key(next)) != asked.end()) {
          stop_at(chain, kErrTooManyRedirects, object,
                  "a loop: " + std::string(next.method == "POST" ? "POST " : "GET ") + location_shown(web_address_text(address)) +
                      " was asked for before");
        }
      }
    }
    if (!redirect || chain.answer.failure.number != 0) {
      // The last answer: its body goes to the save name after all.
      store_end_hold(store);
      chain.store = std::move(store);
      return chain;
    }
    release_store(store);
    hop = std::move(next);
  }
}
