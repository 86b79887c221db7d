// Finding a byte string in a block of memory as fast as the processor
// allows: every byte of an upload file and of a checked answer passes here,
// so this speed counts per gigabyte. Portable: it sits in the lowest layer,
// beside the ASCII rules, where every layer above may use it.
#pragma once

#include <cstddef>
#include <string>

// The offset of the first whole occurrence of pattern (one byte or more) in
// the size bytes at data, or size when there is none.
std::size_t find_bytes(const char* data, std::size_t size, const std::string& pattern);
