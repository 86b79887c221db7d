// The part of the test fixtures that both builds share, on the standard
// library alone: whole files, settings text and test bytes.
#include <fstream>
#include <iterator>
#include <random>

#include "services/bytes.h"
#include "support/fixtures.h"

bool write_file(const std::string& path, const std::string& bytes) {
  if (path.size() >= 4 && equal_ignoring_ascii_case(path.substr(path.size() - 4), ".ini")) {
    note_settings_file(bytes);
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ini(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251 + seed) & 0xFF);
  return bytes;
}

std::string random_bytes(std::uint32_t seed, std::size_t size) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

std::string replaced(std::string text, const std::string& name, const std::string& value) {
  for (std::size_t at = 0; (at = text.find(name, at)) != std::string::npos; at += value.size()) {
    text.replace(at, name.size(), value);
  }
  return text;
}
