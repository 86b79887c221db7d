#include "job/redirects.h"

#include <algorithm>

#include "exchange/answer_header.h"
#include "exchange/form.h"
#include "job/proxy.h"
#include "job/verbose.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "services/shown.h"

namespace {

// The header lines that carry credentials by their name, which, as those
// that took a secret from the environment, only the Site's own scheme,
// host and port receive.
bool credential_line(const std::string& line) {
  const std::string name = line.substr(0, line.find(':'));
  return equal_ignoring_ascii_case(name, "Authorization") || equal_ignoring_ascii_case(name, "Cookie") ||
         equal_ignoring_ascii_case(name, "Proxy-Authorization");
}

bool same_origin(const WebAddress& a, const WebAddress& b) {
  return a.secure == b.secure && a.host == b.host && a.port == b.port;
}

// Whether the request a redirect of status leads to keeps from's method
// and body: always after 307 and 308; after 301 and 302 for a PUT or PATCH,
// which only a POST turns into a GET (as browsers and curl do).
bool method_kept(const HttpRequest& from, int status) {
  if (redirect_keeps_method(status)) return true;
  const std::string sent = method_sent(from.method, from.options.body);
  return (status == 301 || status == 302) && (sent == "PUT" || sent == "PATCH");
}

// The request a redirect of status leads to, at next.
HttpRequest next_request(const JobSettings& job, const HttpRequest& from, int status, const WebAddress& next,
                         const WebAddress& origin) {
  HttpRequest request;
  request.secure = next.secure;
  request.host = next.host;
  request.port = next.port;
  request.target = next.target;
  const RequestKind kind = request_kind(from);
  if (method_kept(from, status)) {
    request.method = from.method;
    request.files = from.files;
    request.options.parts = from.options.parts;
    request.options.body = from.options.body;
    request.options.body_type = from.options.body_type;
    if (kind == RequestKind::form_post || kind == RequestKind::upload_post) request.vars = from.vars;
  } else {
    request.method = "GET";
  }
  const StringList& secrets = job.options.secret_lines;
  for (const std::string& line : job.options.header_lines) {
    const bool secret = credential_line(line) || std::find(secrets.begin(), secrets.end(), line) != secrets.end();
    if (same_origin(next, origin) || !secret) request.options.header_lines.push_back(line);
  }
  // The client certificate, as credentials, only to the Site's own origin.
  if (same_origin(next, origin)) request.options.client_credential = from.options.client_credential;
  return request;
}

RedirectStep stop(ErrorNumber number, const std::string& object, const std::string& reason) {
  RedirectStep step;
  note_failure(step.stop, number, Step::redirect, object, reason);
  return step;
}

}  // namespace

HttpRequest first_request(const JobSettings& job) {
  HttpRequest request;
  request.method = job.method;
  request.secure = job.secure;
  request.host = job.site;
  // The port is the 16 bits of the setting read as unsigned: 40000 stays
  // 40000 instead of turning negative.
  request.port = job.port != 0 ? static_cast<std::uint16_t>(job.port) : default_port(job.secure);
  request.vars = job.vars;
  request.files = job.files;
  request.options = job.options;
  request.target = request_target(request_kind(request), job.page, form_string(job.vars));
  return request;
}

WebAddress request_address(const HttpRequest& request) {
  WebAddress address;
  address.secure = request.secure;
  address.host = ascii_lower_text(site_host(request.host));
  address.port = request.port;
  address.target = request.target;
  if (address.target[0] != '/') address.target.insert(address.target.begin(), '/');
  return address;
}

std::string request_key(const HttpRequest& request) {
  WebAddress address = request_address(request);
  // An empty query is none to the server: "/a?" asks for what "/a" does.
  if (address.target.find('?') + 1 == address.target.size()) address.target.pop_back();
  std::string key = method_sent(request.method, request.options.body) + " " + web_address_text(address);
  for (const std::string& var : request.vars) key += "\n" + var;
  return key;
}

RedirectStep redirect_step(const JobSettings& job, const ChainSoFar& chain, const HttpRequest& request,
                           const TransactionResult& answer) {
  const int status = answer_status(answer.header);
  if (job.follow == 0 || answer.failure.number != 0 || !redirect_followed(status)) return RedirectStep();
  const WebAddress from = request_address(request);
  const std::string object = shown_url(from.host) + " port " + decimal_text(from.port);
  ErrorNumber refused = 0;
  std::string why;
  const std::string location = answer_location(refused, why, answer.header);
  if (chain.followed >= job.follow) {
    return stop(kErrTooManyRedirects, object,
                "Follow=" + decimal_text(job.follow) + " reached" +
                    (location.empty() ? std::string() : ", it leads on to \"" + shown_url(location) + "\""));
  }
  WebAddress address;
  if (refused == 0) {
    address = resolve_location(refused, why, from, location);
    if (refused != 0) why = "Location \"" + shown_url(location) + "\" " + why;
  }
  if (refused != 0) return stop(refused, object, why);
  RedirectStep step;
  step.next = next_request(job, request, status, address, chain.origin);
  if (std::find(chain.asked.begin(), chain.asked.end(), request_key(step.next)) != chain.asked.end()) {
    std::string loop = "a loop: ";
    loop += method_sent(step.next.method, step.next.options.body);
    return stop(kErrTooManyRedirects, object,
                loop + " " + shown_url(web_address_text(address)) + " was asked for before");
  }
  step.follow = true;
  return step;
}

ChainStart chain_start(const JobSettings& job) {
  ChainStart start;
  start.request = first_request(job);
  start.so_far.origin = request_address(start.request);
  return start;
}

ChainResult run_chain(const JobSettings& job, const WaitLimits& limits, const ChainStart& start) {
  ChainResult chain;
  chain.last = start;
  HttpRequest& request = chain.last.request;
  ChainSoFar& so_far = chain.last.so_far;
  for (;; ++so_far.followed) {
    // An answer nobody saves is read and counted, and kept nowhere.
    BodyStore store = body_store(job.save, job.default_save_name, !job.save.empty(),
                                 platform_temp_directory());
    store.replace = job.keep;
    store.exact = job.exact;
    store.hold_redirect = so_far.followed < job.follow;
    store.hold_base = request_address(request);
    // The texts [Expect] and [Reject] name are looked for as the body
    // arrives; only the last answer's findings are used.
    for (const std::string& text : job.expect) store_look_for(store, text);
    for (const std::string& text : job.reject) store_look_for(store, text);
    // The proxy is chosen for each request's own scheme, host and port
    // (no_proxy may name one host and not another).
    // The request as it goes out; the chain keeps it as it was asked for,
    // so that a retry that starts here chooses again.
    const WebAddress address = request_address(request);
    HttpRequest sent = request;
    Failure route_failure;
    sent.route = choose_proxy(route_failure, job.proxy, sent.secure, address.host, address.port);
    take_proxy_header(route_failure, job.settings_file, sent.route, sent.options);
    if (route_failure.number != 0) {
      chain.answer = TransactionResult();
      chain.answer.failure = route_failure;
      chain.status = -1;
    } else {
      chain.answer = http_transaction(sent, job.ca_file, store, limits);
      chain.sent += chain.answer.sent;
      chain.received += chain.answer.received;
      so_far.asked.push_back(request_key(request));
      chain.status = answer_status(chain.answer.header);
      chain.url = web_address_text(address);
    }
    RedirectStep step = redirect_step(job, so_far, request, chain.answer);
    if (job.verbose) verbose_exchange(job, sent, chain.answer, step);
    if (!step.follow) {
      // The last answer: its body goes to the save name after all.
      const Failure& why = step.stop;
      note_failure(chain.answer.failure, why.number, why.step, why.object, why.reason);
      store_end_hold(store);
      chain.store = std::move(store);
      return chain;
    }
    const std::string method = method_sent(request.method, request.options.body);
    if ((method == "POST" || method == "PATCH") && !method_kept(request, chain.status)) {
      // The server processed the POST (or PATCH) and sends the client
      // elsewhere for the result: no later failure may send it again.
      chain.last.taken = "the " + method + " was taken by " + address.host + " port " +
                         decimal_text(address.port) + " (" + status_shown(chain.answer.header) + ")";
    }
    release_store(store);
    request = std::move(step.next);
  }
}
