#include "job/save.h"

#include "services/files.h"
#include "services/numbers.h"
#include "services/platform.h"

ErrorNumber save_response(const std::string& name, const ResponseBody& body,
                          bool plain_files_only) {
  ErrorNumber error_code = 0;
  error_watch_start();
  if (body.file != kNoHandle && body.file_offset == 0) {
    // A large body waits in a scratch file made beside the save file: when
    // the system can give that file the save name, nothing is copied. The
    // file's position is at its end, where the line end goes.
    ErrorNumber size_error = 0;
    if (platform_file_size(size_error, body.file) == body.file_length && size_error == 0 &&
        platform_place_file(body.file, name)) {
      platform_write(error_code, body.file, "\r\n", 2);
      return error_watch_first();
    }
  }
  // A failed open makes the writes fail too (52); the open is the cause.
  const std::int16_t number = next_free_number();
  file_open_output(error_code, number, name, plain_files_only);
  if (body.file != kNoHandle) {
    // A body larger than memory waits in a scratch file: the kernel copies
    // it across as one logical write.
    const std::intptr_t target = file_handle(number);
    if (target == kNoHandle) {
      set_error(error_code, kErrNotOpen);
    } else if (body_length(body) > 0) {
      platform_copy_file(error_code, body.file, body.file_offset, body_length(body), target);
    }
  } else if (!body.bytes.empty()) {
    file_write(error_code, number, body.bytes);
  }
  file_write_line_end(error_code, number);
  file_close(error_code, number);
  return error_watch_first();
}

void shell_open(const std::string& file, int show_command) {
  (void)show_command;  // the desktop decides how its viewer shows itself
  platform_shell_open(file);
}
