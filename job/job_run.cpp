#include "job/job_run.h"

int job_run() { return 0; }
