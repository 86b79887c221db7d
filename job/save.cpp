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

}  // namespace

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
