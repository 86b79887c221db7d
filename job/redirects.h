// One try of the job as a chain of requests: from the Site along the
// Location of each 301, 302, 303, 307 and 308 answer, as far as Follow
// allows. The redirect rule (from an answer to the next request, or a stop
// with its reason) is a pure function beside the loop that runs the chain.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "exchange/body_store.h"
#include "exchange/location.h"
#include "exchange/transaction.h"
#include "job/job_settings.h"

// Where a chain stands after a request.
struct ChainSoFar {
  WebAddress origin;               // the Site's own scheme, host and port
  std::vector<std::string> asked;  // every request made so far, as request_key gives it
  std::int64_t followed = 0;       // redirects followed before the last request
};

// Where a try starts: the job's own request to the Site, or, once a server
// took the job's POST (answered it with 301, 302 or 303) or PATCH (with
// 303), the request that failed after it, so that it is never sent again.
struct ChainStart {
  HttpRequest request;
  ChainSoFar so_far;
  std::string taken;  // how the POST or PATCH was taken ("the POST was taken by HOST port N (303 See Other)"); empty: not
};

struct ChainResult {
  TransactionResult answer;  // the last request's; its failure is also why the chain
                             // stopped at a redirect (47, 48)
  BodyStore store;           // the last answer's body, for the save; the earlier ones are gone
  int status = -1;           // the last answer's status (-1 without a status line)
  std::string url;           // the URL of the last request
  ChainStart last;           // the last request, where the chain stood before it, a POST taken
  std::uint64_t sent = 0;      // request bytes that went out, every request of the chain
  std::uint64_t received = 0;  // answer body bytes that came in, every request of the chain
};

// What follows an answer.
struct RedirectStep {
  bool follow = false;  // next is the request the redirect leads to
  HttpRequest next;
  Failure stop;         // a redirect not followed: 47 or 48 (Step::redirect) with its reason
};

// The job's own request, to the Site; its route is chosen when it is made.
HttpRequest first_request(const JobSettings& job);

// A try from the Site: the job's own request, nothing asked before.
ChainStart chain_start(const JobSettings& job);

// Where request goes: its scheme, host (lower-case, no brackets), port and
// target (from "/").
WebAddress request_address(const HttpRequest& request);

// What makes a request the same as another: its method and URL, and for a
// form POST its variables.
std::string request_key(const HttpRequest& request);

// The redirect rule. An answer that came whole with a status of
// redirect_followed, when Follow is not 0, leads on: 303, and 301 and 302
// after a POST or a GET, to a GET without a body; 307 and 308, and 301 and
// 302 after a PUT or PATCH, to the same method and body (the
// variables again where they travel in the body, never where they travelled
// in the URL, which the Location replaces). It stops with 47 when Follow is
// reached or the next request was asked for before, and with 48 when the
// Location is refused (missing, several, unparsable, another scheme, a user
// name, HTTPS down to HTTP). The job's header lines go along, credentials
// (Authorization, Cookie, Proxy-Authorization) only back to the Site's own
// scheme, host and port. Any other answer is the chain's last.
RedirectStep redirect_step(const JobSettings& job, const ChainSoFar& chain, const HttpRequest& request,
                           const TransactionResult& answer);

// Makes start's request and the requests its redirects lead to, each on a
// connection of its own within limits and through the proxy chosen for its
// own scheme, host and port. No body of a redirect that was followed
// reaches the save name.
ChainResult run_chain(const JobSettings& job, const WaitLimits& limits, const ChainStart& start);
