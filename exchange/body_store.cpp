#include "exchange/body_store.h"

#include <algorithm>
#include <utility>

#include "exchange/answer_header.h"
#include "exchange/location.h"
#include "exchange/response_internal.h"

namespace {

// A held body's first buffer; it doubles up to kHeldLimit.
constexpr std::size_t kHeldStart = 64u << 10;

// Bytes waiting for the file are written out in pieces of this size.
constexpr std::size_t kStagingFlush = 128u << 10;

// Keep: each piece of this size of the new file is sent on to the disk as
// soon as it is written, so that the sync before the rename waits for
// little.
constexpr std::uint64_t kWriteBackStep = 16u << 20;

bool in_file(const BodyStore& store) {
  return store.place == StorePlace::save_file || store.place == StorePlace::unnamed ||
         store.place == StorePlace::scratch || store.place == StorePlace::replacement;
}

// Moves the body from memory on to a file: the existing save file when it
// is a regular file this run may write; an unnamed file beside the save name
// when nothing bears that name; else a scratch file. When none can be had,
// or the file cannot take the bytes so far, the body stays in memory.
void leave_memory(BodyStore& store) {
  FileHandle file = kNoFile;
  StorePlace place = StorePlace::scratch;
  bool in_place = !store.replace;
  if (store.replace && !store.save_name.empty()) {
    // Keep: the new file beside the save file, which stays as it is.
    ErrorNumber open_error = 0;
    file = platform_open_replacement(open_error, store.save_name, store.plain_files_only, in_place);
    place = StorePlace::replacement;
  }
  if (in_place && !store.save_name.empty()) {
    ErrorNumber open_error = 0;
    file = platform_open_existing_output(open_error, store.save_name, store.plain_files_only);
    if (file != kNoFile) {
      place = StorePlace::save_file;
    } else if (open_error == kErrNotFound) {
      file = platform_open_unnamed_beside(store.save_name);
      place = StorePlace::unnamed;
    }
  }
  if (file == kNoFile) {
    ErrorNumber scratch_error = 0;
    file = platform_open_scratch(scratch_error, store.temp_directory);
    place = StorePlace::scratch;
  }
  if (file != kNoFile && !store.bytes.empty()) {
    ErrorNumber write_error = 0;
    platform_write(write_error, file, store.bytes.data(), store.bytes.size());
    if (write_error != 0) {
      platform_close_file(file);
      file = kNoFile;
    }
  }
  if (file == kNoFile) {
    store.file_refused = true;
    return;
  }
  store.file = file;
  store.place = place;
  store.written = store.bytes.size();
  std::string().swap(store.bytes);
  store.bytes.reserve(kStagingFlush + 65536);
}

}  // namespace

BodyStore body_store(const std::string& save_name, bool plain_files_only, bool keep,
                     const std::string& temp_directory) {
  BodyStore store;
  store.save_name = save_name;
  store.plain_files_only = plain_files_only;
  store.temp_directory = temp_directory;
  if (!keep) store.place = StorePlace::nowhere;
  return store;
}

std::string& store_buffer(BodyStore& store, std::size_t count) {
  if (store.place != StorePlace::memory) return store.bytes;
  if (!store.held_name.empty()) {
    std::string& bytes = store.bytes;
    if (bytes.size() + count > kHeldLimit) {
      // A followed redirect's body is thrown away: it never needs a file.
      store.held_dropped = true;
      store.place = StorePlace::nowhere;
      std::string().swap(bytes);
    } else if (bytes.size() + count > bytes.capacity()) {
      // Grown by doubling from a power of two, so that the last step ends
      // at the limit itself.
      std::size_t capacity = std::max<std::size_t>(bytes.capacity(), kHeldStart);
      while (capacity < bytes.size() + count) capacity *= 2;
      bytes.reserve(capacity);
    }
  } else if (!store.file_refused && store.bytes.size() + count > kMemoryLimit) {
    leave_memory(store);
  }
  return store.bytes;
}

void store_took(BodyStore& store, std::size_t count) {
  // The new bytes end the buffer; each text not yet found is looked for in
  // them, its partial match carried over from the piece before.
  if (!store.checks.empty() && count > 0) {
    const char* piece = store.bytes.data() + store.bytes.size() - count;
    for (BodyCheck& check : store.checks) {
      if (check.found != kNotFound) continue;
      const std::size_t end = matcher_feed(check.matcher, piece, count);
      if (end != kNoMatch) check.found = store.length + end - check.matcher.pattern.size();
    }
  }
  store.length += count;
  if (store.place == StorePlace::nowhere) {
    store.bytes.clear();
  } else if (in_file(store) && store.bytes.size() >= kStagingFlush) {
    store_flush(store);
  }
}

void store_append(BodyStore& store, const char* data, std::size_t size) {
  if (size == 0) return;
  store_buffer(store, size).append(data, size);
  store_took(store, size);
}

void store_expect(BodyStore& store, std::uint64_t length) {
  if (store.place != StorePlace::memory || store.file_refused) return;
  if (!store.held_name.empty()) return;
  if (length > kMemoryLimit) {
    leave_memory(store);
  } else {
    store.bytes.reserve(static_cast<std::size_t>(length));
  }
}

void store_status(BodyStore& store, const std::string& header) {
  // Nothing has left memory yet: only a header over the memory limit moves
  // bytes to a file before the status is known, and such a header has none.
  if (answer_status(header) == 304 && store.place == StorePlace::memory) {
    std::string().swap(store.bytes);
    store.place = StorePlace::nowhere;
    return;
  }
  if (!store.hold_redirect || !redirect_followed(answer_status(header)) || store.place != StorePlace::memory) {
    return;
  }
  ErrorNumber refused = 0;
  std::string why;
  const std::string location = answer_location(refused, why, header);
  if (refused == 0) resolve_location(refused, why, store.hold_base, location);
  if (refused != 0) return;
  store.held_name.swap(store.save_name);
  store.save_name.clear();
  store.bytes.reserve(kHeldStart);
}

void store_end_hold(BodyStore& store) {
  if (store.held_name.empty()) return;
  store.save_name.swap(store.held_name);
  store.held_name.clear();
  if (store.held_dropped) store.bytes.clear();
}

void store_look_for(BodyStore& store, const std::string& text) {
  BodyCheck check;
  check.matcher = make_matcher(text);
  store.checks.push_back(std::move(check));
}

void store_discard(BodyStore& store) {
  for (BodyCheck& check : store.checks) {
    check.found = kNotFound;
    matcher_reset(check.matcher);
  }
  store.bytes.clear();
  store.length = 0;
  if (in_file(store) && store.error == 0) {
    ErrorNumber cut_error = 0;
    platform_empty_file(cut_error, store.file);
    if (cut_error != 0) {
      store.error = cut_error;
      store.reason = failure_reason(cut_error);
    }
    store.written = 0;
  }
}

void store_flush(BodyStore& store) {
  if (!in_file(store) || store.bytes.empty()) return;
  // After a failed write the rest is lost either way: nothing more is tried.
  if (store.error == 0) {
    ErrorNumber write_error = 0;
    platform_write(write_error, store.file, store.bytes.data(), store.bytes.size());
    if (write_error != 0) {
      store.error = write_error;
      store.reason = failure_reason(write_error);
    } else {
      const std::uint64_t before = store.written;
      store.written += store.bytes.size();
      const std::uint64_t mark = store.written / kWriteBackStep * kWriteBackStep;
      if (store.place == StorePlace::replacement && before < mark) {
        platform_start_write_back(store.file, mark - kWriteBackStep, kWriteBackStep);
      }
    }
  }
  store.bytes.clear();
}

void release_store(BodyStore& store) {
  if (store.file != kNoFile) platform_close_file(store.file);
  store = BodyStore();
}

std::string store_text(const BodyStore& store) {
  if (store.file == kNoFile) return store.bytes;
  std::string text(static_cast<std::size_t>(store.written), '\0');
  ErrorNumber error_code = 0;
  std::size_t done = 0;
  while (done < text.size()) {
    std::size_t got = platform_read_at(error_code, store.file, text.data() + done,
                                       text.size() - done, done);
    if (got == 0) break;
    done += got;
  }
  text.resize(done);
  return text + store.bytes;
}
