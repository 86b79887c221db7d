#include "job/save.h"

#include "services/files.h"
#include "services/number_table.h"
#include "platform/platform.h"

namespace {

// Records the first failure of the save, on the save file.
void save_failed(Failure& failure, ErrorNumber number, const std::string& name) {
  note_failure(failure, number, Step::save, name, failure_reason(number));
}

// Ends the body in the file it was written to: the line end at the
// position (none for an exact save), then the file cut there.
void end_in_place(Failure& failure, const BodyStore& store) {
  const FileHandle file = store.file;
  const std::string& name = store.save_name;
  ErrorNumber error_code = 0;
  if (!store.exact) platform_write(error_code, file, "\r\n", 2);
  if (error_code == 0) platform_cut_at_position(error_code, file);
  save_failed(failure, error_code, name);
}

// Opens the new file that is to replace name, the failure recorded for step.
FileHandle new_file(Failure& failure, Step step, const std::string& name, bool plain_files_only,
                    bool& in_place) {
  ErrorNumber error_code = 0;
  FileHandle file = platform_open_replacement(error_code, name, plain_files_only, in_place);
  note_failure(failure, error_code, step, name, failure_reason(error_code));
  return file;
}

// The whole body in its new file: the one it went to as it arrived, else a
// new one that takes the bytes from memory or from the scratch file.
FileHandle write_new_body(Failure& failure, BodyStore& store, bool& in_place) {
  const std::string& name = store.save_name;
  store_flush(store);
  ErrorNumber error_code = 0;
  FileHandle file = kNoFile;
  if (store.place == StorePlace::replacement) {
    file = store.file;
    store.file = kNoFile;  // the save closes it now, not the store
  } else {
    file = new_file(failure, Step::save, name, store.plain_files_only, in_place);
    if (file == kNoFile) return kNoFile;
    if (store.file != kNoFile) {
      if (store.written > 0) platform_copy_file(error_code, store.file, 0, store.written, file);
    } else if (!store.bytes.empty()) {
      platform_write(error_code, file, store.bytes.data(), store.bytes.size());
    }
  }
  if (error_code == 0 && !store.exact) platform_write(error_code, file, "\r\n", 2);
  save_failed(failure, error_code, name);
  return file;
}

// The header in its new file; a header name that is no regular file is
// written as it is.
FileHandle write_new_header(Failure& failure, const std::string& name, const std::string& header) {
  bool in_place = false;
  FileHandle file = new_file(failure, Step::save_header, name, false, in_place);
  ErrorNumber error_code = 0;
  if (in_place) {
    FileHandle device = platform_open_output(error_code, name, false);
    if (device != kNoFile) {
      platform_write(error_code, device, header.data(), header.size());
      platform_close_file(device);
    }
  } else if (file != kNoFile) {
    platform_write(error_code, file, header.data(), header.size());
  }
  note_failure(failure, error_code, Step::save_header, name, failure_reason(error_code));
  return file;
}

}  // namespace

bool replace_saved_files(Failure& failure, BodyStore& store, const std::string& header_name,
                         const std::string& header, int status) {
  const std::string name = store.save_name;
  // A failed run keeps what the files hold; so does a 304, which says the
  // saved body still holds, for the save file (its header is the answer's).
  const bool wanted = failure.number == 0;
  FileHandle body = kNoFile;
  FileHandle head = kNoFile;
  if (wanted && status != 304 && !name.empty()) {
    bool in_place = false;
    body = write_new_body(failure, store, in_place);
    if (in_place) save_response(failure, store);
  }
  if (wanted && !header_name.empty()) head = write_new_header(failure, header_name, header);
  // Only now, with every byte written, does a file change: each in one
  // rename, the body's first.
  bool replaced = false;
  const struct { FileHandle file; const std::string& name; Step step; bool plain; } files[] = {
      {body, name, Step::save, store.plain_files_only},
      {head, header_name, Step::save_header, false}};
  for (const auto& each : files) {
    if (each.name.empty()) continue;
    if (each.file != kNoFile && failure.number == 0) {
      ErrorNumber error_code = 0;
      platform_replace(error_code, each.file, each.name, each.plain);
      note_failure(failure, error_code, each.step, each.name, failure_reason(error_code));
      replaced = replaced || (error_code == 0 && each.step == Step::save);
    } else {
      platform_drop_replacement(each.file, each.name, each.plain);
    }
  }
  return replaced;
}

void check_replacement(Failure& failure, Step step, const std::string& name,
                       bool plain_files_only) {
  if (name.empty()) return;
  bool in_place = false;
  ErrorNumber error_code = 0;
  FileHandle file = platform_open_replacement(error_code, name, plain_files_only, in_place);
  platform_drop_replacement(file, name, plain_files_only);
  note_failure(failure, error_code, step, name, failure_reason(error_code));
}

void save_response(Failure& failure, BodyStore& store) {
  const std::string& name = store.save_name;
  store_flush(store);
  if (store.place == StorePlace::save_file) {
    // The body went straight into the existing save file.
    end_in_place(failure, store);
    return;
  }
  if (store.place == StorePlace::unnamed && store.error == 0) {
    // When nothing bears the save name yet, the unnamed file takes it and
    // nothing is copied.
    ErrorNumber size_error = 0;
    if (platform_file_size(size_error, store.file) == store.written && size_error == 0 &&
        platform_give_name(store.file, name, store.plain_files_only)) {
      end_in_place(failure, store);
      return;
    }
  }
  ErrorNumber error_code = 0;
  const std::int16_t number = next_free_number();
  file_open_output(error_code, number, name, store.plain_files_only);
  if (error_code != 0) {
    save_failed(failure, error_code, name);
    return;
  }
  if (store.file != kNoFile) {
    // A body larger than memory waits in a file: the kernel copies it
    // across as one logical write.
    if (store.written > 0) {
      platform_copy_file(error_code, store.file, 0, store.written, file_handle(number));
    }
  } else if (!store.bytes.empty()) {
    file_write(error_code, number, store.bytes);
  }
  if (error_code == 0 && !store.exact) file_write_line_end(error_code, number);
  save_failed(failure, error_code, name);
  // Closing cuts the file where writing stopped.
  ErrorNumber close_error = 0;
  file_close(close_error, number);
  save_failed(failure, close_error, name);
}

void check_save_file(Failure& failure, Step step, const std::string& name,
                     bool plain_files_only) {
  if (name.empty()) return;
  ErrorNumber error_code = 0;
  file_check_output(error_code, name, plain_files_only);
  note_failure(failure, error_code, step, name, failure_reason(error_code));
}

void shell_open(const std::string& file, int show_command) {
  (void)show_command;  // the desktop decides how its viewer shows itself
  platform_shell_open(file);
}
