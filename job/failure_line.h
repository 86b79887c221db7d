// The one line a failed run writes to standard error: what failed, on what,
// the system's reason, and the exit status with its meaning.
#pragma once

#include <string>

#include "services/errors.h"

// "ravelok: " + what failed + the object + ": reason" + " (" + number + " "
// + meaning + ")", ending in a line break; site is the Site setting (for
// the hint when it holds more than a host name; never written itself);
// tail, when given, goes at the end of the line.
std::string failure_line(const Failure& failure, const std::string& site,
                         const std::string& tail = std::string());

// What failed and on what, without the reason or the number ("answer from
// localhost port 80 stopped").
std::string failure_words(const Failure& failure);
