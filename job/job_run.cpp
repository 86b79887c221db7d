#include "job/job_run.h"

#include "exchange/answer_header.h"
#include "exchange/client_cert.h"
#include "job/failure_line.h"
#include "job/job_settings.h"
#include "job/redirects.h"
#include "job/report.h"
#include "job/retry.h"
#include "job/save.h"
#include "job/settings_check.h"
#include "job/usage.h"
#include "job/verbose.h"
#include "platform/platform.h"
#include "platform/ascii.h"
#include "services/console.h"
#include "services/dates.h"
#include "services/files.h"
#include "services/number_table.h"
#include "services/process.h"

namespace {

// Writes the answer's header into name as Save writes the body (nothing
// added after it); an empty header leaves the file empty, so that no
// earlier run's header stays in it.
void save_header(Failure& failure, const std::string& name, const std::string& header) {
  ErrorNumber error_code = 0;
  const std::int16_t number = next_free_number();
  file_open_output(error_code, number, name, false);
  if (error_code == 0) {
    file_write(error_code, number, header);
    ErrorNumber close_error = 0;
    file_close(close_error, number);
    if (error_code == 0) error_code = close_error;
  }
  note_failure(failure, error_code, Step::save_header, name, failure_reason(error_code));
}

// The first [Expect] text the body lacks, else the first [Reject] text it
// holds, as the failure; the store's checks are the job's texts in that
// order.
void check_body(Failure& failure, const JobSettings& job, const BodyStore& store) {
  const std::vector<BodyCheck>& checks = store.checks;
  for (std::size_t i = 0; i < checks.size(); ++i) {
    const bool expected = i < job.expect.size();
    if ((checks[i].found == kNotFound) != expected) continue;
    const std::size_t entry = expected ? i + 1 : i + 1 - job.expect.size();
    std::string name = expected ? "[Expect] " : "[Reject] ";
    name += decimal_text(static_cast<std::int64_t>(entry));
    note_failure(failure, kErrAnswerCheck, Step::body_check, name, checks[i].matcher.pattern);
    failure.at = checks[i].found;
    return;
  }
}

// How a try ended: the chain's failure, else an answer whose status reaches
// FailOn, else a check of its body that failed; a time-out that the run's
// own bound ended is MaxTime's, whichever wait it was.
Failure try_failure(const JobSettings& job, const ChainResult& chain, const WaitLimits& limits,
                    std::uint64_t now_ms) {
  Failure outcome = chain.answer.failure;
  const int status = chain.status;
  // A 304 says the copy already saved is current: never a failure.
  if (outcome.number == 0 && job.fail_on != 0 && status != 304 && (status < 0 || status >= job.fail_on)) {
    const std::string shown = status_shown(chain.answer.header);
    note_failure(outcome, kErrErrorAnswer, Step::status, shown.empty() ? "without a status line" : shown);
  }
  if (outcome.number == 0 && status != 304) check_body(outcome, job, chain.store);
  if (outcome.number == kErrTimedOut && limits.deadline_ms != 0 && now_ms >= limits.deadline_ms) {
    outcome.reason = failure_words(outcome);
    outcome.step = Step::run_time;
    outcome.object = decimal_text(job.max_time);
  }
  return outcome;
}

// With IfModified, the save file's time is the question the next run asks.
// A sound answer gives it the time its Last-Modified field says (the time
// of writing without one); a failed run's file (an error page, or the
// CR LF alone) is dated 1970, so that the next run fetches the answer whole.
void date_saved_file(Failure& failure, bool sound, const std::string& name, const std::string& header) {
  const std::int64_t modified = sound && failure.number == 0 ? last_modified(header) : 0;
  if (modified < 0) return;
  ErrorNumber error_code = 0;
  platform_set_file_modified(error_code, name, modified);
  note_failure(failure, error_code, Step::save, name, failure_reason(error_code));
}

// Keeps what the last try brought: the body under the save name (shown
// when asked), the header under SaveHeader's. When both the exchange and
// the save fail, the exchange's failure is the one told.
void keep_answer(Failure& failure, const JobSettings& job, ChainResult& chain, RunRecord& record) {
  if (job.keep) {
    // Keep: the files are replaced whole by a run that ends 0, else left.
    if (!job.save.empty()) record.saved = job.save;
    const bool replaced =
        replace_saved_files(failure, chain.store, job.save_header, chain.answer.header, chain.status);
    record.kept = !replaced && !job.save.empty();
    if (replaced && job.if_modified) date_saved_file(failure, true, job.save, chain.answer.header);
    // A 304 says the file kept is the answer: it is shown as a replaced one.
    if ((replaced || chain.status == 304) && job.show != 0 && !job.save.empty()) shell_open(job.save, 1);
    release_store(chain.store);
    return;
  }
  if (!job.save.empty()) {
    record.saved = job.save;
    if (chain.status == 304) {
      // Not modified: the file saved before is the answer, untouched.
      record.kept = true;
    } else {
      const bool was_sound = failure.number == 0;
      save_response(failure, chain.store);
      if (job.if_modified && (was_sound || !job.keep)) {
        date_saved_file(failure, was_sound, job.save, chain.answer.header);
      }
    }
    if (job.show != 0) shell_open(job.save, 1);
  }
  release_store(chain.store);
  if (!job.save_header.empty()) save_header(failure, job.save_header, chain.answer.header);
}

// With IfModified, a GET whose save file exists asks only for an answer
// newer than that file: the header's If-Modified-Since carries the file's
// time. A file dated 1970 or before (a failed run's), a header line of the
// same name in the job, or a request with a body asks for the whole answer.
void ask_if_modified(JobSettings& job) {
  if (!job.if_modified || method_sent(job.method, job.options.body) != "GET" || job.save.empty()) return;
  for (const std::string& line : job.options.header_lines) {
    if (equal_ignoring_ascii_case(line.substr(0, 18), "If-Modified-Since:")) return;
  }
  ErrorNumber error_code = 0;
  const std::int64_t modified = platform_file_modified(error_code, job.save);
  if (modified <= 0) return;
  std::string line = "If-Modified-Since: ";
  line += http_date_text(modified);
  job.options.header_lines.push_back(line);
}

// Runs the tries: each the request and, with Follow, the requests its
// redirects lead to; a failed try that another may mend is kept in the
// record's retry lines and tried again after its pause. A try starts at the
// Site, or, once a server took the POST, at the request that failed after
// it, so that the POST is never sent twice.
void run_tries(Failure& failure, const JobSettings& job, std::string& tail, RunRecord& record) {
  WaitLimits limits;
  if (job.timeout != 0) limits.wait_ms = static_cast<std::uint32_t>(job.timeout * 1000);
  if (job.max_time != 0) {
    limits.deadline_ms = platform_monotonic_milliseconds() + static_cast<std::uint64_t>(job.max_time) * 1000;
  }
  RetrySettings retry{job.retries + 1, job.retry_wait, false, limits.deadline_ms};
  const std::string of = " of " + decimal_text(retry.tries);
  ChainStart start = chain_start(job);
  for (std::int64_t attempt = 1;; ++attempt) {
    ChainResult chain = run_chain(job, limits, start);
    record.tries = attempt;
    record.status = chain.status;
    record_chain(record, chain);
    const Moment now{platform_monotonic_milliseconds(), platform_unix_seconds()};
    const Failure outcome = try_failure(job, chain, limits, now.monotonic_ms);
    // A PATCH, like a POST, may change more each time; a PUT leaves the same.
    const std::string sent = method_sent(chain.last.request.method, chain.last.request.options.body);
    retry.post = sent == "POST" || sent == "PATCH";
    const RetryDecision next = retry_decision(retry, attempt, outcome, chain.answer.header, now);
    if (job.verbose) verbose_check(outcome, chain.store.length);
    if (job.verbose) verbose_retry(attempt, retry.tries, next);
    const std::string taken = chain.last.taken.empty() ? std::string() : "; " + chain.last.taken;
    if (next.pause >= 0) {
      release_store(chain.store);
      record.retry_lines.push_back(failure_line(
          outcome, job.site, "; try " + decimal_text(attempt) + of + ", next in " + decimal_text(next.pause) + " s"));
      wait_before_retry(next.pause);
      if (!chain.last.taken.empty()) start = chain.last;
      continue;
    }
    if (!taken.empty()) tail = taken + ", not sent again";
    if (!next.why_not.empty()) tail += "; " + next.why_not;
    if (attempt > 1) tail += "; try " + decimal_text(attempt) + of;
    failure = outcome;
    if (failure.step == Step::body_check) record.check = failure.object;
    keep_answer(failure, job, chain, record);
    return;
  }
}

}  // namespace

void run_job(Failure& failure, std::string& site, std::string& tail, RunRecord& record) {
  CommandLine arguments = split_command_line(process_command_tail());
  set_process_arguments(arguments);
  // A question about the program is answered without looking at any job.
  const UsageRequest request = usage_request(arguments);
  switch (request) {
    case UsageRequest::help:
      platform_write_standard_output(help_text());
      return;
    case UsageRequest::version:
      platform_write_standard_output(version_text());
      return;
    case UsageRequest::check:
      arguments = arguments_after_first(arguments);
      break;
    case UsageRequest::verbose:
      arguments = arguments_after_first(arguments);
      set_process_arguments(arguments);
      break;
    case UsageRequest::none:
      break;
  }
  const std::string settings_file = settings_file_of(arguments);
  if (!platform_name_fits(settings_file)) {
    // A shortened name would be another file: nothing is read or done.
    note_failure(failure, kErrNotFound, Step::settings, settings_file,
                 "the name is too long for the system");
    return;
  }
  if (request == UsageRequest::check) {
    // The settings are read as a run reads them; nothing is sent or written.
    check_settings_file(failure, settings_file);
    if (failure.number == 0) check_settings(failure, read_job_settings(arguments));
    return;
  }
  JobSettings job = read_job_settings(process_arguments());
  job.verbose = request == UsageRequest::verbose;
  site = job.site;
  record.report = job.report;
  record.job = arguments.count > 0 ? arguments.arguments[0] : platform_current_directory();

  if (job.site.empty()) {
    // Nothing is sent, saved or shown. A settings file that is missing or
    // cannot be read is a failure a scheduler must see.
    check_settings_file(failure, job.settings_file);
    return;
  }

  if (!job.refused.empty()) {
    // A wait, a bound or a rule the author did not write is never guessed.
    note_failure(failure, kErrSettings, Step::setting, job.settings_file, job.refused);
    return;
  }

  // The way to the Site, checked before anything is connected or checked;
  // each request of the chain chooses its own again.
  HttpRequest first = first_request(job);
  record_request(record, first);
  first.route = choose_proxy(failure, job.proxy, first.secure, site_host(first.host), first.port);
  take_proxy_header(failure, job.settings_file, first.route, first.options);
  if (failure.number != 0) return;

  // A request whose answer cannot be kept is not sent: the server would act
  // on it (take the form), the answer would be lost, and a rerun would send
  // it twice. Nothing is saved, so nothing is shown either.
  check_save_file(failure, Step::save, job.save, job.default_save_name);
  check_save_file(failure, Step::save_header, job.save_header, false);
  if (job.keep) {
    check_replacement(failure, Step::save, job.save, job.default_save_name);
    check_replacement(failure, Step::save_header, job.save_header, false);
  }
  if (failure.number != 0) {
    failure.nothing_sent = true;
    return;
  }
  // The client certificate is loaded and its key checked once, before
  // anything is connected; the requests to the Site's own origin offer it.
  TlsClientFindings findings;
  TlsClientCredential* credential =
      job.secure ? load_client_certificate(failure, job.client, findings) : nullptr;
  if (failure.number != 0) {
    failure.nothing_sent = true;
    return;
  }
  job.options.client_credential = credential;
  ask_if_modified(job);
  run_tries(failure, job, tail, record);
  platform_tls_free_client_credential(credential);
}

int job_run() {
  const std::int64_t started = platform_unix_seconds();
  const std::uint64_t started_ms = platform_monotonic_milliseconds();
  Failure failure;
  std::string site;
  std::string tail;
  RunRecord record;
  run_job(failure, site, tail, record);
  std::string line;
  // The findings of a settings check are its output already.
  if (failure.number != 0 && failure.step != Step::check) {
    // A scheduler's mail or journal, or the person at the terminal, learns
    // why, after the tries that were retried; the progress line is blanked
    // first so that the two never mix. A run that ends 0 says nothing.
    line = failure_line(failure, site, tail);
    std::string told;
    for (const std::string& retried : record.retry_lines) told += retried;
    progress_clear();
    platform_write_standard_error(told + line);
    line.pop_back();
  }
  if (!record.report.empty()) {
    const std::uint64_t ms = platform_monotonic_milliseconds() - started_ms;
    append_report(record.report, report_line(record, {started, failure.number, line, ms}));
  }
  return failure.number;
}
