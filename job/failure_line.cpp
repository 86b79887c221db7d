#include "job/failure_line.h"

#include "job/site.h"
#include "services/bytes.h"
#include "services/shown.h"

namespace {

// Why a Site that did not resolve may be more than a host name, as the
// line's ending; empty when it looks like a host name or an address. A
// Site that holds an "@" names a user and password, which have no place in
// it; a "/" starts a path; before it, a port.
std::string site_hint(const std::string& site) {
  const std::string alone = "; Site takes the host name alone";
  if (site.find('@') != std::string::npos) {
    return alone + ": a user name or password does not belong in it";
  }
  const std::size_t slash = site.find('/');
  const bool port = host_holds_port(site.substr(0, slash));
  if (port && slash != std::string::npos) return alone + ", the port belongs in Port and the path in Page";
  if (port) return alone + ", the port belongs in Port";
  if (slash != std::string::npos) return alone + ", the path belongs in Page";
  return std::string();
}

// "upload file N " for the N-th upload file, "Body file " for the Body.
std::string upload_named(const Failure& failure) {
  return failure.index == 0 ? std::string("Body file ") : "upload file " + decimal_text(failure.index) + " ";
}

// " within N s" after a wait that ran out; empty after any other failure.
std::string within(const Failure& failure) {
  return failure.number == kErrTimedOut ? " within " + decimal_text(failure.seconds) + " s" : std::string();
}

// What failed and on what, without the reason.
std::string what_failed(const Failure& failure) {
  const std::string quoted = "\"" + failure.object + "\"";
  switch (failure.step) {
    case Step::settings:
      return failure.number == kErrNotFound ? "no settings file " + failure.object
                                            : "cannot read settings file " + failure.object;
    case Step::setting:
      return "bad setting in " + failure.object;
    case Step::status:
      return "the server answered " + failure.object;
    case Step::redirect:
      return "redirect from " + failure.object +
             (failure.number == kErrRedirectRefused ? " refused" : " not followed");
    case Step::run_time:
      return "MaxTime of " + failure.object + " s reached";
    case Step::save_header:
      return "cannot write " + failure.object;
    case Step::check:
      return "the settings check found problems in " + failure.object;
    case Step::body_check: {
      // The text is in reason, already shaped by failure_line.
      std::string line = failure.object + " \"" + failure.reason + "\"";
      if (failure.object.rfind("[Expect]", 0) == 0) return line + " not found in the answer";
      line += " found at byte ";
      line += decimal_text(static_cast<std::int64_t>(failure.at));
      return line;
    }
    case Step::upload_file:
      return "cannot read " + upload_named(failure) + quoted;
    case Step::upload_changed:
      return upload_named(failure) + quoted + " changed while it was sent";
    case Step::body_file:
      return "cannot stage the upload in " + failure.object;
    case Step::ca_file:
      return "cannot read CAFile " + quoted;
    case Step::client_cert:
      return (failure.index == 1 ? "cannot use ClientKey " : "cannot use ClientCert ") + quoted;
    case Step::resolve:
      return "cannot resolve host " + quoted;
    case Step::connect:
      return "cannot connect to " + failure.object + within(failure);
    case Step::secure:
      return "no secure connection to " + failure.object + within(failure);
    case Step::tunnel:
      return failure.number == kErrTimedOut ? "no answer to CONNECT from " + failure.object + within(failure)
                                            : "no tunnel through " + failure.object;
    case Step::send:
      return failure.number == kErrTimedOut
                 ? "the server at " + failure.object + " stopped taking the request"
                 : "cannot send the request to " + failure.object;
    case Step::receive:
      return failure.number == kErrTimedOut
                 ? "no answer from " + failure.object + within(failure)
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

std::string failure_words(const Failure& failure) { return what_failed(failure); }

std::string failure_line(const Failure& failure, const std::string& site, const std::string& tail) {
  // A file name comes from the settings file as it stands; a host, a
  // Location or a status line was shaped where it was taken, and the
  // system's words hold bytes of the names they quote: control bytes are
  // written as \xHH in all of them.
  Failure told = failure;
  const bool file = failure.step == Step::settings || failure.step == Step::setting || failure.step == Step::upload_file ||
                    failure.step == Step::upload_changed || failure.step == Step::body_file ||
                    failure.step == Step::ca_file || failure.step == Step::client_cert ||
                    failure.step == Step::save || failure.step == Step::save_header;
  told.object = shown(failure.object, file ? kLongestShown : std::string::npos);
  // A checked text stands in the line itself, cut as any outside text.
  const bool text = failure.step == Step::body_check;
  told.reason = shown(failure.reason, text ? kLongestShown : std::string::npos);
  std::string line = "ravelok: " + what_failed(told);
  if (!told.reason.empty() && !text) line += ": " + told.reason;
  line += " (" + decimal_text(failure.number) + " " + error_meaning(failure.number) + ")";
  if (failure.step == Step::upload_file || failure.step == Step::body_file ||
      failure.nothing_sent) {
    line += "; nothing sent";
  } else if (failure.step == Step::resolve) {
    line += site_hint(site);
  }
  return line + tail + "\n";
}
