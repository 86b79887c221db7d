// Entry points of the response reader and the body store for tests and
// fuzzing: bytes fed without a connection, and the stored body read back.
#pragma once

#include <cstddef>
#include <string>

#include "exchange/body_store.h"
#include "exchange/response.h"

// Processes bytes as if they had been received.
void feed_response_bytes(ResponseReader& reader, BodyStore& store, const char* data,
                         std::size_t size);

// The whole stored body as one string (reads a file back; not the save file,
// which is open for writing only).
std::string store_text(const BodyStore& store);
