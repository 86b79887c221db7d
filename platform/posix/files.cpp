// POSIX backend: disk files. Every descriptor is opened close-on-exec, so a
// viewer started later inherits none of them; EINTR never leaves this file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/sendfile.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix.h"

namespace {

void record_errno(ErrorNumber& error_code, int value, bool creating) {
  set_error(error_code, map_errno(value, creating));
}

int open_retrying(const char* name, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool is_regular(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// Takes O_NONBLOCK off again: it was only there so that opening a FIFO with
// no peer cannot block the run.
void make_blocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) != 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// Copies with plain reads and writes when the kernel cannot copy between
// these two descriptors.
bool copy_by_reading(ErrorNumber& error_code, FileHandle from, off_t& offset,
                     std::uint64_t& remaining, FileHandle to) {
  char buffer[65536];
  while (remaining > 0) {
    std::size_t want = remaining < sizeof buffer ? static_cast<std::size_t>(remaining)
                                                  : sizeof buffer;
    std::size_t got = platform_read_at(error_code, from, buffer, want,
                                       static_cast<std::uint64_t>(offset));
    if (got == 0) return false;
    ErrorNumber write_error = 0;
    platform_write(write_error, to, buffer, got);
    if (write_error != 0) {
      set_error(error_code, write_error);
      return false;
    }
    offset += static_cast<off_t>(got);
    remaining -= got;
  }
  return true;
}

// A save under the generated name takes a regular file only: a link, FIFO,
// device or socket there is refused (70) in words of its own, as no errno
// value says it.
void refuse_not_plain(ErrorNumber& error_code) {
  remember_failure_reason("not a regular file");
  set_error(error_code, kErrAccessDenied);
}

}  // namespace

FileHandle platform_open_output(ErrorNumber& error_code, const std::string& name,
                              bool plain_files_only) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
  // A FIFO without a reader would block the open; with plain files only it is
  // refused anyway, so the open must not wait for it.
  if (plain_files_only) flags |= O_NOFOLLOW | O_NONBLOCK;
  // The generated name lies in a TEMP other users may share: a file made
  // there is readable and writable by its owner only.
  int fd = open_retrying(name.c_str(), flags, plain_files_only ? 0600 : 0666);
  if (fd < 0) {
    int value = errno;
    // A link (ELOOP) or a FIFO without reader (ENXIO) is simply not a plain
    // file.
    if (plain_files_only && (value == ELOOP || value == ENXIO)) {
      refuse_not_plain(error_code);
    } else {
      record_errno(error_code, value, true);
    }
    return kNoFile;
  }
  if (plain_files_only) {
    if (!is_regular(fd)) {
      close(fd);
      refuse_not_plain(error_code);
      return kNoFile;
    }
    make_blocking(fd);
  }
  // A disk file loses its old content; a device, FIFO or terminal is written
  // as it is.
  if (is_regular(fd) && ftruncate(fd, 0) != 0) record_errno(error_code, errno, false);
  return file_from_fd(fd);
}

namespace {

// The directory part of name: "." for a bare name, "/" for one in the root.
std::string directory_of(const std::string& name) {
  std::size_t slash = name.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : name.substr(0, slash);
}

// Where opening name with O_CREAT puts a new file when nothing is found
// there: open follows a dangling symbolic link and creates the name it
// points to.
std::string creation_place(const std::string& name) {
  std::string place = name;
  // The chain ends within the kernel's own bound, or stat would not have
  // reported a missing file.
  for (int hop = 0; hop < 40; ++hop) {
    struct stat info;
    char target[4096];
    if (lstat(place.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
    ssize_t size = readlink(place.c_str(), target, sizeof target);
    if (size <= 0 || static_cast<std::size_t>(size) == sizeof target) break;
    std::string next(target, static_cast<std::size_t>(size));
    place = next[0] == '/' ? next : directory_of(place) + "/" + next;
  }
  return place;
}

// Asks whether this process may access path for mode as an open would: by
// its effective ids. When they are the real ones the plain call asks the
// same without needing faccessat2, which a container's filter may refuse.
bool may_access(const std::string& path, int mode) {
  const bool same_ids = geteuid() == getuid() && getegid() == getgid();
  return faccessat(AT_FDCWD, path.c_str(), mode, same_ids ? 0 : AT_EACCESS) == 0;
}

}  // namespace

void platform_check_output(ErrorNumber& error_code, const std::string& name,
                           bool plain_files_only) {
  // What the open would meet under the name: the generated name is never
  // followed through a link.
  struct stat info;
  int found = plain_files_only ? lstat(name.c_str(), &info) : stat(name.c_str(), &info);
  if (found == 0) {
    if (S_ISDIR(info.st_mode)) {
      record_errno(error_code, EISDIR, true);
    } else if (plain_files_only && !S_ISREG(info.st_mode)) {
      refuse_not_plain(error_code);
    } else if (S_ISSOCK(info.st_mode)) {
      record_errno(error_code, ENXIO, true);
    } else if (!S_ISREG(info.st_mode)) {
      // A FIFO or device is only asked about: opening one acts on it (a
      // FIFO's reader would see the close as the end of its data).
      if (!may_access(name, W_OK)) record_errno(error_code, errno, true);
    } else {
      // Opened for writing as the save opens it, never emptied or written,
      // so neither its bytes nor its time of last write change.
      int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
      if (plain_files_only) flags |= O_NOFOLLOW;
      int fd = open_retrying(name.c_str(), flags, 0);
      if (fd >= 0) {
        close(fd);
      } else if (plain_files_only && errno == ELOOP) {
        refuse_not_plain(error_code);
      } else {
        record_errno(error_code, errno, true);
      }
    }
    return;
  }
  if (errno != ENOENT) {
    record_errno(error_code, errno, true);
    return;
  }
  const std::string place = plain_files_only ? name : creation_place(name);
  // Creating "name/" makes no file: the kernel refuses it as a directory.
  if (place.empty() || place.back() == '/') {
    record_errno(error_code, place.empty() ? ENOENT : EISDIR, true);
    return;
  }
  // The directory must let this process add an entry (write and search),
  // on a file system mounted for writing (EROFS otherwise).
  if (!may_access(directory_of(place), W_OK | X_OK)) record_errno(error_code, errno, true);
}

FileHandle platform_open_existing_output(ErrorNumber& error_code, const std::string& name,
                                         bool plain_files_only) {
  int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK;
  if (plain_files_only) flags |= O_NOFOLLOW;
  int fd = open_retrying(name.c_str(), flags, 0);
  if (fd < 0) {
    int value = errno;
    if (value == ELOOP || value == ENXIO) {
      set_error(error_code, kErrAccessDenied);
    } else {
      record_errno(error_code, value, false);
    }
    return kNoFile;
  }
  if (!is_regular(fd)) {
    close(fd);
    set_error(error_code, kErrAccessDenied);
    return kNoFile;
  }
  make_blocking(fd);
  if (ftruncate(fd, 0) != 0) {
    record_errno(error_code, errno, false);
    close(fd);
    return kNoFile;
  }
  return file_from_fd(fd);
}

void platform_append_to_file(ErrorNumber& error_code, const std::string& name, const std::string& bytes) {
  // O_APPEND moves to the end and writes as one step, so lines of jobs
  // sharing the file never interleave; a FIFO without a reader is refused
  // instead of waited for.
  const int fd = open_retrying(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) {
    record_errno(error_code, errno, true);
    return;
  }
  ssize_t count;
  do {
    count = write(fd, bytes.data(), bytes.size());
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    record_errno(error_code, errno, false);
  } else if (static_cast<std::size_t>(count) != bytes.size()) {
    record_errno(error_code, ENOSPC, false);
  }
  close(fd);
}

void platform_empty_file(ErrorNumber& error_code, FileHandle handle) {
  int fd = fd_of(handle);
  if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) record_errno(error_code, errno, false);
}

FileHandle platform_open_read(ErrorNumber& error_code, const std::string& name) {
  // Non-blocking so that a FIFO without writer cannot hold the open.
  int fd = open_retrying(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) {
    record_errno(error_code, errno, false);
    return kNoFile;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    record_errno(error_code, errno, false);
    close(fd);
    return kNoFile;
  }
  if (S_ISDIR(info.st_mode)) {
    close(fd);
    set_error(error_code, kErrAccessDenied);
    return kNoFile;
  }
  make_blocking(fd);
  return file_from_fd(fd);
}

FileHandle platform_create_unnamed(ErrorNumber& error_code, const std::string& name,
                                 bool& name_taken) {
  name_taken = false;
  int fd = open_retrying(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    // O_EXCL reports any existing entry, a dangling link included.
    if (errno == EEXIST) {
      name_taken = true;
    } else {
      record_errno(error_code, errno, true);
    }
    return kNoFile;
  }
  // The umask can only take bits away; make it exactly owner read and write.
  // Then the name goes: nobody can open, swap or leave behind the file, and
  // it is gone with the last descriptor, however the process ends.
  if (fchmod(fd, 0600) != 0 || unlink(name.c_str()) != 0) {
    record_errno(error_code, errno, false);
    unlink(name.c_str());
    close(fd);
    return kNoFile;
  }
  return file_from_fd(fd);
}

FileHandle platform_open_scratch(ErrorNumber& error_code, const std::string& directory) {
  const std::string place = directory.empty() ? std::string(".") : directory;
#ifdef O_TMPFILE
  int fd = open_retrying(place.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return file_from_fd(fd);
  // Only a file system without unnamed files falls back; any other failure
  // would strike the named file as well.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    record_errno(error_code, errno, true);
    return kNoFile;
  }
#endif
  std::string pattern = place;
  if (pattern.back() != '/') pattern.push_back('/');
  pattern += "ravelokXXXXXX";
  int named;
  do {
    named = mkostemp(pattern.data(), O_CLOEXEC);
  } while (named < 0 && errno == EINTR);
  if (named < 0) {
    record_errno(error_code, errno, true);
    return kNoFile;
  }
  unlink(pattern.c_str());
  fchmod(named, 0600);
  return file_from_fd(named);
}

namespace {

// Links the unnamed file fd under path. Older kernels allow AT_EMPTY_PATH
// only with a privilege an ordinary user lacks; the /proc name of the
// descriptor needs none.
bool link_unnamed(int fd, const std::string& path) {
#if defined(__linux__)
  if (linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return true;
  if (errno != ENOENT && errno != EPERM) return false;
  std::string own = "/proc/self/fd/" + std::to_string(fd);
  return linkat(AT_FDCWD, own.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
#else
  (void)fd;
  (void)path;
  return false;
#endif
}

}  // namespace

FileHandle platform_open_unnamed_beside(const std::string& name) {
#if defined(__linux__) && defined(O_TMPFILE)
  struct stat info;
  if (lstat(name.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) return kNoFile;
  } else if (errno != ENOENT) {
    return kNoFile;
  }
  int fd = open_retrying(directory_of(name).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  return file_from_fd(fd);
#else
  (void)name;
  return kNoFile;
#endif
}

bool platform_give_name(FileHandle file, const std::string& name, bool plain_files_only) {
  int fd = fd_of(file);
  struct stat own;
  // Only a file that has no name yet can be given one.
  if (fstat(fd, &own) != 0 || !S_ISREG(own.st_mode) || own.st_nlink != 0) return false;
  // Only a name that is free: an existing save file is rewritten in place,
  // so its inode, links, attributes and open readers all see the new answer.
  struct stat old;
  if (lstat(name.c_str(), &old) == 0 || errno != ENOENT) return false;
  // The new file gets the mode that creating it would have given.
  mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd, (plain_files_only ? 0600 : 0666) & ~mask) != 0) return false;
  return link_unnamed(fd, name);
}

// ------------------------------------------------- replacing a file whole

namespace {

// The file a save to name writes: through a symbolic link, the file it leads
// to, so that replacing it keeps the link.
std::string final_name(const std::string& name, bool plain_files_only) {
  struct stat info;
  if (plain_files_only || lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return name;
  char* resolved = realpath(name.c_str(), nullptr);
  if (resolved == nullptr) return name;
  std::string result(resolved);
  free(resolved);
  return result;
}

void remove_name(const std::string& name) {
  if (unlink(name.c_str()) != 0 && errno == EISDIR) rmdir(name.c_str());
}

// Makes the file's data and its new directory entry durable: the file was
// synced before the rename; now the directory that holds the entry.
// The old file's clean pages leave the page cache before the new file is
// written: its pages then take memory just given back rather than memory
// touched anew, which a virtual machine that returns freed memory to its
// host makes slow (a 1 GiB answer over a 1 GiB file took twice as long).
// Whoever reads the old file meanwhile reads it from the disk.
void hand_back_cache(const std::string& name) {
  int fd = open_retrying(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0);
  if (fd < 0) return;
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

void sync_directory(const std::string& name) {
  int fd = open_retrying(directory_of(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return;
  fsync(fd);  // some file systems refuse it for a directory; the rename stands
  close(fd);
}

}  // namespace

FileHandle platform_open_replacement(ErrorNumber& error_code, const std::string& name,
                                     bool plain_files_only, bool& in_place) {
  in_place = false;
  const std::string target = final_name(name, plain_files_only);
  struct stat info;
  if (lstat(target.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) {
      in_place = true;
      return kNoFile;
    }
    hand_back_cache(target);
  }
  const std::string fresh = platform_replacement_name(target);
  remove_name(fresh);
  int fd = -1;
#if defined(__linux__) && defined(O_TMPFILE)
  // Without a name until it replaces the save file: a run killed meanwhile
  // leaves nothing behind.
  fd = open_retrying(directory_of(target).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    record_errno(error_code, errno, true);
    return kNoFile;
  }
#endif
  if (fd < 0) {
    fd = open_retrying(fresh.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      record_errno(error_code, errno, true);
      return kNoFile;
    }
  }
  return file_from_fd(fd);
}

void platform_start_write_back(FileHandle file, std::uint64_t offset, std::uint64_t length) {
#if defined(__linux__)
  if (sync_file_range(fd_of(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE) != 0) {
    // Only a head start: the sync before the rename writes what is left.
  }
#else
  (void)file;
  (void)offset;
  (void)length;
#endif
}

void platform_replace(ErrorNumber& error_code, FileHandle file, const std::string& name,
                      bool plain_files_only) {
  const int fd = fd_of(file);
  const std::string target = final_name(name, plain_files_only);
  const std::string fresh = platform_replacement_name(target);
  struct stat old;
  struct stat own;
  bool failed = fstat(fd, &own) != 0;
  if (!failed && lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    // The old file's owner where this process may give it (as root), and
    // its mode.
    if (old.st_uid != own.st_uid || old.st_gid != own.st_gid) {
      if (fchown(fd, old.st_uid, old.st_gid) != 0) {
        // Not allowed: the new file stays this process's own.
      }
    }
    failed = fchmod(fd, old.st_mode & 07777) != 0;
  } else if (!failed) {
    const mode_t mask = umask(0);
    umask(mask);
    failed = fchmod(fd, (plain_files_only ? 0600 : 0666) & ~mask) != 0;
  }
  if (!failed) failed = fsync(fd) != 0;
#if defined(__linux__)
  if (!failed && own.st_nlink == 0) {
    // The unnamed file takes the replacement name for the rename.
    remove_name(fresh);
    failed = !link_unnamed(fd, fresh);
  }
#endif
  if (!failed) failed = rename(fresh.c_str(), target.c_str()) != 0;
  if (failed) {
    record_errno(error_code, errno, true);
    unlink(fresh.c_str());
  } else {
    sync_directory(target);
  }
  close(fd);
}

void platform_drop_replacement(FileHandle file, const std::string& name, bool plain_files_only) {
  if (file != kNoFile) close(fd_of(file));
  remove_name(platform_replacement_name(final_name(name, plain_files_only)));
}

bool platform_is_disk_file(FileHandle handle) {
  return is_open(handle) && is_regular(fd_of(handle));
}

void platform_write(ErrorNumber& error_code, FileHandle handle, const char* data,
                    std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t count = write(fd_of(handle), data + done, size - done);
    if (count < 0) {
      if (errno == EINTR) continue;
      record_errno(error_code, errno, false);
      return;
    }
    if (count == 0) {
      // Nothing taken and nothing reported: a short write.
      set_error(error_code, platform_is_disk_file(handle) ? kErrDiskFull : kErrSocket);
      return;
    }
    done += static_cast<std::size_t>(count);
  }
}

namespace {
// Fills the buffer as far as the file goes, as one piece read: from the
// current position, or from offset when it is not negative.
std::size_t read_fully(ErrorNumber& error_code, FileHandle handle, char* buffer, std::size_t size,
                       std::int64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    int fd = fd_of(handle);
    ssize_t count = offset < 0 ? read(fd, buffer + done, size - done)
                               : pread(fd, buffer + done, size - done,
                                       static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (count < 0) {
      if (errno == EINTR) continue;
      record_errno(error_code, errno, false);
      break;
    }
    if (count == 0) break;
    done += static_cast<std::size_t>(count);
  }
  return done;
}
}  // namespace

std::size_t platform_read(ErrorNumber& error_code, FileHandle handle, char* buffer,
                          std::size_t size) {
  return read_fully(error_code, handle, buffer, size, -1);
}

std::size_t platform_read_at(ErrorNumber& error_code, FileHandle handle, char* buffer,
                             std::size_t size, std::uint64_t offset) {
  return read_fully(error_code, handle, buffer, size, static_cast<std::int64_t>(offset));
}

FileStamp platform_file_stamp(ErrorNumber& error_code, FileHandle handle) {
  struct stat info;
  FileStamp stamp;
  if (fstat(fd_of(handle), &info) != 0) {
    record_errno(error_code, errno, false);
    return stamp;
  }
  stamp.size = info.st_size < 0 ? 0 : static_cast<std::uint64_t>(info.st_size);
  stamp.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  stamp.regular = S_ISREG(info.st_mode);
  stamp.terminal = S_ISCHR(info.st_mode) && isatty(fd_of(handle)) == 1;
  return stamp;
}

std::uint64_t platform_file_size(ErrorNumber& error_code, FileHandle handle) {
  struct stat info;
  if (fstat(fd_of(handle), &info) != 0) {
    record_errno(error_code, errno, false);
    return 0;
  }
  return info.st_size < 0 ? 0 : static_cast<std::uint64_t>(info.st_size);
}

void platform_copy_file(ErrorNumber& error_code, FileHandle from, std::uint64_t offset,
                        std::uint64_t length, FileHandle to) {
  int source = fd_of(from);
  int target = fd_of(to);
  off_t position = static_cast<off_t>(offset);
  std::uint64_t remaining = length;
#if defined(__linux__)
  // Each way is tried in turn; a way the kernel refuses for these two
  // descriptors (or that stops short, as some special file systems do)
  // hands the rest to the next one. The plain reads tell a real end of file.
  while (remaining > 0) {
    ssize_t count = copy_file_range(source, &position, target, nullptr,
                                    static_cast<std::size_t>(remaining), 0);
    if (count < 0) {
      if (errno == EINTR) continue;
      if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
          errno == EBADF) {
        break;
      }
      record_errno(error_code, errno, false);
      return;
    }
    if (count == 0) break;
    remaining -= static_cast<std::uint64_t>(count);
  }
  while (remaining > 0) {
    std::size_t chunk = remaining > 0x7FFFF000u ? 0x7FFFF000u : static_cast<std::size_t>(remaining);
    ssize_t count = sendfile(target, source, &position, chunk);
    if (count < 0) {
      if (errno == EINTR) continue;
      if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
        break;
      }
      record_errno(error_code, errno, false);
      return;
    }
    if (count == 0) break;
    remaining -= static_cast<std::uint64_t>(count);
  }
#endif
  if (remaining > 0) {
    ErrorNumber read_error = 0;
    if (!copy_by_reading(read_error, from, position, remaining, to)) {
      set_error(error_code, read_error != 0 ? int{read_error} : int{kErrEndOfFile});
    }
  }
}

void platform_cut_at_position(ErrorNumber& error_code, FileHandle handle) {
  int fd = fd_of(handle);
  off_t position = lseek(fd, 0, SEEK_CUR);
  if (position < 0 || ftruncate(fd, position) != 0) record_errno(error_code, errno, false);
}

void platform_close_file(FileHandle handle) {
  // Not retried on EINTR: the descriptor is gone either way on Linux.
  if (is_open(handle)) close(fd_of(handle));
}

void platform_delete_file(const std::string& name) {
  if (!name.empty()) unlink(name.c_str());
}

std::int64_t platform_file_modified(ErrorNumber& error_code, const std::string& name) {
  struct stat info;
  if (stat(name.c_str(), &info) != 0) {
    record_errno(error_code, errno, true);
    return -1;
  }
  return static_cast<std::int64_t>(info.st_mtim.tv_sec);
}

void platform_set_file_modified(ErrorNumber& error_code, const std::string& name,
                                std::int64_t unix_seconds) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(unix_seconds);
  times[1].tv_nsec = 0;
  if (utimensat(AT_FDCWD, name.c_str(), times, 0) != 0) record_errno(error_code, errno, true);
}
