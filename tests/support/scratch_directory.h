// A scratch directory for tests that need real files: made with mkdtemp under
// /tmp and removed, with everything in it, when the test ends.
#pragma once

#include <string>

struct ScratchDirectory {
  std::string path;  // empty when the directory could not be made

  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  // path + "/" + name.
  std::string file(const std::string& name) const;
};

// Writes bytes to a file, replacing it; false when that fails.
bool write_whole_file(const std::string& file_name, const std::string& bytes);

// Removes a file or a directory with everything in it; reports nothing.
void remove_tree(const std::string& path);
