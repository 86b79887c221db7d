// The part of the test fixtures that the Windows suites use and build on
// their own, on the standard library alone: temporary directories and
// directory listings (support/fixtures_common.cpp has the rest).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

#include "support/fixtures.h"

TempDir::TempDir() {
  // The system's temporary directory; scripts/test-windows.sh points it into
  // the build tree.
  static std::atomic<unsigned> serial{0};
  std::error_code error;
  std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) base = std::filesystem::current_path();
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate =
        base / ("rt" + std::to_string((static_cast<unsigned long long>(now) + attempt) % 1000000) +
                "-" + std::to_string(++serial));
    if (std::filesystem::create_directory(candidate, error)) {
      path = candidate.string();
      return;
    }
  }
  path = base.string();
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

// The corpus of the differential check is gathered by the POSIX suites.
void note_settings_file(const std::string& bytes) { (void)bytes; }

bool file_exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

std::vector<std::string> list_directory(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(path, ignored)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool testing_windows_binary() { return true; }
