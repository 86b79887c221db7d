#include "platform/environment.h"

#include <vector>

#include "platform/ascii.h"
#include "platform/platform.h"

namespace {
std::vector<std::string> g_snapshot;
}

void environment_snapshot() { g_snapshot = platform_environment(); }

std::string environment_value(const std::string& name) {
  for (const std::string& entry : g_snapshot) {
    // An entry that starts with "=" (Windows keeps "=C:" entries) is named by
    // the bytes up to its second "=".
    std::size_t equals = entry.find('=', 1);
    if (equals == std::string::npos) continue;
    if (equal_ignoring_ascii_case(entry.substr(0, equals), name)) return entry.substr(equals + 1);
  }
  return std::string();
}

bool environment_variable(const std::string& name, std::string& value) {
  for (const std::string& entry : g_snapshot) {
    if (entry.size() > name.size() && entry[name.size()] == '=' && entry.compare(0, name.size(), name) == 0) {
      value = entry.substr(name.size() + 1);
      return true;
    }
  }
  return false;
}
