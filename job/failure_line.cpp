#include "job/failure_line.h"

#include "services/bytes.h"

namespace {

// Site written as a URL ("https://host/path", "host:8080"): a "/", or a
// ":" after a letter.
bool looks_like_a_url(const std::string& site) {
  if (site.find('/') != std::string::npos) return true;
  for (std::size_t i = 1; i < site.size(); ++i) {
    const char before = site[i - 1];
    const bool letter = (before >= 'a' && before <= 'z') || (before >= 'A' && before <= 'Z');
    if (site[i] == ':' && letter) return true;
  }
  return false;
}

// What failed and on what, without the reason.
std::string what_failed(const Failure& failure) {
  const std::string quoted = "\"" + failure.object + "\"";
  switch (failure.step) {
    case Step::settings:
      return failure.number == kErrNotFound ? "no settings file " + failure.object
                                            : "cannot read settings file " + failure.object;
    case Step::upload_file:
      return "cannot read upload file " + decimal_text(failure.index) + " " + quoted;
    case Step::body_file:
      return "cannot stage the upload in " + failure.object;
    case Step::ca_file:
      return "cannot read CAFile " + quoted;
    case Step::resolve:
      return "cannot resolve host " + quoted;
    case Step::connect:
      return "cannot connect to " + failure.object;
    case Step::secure:
      return failure.number == kErrTimedOut
                 ? "no secure connection to " + failure.object + " within 3 s"
                 : "no secure connection to " + failure.object;
    case Step::send:
      return failure.number == kErrTimedOut
                 ? "the server at " + failure.object + " stopped taking the request"
                 : "cannot send the request to " + failure.object;
    case Step::receive:
      return failure.number == kErrTimedOut
                 ? "no answer from " + failure.object + " within 3 s"
                 : "the connection to " + failure.object + " failed while reading the answer";
    case Step::answer:
      return failure.number == kErrTimedOut ? "answer from " + failure.object + " stopped"
                                            : "answer from " + failure.object + " cut short";
    case Step::save:
      return "cannot write " + failure.object;
    case Step::none:
      break;
  }
  return "failed";
}

}  // namespace

std::string failure_line(const Failure& failure, const std::string& site) {
  std::string line = "ravelok: " + what_failed(failure);
  if (!failure.reason.empty()) line += ": " + failure.reason;
  line += " (" + decimal_text(failure.number) + " " + error_meaning(failure.number) + ")";
  if (failure.step == Step::upload_file || failure.step == Step::body_file) {
    line += "; nothing sent";
  } else if (failure.step == Step::resolve && looks_like_a_url(site)) {
    line += "; Site takes the host name alone, the path belongs in Page";
  }
  return line + "\n";
}
