#include "scratch_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

ScratchDirectory::ScratchDirectory() {
  char pattern[] = "/tmp/ravelok-test-XXXXXX";
  if (mkdtemp(pattern) != nullptr) path = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  if (!path.empty()) remove_tree(path);
}

std::string ScratchDirectory::file(const std::string& name) const { return path + "/" + name; }

bool write_whole_file(const std::string& file_name, const std::string& bytes) {
  int descriptor = open(file_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (descriptor < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t wrote = write(descriptor, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    done += static_cast<std::size_t>(wrote);
  }
  return close(descriptor) == 0 && done == bytes.size();
}

void remove_tree(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    // Tests may leave a directory unreadable; give access back first.
    chmod(path.c_str(), 0700);
    if (DIR* listing = opendir(path.c_str())) {
      while (struct dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") remove_tree(path + "/" + name);
      }
      closedir(listing);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}
