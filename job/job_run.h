// The job run: one pass from the command line to the saved answer.
#pragma once

int job_run();
