#include "job/save.h"

#include "platform/platform.h"
#include "services/files.h"
#include "services/numbers.h"

namespace {

// Records the first failure of the save, on the save file.
void save_failed(Failure& failure, ErrorNumber number, const std::string& name) {
  note_failure(failure, number, Step::save, name, failure_reason(number));
}

}  // namespace

void save_response(Failure& failure, const std::string& name, const ResponseBody& body,
                   bool plain_files_only) {
  ErrorNumber error_code = 0;
  if (body.file != kNoFile && body.file_offset == 0) {
    // A large body waits in a scratch file made beside the save file: when
    // the system can give that file the save name, nothing is copied. The
    // file's position is at its end, where the line end goes.
    ErrorNumber size_error = 0;
    if (platform_file_size(size_error, body.file) == body.file_length && size_error == 0 &&
        platform_give_name(body.file, name)) {
      platform_write(error_code, body.file, "\r\n", 2);
      save_failed(failure, error_code, name);
      return;
    }
  }
  if (!platform_name_fits(name)) {
    save_failed(failure, kErrBadName, name);
    return;
  }
  const std::int16_t number = next_free_number();
  file_open_output(error_code, number, name, plain_files_only);
  if (error_code != 0) {
    save_failed(failure, error_code, name);
    return;
  }
  if (body.file != kNoFile) {
    // A body larger than memory waits in a scratch file: the kernel copies
    // it across as one logical write.
    if (body_length(body) > 0) {
      platform_copy_file(error_code, body.file, body.file_offset, body_length(body),
                         file_handle(number));
    }
  } else if (!body.bytes.empty()) {
    file_write(error_code, number, body.bytes);
  }
  if (error_code == 0) file_write_line_end(error_code, number);
  save_failed(failure, error_code, name);
  // Closing cuts the file where writing stopped.
  ErrorNumber close_error = 0;
  file_close(close_error, number);
  save_failed(failure, close_error, name);
}

void shell_open(const std::string& file, int show_command) {
  (void)show_command;  // the desktop decides how its viewer shows itself
  platform_shell_open(file);
}
