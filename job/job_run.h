// The job run: one pass from the command line to the saved answer.
#pragma once

#include <string>

#include "services/errors.h"

// The whole run; its first failure (the exchange's, else the save's, or why
// the settings file could not be read) goes to failure, the Site setting
// to site, and which try it was to tail ("; try 3 of 3") after retries.
void run_job(Failure& failure, std::string& site, std::string& tail);

// The whole run; returns the exit status: 0 when the job did what it was
// asked, else the number of the first failure (53 for a missing settings
// file, the exchange's number, or the save's), after writing one line that
// says why to standard error.
int job_run();
