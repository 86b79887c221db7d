// What request.cpp offers beyond the product's interface: the preparation
// with a given time of day, so that the drawn boundary and body file name
// can be checked.
#pragma once

#include <cstdint>
#include <string>

#include "exchange/request.h"

// As prepare_request, with the reseed taken from milliseconds (since local
// midnight) instead of the clock.
PreparedRequest prepare_request_at(Failure& failure, const HttpRequest& request,
                                   std::uint32_t milliseconds);
