// One try of the job as a chain of requests: from the Site along the
// Location of each 301, 302, 303, 307 and 308 answer, as far as Follow
// allows.
#pragma once

#include <string>

#include "exchange/body_store.h"
#include "exchange/transaction.h"
#include "job/job_run.h"

struct ChainResult {
  TransactionResult answer;  // the last request's; its failure is also why the chain
                             // stopped at a redirect (47, 48)
  BodyStore store;           // the last answer's body, for the save; the earlier ones are gone
  int status = -1;           // the last answer's status (-1 without a status line)
  std::string url;           // the URL of the last request
};

// Makes the job's request and, with Follow, the requests its redirects
// lead to: 301, 302 and 303 as a GET without a body, 307 and 308 with the
// same method and body (an upload sent again from its files). Each request
// opens its own connection, within limits. The chain ends at an answer
// that is no such redirect, at a failure, when Follow is reached or a
// method and URL come round again (47), or at a Location that is refused
// (48: missing, several, unparsable, another scheme, a user name, HTTPS
// down to HTTP). Credentials (the Authorization, Cookie and
// Proxy-Authorization lines) go only to the Site's own scheme, host and
// port. No body of a redirect that was followed reaches the save name.
ChainResult run_chain(const JobSettings& job, const ExchangeLimits& limits);
