#include "job/verbose.h"

#include <algorithm>

#include "job/failure_line.h"
#include "platform/ascii.h"
#include "platform/platform.h"
#include "services/bytes.h"
#include "services/console.h"
#include "services/shown.h"

namespace {

// The lines of text (separated by CR LF or LF), each after prefix and
// shaped as any outside text is shown; empty lines left out.
std::string prefixed(const std::string& prefix, const std::string& text) {
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) {
      out += prefix;
      out += shown(line, std::string::npos);
      out += "\n";
    }
    at = end + 1;
  }
  return out;
}

// A header line whose value is a secret by its name.
bool secret_by_name(const std::string& line) {
  const std::string name = line.substr(0, line.find(':'));
  return equal_ignoring_ascii_case(name, "Authorization") || equal_ignoring_ascii_case(name, "Proxy-Authorization") ||
         equal_ignoring_ascii_case(name, "Cookie");
}

// Lines written on standard error, the progress line blanked first so that
// the two never mix.
void tell(const std::string& lines) {
  if (lines.empty()) return;
  progress_clear();
  platform_write_standard_error(lines);
}

}  // namespace

std::string verbose_request(const std::string& head, std::uint64_t body, const StringList& secret_lines) {
  std::string shown_head;
  std::size_t at = 0;
  for (bool first = true; at < head.size(); first = false) {
    std::size_t end = head.find("\r\n", at);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(at, end - at);
    const bool secret = std::find(secret_lines.begin(), secret_lines.end(), line) != secret_lines.end();
    if (!first && line.find(':') != std::string::npos && (secret || secret_by_name(line))) {
      line = line.substr(0, line.find(':')) + ": ***";
    }
    shown_head += line + "\r\n";
    at = end + 2;
  }
  std::string out = prefixed("> ", shown_head);
  if (body > 0) out += "> (body: " + decimal_text(static_cast<std::int64_t>(body)) + " bytes)\n";
  return out;
}

std::string verbose_answer(const std::string& header) { return prefixed("< ", header); }

void verbose_exchange(const JobSettings& job, const HttpRequest& sent, const TransactionResult& answer,
                      const RedirectStep& step) {
  const std::string url = shown_url(web_address_text(request_address(sent)));
  std::string lines = "* " + url;
  lines += sent.route.host.empty() ? std::string(": no proxy") : ": through " + shown_url(proxy_shown(sent.route));
  lines += "\n";
  if (!answer.tunnel_head.empty()) {
    lines += verbose_request(answer.tunnel_head, 0, job.options.secret_lines);
    lines += verbose_answer(answer.tunnel_header);
  }
  lines += verbose_request(answer.request_head, answer.request_body, job.options.secret_lines);
  lines += verbose_answer(answer.header);
  if (step.follow) {
    lines += "* redirect followed: ";
    lines += method_sent(step.next.method, step.next.options.body);
    lines += " ";
    lines += shown_url(web_address_text(request_address(step.next)));
    lines += "\n";
  } else if (step.stop.number != 0) {
    lines += "* " + failure_words(step.stop) + ": " + shown(step.stop.reason, std::string::npos) + "\n";
  }
  tell(lines);
}

void verbose_check(const Failure& failure, std::uint64_t length) {
  if (failure.step != Step::body_check) return;
  std::string line = failure_line(failure, std::string(), std::string());
  const std::size_t words = line.find(": ") + 2;  // past "ravelok: "
  std::string told = "* body of ";
  told += grouped_digits(length);
  told += " bytes checked: ";
  told.append(line, words, line.find(" (", line.rfind('"')) - words);
  tell(told + "\n");
}

void verbose_retry(std::int64_t attempt, std::int64_t tries, const RetryDecision& next) {
  const std::string of = "* try " + decimal_text(attempt) + " of " + decimal_text(tries) + " failed";
  if (next.pause >= 0) {
    tell(of + ", next in " + decimal_text(next.pause) + " s\n");
  } else if (!next.why_not.empty()) {
    tell(of + ", " + next.why_not + "\n");
  }
}
