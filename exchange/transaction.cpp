#include "exchange/transaction.h"

#include "exchange/request.h"
#include "services/console.h"
#include "services/numbers.h"
#include "services/platform.h"
#include "services/tcp.h"

namespace {

constexpr std::int32_t kReceiveSize = 4096;
constexpr int kReceiveAttempts = 5;

// Reads passes until the server has closed and every byte is handed over,
// or a pass receives nothing, or an error is recorded. Tells whether the
// server was seen closing the connection.
bool read_response(ErrorNumber& error_code, ResponseReader& reader, std::int16_t number) {
  bool closed = false;
  for (;;) {
    if (tcp_peer_finished(number)) return true;
    const bool header_cut_before = !reader.header_phase;
    std::size_t got = 0;
    for (int attempt = 0; attempt < kReceiveAttempts && got == 0; ++attempt) {
      if (attempt > 0) platform_sleep(kRetryPause);
      got = read_response_piece(error_code, reader, number, kReceiveSize);
      ErrorNumber unused = 0;
      // A reset is reported by one receive; the ones after it find the end
      // of the data. That end follows a failure: it is not the server's
      // close, and the answer it cut short is not complete.
      if (got == 0 && error_code == 0 && tcp_at_end(unused, number)) closed = true;
    }
    if (got == 0) return closed;
    // The pass that cuts the header shows nothing; later passes show the
    // body received so far.
    if (header_cut_before) {
      progress_receiving(static_cast<std::int64_t>(response_body_length(reader)),
                         reader.announced);
    }
    if (error_code != 0) return closed;
  }
}

}  // namespace

TransactionResult http_transaction(const std::string& site, std::int16_t& port,
                                   const std::string& page, const std::string& method,
                                   const StringList& vars, const StringList& files) {
  ErrorNumber error_code = 0;
  TransactionResult result;
  if (port == 0) port = 80;
  // The port is the 16 bits of the setting read as unsigned: 40000 stays
  // 40000 instead of turning negative.
  const std::uint16_t unsigned_port = static_cast<std::uint16_t>(port);

  error_watch_start();
  PreparedRequest prepared = prepare_request(error_code, page, method, vars, files);
  const ErrorNumber prepare_first = error_watch_first();

  progress_phase("Obrint...");
  const std::int16_t number = next_free_number();
  error_watch_start();
  tcp_open(error_code, number, site, unsigned_port, kConnectionTimeout, std::string());
  const ErrorNumber open_first = error_watch_first();
  if (error_code != 0) {
    // Nothing is sent; the upload data is not left behind on disk.
    discard_prepared_request(prepared);
    if (open_first == 0) {
      ErrorNumber unused = 0;
      tcp_close(unused, number);
    }
    result.outcome = prepare_first != 0 ? prepare_first : open_first;
    return result;
  }

  progress_phase("Enviant...");
  error_watch_start();
  send_request(error_code, number, site, unsigned_port, page, method, files, prepared);
  const ErrorNumber send_first = error_watch_first();
  discard_prepared_request(prepared);

  ResponseReader reader;
  reader.temp_directory = platform_temp_directory();
  error_watch_start();
  bool closed = read_response(error_code, reader, number);
  const ErrorNumber read_first = error_watch_first();
  finish_response(error_code, reader);

  ErrorNumber close_error = 0;
  tcp_close(close_error, number);
  progress_finish();

  // Complete: the server closed after at least one byte and, when the
  // header gave a Content-Length, the header ended and the body reached it.
  // A header cut off after that field promised a body that never came.
  const bool complete =
      closed && reader.received > 0 &&
      (!reader.length_field_seen ||
       (!reader.header_phase && response_body_length(reader) >= reader.length_field));
  if (send_first != 0) {
    result.outcome = send_first;
  } else if (reader.store_error != 0) {
    // Bytes that could not be kept are lost: never a success.
    result.outcome = reader.store_error;
  } else if (!complete && read_first != 0) {
    result.outcome = read_first;
  } else if (!complete) {
    result.outcome = kErrEndOfFile;
  }
  result.body = std::move(reader.body);
  return result;
}
