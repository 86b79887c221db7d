#include "job/report.h"

#include "platform/platform.h"
#include "services/bytes.h"
#include "services/dates.h"
#include "services/shown.h"

namespace {

// The length of the valid UTF-8 sequence that starts at text[at], or 0 when
// none does: no overlong form, no surrogate, nothing past U+10FFFF.
std::size_t utf8_length(const std::string& text, std::size_t at) {
  const auto byte_at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte_at(at);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size() || byte_at(at + 1) < low || byte_at(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte_at(at + i) < 0x80 || byte_at(at + i) > 0xBF) return 0;
  }
  return length;
}

// A URL without what stands before an "@" in its authority (a user name
// and password).
std::string without_user(const std::string& url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const std::size_t start = scheme + 3;
  const std::size_t end = url.find_first_of("/?#", start);
  const std::size_t at = url.rfind('@', end == std::string::npos ? std::string::npos : end);
  if (at == std::string::npos || at < start) return url;
  std::string kept = url.substr(0, start);
  kept.append(url, at + 1, std::string::npos);
  return kept;
}

// A JSON string, or null for an empty text.
std::string text_or_null(const std::string& text) { return text.empty() ? std::string("null") : json_string(text); }

}  // namespace

std::string json_string(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const std::size_t length = c >= 0x80 ? utf8_length(text, at) : 1;
    if (length > 1) {
      out.append(text, at, length);
      at += length;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x80) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
    ++at;
  }
  return out + "\"";
}

std::string report_line(const RunRecord& record, const ReportFacts& facts) {
  std::string line = "{\"time\":\"" + rfc3339_text(facts.start);
  line += "\",\"job\":" + json_string(record.job);
  line += ",\"method\":" + text_or_null(record.method);
  line += ",\"url\":" + text_or_null(without_user(record.url));
  line += ",\"status\":" + (record.status < 0 ? std::string("null") : decimal_text(record.status));
  line += ",\"exit\":" + decimal_text(facts.exit);
  line += ",\"error\":" + text_or_null(facts.error);
  line += ",\"tries\":" + decimal_text(record.tries);
  line += ",\"redirects\":" + decimal_text(record.redirects);
  line += ",\"sent\":" + decimal_text(static_cast<std::int64_t>(record.sent));
  line += ",\"received\":" + decimal_text(static_cast<std::int64_t>(record.received));
  line += ",\"ms\":" + decimal_text(static_cast<std::int64_t>(facts.ms));
  line += ",\"saved\":" + text_or_null(record.saved);
  line += record.kept ? ",\"kept\":true" : ",\"kept\":false";
  line += ",\"check\":" + text_or_null(record.check) + "}\n";
  return line;
}

void record_request(RunRecord& record, const HttpRequest& request) {
  record.method = method_sent(request.method, request.options.body);
  record.url = web_address_text(request_address(request));
}

void record_chain(RunRecord& record, const ChainResult& chain) {
  record_request(record, chain.last.request);
  record.redirects = chain.last.so_far.followed;
  record.sent += chain.sent;
  record.received += chain.received;
}

void append_report(const std::string& file, const std::string& line) {
  ErrorNumber error_code = 0;
  platform_append_to_file(error_code, file, line);
  if (error_code == 0) return;
  std::string told = "ravelok: cannot write report ";
  told += shown(file);
  told += ": ";
  const std::string reason = failure_reason(error_code);
  told += shown(reason.empty() ? error_meaning(error_code) : reason, std::string::npos);
  platform_write_standard_error(told + "\n");
}
