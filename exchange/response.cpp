#include "exchange/response.h"

#include "exchange/response_internal.h"
#include "services/tcp.h"

namespace {

// Handles the piece of size bytes that ends reader.header_text (in memory)
// or that stands in data (when the header text is in the store).
void take_header_piece(ResponseReader& reader, BodyStore& store, const char* data,
                       std::size_t size) {
  const std::size_t body_start = scan_header(reader.scanner, data, size);
  if (body_start == kNoMatch) {
    if (reader.header_in_store) {
      store_append(store, data, size);
    } else if (reader.header_text.size() > kMemoryLimit) {
      // A header that long may never end, and then it is all body: the
      // store keeps it from here on.
      store_append(store, reader.header_text.data(), reader.header_text.size());
      std::string().swap(reader.header_text);
      reader.header_in_store = true;
    }
    return;
  }
  // The header has ended: what the store holds so far was header. The
  // header's own bytes are kept (its last line's CR LF, not the blank line).
  if (reader.header_in_store) {
    store_discard(store);
  } else {
    const std::size_t end = static_cast<std::size_t>(data - reader.header_text.data()) + body_start;
    reader.header.assign(reader.header_text, 0, end >= 2 ? end - 2 : 0);
  }
  reader.header_in_store = false;
  store_status(store, reader.header);
  const HeaderScanner& scanner = reader.scanner;
  if (scanner.length_field_seen) {
    store_expect(store, scanner.length_field);
  } else if (scanner.announced > 0) {
    store_expect(store, static_cast<std::uint64_t>(scanner.announced));
  }
  store_append(store, data + body_start, size - body_start);
  std::string().swap(reader.header_text);
}

}  // namespace

std::size_t read_response_piece(ErrorNumber& error_code, ResponseReader& reader,
                                BodyStore& store, std::int16_t number, std::int32_t count) {
  const std::size_t wanted = count > 0 ? static_cast<std::size_t>(count) : 0;
  if (header_cut(reader)) {
    // The body goes straight into the store's buffer.
    std::size_t got = tcp_receive_into(error_code, number, count, store_buffer(store, wanted));
    store_took(store, got);
    reader.received += got;
    return got;
  }
  std::string& text = reader.header_in_store ? reader.piece : reader.header_text;
  if (reader.header_in_store) text.clear();
  const std::size_t before = text.size();
  std::size_t got = tcp_receive_into(error_code, number, count, text);
  reader.received += got;
  if (got > 0) take_header_piece(reader, store, text.data() + before, got);
  return got;
}

void feed_response_bytes(ResponseReader& reader, BodyStore& store, const char* data,
                         std::size_t size) {
  reader.received += size;
  if (header_cut(reader)) {
    store_append(store, data, size);
    return;
  }
  if (reader.header_in_store) {
    take_header_piece(reader, store, data, size);
    return;
  }
  const std::size_t before = reader.header_text.size();
  reader.header_text.append(data, size);
  take_header_piece(reader, store, reader.header_text.data() + before, size);
}

void finish_response(ResponseReader& reader, BodyStore& store) {
  finish_header_scan(reader.scanner);
  if (!header_cut(reader) && !reader.header_in_store) {
    store_append(store, reader.header_text.data(), reader.header_text.size());
    std::string().swap(reader.header_text);
  }
  store_flush(store);
}
