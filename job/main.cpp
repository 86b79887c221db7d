#include "job/job_run.h"
#include "services/process.h"

int main(int argc, char** argv) {
  process_start(argc, argv);
  return job_run();
}
