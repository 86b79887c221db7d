#include "services/process.h"

#include "services/console.h"
#include "platform/environment.h"
#include "services/number_table.h"
#include "platform/platform.h"
#include "services/random.h"

namespace {
std::string g_tail;
}

void process_start(int argc, char** argv) {
  platform_start(argc, argv);
  console_init();
  g_tail = platform_command_tail();
  environment_snapshot();
  reset_number_table();
  random_reset();
}

const std::string& process_command_tail() { return g_tail; }

void process_finish() { platform_finish(); }
