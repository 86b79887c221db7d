#include "job/job_run.h"
#include "services/process.h"

int main(int argc, char** argv) {
  process_start(argc, argv);
  int status = job_run();
  process_finish();
  return status;
}
