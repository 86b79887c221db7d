// Reading an HTTP response as it arrives: the header scanner finds where the
// header ends, the length label and the Content-Length field; the body goes
// into the body store it is handed. While the header has not ended, its
// text waits in memory; past the memory limit it continues in the store,
// since a text that never ends its header is all body.
#pragma once

#include <cstdint>
#include <string>

#include "exchange/body_store.h"
#include "exchange/header_scanner.h"
#include "services/errors.h"

struct ResponseReader {
  HeaderScanner scanner;
  std::uint64_t received = 0;    // every byte received, header included
  std::string header_text;       // the text so far, while the header has not ended
  bool header_in_store = false;  // that text outgrew memory and went to the store
  std::string piece;             // one received piece, when it does not go straight to a store
  std::string header;            // once cut: the header as it arrived, without the blank line
                                 // (empty when it outgrew memory before it ended)
};

// True once the header has been cut.
inline bool header_cut(const ResponseReader& reader) { return reader.scanner.ended; }

// Receives one piece from connection number (up to count bytes) into the
// reader and the store. Returns the number of bytes received; a failure of
// the receive is recorded in error_code, one of the store in store.error.
std::size_t read_response_piece(ErrorNumber& error_code, ResponseReader& reader,
                                BodyStore& store, std::int16_t number, std::int32_t count);

// Settles a text that never reached a header end (all of it is the body)
// and writes out what waits for the store's file; called once the reading
// has ended.
void finish_response(ResponseReader& reader, BodyStore& store);
