#include "exchange/ca_file.h"

#include "platform/platform.h"
#include "platform/tls.h"
#include "services/bytes.h"

namespace {

constexpr char kBegin[] = "-----BEGIN ";
constexpr char kEnd[] = "-----END ";
constexpr char kDashes[] = "-----";

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Decodes strict base64: whole groups of four, "=" only as the last one or
// two characters, blanks anywhere between. False for anything else.
bool decode_base64(const std::string& text, std::string& bytes) {
  std::string out;
  int group[4];
  int in_group = 0;
  int padding = 0;
  for (char c : text) {
    if (is_blank(c)) continue;
    if (padding > 0 && c != '=') return false;  // nothing after the padding
    int value = 0;
    if (c == '=') {
      if (in_group < 2) return false;
      ++padding;
    } else {
      value = base64_value(c);
      if (value < 0) return false;
    }
    group[in_group++] = value;
    if (in_group == 4) {
      const unsigned word = (static_cast<unsigned>(group[0]) << 18) |
                            (static_cast<unsigned>(group[1]) << 12) |
                            (static_cast<unsigned>(group[2]) << 6) | static_cast<unsigned>(group[3]);
      out.push_back(static_cast<char>(word >> 16));
      if (padding < 2) out.push_back(static_cast<char>((word >> 8) & 0xFF));
      if (padding < 1) out.push_back(static_cast<char>(word & 0xFF));
      in_group = 0;
      if (padding > 0) padding = 3;  // the group that held the padding was the last
    }
  }
  if (in_group != 0 || out.empty()) return false;
  bytes.swap(out);
  return true;
}

// The label of a "-----BEGIN LABEL-----" or "-----END LABEL-----" line
// (marker kBegin or kEnd), blanks at its end ignored; false when line is
// not one.
bool marker_label(const std::string& line, const char* marker, std::string& label) {
  std::string trimmed = line;
  while (!trimmed.empty() && is_blank(trimmed.back())) trimmed.pop_back();
  const std::string start(marker);
  const std::string dashes(kDashes);
  if (trimmed.compare(0, start.size(), start) != 0 || trimmed.size() < start.size() + dashes.size() ||
      trimmed.compare(trimmed.size() - dashes.size(), dashes.size(), dashes) != 0) {
    return false;
  }
  label = trimmed.substr(start.size(), trimmed.size() - start.size() - dashes.size());
  return true;
}

}  // namespace

PemCertificates split_pem_certificates(const std::string& text) {
  PemCertificates found;
  std::size_t block = 0;
  bool inside = false;
  std::string label;
  std::string body;
  auto fail = [&](const std::string& why) {
    found.bad_block = block;
    found.why = why;
    found.certificates.clear();
  };
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    std::string marked;
    if (!inside) {
      if (!marker_label(line, kBegin, marked)) continue;
      ++block;
      if (marked != "CERTIFICATE") {
        fail("it is a " + marked + ", not a CERTIFICATE");
        return found;
      }
      inside = true;
      label = marked;
      body.clear();
      continue;
    }
    if (marker_label(line, kEnd, marked)) {
      if (marked != label) {
        fail("it ends with -----END " + marked + "-----");
        return found;
      }
      std::string der;
      if (!decode_base64(body, der)) {
        fail("it is not valid base64");
        return found;
      }
      found.certificates.push_back(der);
      inside = false;
      continue;
    }
    if (marker_label(line, kBegin, marked)) {
      fail("it has no END line");
      return found;
    }
    body += line;
    body.push_back('\n');
  }
  if (inside) fail("it has no END line");
  return found;
}

std::string read_whole_file(ErrorNumber& error_code, const std::string& name) {
  std::string text;
  FileHandle file = platform_open_read(error_code, name);
  if (file != kNoFile) {
    char piece[16384];
    std::size_t got = 0;
    while ((got = platform_read(error_code, file, piece, sizeof piece)) > 0) text.append(piece, got);
    platform_close_file(file);
  }
  return text;
}

std::vector<std::string> read_ca_file(Failure& failure, const std::string& name) {
  ErrorNumber error_code = 0;
  const std::string text = read_whole_file(error_code, name);
  if (error_code != 0) {
    note_failure(failure, error_code, Step::ca_file, name, failure_reason(error_code));
    return {};
  }
  PemCertificates found = split_pem_certificates(text);
  for (std::size_t i = 0; found.bad_block == 0 && i < found.certificates.size(); ++i) {
    if (!platform_tls_certificate_readable(error_code, found.certificates[i])) {
      if (error_code != 0) {
        note_failure(failure, error_code, Step::secure, name, failure_reason(error_code));
        return {};
      }
      found.bad_block = i + 1;
      found.why = "the TLS library cannot read it";
    }
  }
  if (found.bad_block != 0) {
    note_failure(failure, kErrWrongKind, Step::ca_file, name,
                 "block " + decimal_text(static_cast<std::int64_t>(found.bad_block)) +
                     " is not a readable certificate: " + found.why);
    return {};
  }
  if (found.certificates.empty()) {
    note_failure(failure, kErrWrongKind, Step::ca_file, name, "holds no certificate");
  }
  return found.certificates;
}
